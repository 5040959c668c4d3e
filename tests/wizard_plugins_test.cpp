// The product's five option plug-ins, loaded from the program folder and
// called the way the wizard calls them, with a window of class "Device
// Configuration" standing in for the wizard's sheet. The scripted user works
// each plug-in's own dialog: a change, no change, and back to the options.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>

#include "Handles.h"
#include "ScriptedUser.h"
#include "wizard_support.h"

namespace {

constexpr UINT kChanged = WM_USER + 600;
constexpr int kFirstSetting = 201;
constexpr int kBack = 210;

struct PluginCase {
  const char* file;
  const char* key;
  const char* init;  // null: no init entry
  const char* wizard;
  const char* caption;
  const char* firstValue;
  const char* secondValue;
  bool firstDefault, secondDefault;  // shown while a value is missing or damaged
};

const PluginCase kPlugins[] = {
    {"Chaplet.DLL", "Chaplet", "TLOConfigInit", "TLOConfigWizard", "Tape and Optical Library Configuration",
     "HardwareCompression", "AutoClean", true, true},
    {"Remora.DLL", "Remora", nullptr, "RmDriveConfigWizard", "Removable Drive Configuration", "EjectAfterBackup",
     "FormatNewMedia", false, true},
    {"Raidwell.DLL", "Raidwell", "RaidConfigInit", "RaidConfigWizard", "RAID Device Configuration", "Striping",
     "AutoRebuild", true, true},
    {"Vellum.DLL", "Vellum", nullptr, "VirtualLibWizard", "Virtual Library Configuration", "Enabled", "Compress", false,
     true},
    {"Ntmsgate.DLL", "Ntmsgate", nullptr, "LaunchNTMSWizard", "Removable Storage Manager Devices", "TapeDrivesToRsm",
     "OpticalDrivesToRsm", false, false},
};

int g_changes = 0;

LRESULT CALLBACK StandInProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kChanged) {
    ++g_changes;
    return 0;
  }
  return ::DefWindowProcA(hwnd, message, wParam, lParam);
}

class OptionPlugin : public ::testing::TestWithParam<PluginCase> {
 protected:
  void SetUp() override {
    WNDCLASSA wc{};
    wc.lpfnWndProc = &StandInProc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = "Device Configuration";
    ::RegisterClassA(&wc);
    m_sheet = ::CreateWindowA("Device Configuration", "Device Configuration", WS_OVERLAPPED, 0, 0, 100, 100, nullptr,
                              nullptr, wc.hInstance, nullptr);
    ASSERT_NE(m_sheet, nullptr);
    g_changes = 0;
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, KeyPath().c_str());
    m_module.Reset(::LoadLibraryA((wiztest::ProgramDir() + GetParam().file).c_str()));
    ASSERT_TRUE(m_module) << GetParam().file;
  }
  void TearDown() override {
    m_module.Reset();
    ::DestroyWindow(m_sheet);
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, KeyPath().c_str());
  }
  std::string KeyPath() const { return std::string("SOFTWARE\\KestravaNet\\Devices\\") + GetParam().key; }
  // The init entry (where there is one), then the wizard entry, as the wizard calls them.
  int CallWizard() {
    if (GetParam().init) {
      auto init = kv::GetProc<int (*)()>(m_module.Get(), GetParam().init);
      EXPECT_EQ(init ? init() : -12345, 0);
    }
    auto entry = kv::GetProc<int (*)()>(m_module.Get(), GetParam().wizard);
    return entry ? entry() : -12345;
  }
  // The type and bytes of a stored value (type REG_NONE and nothing when missing).
  std::pair<DWORD, std::string> Raw(const char* name) const {
    char data[64] = {};
    DWORD type = REG_NONE, size = sizeof(data);
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, KeyPath().c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) !=
        ERROR_SUCCESS)
      return {REG_NONE, ""};
    return {type, std::string(data, size)};
  }
  bool KeyExists() const {
    kv::CRegKey key;
    return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath().c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
  }
  static bool Checked(kvtest::DialogDriver& d, int id) {
    return ::SendMessageA(::GetDlgItem(d.Hwnd(), id), BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  bool Stored(const char* name, DWORD& value) const {
    DWORD size = sizeof(value);
    return ::RegGetValueA(HKEY_LOCAL_MACHINE, KeyPath().c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size) ==
           ERROR_SUCCESS;
  }
  // Flips the first setting's check box of the dialog.
  static void Toggle(kvtest::DialogDriver& d) {
    HWND box = ::GetDlgItem(d.Hwnd(), kFirstSetting);
    LRESULT state = ::SendMessageA(box, BM_GETCHECK, 0, 0);
    ::SendMessageA(box, BM_SETCHECK, state == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED, 0);
  }

  HWND m_sheet = nullptr;
  kv::CModule m_module;
};

TEST_P(OptionPlugin, ExportsItsEntryPointsByTheirPlainNames) {
  EXPECT_NE(::GetProcAddress(m_module.Get(), GetParam().wizard), nullptr);
  if (GetParam().init) {
    auto init = kv::GetProc<int (*)()>(m_module.Get(), GetParam().init);
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(init(), 0);
    EXPECT_FALSE(KeyExists());  // nothing is written before Apply
  }
}

// Values of the wrong type where DWORDs belong: the dialog shows the
// defaults and leaves the values as they are until Apply stores the settings.
TEST_P(OptionPlugin, DamagedSettingsShowAsDefaultsAndAreLeftAloneUntilApply) {
  kv::CRegKey key;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath().c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.Put(),
                              nullptr),
            ERROR_SUCCESS);
  // As DWORDs these would read as the opposite of the defaults.
  const DWORD opposite = GetParam().firstDefault ? 0 : 1;
  ::RegSetValueExA(key.Get(), GetParam().firstValue, 0, REG_BINARY, reinterpret_cast<const BYTE*>(&opposite),
                   sizeof(opposite));
  const char text[] = {GetParam().secondDefault ? '0' : '1', 0};
  ::RegSetValueExA(key.Get(), GetParam().secondValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text));
  key.Reset();
  const auto first = Raw(GetParam().firstValue), second = Raw(GetParam().secondValue);

  kvtest::ScriptedUser user;
  bool shown[2] = {};
  user.Dialog(GetParam().caption, [&](kvtest::DialogDriver& d) {
    shown[0] = Checked(d, kFirstSetting);
    shown[1] = Checked(d, kFirstSetting + 1);
    d.Press(IDCANCEL);
  });
  EXPECT_EQ(CallWizard(), 1000);
  EXPECT_TRUE(user.Finish()) << user.Report();
  EXPECT_EQ(shown[0], GetParam().firstDefault);
  EXPECT_EQ(shown[1], GetParam().secondDefault);
  EXPECT_EQ(Raw(GetParam().firstValue), first);
  EXPECT_EQ(Raw(GetParam().secondValue), second);
  EXPECT_EQ(g_changes, 0);

  // Apply stores the settings shown: the damaged values are replaced, and
  // that is a change the wizard hears of.
  user.Dialog(GetParam().caption, [&](kvtest::DialogDriver& d) { d.Press(IDOK); });
  EXPECT_EQ(CallWizard(), 1000);
  EXPECT_TRUE(user.Finish()) << user.Report();
  DWORD value = 99;
  ASSERT_TRUE(Stored(GetParam().firstValue, value));
  EXPECT_EQ(value, GetParam().firstDefault ? 1u : 0u);
  ASSERT_TRUE(Stored(GetParam().secondValue, value));
  EXPECT_EQ(value, GetParam().secondDefault ? 1u : 0u);
  EXPECT_EQ(g_changes, 1);
}

