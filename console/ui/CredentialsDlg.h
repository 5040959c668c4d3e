// What the two "Security" dialogs share: a user name and a password edited
// in working copies (at most 23 characters each, OK disabled while the user
// name is empty) and handed back to the caller's strings on OK only, a
// read-only text naming the server, Help, and F1 passed to the main window.
#pragma once

#include <string>

#include "Dialog.h"

class CCredentialsDlg : public kv::CDialog {
 public:
  static constexpr int kMaxCredentialChars = 23;

 protected:
  // serverTextId: the read-only edit that shows serverText.
  CCredentialsDlg(UINT templateId, int serverTextId, std::string serverText, std::string& userName,
                  std::string& password, HWND parent);

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
  int m_nServerTextId;

  static const kv::MessageEntry<CCredentialsDlg> kMessages[3];
};
