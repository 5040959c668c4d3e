#include "LabStore.h"

#include <cstring>

#include "ComputerName.h"
#include "Process.h"

namespace kvlab {

namespace {

std::string EnvOr(const char* name, const char* fallback) {
  char buffer[512];
  DWORD n = ::GetEnvironmentVariableA(name, buffer, sizeof(buffer));
  if (n == 0 || n >= sizeof(buffer)) return fallback;
  return std::string(buffer, n);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         ::CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

}  // namespace

std::string LabRoot() { return EnvOr("KV_LAB_ROOT", "SOFTWARE\\KestravaLab"); }
std::string ProductRoot() { return EnvOr("KV_PRODUCT_ROOT", "SOFTWARE\\Quillmark\\KestravaNet"); }
std::string DiscoveryTableRoot() { return ProductRoot() + "\\DiscoveryTable"; }
std::string ToolSettingsRoot() { return EnvOr("KV_TOOL_SETTINGS_ROOT", "Software\\Quillmark\\KestravaNet\\Tools"); }

std::string LabTag() {
  // FNV-1a over the upper-cased root: registry paths are case-insensitive.
  std::string root = LabRoot();
  uint32_t h = 2166136261u;
  for (char c : root) {
    h ^= static_cast<uint8_t>(c >= 'a' && c <= 'z' ? c - 32 : c);
    h *= 16777619u;
  }
  char text[9];
  wsprintfA(text, "%08lx", static_cast<unsigned long>(h));
  return text;
}

SECURITY_ATTRIBUTES* SharedObjectAttributes() {
  static SECURITY_DESCRIPTOR sd;
  static SECURITY_ATTRIBUTES sa;
  static bool ready = [] {
    ::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    sa = {sizeof(sa), &sd, FALSE};
    return true;
  }();
  (void)ready;
  return &sa;
}

std::string LocalComputerName() { return kv::ComputerName(); }

std::string ConsoleUserName() {
  char name[257] = {};
  DWORD size = sizeof(name);
  if (!::GetUserNameA(name, &size)) return "Administrator";
  return name;
}

std::string MachinesPath() { return LabRoot() + "\\Machines"; }
std::string MachinePath(const std::string& name) { return MachinesPath() + "\\" + name; }
std::string MachineRegistryPath(const std::string& name) { return LabRoot() + "\\Registries\\" + name; }
std::string SessionsPath() { return LabRoot() + "\\Sessions"; }

uint64_t NowMs() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return (t - 116444736000000000ull) / 10000;
}

DWORD ReadDword(HKEY key, const char* value, DWORD fallback) {
  DWORD data = 0, size = sizeof(data), type = 0;
  if (::RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof(data))
    return fallback;
  return data;
}

uint64_t ReadQword(HKEY key, const char* value, uint64_t fallback) {
  uint64_t data = 0;
  DWORD size = sizeof(data), type = 0;
  if (::RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
      type != REG_QWORD || size != sizeof(data))
    return fallback;
  return data;
}

std::string ReadString(HKEY key, const char* value, const std::string& fallback) {
  char buffer[1024];
  DWORD size = sizeof(buffer) - 1, type = 0;
  if (::RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return fallback;
  buffer[size < sizeof(buffer) ? size : sizeof(buffer) - 1] = '\0';
  return buffer;
}

std::vector<uint8_t> ReadBinary(HKEY key, const char* value) {
  DWORD size = 0;
  if (::RegQueryValueExA(key, value, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return {};
  std::vector<uint8_t> data(size);
  if (size && ::RegQueryValueExA(key, value, nullptr, nullptr, data.data(), &size) != ERROR_SUCCESS) return {};
  data.resize(size);
  return data;
}

LONG WriteDword(HKEY key, const char* value, DWORD data) {
  return ::RegSetValueExA(key, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data));
}
LONG WriteQword(HKEY key, const char* value, uint64_t data) {
  return ::RegSetValueExA(key, value, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data));
}
LONG WriteString(HKEY key, const char* value, const std::string& data) {
  return ::RegSetValueExA(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>(data.size() + 1));
}
LONG WriteBinary(HKEY key, const char* value, const void* data, DWORD size) {
  return ::RegSetValueExA(key, value, 0, REG_BINARY, static_cast<const BYTE*>(data), size);
}

LONG OpenKey(HKEY root, const std::string& path, REGSAM access, kv::CRegKey& out) {
  return ::RegOpenKeyExA(root, path.c_str(), 0, access, out.Put());
}

LONG CreateKey(HKEY root, const std::string& path, kv::CRegKey& out) {
  return ::RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, out.Put(),
                           nullptr);
}

std::vector<std::string> SubKeyNames(HKEY key) {
  std::vector<std::string> names;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof(name);
    LONG rc = ::RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_MORE_DATA) continue;  // not a name of ours
    if (rc != ERROR_SUCCESS) break;
    names.emplace_back(name, size);
  }
  return names;
}

