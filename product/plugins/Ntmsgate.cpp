// Ntmsgate.DLL: the Removable Storage Manager option of the Device Configuration wizard.
#include <windows.h>

#include "PluginDialog.h"

namespace {
HINSTANCE g_module = nullptr;

constexpr kvplugin::Setting kSettings[] = {
    {IDC_SETTING_1, "TapeDrivesToRsm", 0},
    {IDC_SETTING_2, "OpticalDrivesToRsm", 0},
};
constexpr kvplugin::Plugin kPlugin = {"Ntmsgate", kSettings, sizeof(kSettings) / sizeof(kSettings[0])};
}  // namespace

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_module = module;
  return TRUE;
}

extern "C" __declspec(dllexport) int LaunchNTMSWizard() {
  try {
    return kvplugin::RunConfiguration(g_module, kPlugin);
  } catch (...) {
    return kvplugin::kGoToComplete;
  }
}
