#include "TerminalUser.h"

#include <cctype>
#include <cstdio>

#include "Messages.h"
#include "Strings.h"

std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

void Emit(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void PrintLine(const std::string& text) { Emit(kv::EscapeControlBytes(text) + "\n"); }

void PrintMessage(const std::string& text) {
  std::string line;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      std::fprintf(stderr, "kvroles: %s\n", kv::EscapeControlBytes(line).c_str());
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) std::fprintf(stderr, "kvroles: %s\n", kv::EscapeControlBytes(line).c_str());
  std::fflush(stderr);
}

bool AskYes(const std::string& question) {
  std::fprintf(stderr, "%s? [y/N] ", question.c_str());
  std::fflush(stderr);
  char line[64] = "";
  if (!std::fgets(line, sizeof(line), stdin)) return false;
  std::string answer = OneLine(line);
  return answer == "y" || answer == "Y" || answer == "yes";
}

const GivenCredentials::Pair* GivenCredentials::For(const std::string& server) const {
  std::string key = server;
  for (char& c : key) c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
  auto it = servers.find(key);
  if (it != servers.end()) return &it->second;
  return haveDefault ? &byDefault : nullptr;
}

bool CGivenAnswers::Offered(const char* host) const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_offered.count(host ? host : "") != 0;
}

bool CGivenAnswers::Answer(const char* host, std::string& user, std::string& password) {
  const std::string name = host ? host : "";
  const GivenCredentials::Pair* given = m_given.For(name);
  if (!given) return false;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_offered.insert(name).second) return false;
  }
  user = given->user;
  password = given->password;
  return true;
}

void CGivenAnswers::Forget(const std::string& host) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_offered.erase(host);
}

CTerminalUser::CTerminalUser(bool assumeYes, const GivenCredentials& given)
    : m_bAssumeYes(assumeYes), m_answers(given) {}

bool CTerminalUser::Confirm(const std::string& text, const std::string& caption) {
  PrintMessage(caption + ": " + text);
  if (m_bAssumeYes) {
    PrintMessage("confirmed by --yes");
    return true;
  }
  PrintMessage("not confirmed: give --yes to go on");
  return false;
}

void CTerminalUser::Tell(const std::string& problem) {
  m_strLastProblem = problem;
  PrintMessage(problem);
}

bool CTerminalUser::AskCredentials(const char* host, std::string& user, std::string& password) {
  const std::string name = host ? host : "";
  if (m_answers.Answer(host, user, password)) return true;
  if (m_answers.Has(host))
    Tell("the credentials given for \\\\" + name + " were refused");
  else
    Tell("no stored credentials for \\\\" + name + ": give --user and --password-file, or --credentials FILE");
  return false;
}

bool CTerminalUser::AskRetry(const char* host, DWORD status, const std::string& text, const std::string&) {
  // The prompt's first line names the server; the second asks for OK, which
  // only the explicit credentials can answer here.
  Tell(text.substr(0, text.find('\n')) + ": " + OneLine(SystemErrorText(status)));
  return m_answers.Has(host) && !m_answers.Offered(host);
}

void CTerminalUser::ReportFailure(const std::string& caption, DWORD status) {
  Tell(caption + ": " + OneLine(SystemErrorText(status)));
}

void CTerminalUser::Warn(HWND, const std::string& text, const std::string& caption) { Tell(caption + ": " + text); }

void CSilentUser::Note(const char* host, const std::string& reason, bool credentials) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_outcomes[host ? host : ""] = {reason, credentials};
}

bool CSilentUser::AskCredentials(const char* host, std::string& user, std::string& password) {
  if (m_answers.Answer(host, user, password)) return true;
  Note(host, m_answers.Has(host) ? "the credentials given were refused" : "no stored credentials", true);
  return false;
}

bool CSilentUser::AskRetry(const char* host, DWORD status, const std::string&, const std::string&) {
  Note(host, OneLine(SystemErrorText(status)), status == ERROR_LOGON_FAILURE || status == ERROR_ACCESS_DENIED);
  return m_answers.Has(host) && !m_answers.Offered(host);
}

void CSilentUser::Begin(const std::string& host) {
  m_answers.Forget(host);
  std::lock_guard<std::mutex> guard(m_lock);
  m_outcomes.erase(host);
}

std::string CSilentUser::Reason(const std::string& host, bool& credentialsOut) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_outcomes.find(host);
  credentialsOut = it != m_outcomes.end() && it->second.credentials;
  return it == m_outcomes.end() ? std::string() : it->second.reason;
}
