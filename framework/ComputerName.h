// This computer's name as GetComputerNameA gives it (empty if it cannot be
// read). A new name takes effect only at the computer's next start, so it is
// asked once a process: under Wine every call reads it from the registry.
#pragma once

#include <windows.h>

#include <string>

namespace kv {

inline const std::string& ComputerName() {
  static const std::string name = [] {
    char buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = sizeof(buffer);
    return ::GetComputerNameA(buffer, &length) ? std::string(buffer, length) : std::string();
  }();
  return name;
}

}  // namespace kv
