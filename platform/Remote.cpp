// The remote-machine seam. Every call first decides who serves the machine:
//  - Windows, when there is no lab, for the local machine when the lab does
//    not list it, and for names outside the lab when the lab passes them on;
//  - the lab, for its machines. While a lab exists it is the whole network:
//    a name it does not know is unreachable, as an unknown host is on a real
//    network (Wine would otherwise answer 1222 for connections and hand out a
//    service-manager handle for any name).
// The lab's local machine keeps its real HKLM and its real SCM; the lab only
// adds the checks (session or trust) that a remote caller would meet.
// Before a call crosses the network, the lab's fault switch may fail it and
// the lab's network delays it (LabFault.h).
#include "Remote.h"

#include <mutex>
#include <string>
#include <memory>
#include <unordered_map>

#include "LabFault.h"
#include "LabStore.h"

namespace kvr {

namespace {

enum class Route { Windows, Lab, Unreachable };

struct Target {
  Route route = Route::Windows;
  std::string name;  // the lab's spelling
  kvlab::Reachability reach;
};

bool PassUnknownToWindows() {
  kv::CRegKey root;
  if (kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::LabRoot(), KEY_READ, root) != ERROR_SUCCESS) return true;
  return kvlab::ReadDword(root.Get(), "PassUnknownToWindows", 0) != 0;
}

Target Resolve(const std::string& bare) {
  Target t;
  if (bare.empty()) return t;
  // A machine of the lab shows that the lab exists.
  t.name = kvlab::FindMachine(bare, &t.reach);
  if (!t.name.empty()) {
    t.route = Route::Lab;
    return t;
  }
  if (!kvlab::LabExists()) return t;
  if (kvlab::IsLocalName(bare) || PassUnknownToWindows()) return t;
  t.route = Route::Unreachable;
  return t;
}

// The lab's fault switch and network, for a call that would cross the
// network (see LabFault.h): the fault's status, or 0 to go on.
DWORD InjectedFault(const Target& t) {
  if (t.route == Route::Windows || t.reach.local) return ERROR_SUCCESS;
  return kvlab::RemoteCall(t.route == Route::Unreachable || !t.reach.online);
}

// Registry, Dunlin and SCM access: reachable, then a session or pass-through rights.
DWORD CheckAccess(const Target& t, DWORD unreachable) {
  if (t.route == Route::Unreachable || !t.reach.online) return unreachable;
  if (t.reach.trust || kvlab::HasSession(t.name)) return ERROR_SUCCESS;
  return ERROR_ACCESS_DENIED;
}

// "\\machine\share" -> machine, share. False for anything else.
bool SplitRemoteName(const char* remote, std::string& machine, std::string& share) {
  if (!remote || remote[0] != '\\' || remote[1] != '\\') return false;
  std::string rest = remote + 2;
  size_t slash = rest.find('\\');
  if (slash == std::string::npos || slash == 0 || slash + 1 >= rest.size()) return false;
  machine = rest.substr(0, slash);
  share = rest.substr(slash + 1);
  return share.find('\\') == std::string::npos && machine.size() <= 63 && share.size() <= 80;
}

// Service handles of this module: the real ones are wrapped too, so that
// every handle given out here can be recognised and checked.
struct SeamHandle {
  enum Kind { RealManager, RealService, LabManager, LabService } kind;
  SC_HANDLE real = nullptr;
  std::string machine;
  std::string service;
  DWORD access = 0;
};

// A handle is a number given out once, never the object's address: a handle
// used after it was closed finds nothing (ERROR_INVALID_HANDLE), even when a
// newer handle's object sits where the closed one did.
std::mutex g_lock;
std::unordered_map<uintptr_t, std::unique_ptr<SeamHandle>> g_handles;
uintptr_t g_lastHandle = 0x5EA00000;

SC_HANDLE Publish(SeamHandle* h) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_lastHandle += 4;
  g_handles.emplace(g_lastHandle, std::unique_ptr<SeamHandle>(h));
  return reinterpret_cast<SC_HANDLE>(g_lastHandle);
}

SeamHandle* Find(SC_HANDLE handle) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == g_handles.end() ? nullptr : it->second.get();
}

BOOL Fail(DWORD error) {
  ::SetLastError(error);
  return FALSE;
}

bool EqualNoCase(const std::string& a, const char* b) { return b && ::lstrcmpiA(a.c_str(), b) == 0; }

}  // namespace

