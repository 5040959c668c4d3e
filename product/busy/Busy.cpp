// KVBUSY.EXE [seconds]: holds "KestravaIsRunning" as a running backup or
// restore does, for the given time or, without one, until Enter is pressed
// or the process ends. Prints "busy" once the name is held.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "Handles.h"

int main(int argc, char** argv) {
  kv::CHandle activity(::CreateMutexA(nullptr, FALSE, "KestravaIsRunning"));
  if (!activity) {
    std::fprintf(stderr, "cannot create KestravaIsRunning (error %lu)\n", ::GetLastError());
    return 1;
  }
  std::printf("busy\n");
  std::fflush(stdout);
  if (argc >= 2) {
    ::Sleep(static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) * 1000);
  } else {
    std::getchar();
  }
  return 0;
}
