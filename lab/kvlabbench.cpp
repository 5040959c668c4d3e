// kvlabbench: figures of the lab at scale, in a lab of its own (removed at
// the end). Prints:
//  - the time of `kvlab scale N` (the tool run as a child process),
//  - how long a record written through Dunlin takes to reach the local
//    discovery table with N running nodes (20 writes: median and worst),
//  - the CPU time of the local node's pass (the service process's CPU over
//    a number of passes, divided by their count).
// Usage: kvlabbench [N]   (default 4096)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Bus.h"
#include "Dunlin.h"
#include "Remote.h"
#include "TestLab.h"

namespace {

DWORD RunTool(const std::string& args) {
  char path[MAX_PATH];
  std::string exe(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
  exe = exe.substr(0, exe.find_last_of('\\') + 1) + "kvlab.exe";
  std::string command = "\"" + exe + "\" " + args;
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!::CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return ::GetLastError();
  kv::CHandle process(pi.hProcess), thread(pi.hThread);
  ::WaitForSingleObject(process.Get(), INFINITE);
  DWORD code = 1;
  ::GetExitCodeProcess(process.Get(), &code);
  return code;
}

bool LocalRecordNames(const std::string& server, const char* primary) {
  kv::CRegKey key;
  if (kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::DiscoveryTableRoot() + "\\" + server + "\\SanOption", KEY_READ, key))
    return false;
  RoleRecord r = {};
  DWORD size = sizeof(r);
  return ::RegQueryValueExA(key.Get(), "Slot_1", nullptr, nullptr, reinterpret_cast<BYTE*>(&r), &size) == 0 &&
         std::strcmp(r.primaryName, primary) == 0;
}

int Bench(unsigned count) {
  kvlab::CScopedLab lab("bench", 0);
  if (LONG rc = lab.StartLocalDiscovery()) return std::printf("local service: status %ld\n", rc), 1;
  const DWORD delay = 350;
  std::printf("lab %s, BCastDelay %lu ms, %u servers\n", lab.Root().c_str(), static_cast<unsigned long>(delay), count);

  DWORD start = ::GetTickCount();
  DWORD rc = RunTool("scale " + std::to_string(count));
  double scaleSeconds = (::GetTickCount() - start) / 1000.0;
  std::printf("kvlab scale %u: %.1f s (exit %lu)\n", count, scaleSeconds, static_cast<unsigned long>(rc));
  if (rc) return 1;
  ::Sleep(2 * delay);

  // 20 writes through Dunlin, each on another server, over a session.
  std::vector<double> latencies;
  for (unsigned i = 0; i < 20; ++i) {
    char server[16];
    std::snprintf(server, sizeof(server), "SAN%05u", 1 + (i * 197) % count);
    std::string remote = std::string("\\\\") + server + "\\ipc$";
    NETRESOURCEA res = {};
    res.dwScope = RESOURCE_GLOBALNET;
    res.dwUsage = RESOURCEUSAGE_CONNECTABLE;
    res.lpRemoteName = remote.data();
    if (kvr::WNetAddConnection2A(&res, "scale-pw", "Administrator", 0)) return std::printf("session failed\n"), 1;
    kv::CNetConnection session = kvr::MakeNetConnection(remote);
    RoleRecord r = {};
    std::strcpy(r.primaryName, server);
    DWORD size = sizeof(r);
    LARGE_INTEGER f, t0, t1;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&t0);
    if (WriteRoleRecord(server, 65, &r, &size)) return std::printf("write failed\n"), 1;
    while (!LocalRecordNames(server, server)) {
      ::Sleep(1);
      ::QueryPerformanceCounter(&t1);
      if ((t1.QuadPart - t0.QuadPart) * 1000.0 / f.QuadPart > 10000) break;
    }
    ::QueryPerformanceCounter(&t1);
    latencies.push_back((t1.QuadPart - t0.QuadPart) * 1000.0 / f.QuadPart);
    ::Sleep(97);  // writes at no fixed phase to the broadcasts
  }
  std::vector<double> sorted = latencies;
  std::sort(sorted.begin(), sorted.end());
  std::printf(
      "record to local table over 20 writes: median %.0f ms, best %.0f ms, worst %.0f ms (2 x BCastDelay = %lu ms)\n",
      (sorted[9] + sorted[10]) / 2, sorted.front(), sorted.back(), static_cast<unsigned long>(2 * delay));

  // The local node's pass: CPU time of its thread and elapsed time, as the
  // node itself counts them, over the passes of 40 broadcast periods.
  kvcore::CBus bus;
  bus.Open();
  kvcore::BusHeader* h = bus.Header();
  LONG passes0 = h->passes;
  LONG64 cpu0 = h->passCpuUs, wall0 = h->passWallUs;
  ::Sleep(40 * delay);
  LONG passes = h->passes - passes0;
  if (passes > 0)
    std::printf(
        "local node pass over %ld passes: %.2f ms CPU, %.2f ms elapsed (wineserver time not in the CPU figure)\n",
        static_cast<long>(passes), (h->passCpuUs - cpu0) / 1000.0 / passes, (h->passWallUs - wall0) / 1000.0 / passes);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 4096;
  if (count < 20 || count > 8000) return std::fprintf(stderr, "usage: kvlabbench [N, 20..8000]\n"), 2;
  return Bench(static_cast<unsigned>(count));
}
