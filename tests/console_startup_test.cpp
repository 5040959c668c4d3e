// The console's start-up: one copy per machine and the two registry roots.
// Every start runs in a process of its own (the single-instance mutex lives
// as long as its process): this test starts copies of itself that run
// CRoleConsoleApp::InitInstance with the scripted user, which reads the exact
// text, caption and flags of each message box.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "Handles.h"
#include "LabAdmin.h"
#include "Process.h"
#include "RoleConsoleApp.h"
#include "ScriptedUser.h"
#include "Strings.h"
#include "TestLab.h"
#include "resource.h"

namespace {

constexpr char kChildVariable[] = "KV_CONSOLE_STARTUP_CHILD";

std::string Env(const char* name) {
  char value[2048] = {};
  DWORD n = ::GetEnvironmentVariableA(name, value, sizeof(value));
  return n && n < sizeof(value) ? std::string(value, n) : std::string();
}

std::string ExeDir() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir = path;
  return dir.substr(0, dir.find_last_of('\\') + 1);
}

// Sets an environment variable for the children started while it lives.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : m_name(name), m_old(Env(name)), m_had(!m_old.empty()) {
    ::SetEnvironmentVariableA(name, value.c_str());
  }
  ~ScopedEnv() { ::SetEnvironmentVariableA(m_name, m_had ? m_old.c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* m_name;
  std::string m_old;
  bool m_had;
};

struct Child {
  kv::CHandle process;
  DWORD id = 0;
};

Child Start(const std::string& exe, const std::string& args) {
  std::string command = "\"" + exe + "\" " + args;
  STARTUPINFOA si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  Child child;
  if (kv::StartProcess(nullptr, command.data(), FALSE, 0, nullptr, &si, &pi)) {
    ::CloseHandle(pi.hThread);
    child.process.Reset(pi.hProcess);
    child.id = pi.dwProcessId;
  }
  return child;
}

// Runs the child case in a copy of this test (exe: this one unless given);
// returns its exit code (0 when its checks passed), 9999 when it hung.
DWORD RunChildCase(const std::string& name, const std::string& exe = std::string()) {
  ScopedEnv mode(kChildVariable, name);
  char self[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  Child child = Start(exe.empty() ? self : exe, "--gtest_filter=ConsoleStartupChild.*");
  if (!child.process) return 9998;
  if (::WaitForSingleObject(child.process.Get(), 60000) != WAIT_OBJECT_0) {
    ::TerminateProcess(child.process.Get(), 1);
    return 9999;
  }
  DWORD code = 0;
  ::GetExitCodeProcess(child.process.Get(), &code);
  return code;
}

struct WindowSearch {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindConsoleOf(HWND hwnd, LPARAM lParam) {
  auto* s = reinterpret_cast<WindowSearch*>(lParam);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  if (pid != s->pid || !::IsWindowVisible(hwnd) || kv::GetText(hwnd) != "SAN Option Configuration") return TRUE;
  s->found = hwnd;
  return FALSE;
}

HWND WaitForConsoleOf(DWORD pid) {
  for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < 15000; ::Sleep(50)) {
    WindowSearch s{pid, nullptr};
    ::EnumWindows(&FindConsoleOf, reinterpret_cast<LPARAM>(&s));
    if (s.found) return s.found;
  }
  return nullptr;
}

// ---- the child side: one start of the console per process ----------------

TEST(ConsoleStartupChild, Run) {
  const std::string mode = Env(kChildVariable);
  if (mode.empty()) GTEST_SKIP() << "runs only as a child of the start-up tests";
  kvtest::ScriptedUser user;
  if (mode == "133" || mode == "134") user.AnswerBox(IDOK);
  if (mode == "start") user.Dialog("SAN Option Configuration", [](kvtest::DialogDriver& d) { d.Press(IDOK); });

  CRoleConsoleApp app;
  EXPECT_FALSE(app.InitInstance());
  ASSERT_TRUE(user.Finish()) << user.Report();
  if (mode == "133" || mode == "134") {
    ASSERT_EQ(user.Boxes().size(), 1u);
    const kvtest::SeenBox box = user.Boxes()[0];
    EXPECT_EQ(box.text, mode == "133" ? "Could not find Discovery Table String" : "Could not find Kestrava String");
    EXPECT_EQ(box.caption, "Failed During Transaction");
    EXPECT_EQ(box.flags, 0x42030u);
    EXPECT_EQ(box.owner, nullptr);
  } else {
    EXPECT_TRUE(user.Boxes().empty());
  }
}

// ---- the parent side ------------------------------------------------------

TEST(ConsoleStartup, WithoutTheDiscoveryTableRootOnlyItsMessageShowsWhateverTheProductRoot) {
  // Toolwright gives no path that does not fit its 256-byte buffer. A
  // product root of 300 characters: neither root; of 245: the product root
  // fits, the discovery table's path (15 characters longer) does not.
  for (size_t length : {300u, 245u}) {
    ScopedEnv root("KV_PRODUCT_ROOT", std::string(length, 'X'));
    EXPECT_EQ(RunChildCase("133"), 0u) << "product root of " << length << " characters";
  }
}

TEST(ConsoleStartup, WithoutTheProductRootItsMessageShows) {
  // A copy of this test beside a Toolwright that has no product root; the
  // other product libraries come from the programs' folder.
  const std::string stubExe = ExeDir() + "consolestub\\console_startup_test.exe";
  ASSERT_NE(::GetFileAttributesA(stubExe.c_str()), INVALID_FILE_ATTRIBUTES) << stubExe;
  ScopedEnv path("PATH", ExeDir() + ";" + Env("PATH"));
  EXPECT_EQ(RunChildCase("134", stubExe), 0u);
}

TEST(ConsoleStartup, ASecondCopyEndsSilentlyWhileOneRunsAndANewOneStartsAfterItEnded) {
  kvlab::CScopedLab lab("consolestartup", 0);
  // This machine has a role, so closing asks nothing.
  const std::string local = kvlab::LocalComputerName();
  ASSERT_EQ(0, kvlab::SetRole(local, local, "Administrator", "local-pw"));

  Child first = Start(ExeDir() + "Quayside.exe", "");
  ASSERT_TRUE(first.process);
  HWND console = WaitForConsoleOf(first.id);
  ASSERT_NE(console, nullptr) << "the first console never showed";

  EXPECT_EQ(RunChildCase("second"), 0u);
  EXPECT_TRUE(::IsWindow(console) && ::IsWindowVisible(console)) << "the first console was disturbed";
  EXPECT_EQ(::WaitForSingleObject(first.process.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

  ::PostMessageA(console, WM_CLOSE, 0, 0);
  if (::WaitForSingleObject(first.process.Get(), 15000) != WAIT_OBJECT_0) {
    ::TerminateProcess(first.process.Get(), 1);
    FAIL() << "the first console did not end";
  }
  EXPECT_EQ(RunChildCase("start"), 0u);
}

}  // namespace
