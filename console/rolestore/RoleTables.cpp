#include "RoleTables.h"

#include <cstring>
#include <memory>
#include <new>

#include "ComputerName.h"
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
  DWORD count = *size, type = REG_NONE;
  LONG status = ::RegQueryValueExA(key, SlotValueName().c_str(), nullptr, &type, static_cast<BYTE*>(buffer), &count);
  *size = count;
  // The product writes its records as binary values: text is no record.
  if (status == ERROR_SUCCESS && type != REG_BINARY) return ERROR_INVALID_DATA;
  return status;
}

}  // namespace

LONG ReadLocalRoleRecord(const char* server, int productCode, void* buffer, DWORD* size) {
  kv::CRegKey key;
  LONG status = OpenRoleRecordKey(server, ProductKeyName(productCode), key);
  if (status != ERROR_SUCCESS) return status;
  return QueryRoleRecord(key.Get(), buffer, size);
}

namespace {

constexpr DWORD kRecordWatch = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

LONG Watch(HKEY key, DWORD filter, HANDLE event) { return ::RegNotifyChangeKeyValue(key, FALSE, filter, event, TRUE); }

}  // namespace

CLocalRoleRecordReader::CLocalRoleRecordReader() {
  // Manual-reset: a notice stays until the pass that handles it. A group's
  // event is made when its first watch is set (at start the console reads
  // every record once without watches, and few groups hold a server when
  // the table is small).
  m_tableChanged.Reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

HANDLE CLocalRoleRecordReader::GroupEvent(size_t group) {
  kv::CHandle& event = m_groupChanged[group];
  if (!event) event.Reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  return event.Get();
}

void CLocalRoleRecordReader::Forget(size_t group) {
  // Closing a watched key signals its event: close first, then reset.
  for (auto& [name, kept] : m_kept) {
    if (group != kGroups && kept.group != group) continue;
    kept.valid = false;
    kept.watched = false;
    kept.record.Reset();
    kept.server.Reset();
  }
  if (group == kGroups) {
    ResetGroupEvents();
  } else if (m_groupChanged[group]) {
    ::ResetEvent(m_groupChanged[group].Get());
  }
}

void CLocalRoleRecordReader::ResetGroupEvents() {
  for (kv::CHandle& event : m_groupChanged)
    if (event) ::ResetEvent(event.Get());
}

void CLocalRoleRecordReader::BeginPass() {
  if (m_tableKey && ::WaitForSingleObject(m_tableChanged.Get(), 0) != WAIT_OBJECT_0) {
    // The groups that have an event (a watch set), in waits of up to 64.
    size_t next = 0;
    while (next < kGroups) {
      HANDLE events[MAXIMUM_WAIT_OBJECTS];
      size_t groups[MAXIMUM_WAIT_OBJECTS];
      DWORD count = 0;
      for (; next < kGroups && count < MAXIMUM_WAIT_OBJECTS; ++next) {
        if (!m_groupChanged[next]) continue;
        events[count] = m_groupChanged[next].Get();
        groups[count++] = next;
      }
      if (count == 0) break;
      for (;;) {
        DWORD signalled = ::WaitForMultipleObjects(count, events, FALSE, 0);
        if (signalled >= WAIT_OBJECT_0 + count) break;
        Forget(groups[signalled - WAIT_OBJECT_0]);
      }
    }
    return;
  }
  // First pass, or servers came or went: everything is read afresh.
  m_tableKey.Reset();
  Forget(kGroups);
  ::ResetEvent(m_tableChanged.Get());
  m_table = DiscoveryTableRoot;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, DiscoveryTableRoot, 0, KEY_READ, m_tableKey.Put()) == ERROR_SUCCESS &&
      Watch(m_tableKey.Get(), REG_NOTIFY_CHANGE_NAME, m_tableChanged.Get()) != ERROR_SUCCESS)
    m_tableKey.Reset();
}

