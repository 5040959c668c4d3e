#include "DiscoveryService.h"

#include <algorithm>
#include <vector>

#include "Bellcast.h"
#include "Dunlin.h"
#include "Remote.h"
#include "Strings.h"

namespace {

enum class ServiceAction { Query, Start, Stop };

// Opens the service with the right the action needs, runs it, and closes
// the service handle before the manager handle.
DWORD RunServiceAction(const char* machine, ServiceAction action, DWORD* stateOut) {
  const char* target = machine && *machine ? machine : nullptr;
  kvr::CServiceHandle manager(kvr::OpenSCManagerA(target, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_CONNECT));
  if (!manager) return ::GetLastError();

  DWORD right = action == ServiceAction::Query   ? SERVICE_QUERY_STATUS
                : action == ServiceAction::Start ? SERVICE_START
                                                 : SERVICE_STOP;
  kvr::CServiceHandle service(kvr::OpenServiceA(manager.Get(), kDiscoveryServiceName, right));
  if (!service) return ::GetLastError();

  DWORD status = ERROR_SUCCESS;
  SERVICE_STATUS serviceStatus{};
  switch (action) {
    case ServiceAction::Query:
      if (kvr::QueryServiceStatus(service.Get(), &serviceStatus))
        *stateOut = serviceStatus.dwCurrentState;
      else
        status = ::GetLastError();
      break;
    case ServiceAction::Start:
      if (!kvr::StartServiceA(service.Get(), 0, nullptr)) status = ::GetLastError();
      break;
    case ServiceAction::Stop:
      if (!kvr::ControlService(service.Get(), SERVICE_CONTROL_STOP, &serviceStatus)) status = ::GetLastError();
      break;
  }
  service.Reset();
  return status;
}

}  // namespace

DWORD QueryDiscoveryService(const char* machine, DWORD* stateOut) {
  DWORD state = 0;
  DWORD status = RunServiceAction(machine, ServiceAction::Query, &state);
  if (status == ERROR_SUCCESS && stateOut) *stateOut = state;
  return status;
}

DWORD StartDiscoveryService(const char* machine) { return RunServiceAction(machine, ServiceAction::Start, nullptr); }

DWORD StopDiscoveryService(const char* machine) { return RunServiceAction(machine, ServiceAction::Stop, nullptr); }

int CountBroadcastPeers() {
  // Cleared, so that entries the library leaves alone never count as peers.
  std::vector<unsigned char> table(kPeerTableSize);
  int last = GetPeerTable(0, table.data(), kPeerTableSize);
  if (last < 0) return 0;
  // Entries 0 to last inclusive; a result past the last entry of the area
  // is cut to it rather than read beyond the area.
  constexpr int kEntries = kPeerTableSize / kPeerEntrySize;
  if (last >= kEntries) last = kEntries - 1;
  int peers = 0;
  for (int i = 0; i <= last; ++i) {
    if (table[static_cast<size_t>(i) * kPeerEntrySize] != 0) ++peers;
  }
  return peers;
}

bool ServerHasProduct(const char* server, int productCode) {
  CProductList list;
  if (list.Open(server) != 0) return false;
  for (DWORD index = 0;; ++index) {
    ProductEntry entry{};
    if (NextProductEntry(list.Get(), index, &entry) != 0) return false;
    if (static_cast<int>(entry.productCode) == productCode) return true;
  }
}

std::string DiscoveryEntryName(const DiscoveryEntry& entry) {
  return kv::FixedField(entry.serverName, sizeof(entry.serverName));
}

std::vector<DiscoveryEntry> ReadServerEntries() {
  constexpr int kNoMoreItems = 259;
  constexpr DWORD kMaxEnumIndex = 0x10000;
  std::vector<DiscoveryEntry> entries;
  HANDLE enumHandle = nullptr;
  DWORD unused = 0;
  if (::OpenServerEnum(&enumHandle, &unused) != 0) return entries;
  for (DWORD index = 0; index < kMaxEnumIndex; ++index) {
    DiscoveryEntry entry{};
    int status = ::NextServerEntry(enumHandle, index, &entry);
    if (status == kNoMoreItems) break;
    if (status == 0) entries.push_back(entry);
  }
  ::CloseServerEnum(enumHandle);
  return entries;
}

bool IsListedServerEntry(const DiscoveryEntry& entry, int productCode) {
  const uint32_t type = entry.serverType;
  return (type == 24 || type == 25 || type == 32) && ServerHasProduct(DiscoveryEntryName(entry).c_str(), productCode);
}

std::vector<DiscoveryEntry> ReadListedServerEntries(int productCode) {
  std::vector<DiscoveryEntry> entries = ReadServerEntries();
  entries.erase(std::remove_if(entries.begin(), entries.end(),
                               [productCode](const DiscoveryEntry& e) { return !IsListedServerEntry(e, productCode); }),
                entries.end());
  return entries;
}
