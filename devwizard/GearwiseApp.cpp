#include "GearwiseApp.h"

#include "GearwiseSheet.h"
#include "MessageBox.h"
#include "ServiceControl.h"
#include "Strings.h"
#include "resource.h"

BOOL CGearwiseApp::InitInstance() {
  // Control containment and 3-D controls need nothing here: the framework
  // initialises the common controls before InitInstance.
  if (CheckSingleInstance()) RunWizard();
  return FALSE;
}

int CGearwiseApp::ExitInstance() {
  m_instanceMutex.Reset();
  return kv::CWinApp::ExitInstance();
}

BOOL CGearwiseApp::CheckSingleInstance() {
  m_instanceMutex.Reset(::CreateMutexA(nullptr, TRUE, kSingleInstanceMutex));
  if (!m_instanceMutex) return FALSE;
  if (::WaitForSingleObject(m_instanceMutex.Get(), 0) == WAIT_OBJECT_0) return TRUE;

  // Another wizard owns the mutex.
  m_instanceMutex.Reset();
  if (HWND running = ::FindWindowA(kGearwiseClassName, nullptr)) {
    // While the wizard shows a message box or a plug-in's dialog, its sheet
    // is disabled: what the user must reach is that window, the sheet's last
    // active popup. The sheet is maximized; the popup keeps its size and is
    // raised above the sheet and given the foreground.
    HWND front = ::GetLastActivePopup(running);
    ::ShowWindow(running, SW_SHOWMAXIMIZED);
    if (front && front != running && ::IsWindowVisible(front)) {
      ::SetWindowPos(front, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    } else {
      front = running;
    }
    ::SetForegroundWindow(front);
  } else {
    kv::AppMessageBox(IDS_ALREADY_RUNNING, MB_ICONSTOP);
  }
  return FALSE;
}

int CGearwiseApp::RunWizard() {
  CGearwiseSheet sheet(IDS_WIZARD_CAPTION, nullptr, 0, nullptr, nullptr, nullptr);
  sheet.m_psh.hInstance = ::GetModuleHandleA(nullptr);
  sheet.m_bMainWindow = true;  // the sheet becomes m_hMainWnd once its window exists
  INT_PTR result = sheet.DoModal();
  m_hMainWnd = nullptr;
  return static_cast<int>(result);
}

kv::CHandle AcquireActivityLock() {
  kv::CHandle lock(::CreateMutexA(nullptr, FALSE, kActivityMutex));
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    kv::AppMessageBox(IDS_ACTIVITY_RUNNING, MB_OK);
    return kv::CHandle();
  }
  return lock;
}

BOOL PrepareTapeEngine(COptionsPage& page) {
  kv::CHandle lock = AcquireActivityLock();
  if (!lock) return FALSE;
  CServiceControl engine = CServiceControl::TapeEngine();
  if (engine.IsActive()) {
    // Only Yes stops the engine. Windows offers no other way out of a Yes/No
    // box, but where its title bar or Alt+F4 can close it (IDCANCEL), that
    // is a No as well.
    if (kv::AppMessageBox(IDS_STOP_ENGINE_QUESTION, MB_YESNO) != IDYES) return FALSE;
    kv::RestoreWaitCursor();
    // The progress is painted before the stop blocks this thread.
    kv::CStatic icon(page.GetDlgItem(IDC_NOTICE_ICON));
    if (icon) {
      icon.ShowWindow(SW_SHOW);
      icon.Invalidate(TRUE);
      icon.UpdateWindow();
    }
    kv::CStatic status(page.GetDlgItem(IDC_STOP_STATUS));
    if (status) {
      status.ShowWindow(SW_SHOW);
      status.SetWindowText(kv::LoadStr(IDS_STOPPING_ENGINE));
      status.UpdateWindow();
    }
    engine.Stop(TRUE);  // the plug-in runs whether or not the engine stopped
    // Stopped or still stopping, the engine stays down after the wizard: its
    // end must say so, whatever the plug-in reports.
    if (CGearwiseSheet* sheet = page.OwnerSheet()) sheet->m_bEngineStopped = TRUE;
  }
  return TRUE;
}
