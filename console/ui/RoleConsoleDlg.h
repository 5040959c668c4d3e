// The console's main window, dialog 147 "SAN Option Configuration".
#pragma once

#include "App.h"
#include "Dialog.h"

class CRoleConsoleDlg : public kv::CDialog {
 public:
  CRoleConsoleDlg();
  // Runs the dialog modally as the application's main window.
  INT_PTR Run(kv::CWinApp& app);

 protected:
  BOOL OnInitDialog() override;

 private:
  HICON m_hIcon;
};
