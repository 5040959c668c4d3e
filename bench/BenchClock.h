// The benchmarks' clock: milliseconds from the performance counter.
#pragma once

#include <windows.h>

inline double NowMs() {
  LARGE_INTEGER f, t;
  ::QueryPerformanceFrequency(&f);
  ::QueryPerformanceCounter(&t);
  return t.QuadPart * 1000.0 / f.QuadPart;
}
