#include "RoleTables.h"

#include <cstring>
#include <memory>
#include <new>

#include "Prodwick.h"
#include "Remote.h"
#include "Strings.h"
#include "Toolwright.h"

char DiscoveryTableRoot[256];
char ProductRoot[256];

namespace {

constexpr char kBroadcastSettingSubKey[] = "\\DiscoveryImplementationList\\Bellcast\\TandDiscoverySetting";

void CopyRoot(char (&root)[256], const char* text) {
  size_t n = text ? ::strnlen(text, sizeof(root) - 1) : 0;
  std::memcpy(root, text ? text : "", n);
  std::memset(root + n, 0, sizeof(root) - n);
}

// Toolwright fills a 256-byte buffer; the last byte is forced to NUL so a
// full buffer never runs on into the next root.
bool LoadRoot(int(WINAPI* fill)(char*, DWORD), char (&root)[256]) {
  char buffer[256] = {};
  if (LOWORD(fill(buffer, sizeof(buffer))) == 0) return false;
  buffer[sizeof(buffer) - 1] = '\0';
  CopyRoot(root, buffer);
  return true;
}

std::string DistributedListPath() { return std::string(ProductRoot) + kDistributedListSubKey; }

// The machine's HKEY_LOCAL_MACHINE: the local predefined key (which nobody
// closes, so remote stays empty), or a remote registry connection through
// the remote-machine layer, owned by remote.
LONG SelectMachineRoot(const char* machine, kv::CRegKey& remote, HKEY& root) {
  if (IsLocalMachine(machine)) {
    remote.Reset();
    root = HKEY_LOCAL_MACHINE;
    return ERROR_SUCCESS;
  }
  LONG status = kvr::RegConnectRegistryA(machine, HKEY_LOCAL_MACHINE, remote.Put());
  root = remote.Get();
  return status;
}

}  // namespace

bool LoadDiscoveryTableRoot() { return LoadRoot(&GetDiscoveryTablePath, DiscoveryTableRoot); }

bool LoadProductRoot() { return LoadRoot(&GetProductRootPath, ProductRoot); }

void SetRegistryRootsForTest(const char* discoveryTableRoot, const char* productRoot) {
  CopyRoot(DiscoveryTableRoot, discoveryTableRoot);
  CopyRoot(ProductRoot, productRoot);
}

bool GetProductKeyName(int productCode, std::string& nameOut, WORD& wordOut) {
  std::unique_ptr<ProductInfoBlock> block(new (std::nothrow) ProductInfoBlock());
  if (!block) return false;
  if (LOWORD(prodwick::GetProductInfo(productCode, block.get())) == 0) return false;
  // The name field ends where the 16-bit value begins: never read past it.
  nameOut = kv::FixedField(block->keyName, sizeof(block->keyName));
  wordOut = block->word;
  return true;
}

namespace {

// The key name of a product in the discovery table, or the fallback name.
std::string ProductKeyName(int productCode) {
  std::string productKey;
  WORD unused = 0;
  if (!GetProductKeyName(productCode, productKey, unused)) productKey = kFallbackProductKeyName;
  return productKey;
}

const std::string& SlotValueName() {
  static const std::string name = kv::Format("%s_%d", "Slot", 1);
  return name;
}

LONG OpenRoleRecordKey(const char* server, const std::string& productKey, kv::CRegKey& key) {
  std::string path = std::string(DiscoveryTableRoot) + "\\" + (server ? server : "") + "\\" + productKey;
  return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Put());
}

LONG QueryRoleRecord(HKEY key, void* buffer, DWORD* size) {
  DWORD count = *size;
  LONG status = ::RegQueryValueExA(key, SlotValueName().c_str(), nullptr, nullptr, static_cast<BYTE*>(buffer), &count);
  *size = count;
  return status;
}

}  // namespace

LONG ReadLocalRoleRecord(const char* server, int productCode, void* buffer, DWORD* size) {
  kv::CRegKey key;
  LONG status = OpenRoleRecordKey(server, ProductKeyName(productCode), key);
  if (status != ERROR_SUCCESS) return status;
  return QueryRoleRecord(key.Get(), buffer, size);
}

