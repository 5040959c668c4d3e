#include "TerminalUser.h"

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

CTerminalUser::CTerminalUser(bool assumeYes, const std::string& user, const std::string& password, bool haveCredentials)
    : m_bAssumeYes(assumeYes), m_strUser(user), m_strPassword(password), m_bHaveCredentials(haveCredentials) {}

bool CTerminalUser::Confirm(const std::string& text, const std::string& caption) {
  PrintMessage(caption + ": " + text);
  if (m_bAssumeYes) {
    PrintMessage("confirmed by --yes");
    return true;
  }
  PrintMessage("not confirmed: give --yes to go on");
  return false;
}

bool CTerminalUser::AskCredentials(const char* host, std::string& user, std::string& password) {
  const std::string name = host ? host : "";
  if (m_bHaveCredentials && m_offered.insert(name).second) {
    user = m_strUser;
    password = m_strPassword;
    return true;
  }
  if (m_bHaveCredentials)
    PrintMessage("the credentials given for \\\\" + name + " were refused");
  else
    PrintMessage("no stored credentials for \\\\" + name + ": give --user and --password-file");
  return false;
}

bool CTerminalUser::AskRetry(const char* host, DWORD status, const std::string& text, const std::string&) {
  // The prompt's first line names the server; the second asks for OK, which
  // only the explicit credentials can answer here.
  PrintMessage(text.substr(0, text.find('\n')) + ": " + OneLine(SystemErrorText(status)));
  return m_bHaveCredentials && m_offered.count(host ? host : "") == 0;
}

void CTerminalUser::ReportFailure(const std::string& caption, DWORD status) {
  PrintMessage(caption + ": " + OneLine(SystemErrorText(status)));
}

void CTerminalUser::Warn(HWND, const std::string& text, const std::string& caption) {
  PrintMessage(caption + ": " + text);
}

bool CSilentUser::AskCredentials(const char*, std::string&, std::string&) {
  m_strReason = "no stored credentials";
  return false;
}

bool CSilentUser::AskRetry(const char*, DWORD status, const std::string&, const std::string&) {
  m_strReason = OneLine(SystemErrorText(status));
  return false;
}
