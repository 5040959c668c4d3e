// Starting a program. Under Wine a new process can end on its Unix side
// before any of its own code has run (seen under load, a few times in
// thousands of starts); CreateProcess then fails with ERROR_INTERNAL_ERROR
// and a second start succeeds. Nothing of the program ran, so starting it
// again cannot repeat anything it does.
#pragma once

#include <windows.h>

namespace kv {

// CreateProcessA with the same arguments, tried up to three times while it
// fails with ERROR_INTERNAL_ERROR. Any other failure is returned at once,
// with its error as the last error.
inline BOOL StartProcess(const char* exe, char* command, BOOL inheritHandles, DWORD flags, const char* folder,
                         STARTUPINFOA* si, PROCESS_INFORMATION* pi) {
  for (int attempt = 1;; ++attempt) {
    if (::CreateProcessA(exe, command, nullptr, nullptr, inheritHandles, flags, nullptr, folder, si, pi)) return TRUE;
    if (::GetLastError() != ERROR_INTERNAL_ERROR || attempt == 3) return FALSE;
    ::Sleep(100 * attempt);
  }
}

}  // namespace kv
