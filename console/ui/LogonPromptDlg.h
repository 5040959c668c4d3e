// "Security" (dialog 142): asks for the user name and password of an
// administrative session to a server, when none are stored for it or the
// stored ones failed. Shows the server as "\\" and its name.
#pragma once

#include "CredentialsDlg.h"

class CLogonPromptDlg : public CCredentialsDlg {
 public:
  CLogonPromptDlg(std::string& userName, std::string& password, std::string server, HWND parent = nullptr);
};
