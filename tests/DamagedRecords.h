// Damaged role records, written on lab machines as a hand or a faulty
// program might leave them, and carried into the local discovery table by
// the Discovery Service: one table of cases for every program that reads
// roles (the console's views, kvroles list and audit).
#pragma once

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "Bus.h"
#include "DiscoveryNode.h"
#include "LabAdmin.h"

namespace damaged {

struct Value {
  DWORD type;
  std::string bytes;
};

struct Case {
  const char* machine;
  Value value;
};

// A record's bytes: primary at the start, the credentials (when given)
// scrambled into their fields, size bytes in all.
inline std::string Record(const std::string& primary, size_t size = sizeof(RoleRecord), const std::string& user = "",
                          const std::string& password = "") {
  RoleRecord record{};
  if (!user.empty()) {
    std::memcpy(record.userName, user.data(), user.size());
    std::memcpy(record.password, password.data(), password.size());
    kvlab::Scramble(record.userName, sizeof(record.userName));
    kvlab::Scramble(record.password, sizeof(record.password));
  }
  std::string bytes(reinterpret_cast<const char*>(&record), sizeof(record));
  bytes.resize(size, '\0');
  bytes.replace(0, primary.size(), primary);
  return bytes;
}

// Every case makes its machine's record damaged. HERON and FALCON name each
// other with well-formed records: neither is anyone's primary.
inline const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"CURLEW", {REG_BINARY, "CURL"}},              // 4 bytes
      {"PLOVER", {REG_SZ, Record("PLOVER")}},        // text, 76 bytes
      {"SWIFT", {REG_BINARY, Record("")}},           // 76 zero bytes: no primary
      {"KITE", {REG_BINARY, Record("OSPREY", 80)}},  // longer than a record
      {"HERON", {REG_BINARY, Record("FALCON")}},     // HERON -> FALCON -> HERON
      {"FALCON", {REG_BINARY, Record("HERON")}},
  };
  return cases;
}

// The machine's own record value, exactly as given.
inline LONG WriteValue(const std::string& machine, const Value& value) {
  kv::CRegKey root, key;
  LONG rc = kvlab::OpenMachineRoot(machine, root);
  if (rc == ERROR_SUCCESS) rc = kvlab::CreateKey(root.Get(), kvcore::OwnRecordPath(kSanProductCode), key);
  if (rc == ERROR_SUCCESS)
    rc = ::RegSetValueExA(key.Get(), "Slot_1", 0, value.type, reinterpret_cast<const BYTE*>(value.bytes.data()),
                          static_cast<DWORD>(value.bytes.size()));
  if (rc == ERROR_SUCCESS) kvcore::NotifyRecordChanged(machine);
  return rc;
}

// The local table's copy of server's record, or a REG_NONE value when none.
inline Value LocalValue(const std::string& server) {
  Value value{REG_NONE, {}};
  kv::CRegKey key;
  if (kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::DiscoveryTableRoot() + "\\" + server + "\\" + kvcore::SanKeyName(),
                     KEY_READ, key) != ERROR_SUCCESS)
    return value;
  DWORD type = 0, size = 0;
  if (::RegQueryValueExA(key.Get(), "Slot_1", nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return value;
  std::string bytes(size, '\0');
  if (::RegQueryValueExA(key.Get(), "Slot_1", nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size) ==
      ERROR_SUCCESS)
    value = {type, bytes.substr(0, size)};
  return value;
}

// Writes every value and waits until the local table holds each as written.
inline bool WriteAndWait(const std::vector<Case>& cases, DWORD timeoutMs = 20000) {
  for (const Case& c : cases)
    if (WriteValue(c.machine, c.value) != ERROR_SUCCESS) return false;
  for (DWORD waited = 0;; waited += 50) {
    bool all = true;
    for (const Case& c : cases) {
      Value local = LocalValue(c.machine);
      all = all && local.type == c.value.type && local.bytes == c.value.bytes;
    }
    if (all) return true;
    if (waited > timeoutMs) return false;
    ::Sleep(50);
  }
}

}  // namespace damaged
