// The application object: WinMain lives in the framework and calls the hooks
// of the one global application object, as a dialog-based program expects.
#pragma once

#include <windows.h>

#include <string>

namespace kv {

class CWinApp {
 public:
  CWinApp();
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // Return FALSE to end the program (ExitInstance still runs); TRUE runs a
  // message loop until WM_QUIT.
  virtual BOOL InitInstance() { return FALSE; }
  virtual int ExitInstance() { return m_nExitCode; }

  // The body of WinMain.
  int Run(HINSTANCE instance, LPSTR commandLine, int showCommand);

  static CWinApp* Current();

  HINSTANCE m_hInstance = nullptr;
  std::string m_strCmdLine;  // the text after the program name
  int m_nCmdShow = SW_SHOWNORMAL;
  HWND m_hMainWnd = nullptr;
  std::string m_strAppName;  // caption of application message boxes
  int m_nExitCode = 0;
};

// The window a question or dialog shown now by the calling thread (of any
// thread of the process) belongs to, so that it opens in front of it: the
// popup that the program's main window last activated (the main window
// itself when it has none), else the thread's active window, else the
// process's foreground window. Null when the process shows no window.
HWND QuestionOwner();
// The main window of a program whose questions belong to it (also when it
// runs without an application object, as in tests); null when it goes.
void SetQuestionRoot(HWND window);

// Resource module used by string and resource loading (the program itself
// unless changed, as tests do when they load a program as a data file).
HINSTANCE ResourceInstance();
void SetResourceInstance(HINSTANCE instance);

// Application-wide wait cursor, nested like MFC's Begin/End/RestoreWaitCursor.
void BeginWaitCursor();
void EndWaitCursor();
void RestoreWaitCursor();
int WaitCursorDepth();

class CWaitCursor {
 public:
  CWaitCursor() { BeginWaitCursor(); }
  ~CWaitCursor() { EndWaitCursor(); }
  CWaitCursor(const CWaitCursor&) = delete;
  CWaitCursor& operator=(const CWaitCursor&) = delete;
  void Restore() { RestoreWaitCursor(); }
};

}  // namespace kv