LONG CLocalRoleRecordReader::Read(const char* server, int productCode, void* buffer, DWORD* size) {
  if (productCode != m_productCode || m_table != DiscoveryTableRoot) {
    // Another product or table: nothing read is an answer any more. (The
    // first read of all keeps the table key that the pass has just watched.)
    if (!m_kept.empty() || m_table != DiscoveryTableRoot) Reset();
    m_productCode = productCode;
    m_productKey = ProductKeyName(productCode);
    m_table = DiscoveryTableRoot;
  }
  const std::string name = server ? server : "";
  auto it = m_kept.find(name);
  if (it == m_kept.end() || !m_tableKey || name.empty() || name.find('\\') != std::string::npos) {
    if (it != m_kept.end() || !m_tableKey || name.empty() || name.find('\\') != std::string::npos)
      return ReadLocalRoleRecord(server, productCode, buffer, size);
    // A server read once is not watched yet (a console that closes after its
    // first pass sets up no watches); its record key stays open for the
    // watch that its next read sets.
    Kept& first = m_kept[name];
    first.group = std::hash<std::string>()(name) % kGroups;
    // The same key as ReadLocalRoleRecord opens, found from the table key
    // that is open already (the registry walks two names instead of the
    // whole path).
    LONG status =
        ::RegOpenKeyExA(m_tableKey.Get(), (name + "\\" + m_productKey).c_str(), 0, KEY_READ, first.record.Put());
    // A table key deleted (and made again) since the pass began: the path.
    if (status == ERROR_KEY_DELETED) status = OpenRoleRecordKey(server, m_productKey, first.record);
    if (status != ERROR_SUCCESS) return status;
    return QueryRoleRecord(first.record.Get(), buffer, size);
  }
  Kept& kept = it->second;
  if (kept.valid && kept.capacity == *size) {
    if (kept.status != ERROR_SUCCESS) return kept.status;
    std::memcpy(buffer, kept.bytes.data(), kept.bytes.size());
    *size = static_cast<DWORD>(kept.bytes.size());
    return ERROR_SUCCESS;
  }
  return ReadWatched(name, kept, buffer, size);
}

LONG CLocalRoleRecordReader::ReadWatched(const std::string& name, Kept& kept, void* buffer, DWORD* size) {
  // A record key still watched (its value was not one to keep) is read again
  // as it stands: closing it would signal the group's event.
  if (kept.record && kept.watched) return QueryRoleRecord(kept.record.Get(), buffer, size);
  kept.valid = false;
  kept.server.Reset();
  HANDLE event = GroupEvent(kept.group);
  // Each watch is set before the read it guards: a change after it is noticed.
  if (!event || ::RegOpenKeyExA(m_tableKey.Get(), name.c_str(), 0, KEY_READ, kept.server.Put()) != ERROR_SUCCESS ||
      Watch(kept.server.Get(), REG_NOTIFY_CHANGE_NAME, event) != ERROR_SUCCESS) {
    kept.server.Reset();
    kept.record.Reset();
    return ReadLocalRoleRecord(name.c_str(), m_productCode, buffer, size);
  }
  kept.capacity = *size;
  kept.status = ERROR_SUCCESS;
  if (!kept.record) {
    kept.status = ::RegOpenKeyExA(kept.server.Get(), m_productKey.c_str(), 0, KEY_READ, kept.record.Put());
    if (kept.status != ERROR_SUCCESS) {
      kept.valid = kept.status == ERROR_FILE_NOT_FOUND;
      return kept.status;
    }
  }
  if (Watch(kept.record.Get(), kRecordWatch, event) != ERROR_SUCCESS) {
    kept.record.Reset();
    return ReadLocalRoleRecord(name.c_str(), m_productCode, buffer, size);
  }
  kept.watched = true;
  LONG status = QueryRoleRecord(kept.record.Get(), buffer, size);
  if (status == ERROR_KEY_DELETED) {
    // The key kept from the first read went before the watches were set:
    // read afresh (closing it signals the group, whose servers the next
    // pass reads again).
    kept.watched = false;
    kept.record.Reset();
    kept.server.Reset();
    return ReadLocalRoleRecord(name.c_str(), m_productCode, buffer, size);
  }
  if (status == ERROR_SUCCESS) {
    kept.bytes.assign(static_cast<const char*>(buffer), *size);
    kept.valid = true;
  }
  return status;
}

