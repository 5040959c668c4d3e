// A registry area of the test's own under HKEY_LOCAL_MACHINE, with the role
// store's roots pointed into it, removed again when the test ends.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Handles.h"
#include "ProductTypes.h"
#include "RoleTables.h"
#include "Strings.h"

namespace rstest {

class CTestRoots {
 public:
  explicit CTestRoots(const std::string& name)
      : m_strRoot(kv::Format("SOFTWARE\\KestravaTest\\%s-%lu", name.c_str(), ::GetCurrentProcessId())) {
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, m_strRoot.c_str());
    std::string table = m_strRoot + "\\DiscoveryTable";
    SetRegistryRootsForTest(table.c_str(), m_strRoot.c_str());
  }
  ~CTestRoots() {
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, m_strRoot.c_str());
    SetRegistryRootsForTest("", "");
  }
  CTestRoots(const CTestRoots&) = delete;
  CTestRoots& operator=(const CTestRoots&) = delete;

  const std::string& Root() const { return m_strRoot; }
  std::string ListPath() const { return m_strRoot + "\\ELODistributedServers"; }

 private:
  std::string m_strRoot;
};

inline std::string ProductKeyName() {
  std::string name;
  WORD word = 0;
  return GetProductKeyName(kSanProductCode, name, word) ? name : std::string(kFallbackProductKeyName);
}

// Writes value data of any type and length as server's Slot_1 in the local table.
inline void WriteSlot(const std::string& server, const void* data, DWORD size, DWORD type = REG_BINARY,
                      const std::string& productKey = ProductKeyName()) {
  std::string path = std::string(DiscoveryTableRoot) + "\\" + server + "\\" + productKey;
  kv::CRegKey key;
  ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(), nullptr);
  ::RegSetValueExA(key.Get(), "Slot_1", 0, type, static_cast<const BYTE*>(data), size);
}

// A role record as the console writes it: primary name, flag, scrambled credentials.
inline RoleRecord MakeRecord(const std::string& primary, uint32_t distributed, const std::string& user = {},
                             const std::string& password = {}) {
  RoleRecord record{};
  primary.copy(record.primaryName, sizeof(record.primaryName));
  record.distributed = distributed;
  user.copy(reinterpret_cast<char*>(record.userName), sizeof(record.userName));
  password.copy(reinterpret_cast<char*>(record.password), sizeof(record.password));
  ScrambleCredential(record.userName, sizeof(record.userName));
  ScrambleCredential(record.password, sizeof(record.password));
  return record;
}

inline bool KeyExists(HKEY root, const std::string& path) {
  kv::CRegKey key;
  return ::RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

inline std::string ComputerName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD length = sizeof(name);
  ::GetComputerNameA(name, &length);
  return name;
}

}  // namespace rstest
