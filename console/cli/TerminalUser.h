// kvroles' face of the role store: no window ever. Confirmations are
// answered by --yes, credentials come from --user/--password-file, and what
// the console would show goes to standard error with the console's texts.
#pragma once

#include <set>
#include <string>

#include "RoleStoreUser.h"

class CTerminalUser : public CRoleStoreUser {
 public:
  // assumeYes: confirmations are accepted. With explicit credentials, a
  // server without stored ones (or whose stored ones fail) gets them, once.
  CTerminalUser(bool assumeYes, const std::string& user, const std::string& password, bool haveCredentials);

  bool Confirm(const std::string& text, const std::string& caption) override;
  bool AskCredentials(const char* host, std::string& user, std::string& password) override;
  bool AskRetry(const char* host, DWORD status, const std::string& text, const std::string& caption) override;
  void ReportFailure(const std::string& caption, DWORD status) override;
  void Warn(HWND owner, const std::string& text, const std::string& caption) override;

 private:
  bool m_bAssumeYes;
  std::string m_strUser, m_strPassword;
  bool m_bHaveCredentials;
  std::set<std::string> m_offered;  // hosts that got the explicit credentials
};

// The audit's face: never asks and never prints; it remembers why the last
// session could not be opened.
class CSilentUser : public CRoleStoreUser {
 public:
  bool Confirm(const std::string&, const std::string&) override { return false; }
  bool AskCredentials(const char* host, std::string& user, std::string& password) override;
  bool AskRetry(const char* host, DWORD status, const std::string& text, const std::string& caption) override;
  void ReportFailure(const std::string&, DWORD) override {}
  void Warn(HWND, const std::string&, const std::string&) override {}

  std::string m_strReason;
};

// Installs a face for the life of the object.
class CScopedRoleStoreUser {
 public:
  explicit CScopedRoleStoreUser(CRoleStoreUser& user) : m_previous(SetRoleStoreUser(&user)) {}
  ~CScopedRoleStoreUser() { SetRoleStoreUser(m_previous); }
  CScopedRoleStoreUser(const CScopedRoleStoreUser&) = delete;
  CScopedRoleStoreUser& operator=(const CScopedRoleStoreUser&) = delete;

 private:
  CRoleStoreUser* m_previous;
};

// One line of a system text: without its trailing line break.
std::string OneLine(std::string text);
// "kvroles: " and text on standard error, each line of text on its own line,
// its control bytes written as \xNN.
void PrintMessage(const std::string& text);
