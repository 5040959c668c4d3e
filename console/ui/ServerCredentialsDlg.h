// "Security" (dialog 154): the credentials stored for a server, edited by
// the console's Security command. Shows "to connect to \\" and the server.
#pragma once

#include "CredentialsDlg.h"

class CServerCredentialsDlg : public CCredentialsDlg {
 public:
  CServerCredentialsDlg(std::string& userName, std::string& password, std::string server, HWND parent = nullptr);

 protected:
  BOOL OnInitDialog() override;
};