void CLocalRoleRecordReader::Reset() {
  m_kept.clear();
  m_tableKey.Reset();
  ResetGroupEvents();
  ::ResetEvent(m_tableChanged.Get());
}

RecordState CheckRoleRecord(LONG status, const void* buffer, DWORD size, std::string* primaryOut) {
  if (primaryOut) primaryOut->clear();
  // Longer than a record, shorter, or not binary: the reads say so.
  if (status == ERROR_MORE_DATA || status == ERROR_INVALID_DATA) return RecordState::Damaged;
  if (status != ERROR_SUCCESS) return RecordState::None;
  if (size != sizeof(RoleRecord) || !buffer) return RecordState::Damaged;
  const char* name = static_cast<const RoleRecord*>(buffer)->primaryName;
  const size_t length = ::strnlen(name, sizeof(RoleRecord::primaryName));
  if (length == 0 || length == sizeof(RoleRecord::primaryName)) return RecordState::Damaged;
  if (primaryOut) primaryOut->assign(name, length);
  return RecordState::Valid;
}

int QueryServerRole(const char* server) {
  const std::string name = server ? server : "";
  std::string primary;
  auto read = [](const char* s, void* buffer, DWORD* size) {
    return ReadLocalRoleRecord(s, kSanProductCode, buffer, size);
  };
  if (ReadRoleOf(name, read, primary) != RecordState::Valid) return RoleNone;
  return primary == name ? RolePrimary : RoleDistributed;
}

bool IsLocalMachine(const char* machine) {
  if (!machine || !*machine) return true;
  const std::string& computer = kv::ComputerName();
  return !computer.empty() && computer == machine;
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

LONG ReadDistributedList(HKEY key, std::vector<std::string>& namesOut) {
  namesOut.clear();
  std::vector<char> name(MAX_PATH);
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(name.size());
    LONG status = ::RegEnumValueA(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    // A name longer than the buffer: again with room for the longest the
    // registry allows (16383 characters).
    if (status == ERROR_MORE_DATA && name.size() < 16384) {
      name.resize(16384);
      length = static_cast<DWORD>(name.size());
      status = ::RegEnumValueA(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    }
    if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    namesOut.emplace_back(name.data(), length);
  }
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

namespace {

void StoreField(uint8_t (&field)[kCredentialFieldSize], const std::string& text) {
  std::memset(field, 0, sizeof(field));
  std::memcpy(field, text.data(), text.size() < sizeof(field) ? text.size() : sizeof(field));
  ScrambleCredential(field, kCredentialFieldSize);
}

std::string LoadField(const uint8_t (&field)[kCredentialFieldSize]) {
  uint8_t plain[kCredentialFieldSize];
  std::memcpy(plain, field, sizeof(plain));
  ScrambleCredential(plain, kCredentialFieldSize);
  return kv::FixedField(plain, sizeof(plain));
}

}  // namespace

void StoreCredentials(RoleRecord& record, const std::string& user, const std::string& password) {
  StoreField(record.userName, user);
  StoreField(record.password, password);
}

bool LoadCredentials(const RoleRecord& record, DWORD size, std::string& user, std::string& password) {
  user.clear();
  password.clear();
  if (size < sizeof(RoleRecord)) return false;
  user = LoadField(record.userName);
  password = LoadField(record.password);
  return true;
}

void ScrambleCredential(void* buffer, int length) {
  BYTE* bytes = static_cast<BYTE*>(buffer);
  BYTE k = 1;
  for (int i = 0; i < length; ++i) {
    bytes[i] ^= k;
    k = k >= 250 ? 1 : static_cast<BYTE>(k + 3);
  }
}
