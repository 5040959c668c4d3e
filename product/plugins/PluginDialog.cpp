#include "PluginDialog.h"

#include <string>

#include "Handles.h"

namespace kvplugin {
namespace {

std::string KeyPath(const Plugin& plugin) { return std::string("SOFTWARE\\KestravaNet\\Devices\\") + plugin.keyName; }

// The settings key for reading (null when it does not exist yet: nothing is
// created before Apply) or, with create, for storing.
kv::CRegKey OpenKey(const Plugin& plugin, bool create) {
  kv::CRegKey key;
  if (create)
    ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath(plugin).c_str(), 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                      nullptr, key.Put(), nullptr);
  else
    ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath(plugin).c_str(), 0, KEY_QUERY_VALUE, key.Put());
  return key;
}

// The stored value when it is a DWORD; false when it is missing or damaged
// (another type or size), which the dialog shows as the setting's default.
bool ReadValue(HKEY key, const char* name, DWORD& value) {
  DWORD type = 0, read = 0, size = sizeof(read);
  if (!key || ::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&read), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof(read))
    return false;
  value = read;
  return true;
}

void LoadControls(HWND dialog, const Plugin& plugin) {
  kv::CRegKey key = OpenKey(plugin, false);
  for (size_t i = 0; i < plugin.count; ++i) {
    const Setting& s = plugin.settings[i];
    DWORD value = s.initial;
    ReadValue(key.Get(), s.valueName, value);
    ::CheckDlgButton(dialog, s.controlId, value ? BST_CHECKED : BST_UNCHECKED);
  }
}

// Stores every setting whose stored value is not the one shown (changed,
// missing or damaged); true when it stored any: the device configuration
// changed.
bool SaveControls(HWND dialog, const Plugin& plugin) {
  kv::CRegKey key = OpenKey(plugin, true);
  if (!key) return false;
  bool changed = false;
  for (size_t i = 0; i < plugin.count; ++i) {
    const Setting& s = plugin.settings[i];
    DWORD value = ::IsDlgButtonChecked(dialog, s.controlId) == BST_CHECKED ? 1 : 0;
    DWORD stored = 0;
    if (ReadValue(key.Get(), s.valueName, stored) && (stored ? 1 : 0) == value) continue;
    if (::RegSetValueExA(key.Get(), s.valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
        ERROR_SUCCESS)
      changed = true;
  }
  return changed;
}

INT_PTR HandleConfigMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    ::SetWindowLongPtrA(dialog, DWLP_USER, lParam);
    LoadControls(dialog, *reinterpret_cast<const Plugin*>(lParam));
    return TRUE;
  }
  auto* plugin = reinterpret_cast<const Plugin*>(::GetWindowLongPtrA(dialog, DWLP_USER));
  if (!plugin || message != WM_COMMAND || (HIWORD(wParam) != BN_CLICKED && HIWORD(wParam) != 0)) return FALSE;
  switch (LOWORD(wParam)) {
    case IDOK:
      if (SaveControls(dialog, *plugin)) ReportChange();
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

int RunConfiguration(HINSTANCE module, const Plugin& plugin) {
  HWND owner = ::FindWindowA(kWizardClass, nullptr);
  INT_PTR result = ::DialogBoxParamA(module, MAKEINTRESOURCEA(IDD_PLUGIN_CONFIG), owner, &ConfigProc,
                                     reinterpret_cast<LPARAM>(&plugin));
  // The dialog could not be shown: nothing was configured.
  if (result != kGoToComplete && result != kBackToOptions) return kGoToComplete;
  return static_cast<int>(result);
}

void ReportChange() {
  if (HWND wizard = ::FindWindowA(kWizardClass, nullptr)) ::SendMessageA(wizard, kConfigurationChanged, 0, 0);
}

}  // namespace kvplugin
