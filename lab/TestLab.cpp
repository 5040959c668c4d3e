#include "TestLab.h"

#include <cstdio>
#include <vector>

#include "Process.h"

namespace kvlab {

namespace {

const char* const kVars[3] = {"KV_LAB_ROOT", "KV_PRODUCT_ROOT", "KV_TOOL_SETTINGS_ROOT"};

}  // namespace

CScopedLab::CScopedLab(const char* name, DWORD transitionMs) {
  std::string tag = std::string(name) + "-" + std::to_string(::GetCurrentProcessId());
  m_labRoot = "SOFTWARE\\KestravaLabTests\\" + tag + "\\Lab";
  m_productRoot = "SOFTWARE\\KestravaLabTests\\" + tag + "\\Product";
  m_toolRoot = "Software\\KestravaLabTests\\" + tag;
  const std::string* values[3] = {&m_labRoot, &m_productRoot, &m_toolRoot};
  for (int i = 0; i < 3; ++i) {
    char buffer[512];
    DWORD n = ::GetEnvironmentVariableA(kVars[i], buffer, sizeof(buffer));
    m_hadEnv[i] = n > 0 && n < sizeof(buffer);
    if (m_hadEnv[i]) m_savedEnv[i].assign(buffer, n);
    ::SetEnvironmentVariableA(kVars[i], values[i]->c_str());
  }
  CreateLab(transitionMs);
  MachineSetup self;
  self.name = LocalComputerName();
  self.trust = true;
  self.accounts = {{"Administrator", "local-pw"}};
  AddMachine(self);
}

CScopedLab::~CScopedLab() {
  StopHost();
  if (m_serviceTouched) {
    StopLocalService();
    if (!m_serviceExisted) {
      RemoveLocalService();
    } else {
      kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
      kv::CServiceHandle svc(scm ? ::OpenServiceA(scm.Get(), "kvdiscoverysvc", SERVICE_ALL_ACCESS) : nullptr);
      if (svc)
        ::ChangeServiceConfigA(svc.Get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                               m_serviceCommand.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
  }
  DestroyLab();
  std::string parent = m_labRoot.substr(0, m_labRoot.rfind('\\'));
  ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, parent.c_str());
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, parent.c_str());
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KestravaLabTests");  // only when empty
  ::RegDeleteTreeA(HKEY_CURRENT_USER, m_toolRoot.c_str());            // the test's own settings
  ::RegDeleteKeyA(HKEY_CURRENT_USER, m_toolRoot.c_str());
  ::RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\KestravaLabTests");
  for (int i = 0; i < 3; ++i) ::SetEnvironmentVariableA(kVars[i], m_hadEnv[i] ? m_savedEnv[i].c_str() : nullptr);
  if (m_serviceTouched && m_serviceExisted && m_serviceWasRunning) StartLocalService();
}

LONG CScopedLab::Add(const std::string& name, const std::string& password, bool trust) {
  MachineSetup m;
  m.name = name;
  m.trust = trust;
  m.accounts = {{"Administrator", password}};
  LONG rc = AddMachine(m);
  if (rc == ERROR_SUCCESS) rc = EnsureHost();
  return rc;
}

LONG CScopedLab::StartLocalDiscovery() {
  if (!m_serviceTouched) {
    kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    kv::CServiceHandle svc(
        scm ? ::OpenServiceA(scm.Get(), "kvdiscoverysvc", SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS) : nullptr);
    if (svc) {
      m_serviceExisted = true;
      SERVICE_STATUS status = {};
      m_serviceWasRunning = ::QueryServiceStatus(svc.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED;
      DWORD needed = 0;
      ::QueryServiceConfigA(svc.Get(), nullptr, 0, &needed);
      std::vector<char> buffer(needed + 1);
      auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
      if (needed && ::QueryServiceConfigA(svc.Get(), config, needed, &needed) && config->lpBinaryPathName)
        m_serviceCommand = config->lpBinaryPathName;
    }
    m_serviceTouched = true;
    if (m_serviceExisted) StopLocalService();
  }
  if (LONG rc = InstallLocalService()) return rc;
  return StartLocalService();
}

LONG CScopedLab::StopLocalDiscovery() { return StopLocalService(); }

std::string AuditText() {
  FILE* out = std::tmpfile();
  if (!out) return "no temporary file";
  Audit(out);
  std::rewind(out);
  std::string text;
  char buffer[512];
  while (size_t got = std::fread(buffer, 1, sizeof(buffer), out)) text.append(buffer, got);
  std::fclose(out);
  return text;
}

DWORD RunBesideThisProgram(const std::string& program, const std::string& args) {
  char path[MAX_PATH];
  std::string exe(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
  exe = exe.substr(0, exe.find_last_of('\\') + 1) + program;
  std::string command = "\"" + exe + "\" " + args;
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!kv::StartProcess(exe.c_str(), command.data(), FALSE, 0, nullptr, &si, &pi)) return ::GetLastError();
  kv::CHandle process(pi.hProcess), thread(pi.hThread);
  ::WaitForSingleObject(process.Get(), INFINITE);
  DWORD code = 1;
  ::GetExitCodeProcess(process.Get(), &code);
  return code;
}

}  // namespace kvlab
