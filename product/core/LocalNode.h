// The local machine's Discovery Service node: publishes the local machine's
// entry, record and products and copies what every running node publishes
// into the local discovery table. Runs until stop is signalled.
#pragma once

#include <windows.h>

namespace kvcore {

// Applies "--lab-root R" and "--product-root P" from a command line to this
// process (the service gets its lab from its command line).
void ApplyLabArguments(int argc, char** argv);
int RunLocalNode(HANDLE stop);

}  // namespace kvcore
