// "Security" (dialog 142): asks for the user name and password of an
// administrative session to a server, when none are stored for it or the
// stored ones failed. Edits the caller's two strings on OK only.
#pragma once

#include <string>

#include "Dialog.h"

class CLogonPromptDlg : public kv::CDialog {
 public:
  CLogonPromptDlg(std::string& userName, std::string& password, std::string server, HWND parent = nullptr);

  static constexpr int kMaxCredentialChars = 23;

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
  void DoDataExchange(kv::CDataExchange& dx) override;
  bool ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) override;

 private:
  void OnUserNameUpdate();
  void OnHelp();
  LRESULT OnHelpKey(WPARAM, LPARAM);

  std::string m_strUserName;
  std::string& m_rUserName;
  std::string m_strPassword;
  std::string& m_rPassword;
  std::string m_strServer;

  static const kv::MessageEntry<CLogonPromptDlg> kMessages[3];
};
