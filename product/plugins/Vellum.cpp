// Vellum.DLL: the virtual library option of the Device Configuration wizard.
#include <windows.h>

#include "PluginDialog.h"

namespace {
HINSTANCE g_module = nullptr;

constexpr kvplugin::Setting kSettings[] = {
    {IDC_SETTING_1, "Enabled", 0},
    {IDC_SETTING_2, "Compress", 1},
};
constexpr kvplugin::Plugin kPlugin = {"Vellum", kSettings, sizeof(kSettings) / sizeof(kSettings[0])};
}  // namespace

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_module = module;
  return TRUE;
}

extern "C" __declspec(dllexport) int VirtualLibWizard() {
  try {
    return kvplugin::RunConfiguration(g_module, kPlugin);
  } catch (...) {
    return kvplugin::kGoToComplete;
  }
}
