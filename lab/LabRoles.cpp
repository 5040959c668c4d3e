// Roles and lists on the lab's machines: role records written and read on
// the machines themselves, and the primaries' distributed-servers lists.
#include "LabAdmin.h"

#include <algorithm>
#include <cstring>

#include <sddl.h>

#include "Catalogue.h"
#include "DiscoveryNode.h"
#include "LabAdminShared.h"

namespace kvlab {

void Scramble(uint8_t* field, size_t length) {
  uint8_t k = 1;
  for (size_t i = 0; i < length; ++i) {
    field[i] ^= k;
    k = k >= 250 ? 1 : static_cast<uint8_t>(k + 3);
  }
}

namespace {

// The lab's spelling of a machine and of its primary (empty for none).
LONG FindRoleMachines(const std::string& machine, const std::string& primary, std::string& canonical,
                      std::string& primaryName) {
  canonical = FindMachine(machine);
  if (canonical.empty()) return ERROR_BAD_NETPATH;
  primaryName = primary.empty() ? std::string() : FindMachine(primary);
  if (!primary.empty() && primaryName.empty()) return ERROR_BAD_NETPATH;
  return ERROR_SUCCESS;
}

}  // namespace

LONG SetRole(const std::string& machine, const std::string& primary, const std::string& user,
             const std::string& password) {
  std::string canonical, primaryName;
  if (LONG rc = FindRoleMachines(machine, primary, canonical, primaryName)) return rc;
  if (user.size() > 23 || password.size() > 23) return ERROR_INVALID_PARAMETER;
  kv::CRegKey root, key;
  LONG rc = OpenMachineRoot(canonical, root);
  if (rc != ERROR_SUCCESS) return rc;
  if (primaryName.empty()) {
    if (kvlab::OpenKey(root.Get(), kvcore::OwnRecordPath(kSanProductCode), KEY_ALL_ACCESS, key) == ERROR_SUCCESS)
      ::RegDeleteValueA(key.Get(), "Slot_1");
  } else {
    RoleRecord record = {};
    std::memcpy(record.primaryName, primaryName.data(), std::min<size_t>(primaryName.size(), 23));
    record.distributed = primaryName != canonical;
    std::memcpy(record.userName, user.data(), user.size());
    std::memcpy(record.password, password.data(), password.size());
    Scramble(record.userName, 24);
    Scramble(record.password, 24);
    rc = CreateKey(root.Get(), kvcore::OwnRecordPath(kSanProductCode), key);
    if (rc == ERROR_SUCCESS) rc = WriteBinary(key.Get(), "Slot_1", &record, sizeof(record));
    if (rc == ERROR_SUCCESS && record.distributed) {
      kv::CRegKey proot, list;
      rc = OpenMachineRoot(primaryName, proot);
      if (rc == ERROR_SUCCESS) rc = CreateKey(proot.Get(), ListPath(), list);
      if (rc == ERROR_SUCCESS) rc = ::RegSetValueExA(list.Get(), canonical.c_str(), 0, REG_SZ, nullptr, 0);
    }
  }
  kvcore::NotifyRecordChanged(canonical);
  return rc;
}

LONG ReadRecord(const std::string& machine, RoleRecord& record) {
  kv::CRegKey root, key;
  LONG rc = OpenMachineRoot(machine, root);
  if (rc == ERROR_SUCCESS) rc = OpenKey(root.Get(), kvcore::OwnRecordPath(kSanProductCode), KEY_READ, key);
  if (rc != ERROR_SUCCESS) return rc;
  DWORD size = sizeof(record), type = REG_NONE;
  std::memset(&record, 0, sizeof(record));
  rc = ::RegQueryValueExA(key.Get(), "Slot_1", nullptr, &type, reinterpret_cast<BYTE*>(&record), &size);
  if (rc == ERROR_SUCCESS && (size != sizeof(record) || type != REG_BINARY)) rc = ERROR_INVALID_DATA;
  return rc;
}

std::vector<ListEntry> ReadList(const std::string& primary) {
  std::vector<ListEntry> entries;
  kv::CRegKey root, list;
  if (OpenMachineRoot(primary, root) != ERROR_SUCCESS ||
      OpenKey(root.Get(), ListPath(), KEY_READ, list) != ERROR_SUCCESS)
    return entries;
  DWORD count = 0;
  if (::RegQueryInfoKeyA(list.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
    return entries;
  // Room for the longest name the registry allows: a list may hold anything.
  std::vector<char> name(16384);
  for (DWORD i = 0; i < count; ++i) {
    ListEntry e;
    DWORD length = static_cast<DWORD>(name.size());
    LONG rc = ::RegEnumValueA(list.Get(), i, name.data(), &length, nullptr, &e.type, nullptr, &e.size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) continue;
    e.name.assign(name.data(), length);
    entries.push_back(std::move(e));
  }
  std::sort(entries.begin(), entries.end(), [](const ListEntry& a, const ListEntry& b) { return a.name < b.name; });
  return entries;
}

std::vector<std::string> ListMembers(const std::string& primary) {
  std::vector<std::string> names;
  for (const ListEntry& e : ReadList(primary)) names.push_back(e.name);
  return names;
}

namespace {

// Takes name out of machine's list; the list goes with its last name.
void RemoveFromList(const std::string& machine, const std::string& name) {
  kv::CRegKey root, list;
  if (OpenMachineRoot(machine, root) != ERROR_SUCCESS ||
      OpenKey(root.Get(), ListPath(), KEY_ALL_ACCESS, list) != ERROR_SUCCESS)
    return;
  ::RegDeleteValueA(list.Get(), name.c_str());
  DWORD values = 1;
  if (::RegQueryInfoKeyA(list.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) == ERROR_SUCCESS &&
      values == 0) {
    list.Reset();
    ::RegDeleteKeyA(root.Get(), ListPath().c_str());
  }
}

void DeleteList(const std::string& machine) {
  kv::CRegKey root;
  if (OpenMachineRoot(machine, root) == ERROR_SUCCESS) ::RegDeleteTreeA(root.Get(), ListPath().c_str());
}

}  // namespace

LONG SetRoleKeepingLists(const std::string& machine, const std::string& primary, const std::string& user,
                         const std::string& password) {
  std::string canonical, target;
  if (LONG rc = FindRoleMachines(machine, primary, canonical, target)) return rc;
  RoleRecord old;
  std::string former = ReadRecord(canonical, old) == ERROR_SUCCESS ? FieldText(old.primaryName, 24) : std::string();
  if (LONG rc = SetRole(canonical, target, user, password)) return rc;
  std::string formerMachine = former.empty() ? std::string() : FindMachine(former);
  if (!formerMachine.empty() && formerMachine != canonical && formerMachine != target)
    RemoveFromList(formerMachine, canonical);
  if (target != canonical) DeleteList(canonical);  // not a primary (any more): no members
  return ERROR_SUCCESS;
}

LONG RefuseListWrites(const std::string& machine, bool refuse) {
  kv::CRegKey root, list;
  LONG rc = OpenMachineRoot(machine, root);
  if (rc != ERROR_SUCCESS) return rc;
  if (!KeyExists(root.Get(), ListPath())) {
    if (!refuse) return ERROR_SUCCESS;
    if ((rc = CreateKey(root.Get(), ListPath(), list)) != ERROR_SUCCESS) return rc;
  }
  rc = ::RegOpenKeyExA(root.Get(), ListPath().c_str(), 0, WRITE_DAC, list.Put());
  if (rc != ERROR_SUCCESS) return rc;
  // Everyone: read, delete and change the DACL back; no value or key writes.
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(refuse ? "D:P(A;;KRSDWD;;;WD)" : "D:(A;;KA;;;WD)",
                                                              SDDL_REVISION_1, &sd, nullptr))
    return static_cast<LONG>(::GetLastError());
  rc = ::RegSetKeySecurity(list.Get(), DACL_SECURITY_INFORMATION, sd);
  ::LocalFree(sd);
  return rc;
}

std::string Printable(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c == '\\') {
      text += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof(hex), "\\x%02X", c);
      text += hex;
    }
  }
  return text;
}

}  // namespace kvlab
