// One wizard per machine: real Gearwise.exe processes for the second start,
// the single-instance and activity mutexes for the rest.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <thread>

#include "GearwiseApp.h"
#include "ScriptedUser.h"
#include "wizard_support.h"

namespace {

HWND WaitForSheetOf(DWORD pid, DWORD ms = 15000) {
  DWORD start = ::GetTickCount();
  do {
    HWND found = nullptr;
    while ((found = ::FindWindowExA(nullptr, found, "Device Configuration", nullptr)) != nullptr) {
      DWORD owner = 0;
      ::GetWindowThreadProcessId(found, &owner);
      if (owner == pid && ::IsWindowVisible(found)) return found;
    }
    ::Sleep(30);
  } while (::GetTickCount() - start < ms);
  return nullptr;
}

// Presses Exit in another process's wizard and answers its confirmation.
DWORD ExitWizard(const wiztest::Process& p, HWND sheet) {
  ::PostMessageA(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
  DWORD start = ::GetTickCount();
  while (::WaitForSingleObject(p.handle.Get(), 50) == WAIT_TIMEOUT) {
    if (::GetTickCount() - start > 15000) {
      ::TerminateProcess(p.handle.Get(), 99);
      return 99;
    }
    HWND box = nullptr;
    while ((box = ::FindWindowExA(nullptr, box, "#32770", nullptr)) != nullptr) {
      DWORD owner = 0;
      ::GetWindowThreadProcessId(box, &owner);
      if (owner == p.id && ::GetDlgItem(box, IDYES))
        ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(box, IDYES)));
    }
  }
  DWORD code = 0;
  ::GetExitCodeProcess(p.handle.Get(), &code);
  return code;
}

TEST(SingleInstance, SecondStartBringsTheRunningWizardForwardAndEndsWithoutAMessage) {
  wiztest::Process first = wiztest::Start(wiztest::ProgramDir() + "Gearwise.exe");
  ASSERT_TRUE(first);
  HWND sheet = WaitForSheetOf(first.id);
  ASSERT_NE(sheet, nullptr) << "the first wizard never showed";
  EXPECT_FALSE(::IsZoomed(sheet));

  wiztest::Process second = wiztest::Start(wiztest::ProgramDir() + "Gearwise.exe");
  ASSERT_TRUE(second);
  // A message box would keep it waiting for an answer.
  DWORD code = second.Wait(15000);
  if (code == 9999) ::TerminateProcess(second.handle.Get(), 1);
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(::IsZoomed(sheet)) << "the running wizard was not shown maximized";
  EXPECT_EQ(WaitForSheetOf(second.id, 100), nullptr);
  EXPECT_NE(ExitWizard(first, sheet), 99u);
}

// The visible window of process pid with the given caption.
HWND WaitForWindowOf(DWORD pid, const char* caption, DWORD ms = 15000) {
  DWORD start = ::GetTickCount();
  do {
    HWND found = nullptr;
    while ((found = ::FindWindowExA(nullptr, found, nullptr, caption)) != nullptr) {
      DWORD owner = 0;
      ::GetWindowThreadProcessId(found, &owner);
      if (owner == pid && ::IsWindowVisible(found)) return found;
    }
    ::Sleep(30);
  } while (::GetTickCount() - start < ms);
  return nullptr;
}

// While the first wizard runs a plug-in's dialog, its sheet is disabled: the
// second start must bring that dialog forward, above the maximized sheet.
TEST(SingleInstance, SecondStartDuringAPluginBringsThePluginDialogForward) {
  wiztest::Process first = wiztest::Start(wiztest::ProgramDir() + "Gearwise.exe", "raid");
  ASSERT_TRUE(first);
  HWND sheet = WaitForSheetOf(first.id);
  ASSERT_NE(sheet, nullptr) << "the first wizard never showed";
  HWND plugin = WaitForWindowOf(first.id, "RAID Device Configuration");
  ASSERT_NE(plugin, nullptr) << "the RAID plug-in never showed";
  EXPECT_FALSE(::IsWindowEnabled(sheet));

  wiztest::Process second = wiztest::Start(wiztest::ProgramDir() + "Gearwise.exe");
  ASSERT_TRUE(second);
  DWORD code = second.Wait(15000);
  if (code == 9999) ::TerminateProcess(second.handle.Get(), 1);
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(::IsZoomed(sheet)) << "the running wizard was not shown maximized";
  EXPECT_FALSE(::IsZoomed(plugin));
  // What the user sees and clicks at the middle of the dialog is the dialog.
  // The first wizard carries out the maximize on its own thread, so the
  // stacking may settle a moment after the second start has ended.
  HWND atCentre = nullptr;
  for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < 3000; ::Sleep(50)) {
    RECT r{};
    ::GetWindowRect(plugin, &r);
    atCentre = ::GetAncestor(::WindowFromPoint(POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2}), GA_ROOT);
    if (atCentre == plugin) break;
  }
  char found[64] = "";
  if (atCentre) ::GetClassNameA(atCentre, found, sizeof(found));
  EXPECT_EQ(atCentre, plugin) << "at the dialog's centre: a window of class \"" << found << "\"";
  EXPECT_EQ(::GetForegroundWindow(), plugin);

  ::PostMessageA(plugin, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  EXPECT_NE(ExitWizard(first, sheet), 99u);
}

