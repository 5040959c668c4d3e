// Helpers of the Device Configuration wizard's tests: child processes, the
// tape engine service installed for a test, and a driver that moves through
// the wizard's sheet from another thread while the sheet runs modally on the
// test's thread (message boxes are left to the scripted user).
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <winsvc.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "Handles.h"
#include "Process.h"
#include "Strings.h"

namespace wiztest {

inline constexpr char kSheetClass[] = "Device Configuration";
inline constexpr int kBackButton = 0x3023;  // comctl32's wizard buttons
inline constexpr int kNextButton = 0x3024;

inline std::string ExeDir() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir = path;
  return dir.substr(0, dir.find_last_of('\\') + 1);
}

// The folder of the built programs (the tests' own folder or its parent).
inline std::string ProgramDir() {
  std::string dir = ExeDir();
  if (::GetFileAttributesA((dir + "TAPESVC.EXE").c_str()) != INVALID_FILE_ATTRIBUTES) return dir;
  return dir + "..\\";
}

inline std::string Env(const char* name) {
  char value[1024] = {};
  DWORD n = ::GetEnvironmentVariableA(name, value, sizeof(value));
  return n && n < sizeof(value) ? std::string(value, n) : std::string();
}
inline void SetEnv(const char* name, const std::string& value) {
  ::SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
}

struct Process {
  kv::CHandle handle;
  DWORD id = 0;
  explicit operator bool() const { return static_cast<bool>(handle); }
  // Exit code, or 9999 when it did not end in time.
  DWORD Wait(DWORD ms) const {
    if (::WaitForSingleObject(handle.Get(), ms) != WAIT_OBJECT_0) return 9999;
    DWORD code = 0;
    ::GetExitCodeProcess(handle.Get(), &code);
    return code;
  }
};

inline Process Start(const std::string& exe, const std::string& args = "") {
  std::string command = "\"" + exe + "\"" + (args.empty() ? "" : " " + args);
  STARTUPINFOA si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  Process p;
  if (kv::StartProcess(nullptr, command.data(), FALSE, 0, nullptr, &si, &pi)) {
    ::CloseHandle(pi.hThread);
    p.handle.Reset(pi.hProcess);
    p.id = pi.dwProcessId;
  }
  return p;
}

// Runs TAPESVC.EXE with arguments and returns its exit code.
inline DWORD RunTapeService(const std::string& args) {
  Process p = Start(ProgramDir() + "TAPESVC.EXE", args);
  return p ? p.Wait(30000) : 9998;
}

inline DWORD ServiceState(const char* name) {
  kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  kv::CServiceHandle service(scm ? ::OpenServiceA(scm.Get(), name, SERVICE_QUERY_STATUS) : nullptr);
  SERVICE_STATUS status{};
  if (!service || !::QueryServiceStatus(service.Get(), &status)) return 0;
  return status.dwCurrentState;
}

inline bool WaitForState(const char* name, DWORD state, DWORD ms = 15000) {
  DWORD start = ::GetTickCount();
  while (ServiceState(name) != state) {
    if (::GetTickCount() - start > ms) return false;
    ::Sleep(20);
  }
  return true;
}

// The tape engine installed (and started with the given arguments) for one
// test, removed again at the end.
class TapeEngine {
 public:
  explicit TapeEngine(const char* name = "KVTapeEngine") : m_name(name) {
    RunTapeService(std::string("-uninstall ") + m_name);  // left over from an aborted run
    m_installed = RunTapeService(std::string("-install ") + m_name) == 0;
  }
  ~TapeEngine() {
    if (m_installed) RunTapeService(std::string("-uninstall ") + m_name);
  }
  TapeEngine(const TapeEngine&) = delete;
  TapeEngine& operator=(const TapeEngine&) = delete;

  bool Installed() const { return m_installed; }
  const char* Name() const { return m_name; }
  bool Start(std::vector<std::string> args = {}) {
    kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    kv::CServiceHandle service(scm ? ::OpenServiceA(scm.Get(), m_name, SERVICE_START) : nullptr);
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    if (!service ||
        !::StartServiceA(service.Get(), static_cast<DWORD>(argv.size()), argv.empty() ? nullptr : argv.data()))
      return false;
    return WaitForState(m_name, SERVICE_RUNNING);
  }

 private:
  const char* m_name;
  bool m_installed = false;
};

inline bool WaitUntil(const std::function<bool()>& done, DWORD ms = 5000) {
  DWORD start = ::GetTickCount();
  while (!done()) {
    if (::GetTickCount() - start > ms) return false;
    ::Sleep(15);
  }
  return true;
}

// The window with the keyboard focus in the thread of window.
inline HWND FocusIn(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  return ::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus : nullptr;
}

// A key pressed and released on the keyboard (the input goes to the focus).
inline void PressKey(WORD key) {
  INPUT input[2] = {};
  for (INPUT& i : input) {
    i.type = INPUT_KEYBOARD;
    i.ki.wVk = key;
  }
  input[1].ki.dwFlags = KEYEVENTF_KEYUP;
  ::SendInput(2, input, sizeof(INPUT));
}

