#include "LabFault.h"

#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "LabStore.h"

namespace kvlab {

namespace {

const char kAfter[] = "FaultAfter";
const char kStatus[] = "FaultStatus";
const char kKill[] = "FaultKill";
const char kCalls[] = "FaultCalls";
const char kLatency[] = "NetLatencyMs";
const char kJitter[] = "NetJitterMs";
const char kUnreachable[] = "NetUnreachableMs";

// What the shared word says may be set.
const LONG kFaultArmed = 1;
const LONG kNetworkArmed = 2;

// One word per lab shared by every process of the host: the bits of what
// may be set (fault switch, network). Only a hint for the fast path; the
// registry decides.
struct SharedState {
  volatile LONG armed;
};

// A process's view of its lab's shared word, kept for the life of the process.
struct SharedView {
  kv::CHandle mapping;
  SharedState* state = nullptr;
  ~SharedView() {
    if (state) ::UnmapViewOfFile(state);
  }
};

std::mutex g_viewsLock;
std::map<std::string, std::unique_ptr<SharedView>> g_views;  // by lab tag

// Every process of the host changes the switch and its count under this mutex.
class CFaultLock {
 public:
  CFaultLock()
      : m_mutex(::CreateMutexA(SharedObjectAttributes(), FALSE, ("Global\\KvLabFaultLock-" + LabTag()).c_str())) {
    // An abandoned mutex (its holder was killed) is held all the same.
    if (m_mutex) m_held = ::WaitForSingleObject(m_mutex.Get(), INFINITE) != WAIT_FAILED;
  }
  ~CFaultLock() {
    if (m_held) ::ReleaseMutex(m_mutex.Get());
  }
  CFaultLock(const CFaultLock&) = delete;
  CFaultLock& operator=(const CFaultLock&) = delete;

 private:
  kv::CHandle m_mutex;
  bool m_held = false;
};

FaultSwitch ReadSwitch(HKEY root) {
  FaultSwitch s;
  s.after = ReadDword(root, kAfter, 0);
  s.set = s.after != 0;
  s.status = ReadDword(root, kStatus, ERROR_BAD_NETPATH);
  s.kill = ReadDword(root, kKill, 0) != 0;
  s.calls = ReadDword(root, kCalls, 0);
  return s;
}

NetworkSetting ReadNetwork(HKEY root) {
  NetworkSetting n;
  n.set = ReadDword(root, kLatency, 0xFFFFFFFF) != 0xFFFFFFFF;
  if (!n.set) return n;
  n.latencyMs = ReadDword(root, kLatency, 0);
  n.jitterMs = ReadDword(root, kJitter, 0);
  n.unreachableMs = ReadDword(root, kUnreachable, 0);
  return n;
}

// What is set at the lab root, as the shared word's bits.
LONG ArmedBits() {
  kv::CRegKey root;
  if (OpenKey(HKEY_LOCAL_MACHINE, LabRoot(), KEY_READ, root) != ERROR_SUCCESS) return 0;
  return (ReadSwitch(root.Get()).set ? kFaultArmed : 0) | (ReadNetwork(root.Get()).set ? kNetworkArmed : 0);
}

FaultSwitch ReadSwitch() {
  kv::CRegKey root;
  if (OpenKey(HKEY_LOCAL_MACHINE, LabRoot(), KEY_READ, root) != ERROR_SUCCESS) return {};
  return ReadSwitch(root.Get());
}

// Stands in for the shared word when no section can be had: every call then
// asks the registry. Nothing ever clears it.
SharedState* AlwaysAsk() {
  static SharedState alwaysAsk{kFaultArmed | kNetworkArmed};
  return &alwaysAsk;
}

// Under CFaultLock.
void Arm(SharedState* shared, LONG bit) {
  if (shared != AlwaysAsk()) ::InterlockedOr(&shared->armed, bit);
}

void Disarm(SharedState* shared, LONG bit) {
  if (shared != AlwaysAsk() && (shared->armed & bit)) ::InterlockedAnd(&shared->armed, ~bit);
}

// This lab's shared word. The process that creates it fills it from the
// registry.
SharedState* Shared() {
  const std::string tag = LabTag();
  std::lock_guard<std::mutex> guard(g_viewsLock);
  std::unique_ptr<SharedView>& view = g_views[tag];
  if (view) return view->state ? view->state : AlwaysAsk();
  view = std::make_unique<SharedView>();
  CFaultLock lock;
  view->mapping.Reset(::CreateFileMappingA(INVALID_HANDLE_VALUE, SharedObjectAttributes(), PAGE_READWRITE, 0,
                                           sizeof(SharedState), ("Global\\KvLabFault-" + tag).c_str()));
  if (!view->mapping) return AlwaysAsk();
  const bool created = ::GetLastError() != ERROR_ALREADY_EXISTS;
  view->state =
      static_cast<SharedState*>(::MapViewOfFile(view->mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SharedState)));
  if (!view->state) return AlwaysAsk();
  if (created) ::InterlockedExchange(&view->state->armed, ArmedBits());
  return view->state;
}

// Writes a setting's values at the lab root in their order (the last one is
// what makes it set) and arms its bit, under the lock.
LONG WriteSetting(std::initializer_list<std::pair<const char*, DWORD>> values, LONG bit) {
  SharedState* shared = Shared();
  CFaultLock lock;
  kv::CRegKey root;
  LONG rc = OpenKey(HKEY_LOCAL_MACHINE, LabRoot(), KEY_ALL_ACCESS, root);
  if (rc != ERROR_SUCCESS) return rc;
  for (const auto& value : values)
    if ((rc = WriteDword(root.Get(), value.first, value.second)) != ERROR_SUCCESS) return rc;
  Arm(shared, bit);
  return ERROR_SUCCESS;
}

// Deletes a setting's values in their order (the first one is what makes it
// set) and disarms its bit, under the lock.
LONG RemoveSetting(std::initializer_list<const char*> values, LONG bit) {
  SharedState* shared = Shared();
  CFaultLock lock;
  kv::CRegKey root;
  LONG rc = OpenKey(HKEY_LOCAL_MACHINE, LabRoot(), KEY_ALL_ACCESS, root);
  if (rc != ERROR_SUCCESS) return rc;
  for (const char* value : values) ::RegDeleteValueA(root.Get(), value);
  Disarm(shared, bit);
  return ERROR_SUCCESS;
}

}  // namespace

