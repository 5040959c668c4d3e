// What the files of the lab's administration share among themselves (not
// part of LabAdmin.h: nothing outside lab/ needs it).
#pragma once

#include <windows.h>

#include <string>

#include "LabStore.h"

namespace kvlab {

// The Discovery Service's name, on lab machines and on the local machine.
inline constexpr char kDiscovery[] = "kvdiscoverysvc";

// A fixed-width text field up to its first NUL.
std::string FieldText(const void* field, size_t width);
// The lowest broadcast slot that no machine of the lab has (from 1).
DWORD NextFreeSlot();
// The distributed-servers list key under a machine's HKLM.
inline std::string ListPath() { return ProductRoot() + "\\ELODistributedServers"; }

}  // namespace kvlab
