// What the role store asks of the person at the keyboard: confirmations,
// credentials, the connection retry prompt, failures and warnings. The role
// store decides and builds the texts; an implementation of CRoleStoreUser
// only shows them and brings back the answers. The console's implementation
// is its message boxes and the credentials dialog; a program without windows
// installs its own with SetRoleStoreUser before it calls the role store.
#pragma once

#include <windows.h>

#include <string>

class CRoleStoreUser {
 public:
  virtual ~CRoleStoreUser() = default;

  // A question before a change overrides an existing role. True to go on.
  virtual bool Confirm(const std::string& text, const std::string& caption) = 0;
  // Credentials for an administrative session to host. user and password
  // hold what to offer (the default account, or the values that just failed)
  // and receive the answer. False when the user declines.
  virtual bool AskCredentials(const char* host, std::string& user, std::string& password) = 0;
  // The first connection to host failed with status; text and caption are
  // the retry prompt. True to ask for credentials and try once more.
  virtual bool AskRetry(const char* host, DWORD status, const std::string& text, const std::string& caption) = 0;
  // A failed step: the system's text for status under caption.
  virtual void ReportFailure(const std::string& caption, DWORD status) = 0;
  // A warning; owner is the window it belongs to, or null.
  virtual void Warn(HWND owner, const std::string& text, const std::string& caption) = 0;
};

// The console's face: task-modal, topmost message boxes and the "Security"
// dialog 142, each owned by the window in front of which it must open
// (kv::QuestionOwner, or the owner a warning names).
class CConsoleRoleStoreUser : public CRoleStoreUser {
 public:
  bool Confirm(const std::string& text, const std::string& caption) override;
  bool AskCredentials(const char* host, std::string& user, std::string& password) override;
  bool AskRetry(const char* host, DWORD status, const std::string& text, const std::string& caption) override;
  void ReportFailure(const std::string& caption, DWORD status) override;
  void Warn(HWND owner, const std::string& text, const std::string& caption) override;
};

// The implementation the role store uses now: the one installed last, or the
// console's. Every thread of the process shares it.
CRoleStoreUser& RoleStoreUser();

// Installs user for the whole process (null puts the console's back) and
// returns the one it replaces (null when that was the console's). Install it
// before any thread calls the role store; user must outlive its use.
CRoleStoreUser* SetRoleStoreUser(CRoleStoreUser* user);