bool KeyExists(HKEY root, const std::string& path) {
  kv::CRegKey key;
  return OpenKey(root, path, KEY_READ, key) == ERROR_SUCCESS;
}

bool LabExists() { return KeyExists(HKEY_LOCAL_MACHINE, MachinesPath()); }

std::string BareName(const char* name) {
  if (!name) return {};
  while (*name == '\\') ++name;
  return name;
}

bool IsLocalName(const std::string& name) { return !name.empty() && EqualNoCase(name, LocalComputerName()); }

namespace {

Reachability ReadReach(HKEY machine, const std::string& canonical) {
  Reachability r;
  r.known = true;
  r.local = ReadDword(machine, "Local", 0) != 0 || IsLocalName(canonical);
  r.online = ReadDword(machine, "Online", 1) != 0;
  r.trust = ReadDword(machine, "Trust", 0) != 0;
  return r;
}

}  // namespace

std::string FindMachine(const std::string& name, Reachability* reach) {
  if (name.empty() || name.size() > 63 || name.find_first_of("\\/") != std::string::npos) return {};
  kv::CRegKey machine;
  if (OpenKey(HKEY_LOCAL_MACHINE, MachinePath(name), KEY_READ, machine) != ERROR_SUCCESS) return {};
  // Registry key names compare without case, as machine names do; the
  // stored spelling is kept in the machine's "Name".
  std::string canonical = ReadString(machine.Get(), "Name", name);
  if (reach) *reach = EqualNoCase(canonical, name) ? ReadReach(machine.Get(), canonical) : Reach(canonical);
  return canonical;
}

std::string FindMachine(const std::string& name) { return FindMachine(name, nullptr); }

Reachability Reach(const std::string& canonical) {
  kv::CRegKey machine;
  if (canonical.empty() || OpenKey(HKEY_LOCAL_MACHINE, MachinePath(canonical), KEY_READ, machine) != ERROR_SUCCESS)
    return {};
  return ReadReach(machine.Get(), canonical);
}

bool HasSession(const std::string& canonical) {
  // The seam opens ipc$ sessions only: that share is looked at first.
  kv::CRegKey ipc;
  if (OpenKey(HKEY_LOCAL_MACHINE, SessionsPath() + "\\" + canonical + "\\ipc$", KEY_READ, ipc) == ERROR_SUCCESS &&
      ReadDword(ipc.Get(), "Uses", 0) > 0 && !ReadString(ipc.Get(), "User", "?").empty())
    return true;
  return !SessionUser(canonical).empty();
}

std::string SessionUser(const std::string& canonical) {
  kv::CRegKey machine;
  if (OpenKey(HKEY_LOCAL_MACHINE, SessionsPath() + "\\" + canonical, KEY_READ, machine) != ERROR_SUCCESS) return {};
  for (const std::string& share : SubKeyNames(machine.Get())) {
    kv::CRegKey key;
    if (OpenKey(machine.Get(), share, KEY_READ, key) != ERROR_SUCCESS) continue;
    if (ReadDword(key.Get(), "Uses", 0) > 0) return ReadString(key.Get(), "User", "?");
  }
  return {};
}