// Holds the single-instance mutex on a thread of its own, as another wizard
// without a window would.
class MutexHolder {
 public:
  explicit MutexHolder(const char* name) {
    m_thread = std::thread([this, name] {
      kv::CHandle mutex(::CreateMutexA(nullptr, TRUE, name));
      m_ready = true;
      ::WaitForSingleObject(m_done.Get(), 30000);
    });
    while (!m_ready) ::Sleep(5);
  }
  ~MutexHolder() {
    ::SetEvent(m_done.Get());
    m_thread.join();
  }

 private:
  kv::CHandle m_done{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<bool> m_ready{false};
  std::thread m_thread;
};

TEST(SingleInstance, RunningWizardWithoutAWindowIsReportedWithMessage119) {
  MutexHolder other(kSingleInstanceMutex);
  CGearwiseApp app;
  kvtest::ScriptedUser user;
  user.AnswerBox(IDOK);
  EXPECT_FALSE(app.CheckSingleInstance());
  EXPECT_FALSE(app.HoldsSingleInstance());
  EXPECT_TRUE(user.Finish()) << user.Report();
  auto boxes = user.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Device Configuration is already running!");
  EXPECT_EQ(boxes[0].flags, static_cast<UINT>(MB_ICONSTOP));
  EXPECT_EQ(boxes[0].owner, nullptr);
}

TEST(SingleInstance, FirstWizardHoldsTheMutexUntilExitInstance) {
  CGearwiseApp app;
  ASSERT_TRUE(app.CheckSingleInstance());
  auto probe = [] {
    bool ownedElsewhere = false;
    std::thread t([&] {
      kv::CHandle m(::CreateMutexA(nullptr, FALSE, kSingleInstanceMutex));
      ownedElsewhere = ::GetLastError() == ERROR_ALREADY_EXISTS && ::WaitForSingleObject(m.Get(), 0) == WAIT_TIMEOUT;
    });
    t.join();
    return ownedElsewhere;
  };
  EXPECT_TRUE(probe());
  app.ExitInstance();
  EXPECT_FALSE(app.HoldsSingleInstance());
  EXPECT_FALSE(probe());
}

TEST(SingleInstance, MutexThatCannotBeMadeEndsTheProgramSilently) {
  // Another kind of object under the name: CreateMutexA fails.
  kv::CHandle squatter(::CreateEventA(nullptr, TRUE, FALSE, kSingleInstanceMutex));
  ASSERT_TRUE(squatter);
  CGearwiseApp app;
  kvtest::ScriptedUser user;
  EXPECT_FALSE(app.CheckSingleInstance());
  EXPECT_TRUE(user.Finish()) << user.Report();
  EXPECT_TRUE(user.Boxes().empty());
}

TEST(ActivityLock, IsRefusedWithMessage116WhileAnotherActivityRunsAndSilentlyWhenTheNameIsTaken) {
  CGearwiseApp app;
  {
    kv::CHandle activity(::CreateMutexA(nullptr, FALSE, kActivityMutex));
    kvtest::ScriptedUser user;
    user.AnswerBox(IDOK);
    EXPECT_FALSE(AcquireActivityLock());
    EXPECT_TRUE(user.Finish()) << user.Report();
    ASSERT_EQ(user.Boxes().size(), 1u);
    EXPECT_EQ(user.Boxes()[0].text,
              "Device Configuration cannot be started! It requires all other Kestrava 2000 activities (Backup, "
              "Restore, etc.) to be inactive.");
    EXPECT_EQ(user.Boxes()[0].flags, static_cast<UINT>(MB_OK));
  }
  {
    kv::CHandle squatter(::CreateEventA(nullptr, TRUE, FALSE, kActivityMutex));
    kvtest::ScriptedUser user;
    EXPECT_FALSE(AcquireActivityLock());
    EXPECT_TRUE(user.Finish()) << user.Report();
    EXPECT_TRUE(user.Boxes().empty());
  }
  kv::CHandle lock = AcquireActivityLock();
  EXPECT_TRUE(lock);
}

}  // namespace
