// Gearwise.exe end to end, as an administrator meets it: started with the
// RAID key on its command line while the tape engine runs, it asks before
// stopping the engine, runs the product's RAID plug-in, whose dialog makes a
// change, and its last page asks for the engine to be restarted and takes
// the keyboard again.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "ScriptedUser.h"
#include "wizard_support.h"

namespace {

struct Found {
  DWORD pid;
  std::string caption;
  HWND hwnd;
};

BOOL CALLBACK FindDialog(HWND hwnd, LPARAM lParam) {
  auto* f = reinterpret_cast<Found*>(lParam);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  char cls[64] = {};
  ::GetClassNameA(hwnd, cls, sizeof(cls));
  if (pid != f->pid || !::IsWindowVisible(hwnd) || std::string(cls) != "#32770") return TRUE;
  if (!f->caption.empty() && kv::GetText(hwnd) != f->caption) return TRUE;
  f->hwnd = hwnd;
  return FALSE;
}

// A dialog or message box of the process; any caption when caption is empty.
HWND WaitForDialog(DWORD pid, const std::string& caption, DWORD ms = 15000) {
  DWORD start = ::GetTickCount();
  do {
    Found f{pid, caption, nullptr};
    ::EnumWindows(&FindDialog, reinterpret_cast<LPARAM>(&f));
    if (f.hwnd) return f.hwnd;
    ::Sleep(30);
  } while (::GetTickCount() - start < ms);
  return nullptr;
}

void Click(HWND dialog, int id) {
  ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

HWND CurrentPage(HWND sheet) {
  DWORD_PTR page = 0;
  ::SendMessageTimeoutA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0, SMTO_NORMAL, 5000, &page);
  return reinterpret_cast<HWND>(page);
}

TEST(GearwiseProgram, RaidKeyWithTheEngineRunningAsksStopsRunsThePluginAndAsksForARestart) {
  const char raidKey[] = "SOFTWARE\\KestravaNet\\Devices\\Raidwell";
  ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, raidKey);
  wiztest::TapeEngine engine;
  ASSERT_TRUE(engine.Installed());
  ASSERT_TRUE(engine.Start());

  wiztest::Process wizard = wiztest::Start(wiztest::ProgramDir() + "Gearwise.exe", "/raid");
  ASSERT_TRUE(wizard);
  bool done = false;
  [&] {
    HWND question = WaitForDialog(wizard.id, "");
    ASSERT_NE(question, nullptr) << "no question before the engine stop";
    ASSERT_TRUE(kvtest::IsMessageBox(question));
    EXPECT_EQ(kvtest::MessageBoxText(question),
              "Tape Engine service will be stopped in order to allow device configuration.\n"
              "Would you like to continue?");
    EXPECT_EQ(wiztest::ServiceState("KVTapeEngine"), static_cast<DWORD>(SERVICE_RUNNING));
    Click(question, IDYES);

    HWND plugin = WaitForDialog(wizard.id, "RAID Device Configuration");
    ASSERT_NE(plugin, nullptr) << "the RAID plug-in's dialog never came";
    EXPECT_EQ(wiztest::ServiceState("KVTapeEngine"), static_cast<DWORD>(SERVICE_STOPPED));
    HWND verify = ::GetDlgItem(plugin, 203);
    ::SendMessageA(verify, BM_SETCHECK, ::SendMessageA(verify, BM_GETCHECK, 0, 0) ? BST_UNCHECKED : BST_CHECKED, 0);
    Click(plugin, IDOK);

    HWND sheet = ::FindWindowA("Device Configuration", nullptr);
    ASSERT_NE(sheet, nullptr);
    DWORD start = ::GetTickCount();
    HWND page = nullptr;
    while (!((page = CurrentPage(sheet)) && ::GetDlgItem(page, 1003)) && ::GetTickCount() - start < 10000) ::Sleep(30);
    ASSERT_TRUE(page && ::GetDlgItem(page, 1003)) << "the Complete page never came";
    ::Sleep(200);
    EXPECT_TRUE(::IsWindowVisible(::GetDlgItem(page, 1003)));
    EXPECT_TRUE(::IsWindowVisible(::GetDlgItem(page, 1004)));
    EXPECT_TRUE(::IsWindowVisible(::GetDlgItem(page, 1014)));  // RAID: Back stays

    // The plug-in's dialog has closed: the keyboard reaches the sheet again,
    // its Back button has the focus and Escape asks to exit.
    HWND back = ::GetDlgItem(sheet, wiztest::kBackButton);
    EXPECT_TRUE(wiztest::WaitUntil([&] { return wiztest::FocusIn(sheet) == back; })) << wiztest::FocusIn(sheet);
    wiztest::PressKey(VK_ESCAPE);
    HWND confirm = WaitForDialog(wizard.id, "Device Configuration", 5000);
    if (!confirm) {
      ADD_FAILURE() << "Escape did not reach the Complete page";
      ::PostMessageA(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
      confirm = WaitForDialog(wizard.id, "Device Configuration");
    }
    ASSERT_NE(confirm, nullptr);
    EXPECT_EQ(kvtest::MessageBoxText(confirm), "Exit Device Configuration?");
    Click(confirm, IDYES);
    EXPECT_EQ(wizard.Wait(15000), 0u);
    done = true;
  }();
  if (!done) ::TerminateProcess(wizard.handle.Get(), 1);
  // The wizard never starts the engine again.
  EXPECT_EQ(wiztest::ServiceState("KVTapeEngine"), static_cast<DWORD>(SERVICE_STOPPED));
  ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, raidKey);
}

}  // namespace
