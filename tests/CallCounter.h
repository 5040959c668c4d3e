// Counts the registry calls that chosen modules of this process make, by
// pointing their import entries at counting stand-ins that call the real
// functions: a test sees how often a pass reads the registry, and where,
// without any change to the code under test.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace kvtest {

class CRegistryCallCounter {
 public:
  // modules: null for this program, else DLL names already loaded.
  explicit CRegistryCallCounter(const std::vector<const char*>& modules = {nullptr});
  ~CRegistryCallCounter();
  CRegistryCallCounter(const CRegistryCallCounter&) = delete;
  CRegistryCallCounter& operator=(const CRegistryCallCounter&) = delete;

  // Calls since the last Reset, by function name ("RegOpenKeyExA", ...), and
  // RegQueryValueExA by value name ("RegQueryValueExA Slot_1").
  std::map<std::string, int> Counts() const;
  int Total() const;
  void Reset();
  // False when no import entry of the functions was found.
  bool Hooked() const { return !m_patched.empty(); }

 private:
  struct Patch {
    void** slot;
    void* original;
  };
  std::vector<Patch> m_patched;
};

}  // namespace kvtest
