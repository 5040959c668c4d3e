#include "LogonPromptDlg.h"

#include "resource.h"

CLogonPromptDlg::CLogonPromptDlg(std::string& userName, std::string& password, std::string server, HWND parent)
    : CCredentialsDlg(IDD_LOGON_PROMPT, IDC_LOGON_SERVER, "\\\\" + server, userName, password, parent) {}
