#include "StartupTrace.h"

#include <windows.h>

#include <cstdio>

namespace kv {
namespace {

struct Trace {
  char file[MAX_PATH] = {};
  double startMs = 0;  // the performance counter at process creation, in ms
  double unit = 0;     // ms per count

  Trace() {
    DWORD n = ::GetEnvironmentVariableA("KV_STARTUP_TRACE", file, sizeof(file));
    if (n == 0 || n >= sizeof(file)) {
      file[0] = 0;
      return;
    }
    LARGE_INTEGER frequency, counter;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    unit = 1000.0 / static_cast<double>(frequency.QuadPart);
    // The counter has no tie to the creation time: take the wall clock's
    // distance from it once, now, and count from there.
    FILETIME created, exited, kernel, user, now;
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    ::GetSystemTimeAsFileTime(&now);
    auto ticks = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    const double sinceCreation = static_cast<double>(ticks(now) - ticks(created)) / 10000.0;
    startMs = static_cast<double>(counter.QuadPart) * unit - sinceCreation;
  }
};

}  // namespace

void StartupMark(const char* what) {
  static Trace trace;
  if (!trace.file[0]) return;
  LARGE_INTEGER counter;
  ::QueryPerformanceCounter(&counter);
  char line[160];
  std::snprintf(line, sizeof(line), "%8.1f %s\n", static_cast<double>(counter.QuadPart) * trace.unit - trace.startMs,
                what);
  if (FILE* out = std::fopen(trace.file, "a")) {
    std::fputs(line, out);
    std::fclose(out);
  }
  // Also among a debugger's or Wine's own trace (WINEDEBUG=+debugstr).
  ::OutputDebugStringA(line);
}

}  // namespace kv