LONG AddSession(const std::string& canonical, const std::string& share, const std::string& user) {
  // The machine's key first: a key is made in one call where its parent is
  // there already, and the registry walks the path itself otherwise.
  kv::CRegKey machine, key;
  LONG rc = CreateKey(HKEY_LOCAL_MACHINE, SessionsPath() + "\\" + canonical, machine);
  if (rc == ERROR_SUCCESS) rc = CreateKey(machine.Get(), share, key);
  if (rc != ERROR_SUCCESS) return rc;
  DWORD uses = ReadDword(key.Get(), "Uses", 0);
  if (uses == 0) WriteString(key.Get(), "User", user);
  return WriteDword(key.Get(), "Uses", uses + 1);
}

LONG CancelSession(const std::string& canonical, const std::string& share) {
  std::string machinePath = SessionsPath() + "\\" + canonical;
  kv::CRegKey key;
  if (OpenKey(HKEY_LOCAL_MACHINE, machinePath + "\\" + share, KEY_ALL_ACCESS, key) != ERROR_SUCCESS)
    return ERROR_NOT_CONNECTED;
  DWORD uses = ReadDword(key.Get(), "Uses", 0);
  if (uses > 1) return WriteDword(key.Get(), "Uses", uses - 1);
  key.Reset();
  // A share's key holds values only; whatever else was put under it goes too.
  if (::RegDeleteKeyA(HKEY_LOCAL_MACHINE, (machinePath + "\\" + share).c_str()) != ERROR_SUCCESS)
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, (machinePath + "\\" + share).c_str());
  // The machine's key goes with its last share: the registry refuses to
  // delete a key that still has sub-keys.
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, machinePath.c_str());
  return uses == 0 ? ERROR_NOT_CONNECTED : ERROR_SUCCESS;
}

