// The product's five option plug-ins, loaded from the program folder and
// called the way the wizard calls them, with a window of class "Device
// Configuration" standing in for the wizard's sheet. The scripted user works
// each plug-in's own dialog: a change, no change, and back to the options.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

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
};

const PluginCase kPlugins[] = {
    {"Chaplet.DLL", "Chaplet", "TLOConfigInit", "TLOConfigWizard", "Tape and Optical Library Configuration",
     "HardwareCompression"},
    {"Remora.DLL", "Remora", nullptr, "RmDriveConfigWizard", "Removable Drive Configuration", "EjectAfterBackup"},
    {"Raidwell.DLL", "Raidwell", "RaidConfigInit", "RaidConfigWizard", "RAID Device Configuration", "Striping"},
    {"Vellum.DLL", "Vellum", nullptr, "VirtualLibWizard", "Virtual Library Configuration", "Enabled"},
    {"Ntmsgate.DLL", "Ntmsgate", nullptr, "LaunchNTMSWizard", "Removable Storage Manager Devices", "TapeDrivesToRsm"},
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
  int CallWizard() {
    auto entry = kv::GetProc<int (*)()>(m_module.Get(), GetParam().wizard);
    return entry ? entry() : -12345;
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
    DWORD value = 99;
    EXPECT_TRUE(Stored(GetParam().firstValue, value));  // the settings got their first values
  }
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
  DWORD value = 0;
  if (!GetParam().init) {
    EXPECT_TRUE(Stored(GetParam().firstValue, value));  // first values written at the start
  }
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
