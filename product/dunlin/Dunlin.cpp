// Dunlin: the local discovery table (read here) and the role records, which
// live on each server's own machine and are read and written there through
// the remote-machine seam, so they need a session to that machine or its
// trust. The local table changes only through the Discovery Service, which
// passes a written record on at its next broadcast. While the local service
// runs, an enumeration serves a copy of the table that is read whole once and
// afterwards only where the service announces that it rewrote a server (a
// console refreshing every five seconds would otherwise read thousands of
// keys again and again); without a live local service it reads the registry.
#include "Dunlin.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "Catalogue.h"
#include "DiscoveryNode.h"
#include "HandleTable.h"
#include "LabStore.h"
#include "Remote.h"
#include "TableWatch.h"

namespace {

// The local discovery table as last read: every server's entry, or the
// status that reading it gave, in the registry's order.
struct TableCopy {
  std::vector<std::string> names;
  std::vector<int> status;
  std::vector<DiscoveryEntry> entries;
  std::unordered_map<std::string, size_t> byName;  // folded name -> index
};

struct ServerEnum {
  std::vector<std::string> names;         // without a copy: read entry by entry
  std::shared_ptr<const TableCopy> copy;  // while the local node keeps the table
};

kvcore::CHandleTable<ServerEnum> g_enums;
volatile LONG g_attached = 0;

// The copy that enumerations serve while the local Discovery Service writes
// the table: read whole once, then only the servers the service rewrote.
std::mutex g_copyLock;
kvcore::CTableWatch g_watch;
std::shared_ptr<TableCopy> g_copy;

bool HasNul(const char* field, size_t width) { return memchr(field, 0, width) != nullptr; }

// 0 with the entry of the server's table key; ERROR_INVALID_DATA for an
// entry that is damaged (wrong size or type, a name or domain without NUL);
// the registry's error for a server that is not (or no longer) there.
int ReadServerEntry(const std::string& table, const std::string& name, DiscoveryEntry* entry) {
  kv::CRegKey server;
  LONG rc = kvlab::OpenKey(HKEY_LOCAL_MACHINE, table + "\\" + name, KEY_READ, server);
  if (rc != ERROR_SUCCESS) return rc;
  DiscoveryEntry data;
  DWORD type = 0, size = sizeof(data);
  rc = ::RegQueryValueExA(server.Get(), "Entry", nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  if (rc == ERROR_MORE_DATA) return ERROR_INVALID_DATA;
  if (rc != ERROR_SUCCESS) return rc;
  if (type != REG_BINARY || size != sizeof(data) || !HasNul(data.serverName, sizeof(data.serverName)) ||
      !HasNul(data.domainName, sizeof(data.domainName)))
    return ERROR_INVALID_DATA;
  *entry = data;
  return ERROR_SUCCESS;
}

LONG ReadTableNames(const std::string& table, std::vector<std::string>& names) {
  kv::CRegKey key;
  LONG rc = kvlab::OpenKey(HKEY_LOCAL_MACHINE, table, KEY_READ, key);
  if (rc == ERROR_SUCCESS) names = kvlab::SubKeyNames(key.Get());
  return rc;
}

void ReadCopyEntry(const std::string& table, TableCopy& copy, size_t i) {
  copy.entries[i] = DiscoveryEntry{};
  copy.status[i] = ReadServerEntry(table, copy.names[i], &copy.entries[i]);
}

LONG ReadWholeTable(const std::string& table, std::shared_ptr<TableCopy>& out) {
  auto copy = std::make_shared<TableCopy>();
  if (LONG rc = ReadTableNames(table, copy->names)) return rc;
  copy->status.resize(copy->names.size());
  copy->entries.resize(copy->names.size());
  for (size_t i = 0; i < copy->names.size(); ++i) {
    ReadCopyEntry(table, *copy, i);
    copy->byName.emplace(kvcore::FoldServerName(copy->names[i]), i);
  }
  out = std::move(copy);
  return ERROR_SUCCESS;
}

// Brings the copy up to date with what the service rewrote; a name the copy
// does not know (or cannot look up) means reading the table whole.
LONG UpdateCopy(const std::string& table, const std::vector<std::string>& changed) {
  if (changed.empty()) return ERROR_SUCCESS;
  if (g_copy.use_count() > 1) g_copy = std::make_shared<TableCopy>(*g_copy);  // an open enumeration keeps its own
  for (const std::string& name : changed) {
    auto it = g_copy->byName.find(kvcore::FoldServerName(name));
    if (it == g_copy->byName.end() || it->first.empty()) return ReadWholeTable(table, g_copy);
    ReadCopyEntry(table, *g_copy, it->second);
  }
  return ERROR_SUCCESS;
}

bool ValidServer(const char* server) {
  if (!server || !server[0]) return false;
  size_t n = strnlen(server, 64);
  return n < 64 && std::string(server, n).find_first_of("\\/") == std::string::npos;
}

// The server's own HKLM, through the seam.
LONG ConnectServer(const char* server, kv::CRegKey& root) {
  return kvr::RegConnectRegistryA(server, HKEY_LOCAL_MACHINE, root.Put());
}

}  // namespace

extern "C" {

int WINAPI DiscoveryAttach(int) {
  kv::CRegKey table;
  LONG rc = kvlab::CreateKey(HKEY_LOCAL_MACHINE, kvlab::DiscoveryTableRoot(), table);
  if (rc != ERROR_SUCCESS) return rc;
  ::InterlockedIncrement(&g_attached);
  return ERROR_SUCCESS;
}

int WINAPI DiscoveryDetach(void) {
  if (g_attached > 0) ::InterlockedDecrement(&g_attached);
  return ERROR_SUCCESS;
}

int WINAPI OpenServerEnum(HANDLE* handle, DWORD* reserved) {
  if (!handle) return ERROR_INVALID_PARAMETER;
  *handle = nullptr;
  const std::string table = kvlab::DiscoveryTableRoot();
  auto e = std::make_unique<ServerEnum>();
  {
    std::lock_guard<std::mutex> guard(g_copyLock);
    std::vector<std::string> changed;
    switch (g_watch.Poll(table, changed)) {
      case kvcore::CTableWatch::Unwatched:
        g_copy.reset();
        break;
      case kvcore::CTableWatch::Reshaped:
        g_copy.reset();
        if (LONG rc = ReadWholeTable(table, g_copy)) return rc;
        break;
      case kvcore::CTableWatch::Changed:
        if (LONG rc = g_copy ? UpdateCopy(table, changed) : ReadWholeTable(table, g_copy)) return g_copy.reset(), rc;
        break;
    }
    e->copy = g_copy;
  }
  if (!e->copy)
    if (LONG rc = ReadTableNames(table, e->names)) return rc;
  if (reserved) *reserved = static_cast<DWORD>(e->copy ? e->copy->names.size() : e->names.size());
  *handle = g_enums.Add(std::move(e));
  return ERROR_SUCCESS;
}

// 0 with the entry; 259 past the last server; ERROR_INVALID_DATA for an
// entry that is damaged (wrong size or type, a name or domain without NUL);
// the registry's error for a server that went away since the enumeration began.
int WINAPI NextServerEntry(HANDLE handle, DWORD index, DiscoveryEntry* entry) {
  ServerEnum* e = g_enums.Find(handle);
  if (!e) return ERROR_INVALID_HANDLE;
  if (!entry) return ERROR_INVALID_PARAMETER;
  if (e->copy) {
    if (index >= e->copy->names.size()) return ERROR_NO_MORE_ITEMS;
    if (e->copy->status[index] == ERROR_SUCCESS) *entry = e->copy->entries[index];
    return e->copy->status[index];
  }
  if (index >= e->names.size()) return ERROR_NO_MORE_ITEMS;
  return ReadServerEntry(kvlab::DiscoveryTableRoot(), e->names[index], entry);
}

int WINAPI CloseServerEnum(HANDLE handle) { return g_enums.Remove(handle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE; }

int WINAPI OpenServerEnumCount(void) { return static_cast<int>(g_enums.Count()); }

// Asks the local Discovery Service for a pass now and waits for it (bounded).
// ERROR_SERVICE_NOT_ACTIVE when no local node runs.
int WINAPI RefreshDiscoveryTable(int, int) {
  kvcore::CBus bus;
  if (!bus.Open()) return static_cast<int>(::GetLastError());
  kvcore::BusHeader* h = bus.Header();
  uint64_t now = kvlab::NowMs();
  if (h->localPid == 0 || static_cast<uint64_t>(h->heartbeat) + 10000 < now) return ERROR_SERVICE_NOT_ACTIVE;
  kv::CHandle event(::OpenEventA(EVENT_MODIFY_STATE, FALSE, kvcore::RefreshEventName().c_str()));
  if (!event) return ERROR_SERVICE_NOT_ACTIVE;
  LONG before = h->passes;
  ::SetEvent(event.Get());
  for (int waited = 0; waited < 3000; waited += 5) {
    if (h->passes - before >= 1) return ERROR_SUCCESS;
    ::Sleep(5);
  }
  return ERROR_TIMEOUT;
}

int WINAPI WriteRoleRecord(const char* server, int productCode, const void* record, DWORD* size) {
  const kvcore::ProductInfo* product = kvcore::FindProduct(productCode);
  if (!ValidServer(server) || !product || !product->slots || !size) return ERROR_INVALID_PARAMETER;
  bool remove = record == nullptr;
  if (remove ? *size != 0 : *size != sizeof(RoleRecord)) return ERROR_INVALID_PARAMETER;
  kv::CRegKey root;
  LONG rc = ConnectServer(server, root);
  if (rc != ERROR_SUCCESS) return rc;
  const std::string path = kvcore::OwnRecordPath(productCode);
  if (remove) {
    kv::CRegKey key;
    rc = kvlab::OpenKey(root.Get(), path, KEY_ALL_ACCESS, key);
    if (rc == ERROR_SUCCESS) rc = ::RegDeleteValueA(key.Get(), "Slot_1");
  } else {
    kv::CRegKey key;
    rc = kvlab::CreateKey(root.Get(), path, key);
    if (rc == ERROR_SUCCESS) rc = kvlab::WriteBinary(key.Get(), "Slot_1", record, sizeof(RoleRecord));
  }
  if (rc == ERROR_SUCCESS) kvcore::NotifyRecordChanged(server);
  return rc;
}

// 0 when the buffer holds the server's 76-byte record; ERROR_MORE_DATA for a
// longer value, ERROR_INVALID_DATA for a shorter one or one that is not
// binary; *size gets the byte count the registry reports.
int WINAPI ReadRoleRecord(const char* server, int productCode, void* buffer, DWORD* size) {
  const kvcore::ProductInfo* product = kvcore::FindProduct(productCode);
  if (!ValidServer(server) || !product || !product->slots || !buffer || !size) return ERROR_INVALID_PARAMETER;
  kv::CRegKey root;
  LONG rc = ConnectServer(server, root);
  if (rc != ERROR_SUCCESS) return rc;
  kv::CRegKey key;
  rc = kvlab::OpenKey(root.Get(), kvcore::OwnRecordPath(productCode), KEY_READ, key);
  if (rc != ERROR_SUCCESS) return rc;
  DWORD type = REG_NONE;
  rc = ::RegQueryValueExA(key.Get(), "Slot_1", nullptr, &type, static_cast<BYTE*>(buffer), size);
  if (rc == ERROR_SUCCESS && (*size != sizeof(RoleRecord) || type != REG_BINARY)) return ERROR_INVALID_DATA;
  return rc;
}

}  // extern "C"
