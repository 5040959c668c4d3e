// Raidwell.DLL: the RAID device option of the Device Configuration wizard.
#include <windows.h>

#include "PluginDialog.h"

namespace {
HINSTANCE g_module = nullptr;

constexpr kvplugin::Setting kSettings[] = {
    {IDC_SETTING_1, "Striping", 1},
    {IDC_SETTING_2, "AutoRebuild", 1},
    {IDC_SETTING_3, "VerifyParity", 0},
};
constexpr kvplugin::Plugin kPlugin = {"Raidwell", kSettings, sizeof(kSettings) / sizeof(kSettings[0])};
}  // namespace

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_module = module;
  return TRUE;
}

// Called before every run of the wizard entry; the wizard ignores the
// result. It writes nothing: the settings are stored only by Apply.
extern "C" __declspec(dllexport) int RaidConfigInit() { return 0; }

extern "C" __declspec(dllexport) int RaidConfigWizard() {
  try {
    return kvplugin::RunConfiguration(g_module, kPlugin);
  } catch (...) {
    return kvplugin::kGoToComplete;
  }
}
