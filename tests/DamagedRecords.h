// Damaged role records written on lab machines and carried into the local
// table by the Discovery Service: one table of cases for every program that
// reads roles (the console's views, kvroles list and audit).
#pragma once

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "Bus.h"
#include "DiscoveryNode.h"
#include "LabAdmin.h"

namespace damaged {

struct Case {
  const char* machine;
  DWORD type;
  std::string bytes;
};

// size bytes: primary first, then the credentials scrambled when given.
inline std::string Record(const std::string& primary, size_t size = 76, const std::string& user = "",
                          const std::string& password = "") {
  RoleRecord r{};
  user.copy(reinterpret_cast<char*>(r.userName), 24);
  password.copy(reinterpret_cast<char*>(r.password), 24);
  if (!user.empty()) kvlab::Scramble(r.userName, 24), kvlab::Scramble(r.password, 24);
  std::string bytes(reinterpret_cast<const char*>(&r), sizeof(r));
  bytes.resize(size, '\0');
  return bytes.replace(0, primary.size(), primary);
}

// HERON and FALCON name each other with well-formed records.
inline const std::vector<Case> kCases = {
    {"CURLEW", REG_BINARY, "CURL"},          {"PLOVER", REG_SZ, Record("PLOVER")},
    {"SWIFT", REG_BINARY, Record("")},       {"KITE", REG_BINARY, Record("OSPREY", 80)},
    {"HERON", REG_BINARY, Record("FALCON")}, {"FALCON", REG_BINARY, Record("HERON")},
};

inline LONG Write(const Case& c) {
  kv::CRegKey root, key;
  LONG rc = kvlab::OpenMachineRoot(c.machine, root);
  if (rc == 0) rc = kvlab::CreateKey(root.Get(), kvcore::OwnRecordPath(kSanProductCode), key);
  if (rc == 0)
    rc = ::RegSetValueExA(key.Get(), "Slot_1", 0, c.type, (const BYTE*)c.bytes.data(), (DWORD)c.bytes.size());
  if (rc == 0) kvcore::NotifyRecordChanged(c.machine);
  return rc;
}

// The local table's copy of a machine's record: its type and bytes.
inline Case Local(const char* machine) {
  Case c{machine, REG_NONE, std::string(128, '\0')};
  kv::CRegKey key;
  DWORD size = 128;
  if (kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::DiscoveryTableRoot() + "\\" + machine + "\\" + kvcore::SanKeyName(),
                     KEY_READ, key) != 0 ||
      ::RegQueryValueExA(key.Get(), "Slot_1", nullptr, &c.type, (BYTE*)c.bytes.data(), &size) != 0)
    c.type = REG_NONE, size = 0;
  c.bytes.resize(size);
  return c;
}

// Writes the cases and waits until the local table holds each as written.
inline bool WriteAndWait(const std::vector<Case>& cases) {
  for (const Case& c : cases)
    if (Write(c) != 0) return false;
  for (DWORD waited = 0; waited < 20000; waited += 50, ::Sleep(50)) {
    bool all = true;
    for (const Case& c : cases) all = all && Local(c.machine).type == c.type && Local(c.machine).bytes == c.bytes;
    if (all) return true;
  }
  return false;
}

}  // namespace damaged
