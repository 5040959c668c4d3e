#include "CredentialsDlg.h"

#include "Messages.h"
#include "Strings.h"
#include "resource.h"

const kv::MessageEntry<CCredentialsDlg> CCredentialsDlg::kMessages[3] = {
    kv::OnCommand(IDC_USERNAME, EN_UPDATE, &CCredentialsDlg::OnUserNameUpdate),
    kv::OnCommand(IDC_CREDENTIALS_HELP, BN_CLICKED, &CCredentialsDlg::OnHelp),
    kv::OnMessage(WM_HELP, &CCredentialsDlg::OnHelpKey),
};

CCredentialsDlg::CCredentialsDlg(UINT templateId, int serverTextId, std::string serverText, std::string& userName,
                                 std::string& password, HWND parent)
    : CDialog(templateId, parent),
      m_strUserName(userName),
      m_rUserName(userName),
      m_strPassword(password),
      m_rPassword(password),
      m_strServer(std::move(serverText)),
      m_nServerTextId(serverTextId) {}

bool CCredentialsDlg::ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) {
  return kv::DispatchTable(this, kMessages, m, w, l, r) || CDialog::ProcessMessageTable(m, w, l, r);
}

void CCredentialsDlg::DoDataExchange(kv::CDataExchange& dx) {
  kv::DDX_Text(dx, IDC_USERNAME, m_strUserName);
  kv::DDV_MaxChars(dx, m_strUserName, kMaxCredentialChars);
  kv::DDX_Text(dx, IDC_PASSWORD, m_strPassword);
  kv::DDV_MaxChars(dx, m_strPassword, kMaxCredentialChars);
  kv::DDX_Text(dx, m_nServerTextId, m_strServer);
}

BOOL CCredentialsDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  ::SetFocus(GetDlgItem(IDC_USERNAME));
  return FALSE;
}

void CCredentialsDlg::OnUserNameUpdate() {
  m_strUserName = kv::GetText(GetDlgItem(IDC_USERNAME));
  ::EnableWindow(GetDlgItem(IDOK), m_strUserName.empty() ? FALSE : TRUE);
}

void CCredentialsDlg::OnOK() {
  // Validate before handing anything back: an over-long pre-filled value
  // is refused and the caller's strings stay as they were.
  if (!UpdateData(TRUE)) return;
  m_rUserName = m_strUserName;
  m_rPassword = m_strPassword;
  EndDialog(IDOK);
}

void CCredentialsDlg::OnHelp() { ShowHelpTopic(m_hWnd); }

// F1 is the main window's Help command.
LRESULT CCredentialsDlg::OnHelpKey(WPARAM, LPARAM) {
  PassHelpKeyToMainWindow();
  return TRUE;
}
