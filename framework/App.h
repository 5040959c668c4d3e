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
