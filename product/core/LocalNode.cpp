#include "LocalNode.h"

#include <cstring>

#include "DiscoveryNode.h"
#include "LabStore.h"

namespace kvcore {

void ApplyLabArguments(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--lab-root") == 0)
      ::SetEnvironmentVariableA("KV_LAB_ROOT", argv[++i]);
    else if (std::strcmp(argv[i], "--product-root") == 0)
      ::SetEnvironmentVariableA("KV_PRODUCT_ROOT", argv[++i]);
  }
}

namespace {

uint64_t ThreadCpuUs() {
  FILETIME created, exited, kernel, user;
  if (!::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  auto us = [](const FILETIME& t) { return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10; };
  return us(kernel) + us(user);
}

}  // namespace

int RunLocalNode(HANDLE stop) {
  CBus bus;
  if (!bus.Open()) return static_cast<int>(::GetLastError());
  kv::CHandle refresh(::CreateEventA(kvlab::SharedObjectAttributes(), FALSE, FALSE, RefreshEventName().c_str()));
  const std::string local = kvlab::LocalComputerName();
  NodeIdentity id;
  LoadIdentity(local, id);
  id.slot = 0;  // the local machine's slot
  CDiscoveryNode node(id, HKEY_LOCAL_MACHINE, false);
  CLocalReceiver receiver;
  BusHeader* h = bus.Header();
  const std::string table = kvlab::DiscoveryTableRoot();
  std::memset(h->tablePath, 0, sizeof(h->tablePath));
  std::memcpy(h->tablePath, table.data(),
              table.size() < sizeof(h->tablePath) ? table.size() : sizeof(h->tablePath) - 1);
  ::InterlockedIncrement(&h->tableShape);  // a new receiver writes the table afresh
  h->localPid = static_cast<LONG>(::GetCurrentProcessId());
  uint64_t nextPublish = 0, nextIdentity = 0;
  HANDLE waits[2] = {stop, refresh.Get()};
  for (;;) {
    uint64_t now = kvlab::NowMs();
    if (now >= nextIdentity) {  // the lab may change the local machine's entry
      if (LoadIdentity(local, id)) {
        id.slot = 0;
        node.SetIdentity(id);
      }
      nextIdentity = now + 5000;
    }
    if (now >= nextPublish) {
      node.Publish(bus, now);
      nextPublish = now + node.Delay();
    }
    LARGE_INTEGER f, t0, t1;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&t0);
    uint64_t cpu0 = ThreadCpuUs();
    receiver.Pass(bus, now, node.Delay());
    ::QueryPerformanceCounter(&t1);
    ::InterlockedExchangeAdd64(&h->passCpuUs, static_cast<LONG64>(ThreadCpuUs() - cpu0));
    ::InterlockedExchangeAdd64(&h->passWallUs, (t1.QuadPart - t0.QuadPart) * 1000000 / f.QuadPart);
    h->heartbeat = static_cast<LONG64>(now);
    ::InterlockedIncrement(&h->passes);
    DWORD wait = ::WaitForMultipleObjects(refresh ? 2 : 1, waits, FALSE, node.Delay());
    if (wait == WAIT_OBJECT_0 || wait == WAIT_FAILED) break;
  }
  ::InterlockedCompareExchange(&h->localPid, 0, static_cast<LONG>(::GetCurrentProcessId()));
  return 0;
}

}  // namespace kvcore
