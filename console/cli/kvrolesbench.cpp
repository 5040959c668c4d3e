// kvrolesbench: how long kvroles takes on a large SAN, in a lab of its own
// (removed at the end). Scales the lab to N servers with roles (as `kvlab
// scale N --group 16`: every 16th server a primary with the next 15 as its
// distributed servers), which waits for the local table to show them, then
// runs `kvroles list` and `kvroles audit` as child processes and prints
// their times.
// Usage: kvrolesbench [N]   (default 4096)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TestLab.h"

namespace {

constexpr unsigned kGroup = 16;

// Runs kvroles.exe (beside this program) with its output thrown away.
DWORD RunKvroles(const std::string& args, double& seconds) {
  char path[MAX_PATH];
  std::string exe(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
  exe = exe.substr(0, exe.find_last_of('\\') + 1) + "kvroles.exe";
  std::string command = "\"" + exe + "\" " + args;
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
  kv::CHandle null(::CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                 OPEN_EXISTING, 0, nullptr));
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = si.hStdOutput = si.hStdError = null.Get();
  PROCESS_INFORMATION pi = {};
  LARGE_INTEGER frequency, start, end;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  if (!::CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
    return ::GetLastError();
  kv::CHandle process(pi.hProcess), thread(pi.hThread);
  ::WaitForSingleObject(process.Get(), INFINITE);
  ::QueryPerformanceCounter(&end);
  seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
  DWORD code = 1;
  ::GetExitCodeProcess(process.Get(), &code);
  return code;
}

int Bench(unsigned count) {
  kvlab::CScopedLab lab("rolesbench", 0);
  if (LONG rc = lab.StartLocalDiscovery()) return std::printf("local service: status %ld\n", rc), 1;
  if (LONG rc = kvlab::Scale(count, nullptr, static_cast<int>(kGroup)))
    return std::printf("scale: status %ld\n", rc), 1;
  ::Sleep(2000);  // the rest of the last broadcasts
  const unsigned primaries = (count + kGroup - 1) / kGroup, members = count - primaries;
  std::printf("%u servers: %u primaries, %u distributed servers\n", count, primaries, members);
  for (const char* command : {"list", "audit"}) {
    double seconds = 0;
    DWORD code = RunKvroles(command, seconds);
    std::printf("kvroles %s: %.2f s (exit %lu)\n", command, seconds, static_cast<unsigned long>(code));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned count = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 4096;
  if (count == 0) return std::fprintf(stderr, "usage: kvrolesbench [N]\n"), 2;
  return Bench(count);
}
