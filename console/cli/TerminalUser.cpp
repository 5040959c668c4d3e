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

bool CGivenAnswers::Answer(const char* host, std::string& user, std::string& password) {
  const std::string name = host ? host : "";
  const GivenCredentials::Pair* given = m_given.For(name);
  if (!given || !m_offered.insert(name).second) return false;
  user = given->user;
  password = given->password;
  return true;
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

bool CSilentUser::AskCredentials(const char* host, std::string& user, std::string& password) {
  if (m_answers.Answer(host, user, password)) return true;
  m_strReason = m_answers.Has(host) ? "the credentials given were refused" : "no stored credentials";
  m_bCredentials = true;
  return false;
}

bool CSilentUser::AskRetry(const char* host, DWORD status, const std::string&, const std::string&) {
  m_strReason = OneLine(SystemErrorText(status));
  m_bCredentials = status == ERROR_LOGON_FAILURE || status == ERROR_ACCESS_DENIED;
  return m_answers.Has(host) && !m_answers.Offered(host);
}
