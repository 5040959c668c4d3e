#include "ServerCredentialsDlg.h"

#include "Messages.h"
#include "resource.h"

CServerCredentialsDlg::CServerCredentialsDlg(std::string& userName, std::string& password, std::string server,
                                             HWND parent)
    : CCredentialsDlg(IDD_SERVER_CREDENTIALS, IDC_CREDENTIALS_SERVER, LoadResString(IDS_CONNECT_TO_PREFIX) + server,
                      userName, password, parent) {}

// Opens with OK enabled, whatever the pre-filled user name.
BOOL CServerCredentialsDlg::OnInitDialog() {
  BOOL result = CCredentialsDlg::OnInitDialog();
  ::EnableWindow(GetDlgItem(IDOK), TRUE);
  return result;
}