LONG SetFault(DWORD after, DWORD status, bool kill) {
  if (after == 0 || status == 0) return ERROR_INVALID_PARAMETER;
  return WriteSetting({{kCalls, 0}, {kStatus, status}, {kKill, kill ? 1 : 0}, {kAfter, after}}, kFaultArmed);
}

LONG ClearFault() { return RemoveSetting({kAfter, kStatus, kKill, kCalls}, kFaultArmed); }

FaultSwitch ReadFault() {
  CFaultLock lock;
  return ReadSwitch();
}

namespace {

DWORD CountFault(SharedState* shared) {
  DWORD status = 0;
  bool kill = false;
  {
    CFaultLock lock;
    kv::CRegKey root;
    FaultSwitch s;
    if (OpenKey(HKEY_LOCAL_MACHINE, LabRoot(), KEY_ALL_ACCESS, root) == ERROR_SUCCESS) s = ReadSwitch(root.Get());
    if (!s.set) {
      // Cleared by hand or with its lab: back to the fast path.
      Disarm(shared, kFaultArmed);
      return 0;
    }
    WriteDword(root.Get(), kCalls, ++s.calls);
    if (s.calls == s.after) {
      status = s.status;
      kill = s.kill;
    }
  }
  // The count is written and the lock released: the process ends as a crash
  // would, before the call is made.
  if (kill) ::TerminateProcess(::GetCurrentProcess(), status);
  return status;
}

// A number in [0, range] that differs between calls and threads.
DWORD Random(DWORD range) {
  static volatile LONG counter = 0;
  ULONG x = static_cast<ULONG>(::InterlockedIncrement(&counter)) * 2654435761u ^ ::GetTickCount() ^
            (::GetCurrentThreadId() << 16);
  x ^= x >> 15;
  x *= 2246822519u;
  x ^= x >> 13;
  return range ? x % (range + 1) : 0;
}

// Waits at least ms milliseconds (Sleep alone may end a little early).
void Wait(DWORD ms) {
  if (!ms) return;
  LARGE_INTEGER f, start, now;
  ::QueryPerformanceFrequency(&f);
  ::QueryPerformanceCounter(&start);
  const LONGLONG end = start.QuadPart + f.QuadPart * ms / 1000;
  for (::QueryPerformanceCounter(&now); now.QuadPart < end; ::QueryPerformanceCounter(&now))
    ::Sleep(static_cast<DWORD>(((end - now.QuadPart) * 1000 + f.QuadPart - 1) / f.QuadPart));
}

void CrossNetwork(SharedState* shared, bool offline) {
  NetworkSetting n;
  {
    kv::CRegKey root;
    if (OpenKey(HKEY_LOCAL_MACHINE, LabRoot(), KEY_READ, root) == ERROR_SUCCESS) n = ReadNetwork(root.Get());
  }
  if (!n.set) {
    // Cleared by hand or with its lab: back to the fast path (unless set again meanwhile).
    CFaultLock lock;
    if (!(ArmedBits() & kNetworkArmed)) Disarm(shared, kNetworkArmed);
    return;
  }
  if (offline) return Wait(n.unreachableMs);
  const DWORD jitter = n.jitterMs <= n.latencyMs ? n.jitterMs : n.latencyMs;
  Wait(n.latencyMs - jitter + Random(2 * jitter));
}

}  // namespace

DWORD RemoteCall(bool offline) {
  SharedState* shared = Shared();
  const LONG armed = shared->armed;
  if (!armed) return 0;
  const DWORD status = armed & kFaultArmed ? CountFault(shared) : 0;
  if (armed & kNetworkArmed) CrossNetwork(shared, offline);
  return status;
}

LONG SetNetwork(DWORD latencyMs, DWORD jitterMs, DWORD unreachableMs) {
  if (jitterMs > latencyMs || latencyMs == 0xFFFFFFFF) return ERROR_INVALID_PARAMETER;
  return WriteSetting({{kJitter, jitterMs}, {kUnreachable, unreachableMs}, {kLatency, latencyMs}}, kNetworkArmed);
}

LONG ClearNetwork() { return RemoveSetting({kLatency, kJitter, kUnreachable}, kNetworkArmed); }

NetworkSetting ReadNetwork() {
  kv::CRegKey root;
  if (OpenKey(HKEY_LOCAL_MACHINE, LabRoot(), KEY_READ, root) != ERROR_SUCCESS) return {};
  return ReadNetwork(root.Get());
}

}  // namespace kvlab
