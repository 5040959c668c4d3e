// Control of the product's Discovery Service ("kvdiscoverysvc") on any
// machine, and the two questions put to the broadcast library: how many
// peers it knows and whether a server reports a product.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Bellcast.h"

inline constexpr char kDiscoveryServiceName[] = "kvdiscoverysvc";

// machine: without backslashes; null or empty for the local machine.
// Statuses are Win32 codes from the step that failed (0 = success).
DWORD QueryDiscoveryService(const char* machine, DWORD* stateOut);  // stateOut untouched on failure
DWORD StartDiscoveryService(const char* machine);                   // does not wait for it to run
DWORD StopDiscoveryService(const char* machine);                    // does not wait for it to stop

// Owner of a Bellcast product list: closes it when OpenProductList
// succeeded. The handle is opaque (any value, null included, may be valid),
// so whether it is open is kept apart from the value.
class CProductList {
 public:
  CProductList() = default;
  ~CProductList() {
    if (m_bOpen) ::CloseProductList(m_hList);
  }
  CProductList(const CProductList&) = delete;
  CProductList& operator=(const CProductList&) = delete;
  // OpenProductList's status; the list is held only on 0.
  int Open(const char* server) {
    DWORD unused = 0;
    int status = ::OpenProductList(server, &m_hList, &unused);
    m_bOpen = status == 0;
    return status;
  }
  HANDLE Get() const { return m_hList; }

 private:
  HANDLE m_hList = nullptr;
  bool m_bOpen = false;
};

// Number of entries in the broadcast peer table (0 when it cannot be read).
int CountBroadcastPeers();

// True when server's product list holds productCode.
bool ServerHasProduct(const char* server, int productCode);

// The server name of a discovery entry (at most its 16 bytes, up to a NUL).
std::string DiscoveryEntryName(const DiscoveryEntry& entry);

// The entries of the local discovery table that the console lists, in the
// table's order: servers of type 24, 25 or 32 whose product list holds
// productCode. The enumeration is closed again before this returns; it asks
// for at most 65,536 indexes, so a library that never reports the end cannot
// hang the caller.
std::vector<DiscoveryEntry> ReadListedServerEntries(int productCode);

// Every entry the library gives, in the table's order (same bounds as
// above), and whether the console lists one: the two halves of
// ReadListedServerEntries, for a caller that checks the entries itself.
std::vector<DiscoveryEntry> ReadServerEntries();
bool IsListedServerEntry(const DiscoveryEntry& entry, int productCode);