LONG CLocalRoleRecordReader::Read(const char* server, int productCode, void* buffer, DWORD* size) {
  if (productCode != m_productCode || m_table != DiscoveryTableRoot) {
    Reset();
    m_productCode = productCode;
    m_productKey = ProductKeyName(productCode);
    m_table = DiscoveryTableRoot;
  }
  const std::string name = server ? server : "";
  auto kept = m_keys.find(name);
  if (kept != m_keys.end()) {
    DWORD count = *size;
    LONG status = QueryRoleRecord(kept->second.Get(), buffer, &count);
    if (status != ERROR_KEY_DELETED) {
      *size = count;
      return status;
    }
    m_keys.erase(kept);
  }
  kv::CRegKey key;
  LONG status = OpenRoleRecordKey(server, m_productKey, key);
  if (status != ERROR_SUCCESS) return status;
  status = QueryRoleRecord(key.Get(), buffer, size);
  m_keys.emplace(name, std::move(key));
  return status;
}

void CLocalRoleRecordReader::Reset() { m_keys.clear(); }

int QueryServerRole(const char* server) {
  RoleRecord record{};
  DWORD size = sizeof(record);
  if (ReadLocalRoleRecord(server, kSanProductCode, &record, &size) != ERROR_SUCCESS) return RoleNone;
  std::string primary = kv::FixedField(record.primaryName, sizeof(record.primaryName));
  return primary == (server ? server : "") ? RolePrimary : RoleDistributed;
}

bool IsLocalMachine(const char* machine) {
  if (!machine || !*machine) return true;
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD length = sizeof(name);
  if (!::GetComputerNameA(name, &length)) return false;
  return std::strcmp(machine, name) == 0;
}

LONG OpenDistributedList(kv::CRegKey& rootOut, kv::CRegKey& keyOut, const char* machine) {
  kv::CRegKey root;
  HKEY machineRoot = nullptr;
  LONG status = SelectMachineRoot(machine, root, machineRoot);
  if (status != ERROR_SUCCESS) return status;
  kv::CRegKey key;
  status = ::RegOpenKeyExA(machineRoot, DistributedListPath().c_str(), 0, KEY_READ, key.Put());
  if (status != ERROR_SUCCESS) return status;
  rootOut = std::move(root);
  keyOut = std::move(key);
  return ERROR_SUCCESS;
}

LONG EnumDistributedList(HKEY key, DWORD index, char* nameOut) {
  DWORD length = MAX_PATH;
  return ::RegEnumValueA(key, index, nameOut, &length, nullptr, nullptr, nullptr, nullptr);
}

LONG CloseDistributedList(kv::CRegKey& root, kv::CRegKey& key) {
  key.Reset();
  root.Reset();
  return ERROR_SUCCESS;
}

LONG EditDistributedList(const char* machine, const char* name, int mode) {
  kv::CRegKey remote;
  HKEY root = nullptr;
  LONG status = SelectMachineRoot(machine, remote, root);
  if (status != ERROR_SUCCESS) return status;

  // Every mode opens the list, creating it when it is missing.
  const std::string path = DistributedListPath();
  kv::CRegKey key;
  if (::RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, key.Put()) != ERROR_SUCCESS) {
    status = ::RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                               key.Put(), nullptr);
    if (status != ERROR_SUCCESS) return status;
  }

  switch (mode) {
    case ListAdd:
      return ::RegSetValueExA(key.Get(), name, 0, REG_SZ, nullptr, 0);
    case ListRemove: {
      status = ::RegDeleteValueA(key.Get(), name);
      if (status != ERROR_SUCCESS) return status;
      DWORD values = 0;
      if (::RegQueryInfoKeyA(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr) == ERROR_SUCCESS &&
          values == 0) {
        key.Reset();
        ::RegDeleteKeyA(root, path.c_str());
      }
      return ERROR_SUCCESS;
    }
    case ListDelete:
      key.Reset();
      ::RegDeleteKeyA(root, path.c_str());
      return ERROR_SUCCESS;
    default:
      return ERROR_SUCCESS;
  }
}

DWORD ReadBroadcastDelay() {
  std::string path = std::string(ProductRoot) + kBroadcastSettingSubKey;
  kv::CRegKey key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
    return kDefaultBroadcastDelay;
  // A shorter value leaves the high bytes zero; a longer one fails (234).
  DWORD delay = 0;
  DWORD size = sizeof(delay);
  if (::RegQueryValueExA(key.Get(), "BCastDelay", nullptr, nullptr, reinterpret_cast<BYTE*>(&delay), &size) !=
      ERROR_SUCCESS)
    return kDefaultBroadcastDelay;
  return delay;
}

void ScrambleCredential(void* buffer, int length) {
  BYTE* bytes = static_cast<BYTE*>(buffer);
  BYTE k = 1;
  for (int i = 0; i < length; ++i) {
    bytes[i] ^= k;
    k = k >= 250 ? 1 : static_cast<BYTE>(k + 3);
  }
}
