#include "LabFault.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "LabStore.h"

namespace kvlab {

namespace {

const char kAfter[] = "FaultAfter";
const char kStatus[] = "FaultStatus";
const char kKill[] = "FaultKill";
const char kCalls[] = "FaultCalls";

// One word per lab shared by every process of the host: nonzero while a
// switch may be set. Only a hint for the fast path; the registry decides.
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

FaultSwitch ReadSwitch() {
  kv::CRegKey root;
  if (OpenKey(HKEY_LOCAL_MACHINE, LabRoot(), KEY_READ, root) != ERROR_SUCCESS) return {};
  return ReadSwitch(root.Get());
}

// Stands in for the shared word when no section can be had: every call then
// asks the registry. Nothing ever clears it.
SharedState* AlwaysAsk() {
  static SharedState alwaysAsk{1};
  return &alwaysAsk;
}

void Disarm(SharedState* shared) {
  if (shared != AlwaysAsk() && shared->armed) ::InterlockedExchange(&shared->armed, 0);
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
  if (created) ::InterlockedExchange(&view->state->armed, ReadSwitch().set ? 1 : 0);
  return view->state;
}

}  // namespace

LONG SetFault(DWORD after, DWORD status, bool kill) {
  if (after == 0 || status == 0) return ERROR_INVALID_PARAMETER;
  SharedState* shared = Shared();
  CFaultLock lock;
  kv::CRegKey root;
  LONG rc = OpenKey(HKEY_LOCAL_MACHINE, LabRoot(), KEY_ALL_ACCESS, root);
  if (rc != ERROR_SUCCESS) return rc;
  // "FaultAfter" last: it is what makes the switch set.
  if ((rc = WriteDword(root.Get(), kCalls, 0)) != ERROR_SUCCESS ||
      (rc = WriteDword(root.Get(), kStatus, status)) != ERROR_SUCCESS ||
      (rc = WriteDword(root.Get(), kKill, kill ? 1 : 0)) != ERROR_SUCCESS ||
      (rc = WriteDword(root.Get(), kAfter, after)) != ERROR_SUCCESS)
    return rc;
  ::InterlockedExchange(&shared->armed, 1);
  return ERROR_SUCCESS;
}

LONG ClearFault() {
  SharedState* shared = Shared();
  CFaultLock lock;
  kv::CRegKey root;
  LONG rc = OpenKey(HKEY_LOCAL_MACHINE, LabRoot(), KEY_ALL_ACCESS, root);
  if (rc != ERROR_SUCCESS) return rc;
  for (const char* value : {kAfter, kStatus, kKill, kCalls}) ::RegDeleteValueA(root.Get(), value);
  Disarm(shared);
  return ERROR_SUCCESS;
}

FaultSwitch ReadFault() {
  CFaultLock lock;
  return ReadSwitch();
}

DWORD CountRemoteCall() {
  SharedState* shared = Shared();
  if (!shared->armed) return 0;
  DWORD status = 0;
  bool kill = false;
  {
    CFaultLock lock;
    kv::CRegKey root;
    FaultSwitch s;
    if (OpenKey(HKEY_LOCAL_MACHINE, LabRoot(), KEY_ALL_ACCESS, root) == ERROR_SUCCESS) s = ReadSwitch(root.Get());
    if (!s.set) {
      // Cleared by hand or with its lab: back to the fast path.
      Disarm(shared);
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

}  // namespace kvlab
