// kvroles' face of the role store: no window ever. Confirmations are
// answered by --yes, credentials come from --user/--password-file, and what
// the console would show goes to standard error with the console's texts.
#pragma once

#include <map>
#include <set>
#include <string>

#include "RoleStoreUser.h"

// Credentials given on the command line for servers without stored ones (or
// whose stored ones are refused): a server's own line of --credentials FILE,
// else --user/--password-file. Never printed.
struct GivenCredentials {
  struct Pair {
    std::string user, password;
  };
  std::map<std::string, Pair> servers;  // by upper-case name
  bool haveDefault = false;             // --user/--password-file
  Pair byDefault;

  // The credentials for server, if any were given.
  const Pair* For(const std::string& server) const;
};

// Answers a credentials request from the given ones, once per server (a
// second request means the first answer was refused).
class CGivenAnswers {
 public:
  explicit CGivenAnswers(const GivenCredentials& given) : m_given(given) {}
  bool Has(const char* host) const { return m_given.For(host ? host : "") != nullptr; }
  bool Offered(const char* host) const { return m_offered.count(host ? host : "") != 0; }
  bool Answer(const char* host, std::string& user, std::string& password);

 private:
  const GivenCredentials& m_given;
  std::set<std::string> m_offered;  // hosts that got the given credentials
};

class CTerminalUser : public CRoleStoreUser {
 public:
  // assumeYes: confirmations are accepted. A server without stored
  // credentials (or whose stored ones fail) gets the given ones, once.
  CTerminalUser(bool assumeYes, const GivenCredentials& given);

  bool Confirm(const std::string& text, const std::string& caption) override;
  bool AskCredentials(const char* host, std::string& user, std::string& password) override;
  bool AskRetry(const char* host, DWORD status, const std::string& text, const std::string& caption) override;
  void ReportFailure(const std::string& caption, DWORD status) override;
  void Warn(HWND owner, const std::string& text, const std::string& caption) override;

  // The last failure, refusal or warning told, as printed (without "kvroles: ").
  const std::string& LastProblem() const { return m_strLastProblem; }

 private:
  void Tell(const std::string& problem);

  bool m_bAssumeYes;
  CGivenAnswers m_answers;
  std::string m_strLastProblem;
};

// The audit's face: never asks and never prints (it answers only with the
// given credentials); it remembers why the last session could not be opened.
class CSilentUser : public CRoleStoreUser {
 public:
  explicit CSilentUser(const GivenCredentials& given) : m_answers(given) {}
  bool Confirm(const std::string&, const std::string&) override { return false; }
  bool AskCredentials(const char* host, std::string& user, std::string& password) override;
  bool AskRetry(const char* host, DWORD status, const std::string& text, const std::string& caption) override;
  void ReportFailure(const std::string&, DWORD) override {}
  void Warn(HWND, const std::string&, const std::string&) override {}

  std::string m_strReason;
  bool m_bCredentials = false;  // the reason is about credentials: none, or refused

 private:
  CGivenAnswers m_answers;
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

// Asks question on the terminal (standard error, the answer from standard
// input); anything but y or yes, and the end of input, is no.
bool AskYes(const std::string& question);

// One line of a system text: without its trailing line break.
std::string OneLine(std::string text);
// "kvroles: " and text on standard error, each line of text on its own line,
// its control bytes written as \xNN.
void PrintMessage(const std::string& text);
