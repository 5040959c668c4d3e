// Bellcast: what the discovery broadcasts report, as the local Discovery
// Service has received them: each server's products and the peer table.
#include "Bellcast.h"

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "DiscoveryNode.h"
#include "HandleTable.h"
#include "LabStore.h"
#include "TableWatch.h"

namespace {

struct ProductList {
  std::vector<ProductEntry> entries;
};

kvcore::CHandleTable<ProductList> g_lists;

// The product lists as last read, by folded server name, with the status
// that reading gave, kept while the local Discovery Service writes the table
// and announces what it rewrites (see Dunlin's enumeration).
struct ProductsCopy {
  LONG status = ERROR_SUCCESS;
  std::vector<ProductEntry> entries;
};
std::mutex g_copyLock;
kvcore::CTableWatch g_watch;
std::unordered_map<std::string, ProductsCopy> g_copies;

bool ValidServer(const char* server) {
  if (!server || !server[0]) return false;
  size_t n = strnlen(server, 64);
  return n < 64 && std::string(server, n).find('\\') == std::string::npos;
}

LONG ReadProducts(const std::string& table, const char* server, std::vector<ProductEntry>& entries) {
  kv::CRegKey key;
  LONG rc = kvlab::OpenKey(HKEY_LOCAL_MACHINE, table + "\\" + server, KEY_READ, key);
  if (rc != ERROR_SUCCESS) return rc;
  DWORD type = 0, size = 0;
  rc = ::RegQueryValueExA(key.Get(), "Products", nullptr, &type, nullptr, &size);
  if (rc != ERROR_SUCCESS) return rc;
  if (type != REG_BINARY) return ERROR_INVALID_DATA;
  std::vector<uint8_t> data(size);
  if (size && (rc = ::RegQueryValueExA(key.Get(), "Products", nullptr, &type, data.data(), &size)) != ERROR_SUCCESS)
    return rc;
  // Whole entries only: a damaged tail is never read past.
  for (size_t off = 0; off + sizeof(ProductEntry) <= size; off += sizeof(ProductEntry)) {
    ProductEntry e;
    std::memcpy(&e, data.data() + off, sizeof(e));
    entries.push_back(e);
  }
  return ERROR_SUCCESS;
}

// Counts the changes the copies have taken (see ProductsOf).
uint64_t g_copyChanges = 0;

// The server's list from the copy when the service keeps the table, else
// from the registry.
LONG ProductsOf(const char* server, std::vector<ProductEntry>& entries) {
  const std::string table = kvlab::DiscoveryTableRoot();
  const std::string folded = kvcore::FoldServerName(server);
  std::unique_lock<std::mutex> lock(g_copyLock);
  std::vector<std::string> changed;
  switch (g_watch.Poll(table, changed)) {
    case kvcore::CTableWatch::Unwatched:
      g_copies.clear();
      ++g_copyChanges;
      lock.unlock();
      return ReadProducts(table, server, entries);
    case kvcore::CTableWatch::Reshaped:
      g_copies.clear();
      ++g_copyChanges;
      break;
    case kvcore::CTableWatch::Changed:
      for (const std::string& name : changed) g_copies.erase(kvcore::FoldServerName(name));
      if (!changed.empty()) ++g_copyChanges;
      break;
  }
  if (folded.empty()) {
    lock.unlock();
    return ReadProducts(table, server, entries);
  }
  auto it = g_copies.find(folded);
  if (it == g_copies.end()) {
    // Read without the lock, so that callers on other threads are served
    // (and read) meanwhile. A change another caller took from the watch in
    // between may be one this read missed: the list is then not kept.
    const uint64_t changes = g_copyChanges;
    lock.unlock();
    ProductsCopy copy;
    copy.status = ReadProducts(table, server, copy.entries);
    lock.lock();
    if (g_copyChanges != changes) {
      if (copy.status == ERROR_SUCCESS) entries = std::move(copy.entries);
      return copy.status;
    }
    it = g_copies.emplace(folded, std::move(copy)).first;
  }
  if (it->second.status == ERROR_SUCCESS) entries = it->second.entries;
  return it->second.status;
}

}  // namespace

extern "C" {

int WINAPI OpenProductList(const char* server, HANDLE* handle, DWORD* reserved) {
  if (!handle) return ERROR_INVALID_PARAMETER;
  *handle = nullptr;
  if (!ValidServer(server)) return ERROR_INVALID_PARAMETER;
  auto list = std::make_unique<ProductList>();
  if (LONG rc = ProductsOf(server, list->entries)) return rc;
  if (reserved) *reserved = static_cast<DWORD>(list->entries.size());
  *handle = g_lists.Add(std::move(list));
  return ERROR_SUCCESS;
}

int WINAPI NextProductEntry(HANDLE handle, DWORD index, ProductEntry* entry) {
  ProductList* list = g_lists.Find(handle);
  if (!list) return ERROR_INVALID_HANDLE;
  if (!entry) return ERROR_INVALID_PARAMETER;
  if (index >= list->entries.size()) return ERROR_NO_MORE_ITEMS;
  *entry = list->entries[index];
  return ERROR_SUCCESS;
}

int WINAPI CloseProductList(HANDLE handle) { return g_lists.Remove(handle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE; }

// Copies the peers into table (24-byte entries, as many as fit) and returns
// the index of the last entry filled. Without peers, entry 0 is cleared and 0
// is returned. Negative: no peer table (the local service never ran) or bad
// arguments.
int WINAPI GetPeerTable(int, void* table, DWORD size) {
  if (!table || size < kPeerEntrySize) return -1;
  kv::CRegKey key;
  if (kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvcore::PeerTablePath(), KEY_READ, key) != ERROR_SUCCESS) return -2;
  std::vector<uint8_t> peers = kvlab::ReadBinary(key.Get(), "PeerTable");
  size_t count = peers.size() / kPeerEntrySize;
  size_t fit = size / kPeerEntrySize;
  if (count > fit) count = fit;
  if (count == 0) {
    std::memset(table, 0, kPeerEntrySize);
    return 0;
  }
  std::memcpy(table, peers.data(), count * kPeerEntrySize);
  return static_cast<int>(count - 1);
}

}  // extern "C"
