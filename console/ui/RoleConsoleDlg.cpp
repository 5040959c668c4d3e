#include "RoleConsoleDlg.h"

#include "resource.h"

CRoleConsoleDlg::CRoleConsoleDlg()
    : CDialog(IDD_MAIN), m_hIcon(::LoadIconA(kv::ResourceInstance(), MAKEINTRESOURCEA(IDI_QUAYSIDE))) {}

INT_PTR CRoleConsoleDlg::Run(kv::CWinApp& app) {
  struct MainWindowScope {
    kv::CWinApp& app;
    ~MainWindowScope() { app.m_hMainWnd = nullptr; }
  } scope{app};
  return DoModal();
}

BOOL CRoleConsoleDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  if (kv::CWinApp* app = kv::CWinApp::Current()) app->m_hMainWnd = m_hWnd;
  ::SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  ::SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  return TRUE;
}