LONG RegConnectRegistryA(LPCSTR machine, HKEY key, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  std::string bare = kvlab::BareName(machine);
  Target t = Resolve(bare);
  if (t.route == Route::Windows) return ::RegConnectRegistryA(machine, key, result);
  if (DWORD rc = InjectedFault(t)) return static_cast<LONG>(rc);
  if (key != HKEY_LOCAL_MACHINE && key != HKEY_USERS) return ERROR_INVALID_HANDLE;
  if (DWORD rc = CheckAccess(t, ERROR_BAD_NETPATH)) return static_cast<LONG>(rc);
  if (t.reach.local) return ::RegOpenKeyExA(key, nullptr, 0, KEY_ALL_ACCESS, result);
  std::string path = kvlab::MachineRegistryPath(t.name) + (key == HKEY_USERS ? "\\Users" : "");
  return ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, result, nullptr);
}

DWORD WNetAddConnection2A(LPNETRESOURCEA resource, LPCSTR password, LPCSTR userName, DWORD flags) {
  if (!resource || !resource->lpRemoteName) return ERROR_INVALID_PARAMETER;
  std::string machine, share;
  if (!SplitRemoteName(resource->lpRemoteName, machine, share)) {
    if (!kvlab::LabExists()) return ::WNetAddConnection2A(resource, password, userName, flags);
    return ERROR_BAD_NET_NAME;
  }
  Target t = Resolve(machine);
  if (t.route == Route::Windows) return ::WNetAddConnection2A(resource, password, userName, flags);
  if (DWORD rc = InjectedFault(t)) return rc;
  if (t.route == Route::Unreachable || !t.reach.online) return ERROR_BAD_NETPATH;
  if (resource->lpLocalName && resource->lpLocalName[0]) return ERROR_BAD_DEVICE;  // only deviceless sessions
  if (!EqualNoCase(share, "ipc$")) return ERROR_BAD_NET_NAME;

  // No user name means the caller's own logon: accepted where the machine
  // trusts the console's user, else checked like any account.
  std::string user = userName ? userName : "";
  bool own = user.empty() || ::lstrcmpiA(user.c_str(), kvlab::ConsoleUserName().c_str()) == 0;
  if (user.empty()) user = kvlab::ConsoleUserName();
  bool accepted = kvlab::CheckPassword(t.name, user, password ? password : "") || (own && t.reach.trust && !password);
  std::string existing = kvlab::SessionUser(t.name);
  if (!existing.empty() && ::lstrcmpiA(existing.c_str(), user.c_str()) != 0) return ERROR_SESSION_CREDENTIAL_CONFLICT;
  if (!accepted) return ERROR_LOGON_FAILURE;
  return static_cast<DWORD>(kvlab::AddSession(t.name, "ipc$", user));
}

