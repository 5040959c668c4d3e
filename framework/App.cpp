#include "App.h"

#include <commctrl.h>

#include <atomic>

#include "StartupTrace.h"

namespace kv {
namespace {
CWinApp* g_app = nullptr;
HINSTANCE g_resourceInstance = nullptr;
std::atomic<int> g_waitDepth{0};
HCURSOR g_cursorBeforeWait = nullptr;
std::atomic<HWND> g_questionRoot{nullptr};

std::string ProgramName() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string name = path;
  size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}
}  // namespace

CWinApp::CWinApp() {
  g_app = this;
  m_strAppName = ProgramName();
}

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

CWinApp* CWinApp::Current() { return g_app; }

int CWinApp::Run(HINSTANCE instance, LPSTR commandLine, int showCommand) {
  m_hInstance = instance;
  m_strCmdLine = commandLine ? commandLine : "";
  m_nCmdShow = showCommand;
  if (!g_resourceInstance) g_resourceInstance = instance;
  StartupMark("WinMain");

  INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES | ICC_TAB_CLASSES | ICC_PROGRESS_CLASS |
                                               ICC_LISTVIEW_CLASSES | ICC_TREEVIEW_CLASSES | ICC_BAR_CLASSES};
  ::InitCommonControlsEx(&icc);
  StartupMark("common controls");

  BOOL loop = FALSE;
  try {
    loop = InitInstance();
  } catch (...) {
    loop = FALSE;
  }
  if (loop) {
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
    m_nExitCode = static_cast<int>(msg.wParam);
  }
  return ExitInstance();
}

void SetQuestionRoot(HWND window) { g_questionRoot.store(window); }

HWND QuestionOwner() {
  HWND root = g_questionRoot.load();
  if (!root || !::IsWindow(root)) {
    CWinApp* app = CWinApp::Current();
    root = app && app->m_hMainWnd && ::IsWindow(app->m_hMainWnd) ? app->m_hMainWnd : nullptr;
  }
  if (root) {
    // A dialog that the main window opened (and that may be asking from a
    // worker thread) takes the question in front of itself.
    HWND popup = ::GetLastActivePopup(root);
    return popup && ::IsWindowVisible(popup) ? popup : root;
  }
  if (HWND active = ::GetActiveWindow()) return active;
  HWND foreground = ::GetForegroundWindow();
  DWORD process = 0;
  if (foreground && ::GetWindowThreadProcessId(foreground, &process) && process == ::GetCurrentProcessId())
    return foreground;
  return nullptr;
}

HINSTANCE ResourceInstance() { return g_resourceInstance ? g_resourceInstance : ::GetModuleHandleA(nullptr); }
void SetResourceInstance(HINSTANCE instance) { g_resourceInstance = instance; }

void BeginWaitCursor() {
  HCURSOR previous = ::SetCursor(::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_WAIT)));
  if (g_waitDepth.fetch_add(1) == 0) g_cursorBeforeWait = previous;
}

void EndWaitCursor() {
  int before = g_waitDepth.load();
  if (before <= 0) return;
  if (g_waitDepth.fetch_sub(1) == 1) {
    ::SetCursor(g_cursorBeforeWait ? g_cursorBeforeWait : ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW)));
    g_cursorBeforeWait = nullptr;
  }
}

void RestoreWaitCursor() {
  if (g_waitDepth.load() > 0) ::SetCursor(::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_WAIT)));
}

int WaitCursorDepth() { return g_waitDepth.load(); }

}  // namespace kv
