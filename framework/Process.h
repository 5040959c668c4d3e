// Starting a program. Under Wine a new process can end on its Unix side
// before any of its own code has run (seen under load, a few times in
// thousands of starts); CreateProcess then fails with ERROR_INTERNAL_ERROR
// and a second start succeeds. Nothing of the program ran, so starting it
// again cannot repeat anything it does.
#pragma once

#include <windows.h>

namespace kv {

// Calls start (a CreateProcess call that sets the last error when it fails)
// up to three times while it fails with ERROR_INTERNAL_ERROR. Any other
// failure is returned at once, with its error as the last error.
template <class Start>
BOOL StartRetrying(Start start) {
  for (int attempt = 1;; ++attempt) {
    if (start()) return TRUE;
    if (::GetLastError() != ERROR_INTERNAL_ERROR || attempt == 3) return FALSE;
    ::Sleep(100 * attempt);
  }
}

// CreateProcessA with the same arguments, started as StartRetrying does.
inline BOOL StartProcess(const char* exe, char* command, BOOL inheritHandles, DWORD flags, const char* folder,
                         STARTUPINFOA* si, PROCESS_INFORMATION* pi) {
  return StartRetrying(
      [&] { return ::CreateProcessA(exe, command, nullptr, nullptr, inheritHandles, flags, nullptr, folder, si, pi); });
}

}  // namespace kv