DWORD WINAPI WNetCancelConnection2A(LPCSTR name, DWORD flags, BOOL force) {
  if (!name) return ERROR_INVALID_PARAMETER;
  std::string machine, share;
  if (!SplitRemoteName(name, machine, share)) {
    if (!kvlab::LabExists()) return ::WNetCancelConnection2A(name, flags, force);
    return ERROR_NOT_CONNECTED;
  }
  Target t = Resolve(machine);
  if (t.route == Route::Windows) return ::WNetCancelConnection2A(name, flags, force);
  if (t.route == Route::Unreachable) return ERROR_NOT_CONNECTED;
  // A connection can be cancelled while the machine is offline, as on Windows.
  return static_cast<DWORD>(kvlab::CancelSession(t.name, EqualNoCase(share, "ipc$") ? "ipc$" : share));
}

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
  std::string bare = kvlab::BareName(machine);
  Target t = Resolve(bare);
  if (t.route == Route::Lab || t.route == Route::Unreachable) {
    if (DWORD rc = InjectedFault(t)) {
      ::SetLastError(rc);
      return nullptr;
    }
    // Windows answers RPC_S_SERVER_UNAVAILABLE for a machine it cannot reach.
    if (DWORD rc = CheckAccess(t, RPC_S_SERVER_UNAVAILABLE)) {
      ::SetLastError(rc);
      return nullptr;
    }
    if (database && ::lstrcmpiA(database, SERVICES_ACTIVE_DATABASEA) != 0) {
      ::SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
      return nullptr;
    }
    if (!t.reach.local) return Publish(new SeamHandle{SeamHandle::LabManager, nullptr, t.name, {}, access});
    machine = nullptr;  // the lab's local machine: the real SCM
  }
  SC_HANDLE real = ::OpenSCManagerA(machine, database, access);
  if (!real) return nullptr;
  return Publish(new SeamHandle{SeamHandle::RealManager, real, bare, {}, access});
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access) {
  SeamHandle* m = Find(manager);
  if (!m || (m->kind != SeamHandle::RealManager && m->kind != SeamHandle::LabManager)) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!serviceName || !serviceName[0] || ::lstrlenA(serviceName) > 256) {
    ::SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  if (m->kind == SeamHandle::RealManager) {
    SC_HANDLE real = ::OpenServiceA(m->real, serviceName, access);
    if (!real) return nullptr;
    return Publish(new SeamHandle{SeamHandle::RealService, real, m->machine, serviceName, access});
  }
  kvlab::Reachability reach = kvlab::Reach(m->machine);
  if (DWORD rc = kvlab::RemoteCall(!reach.known || !reach.online)) {
    ::SetLastError(rc);
    return nullptr;
  }
  if (!reach.known || !reach.online) {
    ::SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  kvlab::ServiceTiming timing;
  if (serviceName[0] == '\\' || !kvlab::ReadServiceTiming(m->machine, serviceName, timing)) {
    ::SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  return Publish(new SeamHandle{SeamHandle::LabService, nullptr, m->machine, serviceName, access});
}

namespace {

// The lab service behind a handle, with the right asked for; sets the error.
bool LabService(SeamHandle* s, DWORD right, kvlab::ServiceTiming& timing) {
  kvlab::Reachability reach = kvlab::Reach(s->machine);
  if (DWORD rc = kvlab::RemoteCall(!reach.known || !reach.online)) return Fail(rc);
  if (!(s->access & right) && s->access != SERVICE_ALL_ACCESS) return Fail(ERROR_ACCESS_DENIED);
  if (!reach.known || !reach.online) return Fail(RPC_S_SERVER_UNAVAILABLE);
  if (!kvlab::ReadServiceTiming(s->machine, s->service, timing)) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  return true;
}

}  // namespace

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  SeamHandle* s = Find(service);
  if (!s || (s->kind != SeamHandle::RealService && s->kind != SeamHandle::LabService))
    return Fail(ERROR_INVALID_HANDLE);
  if (!status) return Fail(ERROR_INVALID_PARAMETER);
  if (s->kind == SeamHandle::RealService) return ::QueryServiceStatus(s->real, status);
  kvlab::ServiceTiming timing;
  if (!LabService(s, SERVICE_QUERY_STATUS, timing)) return FALSE;
  *status = kvlab::ComputeServiceStatus(timing, kvlab::NowMs());
  return TRUE;
}

BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* argv) {
  SeamHandle* s = Find(service);
  if (!s || (s->kind != SeamHandle::RealService && s->kind != SeamHandle::LabService))
    return Fail(ERROR_INVALID_HANDLE);
  if (s->kind == SeamHandle::RealService) return ::StartServiceA(s->real, argc, argv);
  kvlab::ServiceTiming timing;
  if (!LabService(s, SERVICE_START, timing)) return FALSE;
  if (kvlab::ComputeServiceStatus(timing, kvlab::NowMs()).dwCurrentState != SERVICE_STOPPED)
    return Fail(ERROR_SERVICE_ALREADY_RUNNING);
  // The simulated services run in the lab host, as real ones run in their
  // process: start it when it does not run yet.
  if (LONG rc = kvlab::EnsureHost()) return Fail(static_cast<DWORD>(rc));
  if (LONG rc = kvlab::WriteServiceTarget(s->machine, s->service, SERVICE_RUNNING)) return Fail(static_cast<DWORD>(rc));
  return TRUE;
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  SeamHandle* s = Find(service);
  if (!s || (s->kind != SeamHandle::RealService && s->kind != SeamHandle::LabService))
    return Fail(ERROR_INVALID_HANDLE);
  if (!status) return Fail(ERROR_INVALID_PARAMETER);
  if (s->kind == SeamHandle::RealService) return ::ControlService(s->real, control, status);
  DWORD right = control == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_INTERROGATE;
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE)
    return Fail(ERROR_INVALID_SERVICE_CONTROL);
  kvlab::ServiceTiming timing;
  if (!LabService(s, right, timing)) return FALSE;
  uint64_t now = kvlab::NowMs();
  SERVICE_STATUS current = kvlab::ComputeServiceStatus(timing, now);
  if (current.dwCurrentState == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
  if (current.dwCurrentState != SERVICE_RUNNING) {
    *status = current;
    return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  }
  if (control == SERVICE_CONTROL_STOP) {
    if (LONG rc = kvlab::WriteServiceTarget(s->machine, s->service, SERVICE_STOPPED))
      return Fail(static_cast<DWORD>(rc));
    timing.target = SERVICE_STOPPED;
    timing.changedAt = now;
    current = kvlab::ComputeServiceStatus(timing, now);
  }
  *status = current;
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  std::unique_ptr<SeamHandle> h;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_handles.end()) return Fail(ERROR_INVALID_HANDLE);
    h = std::move(it->second);
    g_handles.erase(it);
  }
  return h->real ? ::CloseServiceHandle(h->real) : TRUE;
}

}  // namespace kvr