bool CheckPassword(const std::string& canonical, const std::string& user, const std::string& password) {
  if (user.empty() || user.find('\\') != std::string::npos) return false;
  kv::CRegKey account;
  if (OpenKey(HKEY_LOCAL_MACHINE, MachinePath(canonical) + "\\Accounts\\" + user, KEY_READ, account) != ERROR_SUCCESS)
    return false;
  DWORD type = 0;
  if (::RegQueryValueExA(account.Get(), "Password", nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS ||
      type != REG_SZ)
    return false;
  return ReadString(account.Get(), "Password") == password;
}

SERVICE_STATUS ComputeServiceStatus(const ServiceTiming& timing, uint64_t now) {
  SERVICE_STATUS s = {};
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  uint64_t elapsed = now >= timing.changedAt ? now - timing.changedAt : 0;
  bool running = timing.target == SERVICE_RUNNING;
  if (elapsed < timing.transitionMs) {
    // Four steps, each announced with a wait hint of a quarter of the time.
    DWORD step = timing.transitionMs / 4 ? timing.transitionMs / 4 : 1;
    s.dwCurrentState = running ? SERVICE_START_PENDING : SERVICE_STOP_PENDING;
    s.dwCheckPoint = static_cast<DWORD>(elapsed / step) + 1;
    s.dwWaitHint = step;
    s.dwControlsAccepted = 0;
  } else {
    s.dwCurrentState = running ? SERVICE_RUNNING : SERVICE_STOPPED;
    s.dwControlsAccepted = running ? SERVICE_ACCEPT_STOP : 0;
  }
  return s;
}

DWORD LabTransitionMs() {
  kv::CRegKey root;
  if (OpenKey(HKEY_LOCAL_MACHINE, LabRoot(), KEY_READ, root) != ERROR_SUCCESS) return 1500;
  return ReadDword(root.Get(), "TransitionMs", 1500);
}

bool ReadServiceTiming(const std::string& canonical, const std::string& service, ServiceTiming& out) {
  kv::CRegKey key;
  if (service.empty() ||
      OpenKey(HKEY_LOCAL_MACHINE, MachinePath(canonical) + "\\Services\\" + service, KEY_READ, key) != ERROR_SUCCESS)
    return false;
  out.target = ReadDword(key.Get(), "Target", SERVICE_STOPPED) == SERVICE_RUNNING ? SERVICE_RUNNING : SERVICE_STOPPED;
  out.changedAt = ReadQword(key.Get(), "ChangedAt", 0);
  out.transitionMs = ReadDword(key.Get(), "TransitionMs", LabTransitionMs());
  return true;
}

LONG WriteServiceTarget(const std::string& canonical, const std::string& service, DWORD target) {
  kv::CRegKey key;
  LONG rc = CreateKey(HKEY_LOCAL_MACHINE, MachinePath(canonical) + "\\Services\\" + service, key);
  if (rc != ERROR_SUCCESS) return rc;
  WriteQword(key.Get(), "ChangedAt", NowMs());
  rc = WriteDword(key.Get(), "Target", target);
  // The host reloads on its own notification; the wake makes it prompt.
  kv::CHandle wake(::OpenEventA(EVENT_MODIFY_STATE, FALSE, HostWakeEventName().c_str()));
  if (wake) ::SetEvent(wake.Get());
  return rc;
}

std::string HostMutexName() { return "Global\\KvLabHost-" + LabTag(); }
std::string HostWakeEventName() { return "Global\\KvLabHostWake-" + LabTag(); }
std::string HostQuitEventName() { return "Global\\KvLabHostQuit-" + LabTag(); }

bool HostRunning() {
  kv::CHandle mutex(::OpenMutexA(SYNCHRONIZE, FALSE, HostMutexName().c_str()));
  return static_cast<bool>(mutex);
}

namespace {

std::string ThisModuleDirectory() {
  HMODULE module = nullptr;
  ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ThisModuleDirectory), &module);
  char path[MAX_PATH] = {};
  DWORD n = ::GetModuleFileNameA(module, path, MAX_PATH);
  std::string text(path, n);
  size_t slash = text.find_last_of('\\');
  return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

}  // namespace

LONG EnsureHost() {
  if (HostRunning()) return ERROR_SUCCESS;
  std::string exe = ThisModuleDirectory() + "kvlabhost.exe";
  std::string command = "\"" + exe + "\"";
  // The host inherits no handle, not even the standard ones that a console
  // child is otherwise given: it must not hold the caller's output pipes (a
  // test runner or a parent reading them would wait for it to end).
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = si.hStdOutput = si.hStdError = INVALID_HANDLE_VALUE;
  PROCESS_INFORMATION pi = {};
  if (!kv::StartProcess(exe.c_str(), command.data(), FALSE, DETACHED_PROCESS, nullptr, &si, &pi))
    return static_cast<LONG>(::GetLastError());
  kv::CHandle process(pi.hProcess), thread(pi.hThread);
  for (int i = 0; i < 200; ++i) {
    if (HostRunning()) return ERROR_SUCCESS;
    if (::WaitForSingleObject(process.Get(), 25) == WAIT_OBJECT_0) return ERROR_SERVICE_NO_THREAD;
  }
  return ERROR_TIMEOUT;
}

bool StopHost(DWORD timeoutMs) {
  if (!HostRunning()) return true;
  kv::CHandle quit(::OpenEventA(EVENT_MODIFY_STATE, FALSE, HostQuitEventName().c_str()));
  if (quit) ::SetEvent(quit.Get());
  for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
    if (!HostRunning()) return true;
    ::Sleep(20);
  }
  return !HostRunning();
}

}  // namespace kvlab
