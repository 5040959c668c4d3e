// kvroles' face of the role store: no window ever. Confirmations are
// answered by --yes, credentials come from --user/--password-file, and what
// the console would show goes to standard error with the console's texts.
#pragma once

#include <map>
#include <mutex>
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
// second request means the first answer was refused). Safe to share between
// threads that each ask about servers of their own.
class CGivenAnswers {
 public:
  explicit CGivenAnswers(const GivenCredentials& given) : m_given(given) {}
  bool Has(const char* host) const { return m_given.For(host ? host : "") != nullptr; }
  bool Offered(const char* host) const;
  bool Answer(const char* host, std::string& user, std::string& password);
  // A new attempt on host: it may be offered the given credentials again.
  void Forget(const std::string& host);

 private:
  const GivenCredentials& m_given;
  mutable std::mutex m_lock;
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
// given credentials); it remembers, server by server, why the last session
// could not be opened. One is installed for a whole reading of the SAN and
// shared by its workers, each of which opens sessions to servers of its own.
class CSilentUser : public CRoleStoreUser {
 public:
  explicit CSilentUser(const GivenCredentials& given) : m_answers(given) {}
  bool Confirm(const std::string&, const std::string&) override { return false; }
  bool AskCredentials(const char* host, std::string& user, std::string& password) override;
  bool AskRetry(const char* host, DWORD status, const std::string& text, const std::string& caption) override;
  void ReportFailure(const std::string&, DWORD) override {}
  void Warn(HWND, const std::string&, const std::string&) override {}

  // Before a session to host is opened: forgets what an earlier one was
  // offered and why it failed.
  void Begin(const std::string& host);
  // Why the last session to host could not be opened (empty when nothing
  // was said); credentialsOut: whether credentials (none, or refused) were
  // the reason.
  std::string Reason(const std::string& host, bool& credentialsOut) const;

 private:
  struct Outcome {
    std::string reason;
    bool credentials = false;
  };
  void Note(const char* host, const std::string& reason, bool credentials);

  CGivenAnswers m_answers;
  mutable std::mutex m_lock;
  std::map<std::string, Outcome> m_outcomes;  // by host
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
// Text for standard output in one write of the C library: printf hands it
// on a byte at a time, and where the output is a console or a character
// device (unbuffered) every byte is a write of its own.
void Emit(const std::string& text);
// A line for standard output, its control bytes written as \xNN.
void PrintLine(const std::string& text);
