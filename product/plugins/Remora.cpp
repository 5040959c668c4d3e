// Remora.DLL: the removable drive option of the Device Configuration wizard.
#include <windows.h>

#include "PluginDialog.h"

namespace {
HINSTANCE g_module = nullptr;

constexpr kvplugin::Setting kSettings[] = {
    {IDC_SETTING_1, "EjectAfterBackup", 0},
    {IDC_SETTING_2, "FormatNewMedia", 1},
};
constexpr kvplugin::Plugin kPlugin = {"Remora", kSettings, sizeof(kSettings) / sizeof(kSettings[0])};
}  // namespace

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_module = module;
  return TRUE;
}

extern "C" __declspec(dllexport) int RmDriveConfigWizard() {
  try {
    return kvplugin::RunConfiguration(g_module, kPlugin);
  } catch (...) {
    return kvplugin::kGoToComplete;
  }
}
