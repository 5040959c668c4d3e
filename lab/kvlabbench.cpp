// kvlabbench: figures of the lab at scale, in a lab of its own (removed at
// the end). Prints:
//  - the time of `kvlab scale N` (the tool run as a child process),
//  - how long a record written through Dunlin takes to reach the local
//    discovery table with N running nodes (40 writes at random moments of
//    the broadcast cycle: median, 95th percentile, maximum, and the first
//    write after the scale),
//  - what one call of the seam to a lab machine costs, and the part of it
//    that the fault switch and the network take, with neither set and with
//    each set,
//  - the CPU time of the local node's pass (the service process's CPU over
//    a number of passes, divided by their count).
// Usage: kvlabbench [N]   (default 4096)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Bus.h"
#include "Dunlin.h"
#include "LabFault.h"
#include "Remote.h"
#include "TestLab.h"

namespace {

constexpr unsigned kWrites = 40;

// An ipc$ session to a machine of `kvlab scale` (Administrator / scale-pw).
bool OpenSession(const std::string& name, kv::CNetConnection& out) {
  std::string remote = "\\\\" + name + "\\ipc$";
  NETRESOURCEA res = {};
  res.dwScope = RESOURCE_GLOBALNET;
  res.dwUsage = RESOURCEUSAGE_CONNECTABLE;
  res.lpRemoteName = remote.data();
  if (kvr::WNetAddConnection2A(&res, "scale-pw", "Administrator", 0)) return false;
  out = kvr::MakeNetConnection(remote);
  return true;
}

int Bench(unsigned count) {
  kvlab::CScopedLab lab("bench", 0);
  if (LONG rc = lab.StartLocalDiscovery()) return std::printf("local service: status %ld\n", rc), 1;
  const DWORD delay = 350;
  std::printf("lab %s, BCastDelay %lu ms, %u servers\n", lab.Root().c_str(), static_cast<unsigned long>(delay), count);

  DWORD start = ::GetTickCount();
  DWORD rc = kvlab::RunBesideThisProgram("kvlab.exe", "scale " + std::to_string(count));
  double scaleSeconds = (::GetTickCount() - start) / 1000.0;
  std::printf("kvlab scale %u: %.1f s (exit %lu)\n", count, scaleSeconds, static_cast<unsigned long>(rc));
  if (rc) return 1;
  ::Sleep(2 * delay);

  // Writes through Dunlin, each on another server, over a session, each at a
  // random moment of the broadcast cycle (a pause drawn from 0 to 2 x
  // BCastDelay before it), so that the figures cover every phase. The first
  // write after the scale is reported on its own as well.
  std::mt19937 random(20261208);
  std::uniform_int_distribution<DWORD> pause(0, 2 * delay - 1);
  std::vector<double> latencies;
  for (unsigned i = 0; i < kWrites; ++i) {
    const std::string name = kvlab::ScaleMachineName(1 + (i * 197) % count);
    const char* server = name.c_str();
    kv::CNetConnection session;
    if (!OpenSession(name, session)) return std::printf("session failed\n"), 1;
    if (i > 0) ::Sleep(pause(random));
    RoleRecord r = {};
    std::strcpy(r.primaryName, server);
    DWORD size = sizeof(r);
    LARGE_INTEGER f, t0, t1;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&t0);
    if (WriteRoleRecord(server, 65, &r, &size)) return std::printf("write failed\n"), 1;
    while (!kvlab::LocalRecordNames(server, server)) {
      ::Sleep(1);
      ::QueryPerformanceCounter(&t1);
      if ((t1.QuadPart - t0.QuadPart) * 1000.0 / f.QuadPart > 10000) break;
    }
    ::QueryPerformanceCounter(&t1);
    latencies.push_back((t1.QuadPart - t0.QuadPart) * 1000.0 / f.QuadPart);
  }
  std::vector<double> sorted = latencies;
  std::sort(sorted.begin(), sorted.end());
  const size_t n = sorted.size();
  std::printf(
      "record to local table over %zu writes at random phases: median %.0f ms, 95th percentile %.0f ms, max %.0f ms, "
      "first write %.0f ms (2 x BCastDelay = %lu ms)\n",
      n, (sorted[n / 2 - 1] + sorted[n / 2]) / 2, sorted[(n * 95 + 99) / 100 - 1], sorted.back(), latencies.front(),
      static_cast<unsigned long>(2 * delay));

  // The seam: 1000 registry connections to one lab machine over a session,
  // and 1000 checks of the fault switch and the network alone with neither
  // set; then the call with a fault set, and with a network of 0 ms set
  // (what reading its settings costs).
  {
    const std::string name = kvlab::ScaleMachineName(1);
    kv::CNetConnection session;
    if (!OpenSession(name, session)) return std::printf("session failed\n"), 1;
    auto microseconds = [](auto call) {
      LARGE_INTEGER f, t0, t1;
      ::QueryPerformanceFrequency(&f);
      ::QueryPerformanceCounter(&t0);
      for (int i = 0; i < 1000; ++i) call();
      ::QueryPerformanceCounter(&t1);
      return (t1.QuadPart - t0.QuadPart) * 1e6 / f.QuadPart / 1000;
    };
    auto connect = [&] {
      kv::CRegKey key;
      kvr::RegConnectRegistryA(name.c_str(), HKEY_LOCAL_MACHINE, key.Put());
    };
    const double seam = microseconds(connect);
    const double unset = microseconds([] { kvlab::RemoteCall(false); });
    kvlab::SetFault(0xFFFFFFFF);
    const double set = microseconds(connect);
    kvlab::ClearFault();
    kvlab::SetNetwork(0, 0, 0);
    const double network = microseconds(connect);
    kvlab::ClearNetwork();
    std::printf(
        "seam RegConnectRegistryA to a lab machine: %.1f us per call; the fault switch and network with neither "
        "set: %.2f us; the call with a fault set: %.1f us; with a 0 ms network set: %.1f us\n",
        seam, unset, set, network);
  }

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
  if (count < kWrites || count > 8000) return std::fprintf(stderr, "usage: kvlabbench [N, 40..8000]\n"), 2;
  return Bench(static_cast<unsigned>(count));
}