TEST_P(OptionPlugin, AppliedChangeIsStoredAndReportedToTheWizard) {
  kvtest::ScriptedUser user;
  bool before = false;
  user.Dialog(GetParam().caption, [&](kvtest::DialogDriver& d) {
    before = ::SendMessageA(::GetDlgItem(d.Hwnd(), kFirstSetting), BM_GETCHECK, 0, 0) == BST_CHECKED;
    Toggle(d);
    d.Press(IDOK);
  });
  EXPECT_EQ(CallWizard(), 1000);
  EXPECT_TRUE(user.Finish()) << user.Report();
  EXPECT_EQ(g_changes, 1);
  DWORD value = 99;
  ASSERT_TRUE(Stored(GetParam().firstValue, value));
  EXPECT_EQ(value, before ? 0u : 1u);

  // The same setting shown again: applying it unchanged reports nothing.
  user.Dialog(GetParam().caption, [&](kvtest::DialogDriver& d) { d.Press(IDOK); });
  EXPECT_EQ(CallWizard(), 1000);
  EXPECT_TRUE(user.Finish()) << user.Report();
  EXPECT_EQ(g_changes, 1);
}

TEST_P(OptionPlugin, ClosingWithoutApplyingChangesNothing) {
  kvtest::ScriptedUser user;
  user.Dialog(GetParam().caption, [&](kvtest::DialogDriver& d) {
    Toggle(d);
    d.Press(IDCANCEL);
  });
  EXPECT_EQ(CallWizard(), 1000);
  EXPECT_TRUE(user.Finish()) << user.Report();
  EXPECT_EQ(g_changes, 0);
  EXPECT_FALSE(KeyExists());  // nothing written without Apply
}

TEST_P(OptionPlugin, BackReturnsToTheWizardsOptions) {
  kvtest::ScriptedUser user;
  user.Dialog(GetParam().caption, [&](kvtest::DialogDriver& d) {
    Toggle(d);
    d.Press(kBack);
  });
  EXPECT_EQ(CallWizard(), 1001);
  EXPECT_TRUE(user.Finish()) << user.Report();
  EXPECT_EQ(g_changes, 0);
}

INSTANTIATE_TEST_SUITE_P(Plugins, OptionPlugin, ::testing::ValuesIn(kPlugins),
                         [](const auto& info) { return std::string(info.param.key); });

}  // namespace
