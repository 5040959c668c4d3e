// Both programs start as real processes, show their top-level window and end
// when it is closed.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>

#include <string>
#include <vector>

#include "Handles.h"
#include "Process.h"
#include "Strings.h"

namespace {

std::string BinDir() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir = path;
  return dir.substr(0, dir.find_last_of('\\') + 1);
}

struct Process {
  kv::CHandle process;
  DWORD id = 0;
};

Process Start(const std::string& exe, const std::string& args = "") {
  std::string command = "\"" + BinDir() + exe + "\"" + (args.empty() ? "" : " " + args);
  STARTUPINFOA si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  Process p;
  if (kv::StartProcess(nullptr, command.data(), FALSE, 0, BinDir().c_str(), &si, &pi)) {
    ::CloseHandle(pi.hThread);
    p.process.Reset(pi.hProcess);
    p.id = pi.dwProcessId;
  }
  return p;
}

struct Search {
  DWORD pid;
  std::string className;
  std::string caption;
  HWND found;
  bool eitherMatches = false;  // class or caption is enough
  bool ownedToo = false;       // also windows with an owner (a confirmation on the main window)
};

BOOL CALLBACK FindTopLevel(HWND hwnd, LPARAM lParam) {
  Search* s = reinterpret_cast<Search*>(lParam);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  if (pid != s->pid || !::IsWindowVisible(hwnd) || (!s->ownedToo && ::GetWindow(hwnd, GW_OWNER))) return TRUE;
  char cls[128] = {};
  ::GetClassNameA(hwnd, cls, sizeof(cls));
  bool classOk = s->className.empty() || s->className == cls;
  bool captionOk = s->caption.empty() || kv::GetText(hwnd) == s->caption;
  if (s->eitherMatches ? !(classOk || captionOk) : !(classOk && captionOk)) return TRUE;
  s->found = hwnd;
  return FALSE;
}

HWND WaitForWindow(DWORD pid, const std::string& className, const std::string& caption, bool either = false) {
  DWORD start = ::GetTickCount();
  while (::GetTickCount() - start < 15000) {
    Search s{pid, className, caption, nullptr, either};
    ::EnumWindows(&FindTopLevel, reinterpret_cast<LPARAM>(&s));
    if (s.found) return s.found;
    ::Sleep(50);
  }
  return nullptr;
}

std::vector<int> ChildIds(HWND parent) {
  std::vector<int> ids;
  for (HWND child = ::GetWindow(parent, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
    ids.push_back(::GetDlgCtrlID(child));
  return ids;
}

// Closes the window and answers what the program may ask on the way.
DWORD CloseAndWait(const Process& p, HWND window) {
  ::PostMessageA(window, WM_CLOSE, 0, 0);
  DWORD start = ::GetTickCount();
  while (::WaitForSingleObject(p.process.Get(), 50) == WAIT_TIMEOUT) {
    if (::GetTickCount() - start > 15000) {
      ::TerminateProcess(p.process.Get(), 99);
      return 99;
    }
    Search box{p.id, "#32770", "", nullptr, false, true};
    ::EnumWindows(&FindTopLevel, reinterpret_cast<LPARAM>(&box));
    // Yes to a confirmation, OK to a warning (the console's when this
    // machine has no role).
    for (HWND w = box.found; w && w != window; w = nullptr) {
      int answer = ::GetDlgItem(w, IDYES) ? IDYES : (::GetDlgItem(w, IDOK) ? IDOK : 0);
      if (answer)
        ::PostMessageA(w, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(w, answer)));
    }
  }
  DWORD code = 0;
  ::GetExitCodeProcess(p.process.Get(), &code);
  return code;
}

TEST(Smoke, ConsoleShowsItsMainDialogAndEndsWhenClosed) {
  Process p = Start("Quayside.exe");
  ASSERT_TRUE(p.process) << "could not start Quayside.exe";
  HWND main = WaitForWindow(p.id, "#32770", "SAN Option Configuration");
  ASSERT_NE(main, nullptr) << "the console's window never came";
  std::vector<int> ids = ChildIds(main);
  for (int id : {1000, 1001, 1002, 1003, 1004, 1005, 1039, 1041, 1, 57670})
    EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end()) << "control " << id;
  EXPECT_NE(CloseAndWait(p, main), 99u);
}

TEST(Smoke, WizardShowsItsSheetOnTheWelcomePageAndEndsWhenClosed) {
  Process p = Start("Gearwise.exe");
  ASSERT_TRUE(p.process) << "could not start Gearwise.exe";
  // Found by its window class; by its caption while the class is not registered.
  HWND sheet = WaitForWindow(p.id, "Device Configuration", "Device Configuration", true);
  ASSERT_NE(sheet, nullptr) << "the wizard's window never came";
  HWND page = reinterpret_cast<HWND>(::SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(kv::GetText(::GetDlgItem(page, 1011)), "Welcome to Device Configuration!");
  EXPECT_NE(CloseAndWait(p, sheet), 99u);
}

}  // namespace
