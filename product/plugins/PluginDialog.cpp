#include "PluginDialog.h"

#include <string>
#include <vector>

#include "Handles.h"

namespace kvplugin {
namespace {

std::string KeyPath(const Plugin& plugin) { return std::string("SOFTWARE\\KestravaNet\\Devices\\") + plugin.keyName; }

kv::CRegKey OpenKey(const Plugin& plugin, REGSAM access) {
  kv::CRegKey key;
  ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath(plugin).c_str(), 0, nullptr, 0, access, nullptr, key.Put(), nullptr);
  return key;
}

bool ReadValue(HKEY key, const char* name, DWORD& value) {
  DWORD type = 0, size = sizeof(value);
  return key &&
         ::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
         type == REG_DWORD;
}

struct DialogState {
  const Plugin* plugin;
  std::vector<DWORD> stored;  // values when the dialog opened
};

void LoadControls(HWND dialog, DialogState& state) {
  kv::CRegKey key = OpenKey(*state.plugin, KEY_QUERY_VALUE);
  for (size_t i = 0; i < state.plugin->count; ++i) {
    const Setting& s = state.plugin->settings[i];
    DWORD value = s.initial;
    ReadValue(key.Get(), s.valueName, value);
    state.stored.push_back(value ? 1 : 0);
    ::CheckDlgButton(dialog, s.controlId, value ? BST_CHECKED : BST_UNCHECKED);
  }
}

// Stores the check boxes; true when any setting differs from what was stored.
bool SaveControls(HWND dialog, const DialogState& state) {
  kv::CRegKey key = OpenKey(*state.plugin, KEY_SET_VALUE);
  bool changed = false;
  for (size_t i = 0; i < state.plugin->count; ++i) {
    const Setting& s = state.plugin->settings[i];
    DWORD value = ::IsDlgButtonChecked(dialog, s.controlId) == BST_CHECKED ? 1 : 0;
    if (value == state.stored[i]) continue;
    if (key && ::RegSetValueExA(key.Get(), s.valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                sizeof(value)) == ERROR_SUCCESS)
      changed = true;
  }
  return changed;
}

INT_PTR HandleConfigMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    ::SetWindowLongPtrA(dialog, DWLP_USER, lParam);
    LoadControls(dialog, *reinterpret_cast<DialogState*>(lParam));
    return TRUE;
  }
  auto* state = reinterpret_cast<DialogState*>(::GetWindowLongPtrA(dialog, DWLP_USER));
  if (!state || message != WM_COMMAND || (HIWORD(wParam) != BN_CLICKED && HIWORD(wParam) != 0)) return FALSE;
  switch (LOWORD(wParam)) {
    case IDOK:
      if (SaveControls(dialog, *state)) ReportChange();
      ::EndDialog(dialog, kGoToComplete);
      return TRUE;
    case IDCANCEL:
      ::EndDialog(dialog, kGoToComplete);
      return TRUE;
    case IDC_PLUGIN_BACK:
      ::EndDialog(dialog, kBackToOptions);
      return TRUE;
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK ConfigProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    return HandleConfigMessage(dialog, message, wParam, lParam);
  } catch (...) {
    return FALSE;  // nothing escapes into the dialog manager
  }
}

}  // namespace

void EnsureSettings(const Plugin& plugin) {
  kv::CRegKey key = OpenKey(plugin, KEY_QUERY_VALUE | KEY_SET_VALUE);
  if (!key) return;
  for (size_t i = 0; i < plugin.count; ++i) {
    DWORD value = 0;
    if (ReadValue(key.Get(), plugin.settings[i].valueName, value)) continue;
    value = plugin.settings[i].initial;
    ::RegSetValueExA(key.Get(), plugin.settings[i].valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                     sizeof(value));
  }
}

int RunConfiguration(HINSTANCE module, const Plugin& plugin) {
  DialogState state{&plugin, {}};
  HWND owner = ::FindWindowA(kWizardClass, nullptr);
  INT_PTR result = ::DialogBoxParamA(module, MAKEINTRESOURCEA(IDD_PLUGIN_CONFIG), owner, &ConfigProc,
                                     reinterpret_cast<LPARAM>(&state));
  // The dialog could not be shown: nothing was configured.
  if (result != kGoToComplete && result != kBackToOptions) return kGoToComplete;
  return static_cast<int>(result);
}

void ReportChange() {
  if (HWND wizard = ::FindWindowA(kWizardClass, nullptr)) ::SendMessageA(wizard, kConfigurationChanged, 0, 0);
}

}  // namespace kvplugin