// Drives the sheet of this process from a helper thread.
class SheetDriver {
 public:
  // Waits for the sheet window; false (and a failure) when it never comes.
  bool WaitForSheet(DWORD ms = 10000) {
    DWORD start = ::GetTickCount();
    while (!(m_sheet = Find())) {
      if (::GetTickCount() - start > ms) {
        ADD_FAILURE() << "the wizard's sheet never came";
        return false;
      }
      ::Sleep(15);
    }
    return true;
  }
  HWND Sheet() const { return m_sheet; }

  HWND CurrentPage() const {
    DWORD_PTR page = 0;
    if (!::SendMessageTimeoutA(m_sheet, PSM_GETCURRENTPAGEHWND, 0, 0, SMTO_NORMAL, 5000, &page)) return nullptr;
    return reinterpret_cast<HWND>(page);
  }
  // Template id of the page on view: 1002 Welcome, 1001 Options, 1000 Complete.
  int CurrentPageId() const {
    HWND page = CurrentPage();
    if (!page) return 0;
    if (::GetDlgItem(page, 1012)) return 1002;
    if (::GetDlgItem(page, 1028)) return 1001;
    if (::GetDlgItem(page, 1003)) return 1000;
    return -1;
  }
  // Waits until the page is on view and painted, as a user sees it before
  // acting on it (the Options page takes no Next before that).
  bool WaitForPage(int id, DWORD ms = 10000) {
    DWORD start = ::GetTickCount();
    while (CurrentPageId() != id || !Painted()) {
      if (!::IsWindow(m_sheet) || ::GetTickCount() - start > ms) {
        ADD_FAILURE() << "page " << id << " never came (on " << CurrentPageId() << ")";
        return false;
      }
      ::Sleep(15);
    }
    return true;
  }
  bool Painted() const {
    HWND page = CurrentPage();
    return page && ::IsWindowVisible(page) && !::GetUpdateRect(page, nullptr, FALSE);
  }
  // Waits until the posted wizard-button changes have been applied.
  bool WaitForButtons(bool back, bool next, DWORD ms = 5000) {
    DWORD start = ::GetTickCount();
    while (ButtonEnabled(kBackButton) != back || ButtonEnabled(kNextButton) != next) {
      if (::GetTickCount() - start > ms) return false;
      ::Sleep(15);
    }
    return true;
  }
  bool ButtonEnabled(int id) const {
    HWND button = ::GetDlgItem(m_sheet, id);
    return button && ::IsWindowEnabled(button) && ::IsWindowVisible(button);
  }
  void Press(int button) const { ::PostMessageA(m_sheet, PSM_PRESSBUTTON, static_cast<WPARAM>(button), 0); }
  void Next() const { Press(PSBTN_NEXT); }
  void Back() const { Press(PSBTN_BACK); }
  void Exit() const { Press(PSBTN_CANCEL); }
  // Clicks an option button of the Options page.
  void Choose(int option) const {
    HWND page = CurrentPage();
    DWORD_PTR r = 0;
    ::SendMessageTimeoutA(::GetDlgItem(page, option), BM_CLICK, 0, 0, SMTO_NORMAL, 5000, &r);
  }
  bool Visible(int id) const {
    HWND item = ::GetDlgItem(CurrentPage(), id);
    return item && ::IsWindowVisible(item);
  }
  bool Enabled(int id) const {
    HWND item = ::GetDlgItem(CurrentPage(), id);
    return item && ::IsWindowEnabled(item);
  }
  std::string Text(int id) const { return kv::GetText(::GetDlgItem(CurrentPage(), id)); }
  bool WaitGone(DWORD ms = 10000) const {
    DWORD start = ::GetTickCount();
    while (::IsWindow(m_sheet)) {
      if (::GetTickCount() - start > ms) return false;
      ::Sleep(15);
    }
    return true;
  }

 private:
  static HWND Find() {
    HWND found = nullptr;
    while ((found = ::FindWindowExA(nullptr, found, kSheetClass, nullptr)) != nullptr) {
      DWORD pid = 0;
      ::GetWindowThreadProcessId(found, &pid);
      if (pid == ::GetCurrentProcessId() && ::IsWindowVisible(found)) return found;
    }
    return nullptr;
  }
  HWND m_sheet = nullptr;
};

// Last resort of a failed script: answers every box of this process with
// Yes (or OK) and presses Exit until the sheet is gone, so nothing hangs.
inline void ForceClose(HWND sheet) {
  for (int i = 0; i < 400 && ::IsWindow(sheet); ++i) {
    HWND box = nullptr;
    while ((box = ::FindWindowExA(nullptr, box, "#32770", nullptr)) != nullptr) {
      DWORD pid = 0;
      ::GetWindowThreadProcessId(box, &pid);
      if (pid != ::GetCurrentProcessId() || !::IsWindowVisible(box)) continue;
      for (int id : {IDYES, IDOK, IDCANCEL})
        if (HWND b = ::GetDlgItem(box, id)) {
          ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(b));
          break;
        }
    }
    if (i % 20 == 0) ::PostMessageA(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    ::Sleep(25);
  }
}

}  // namespace wiztest
