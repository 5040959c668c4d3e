// Reliability figures of the console's role commands: a run of role
// commands on the default lab (Assign Distributed, Remove Distributed, Make
// Primary, Delete Primary in a cycle, CURLEW under FALCON and back), driven
// in process as the tests drive the dialog, with the real local Discovery
// Service. Prints the time per command and what the console and the lab hold
// before and after: kernel handles, GDI and USER objects, open sessions and
// the audit. A listed server has no record and so no stored credentials:
// the scripted user answers its credentials dialog (Assign, Make Primary);
// the other two commands find the credentials in the records.
//
//   build/wine-run build/bin/console_roles_bench.exe [commands [--scale N]]   (1000 by default)
//
// With --scale N the same cycle runs again (at most 400 commands) once N
// servers in groups of 16 have joined the lab (kvlab scale N --group 16),
// and the medians of both labs are printed side by side. Each command is
// timed from the click to its return, when the views show the change; the
// refresh passes that ran inside the commands are counted (there should be
// none: a command moves its server itself).
//
// Exit code 0 when every command reached its state and nothing was left
// behind, 1 otherwise.
#include <windows.h>
#include <commctrl.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "LabAdmin.h"
#include "RoleConsoleDlg.h"
#include "RoleTables.h"
#include "ScriptedUser.h"
#include "Strings.h"
#include "TestLab.h"
#include "resource.h"

namespace {

struct Holdings {
  DWORD handles = 0, gdi = 0, user = 0;
  int sessions = 0;
};

// Under Wine GetProcessHandleCount and GetGuiResources are stubs that give 0,
// so each count falls back to what the system does show: the process's
// entries in the system handle list, its live entries in the GDI handle
// table the PEB points at, and its windows (the USER objects it creates and
// destroys; menus are not counted).
struct SystemHandle {
  ULONG ownerPid;
  BYTE type, flags;
  USHORT value;
  PVOID object;
  ULONG access;
};
struct GdiEntry {  // one entry of the GDI handle table (64-bit layout)
  ULONGLONG object;
  USHORT ownerPid, count, unique;
  UCHAR type, flags;
  ULONGLONG user;
};
static_assert(sizeof(GdiEntry) == 24, "GDI handle table entry");

DWORD KernelHandles() {
  DWORD count = 0;
  if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count) return count;
  using Query = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
  auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  std::vector<BYTE> buffer(1 << 20);
  ULONG needed = 0;
  while (query &&
         query(16 /* SystemHandleInformation */, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) ==
             static_cast<LONG>(0xC0000004) &&
         buffer.size() < (64u << 20))
    buffer.resize(buffer.size() * 2);
  if (!query) return 0;
  const ULONG entries = *reinterpret_cast<ULONG*>(buffer.data());
  const auto* handle = reinterpret_cast<const SystemHandle*>(buffer.data() + sizeof(ULONG_PTR));
  for (ULONG i = 0; i < entries; ++i)
    if (handle[i].ownerPid == ::GetCurrentProcessId()) ++count;
  return count;
}

DWORD GdiObjects() {
  if (DWORD n = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS)) return n;
  PROCESS_BASIC_INFORMATION info{};
  ULONG got = 0;
  if (::NtQueryInformationProcess(::GetCurrentProcess(), ProcessBasicInformation, &info, sizeof(info), &got) != 0)
    return 0;
  const BYTE* peb = reinterpret_cast<const BYTE*>(info.PebBaseAddress);
  const auto* table = *reinterpret_cast<const GdiEntry* const*>(peb + 0xF8);  // GdiSharedHandleTable
  if (!table) return 0;
  DWORD count = 0;
  for (int i = 0; i < 0x10000; ++i)
    if (table[i].type) ++count;
  return count;
}

BOOL CALLBACK CountWindow(HWND hwnd, LPARAM param) {
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  if (pid != ::GetCurrentProcessId()) return TRUE;
  ++*reinterpret_cast<DWORD*>(param);
  ::EnumChildWindows(hwnd, &CountWindow, param);
  return TRUE;
}

DWORD UserObjects() {
  if (DWORD n = ::GetGuiResources(::GetCurrentProcess(), GR_USEROBJECTS)) return n;
  DWORD count = 0;
  ::EnumWindows(&CountWindow, reinterpret_cast<LPARAM>(&count));
  return count;
}

Holdings Count() {
  Holdings h;
  h.handles = KernelHandles();
  h.gdi = GdiObjects();
  h.user = UserObjects();
  for (const std::string& machine : kvlab::MachineNames())
    if (kvlab::HasSession(machine)) ++h.sessions;
  return h;
}

void Print(const char* when, const Holdings& h) {
  std::printf("%-23s handles %lu, GDI objects %lu, windows %lu, lab sessions %d\n", when,
              static_cast<unsigned long>(h.handles), static_cast<unsigned long>(h.gdi),
              static_cast<unsigned long>(h.user), h.sessions);
}

bool WaitForLocalRecord(const std::string& server, const std::string& primary) {
  for (int i = 0; i < 400; ++i) {
    unsigned char record[kRoleRecordSize] = {};
    DWORD size = sizeof(record);
    LONG rc = ReadLocalRoleRecord(server.c_str(), kSanProductCode, record, &size);
    if (rc == 0 && kv::FixedField(record, 24) == primary) return true;
    ::Sleep(25);
  }
  return false;
}

double NowMs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

const char kServer[] = "CURLEW";
const char kPrimary[] = "FALCON";

struct Step {
  const char* name;
  int button;
  bool asks;                          // the credentials dialog comes
  void (*select)(CRoleConsoleDlg&);   // the selection the command acts on
  bool (*reached)(CRoleConsoleDlg&);  // the views after success
  std::vector<double> times;
};

void SelectServerInList(CRoleConsoleDlg& d) {
  d.m_listServers.SetItemState(d.FindListItem(kServer), LVIS_SELECTED, LVIS_SELECTED);
}

}  // namespace

int main(int argc, char** argv) {
  const int commands = argc > 1 ? std::atoi(argv[1]) : 1000;
  const long scale = argc > 3 && std::strcmp(argv[2], "--scale") == 0 ? std::atol(argv[3]) : 0;
  if (commands <= 0 || (argc > 2 && (argc != 4 || scale <= 0 || scale > 8000))) {
    std::fprintf(stderr, "usage: console_roles_bench [commands [--scale N]]\n");
    return 2;
  }
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES};
  ::InitCommonControlsEx(&icc);

  kvlab::CScopedLab lab("rolesbench", 0);
  if (lab.StartLocalDiscovery() != 0 || kvlab::BuildDefaultLab(nullptr) != 0) {
    std::fprintf(stderr, "the default lab could not be built\n");
    return 1;
  }
  if (!LoadDiscoveryTableRoot() || !LoadProductRoot() || !WaitForLocalRecord(kPrimary, kPrimary)) {
    std::fprintf(stderr, "the lab's local table is not ready\n");
    return 1;
  }

  std::vector<Step> steps = {
      {"Assign Distributed",
       IDC_ASSIGN_DISTRIBUTED,
       true,
       [](CRoleConsoleDlg& d) {
         d.m_treeServers.SelectItem(d.FindPrimaryItem(kPrimary));
         SelectServerInList(d);
       },
       [](CRoleConsoleDlg& d) { return d.FindDistributedItem(kPrimary, kServer) && d.FindListItem(kServer) < 0; },
       {}},
      {"Remove Distributed",
       IDC_REMOVE_DISTRIBUTED,
       false,
       [](CRoleConsoleDlg& d) { d.m_treeServers.SelectItem(d.FindDistributedItem(kPrimary, kServer)); },
       [](CRoleConsoleDlg& d) { return !d.FindDistributedItem(kPrimary, kServer) && d.FindListItem(kServer) >= 0; },
       {}},
      {"Make Primary",
       IDC_MAKE_PRIMARY,
       true,
       SelectServerInList,
       [](CRoleConsoleDlg& d) { return d.FindPrimaryItem(kServer) && d.FindListItem(kServer) < 0; },
       {}},
      {"Delete Primary",
       IDC_DELETE_PRIMARY,
       false,
       [](CRoleConsoleDlg& d) { d.m_treeServers.SelectItem(d.FindPrimaryItem(kServer)); },
       [](CRoleConsoleDlg& d) { return !d.FindPrimaryItem(kServer) && d.FindListItem(kServer) >= 0; },
       {}},
  };

  const Holdings before = Count();
  int failures = 0;
  double started = 0;
  // What the process holds after the warm-up cycle and after every quarter
  // of the run: objects that a command leaked would grow with every quarter.
  std::vector<std::pair<int, Holdings>> samples;
  // Passes run inside the commands (a pass increments the generation).
  long passesInside = 0;
  // Runs the cycle on a console opened on the lab as it stands.
  auto runCycle = [&](int count, bool sample) {
    CRoleConsoleDlg dlg;
    if (!dlg.Create(nullptr)) {
      std::fprintf(stderr, "the console did not open (error %lu)\n", static_cast<unsigned long>(::GetLastError()));
      return false;
    }
    ::ShowWindow(dlg.m_hWnd, SW_SHOW);
    // One cycle first: the first use of each dialog and box loads what
    // stays loaded for the life of the process.
    const int warmUp = static_cast<int>(steps.size());
    int failed = 0;
    std::pair<HTREEITEM, int> left{nullptr, -2};
    for (int i = 0; i < count + warmUp; ++i) {
      if (i == warmUp) started = NowMs();
      if (sample && i >= warmUp && (i - warmUp) % ((count + 3) / 4) == 0) samples.push_back({i - warmUp, Count()});
      Step& step = steps[static_cast<size_t>(i) % steps.size()];
      step.select(dlg);
      // A click on the selections that the command before left, quicker
      // than a double-click, would be taken for that command's second
      // click (and dropped): a user pauses first.
      const std::pair<HTREEITEM, int> selections{dlg.m_treeServers.GetSelectedItem(),
                                                 dlg.m_listServers.GetSelectedItem()};
      if (selections == left) ::Sleep(::GetDoubleClickTime());
      kvtest::ScriptedUser user;
      if (step.asks)
        user.Dialog("Security", [](kvtest::DialogDriver& d) {
          d.SetText(IDC_USERNAME, "Administrator");
          d.SetText(IDC_PASSWORD, "curlew-pw");
          d.Press(IDOK);
        });
      const LONG generation = dlg.m_nGeneration;
      const double t0 = NowMs();
      ::SendMessageA(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(step.button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(dlg.GetDlgItem(step.button)));
      const double took = NowMs() - t0;
      passesInside += dlg.m_nGeneration - generation;
      if (!user.Finish() || !step.reached(dlg)) {
        std::fprintf(stderr, "command %d (%s) did not reach its state: %s\n", i, step.name, user.Report().c_str());
        ++failures;
        if (++failed > 5) break;
      }
      if (i >= warmUp) step.times.push_back(took);
      left = {dlg.m_treeServers.GetSelectedItem(), dlg.m_listServers.GetSelectedItem()};
    }
    if (sample) samples.push_back({count, Count()});
    return true;
  };
  if (!runCycle(commands, true)) return 1;
  const double elapsed = NowMs() - started;
  const Holdings after = Count();

  std::printf("%d role commands in %.1f s (after one warm-up cycle)\n", commands, elapsed / 1000.0);
  std::vector<double> medians;
  for (Step& step : steps) {
    medians.push_back(Median(step.times));
    if (step.times.empty()) continue;
    std::printf("  %-19s %4zu x  median %6.1f ms  worst %6.1f ms\n", step.name, step.times.size(), medians.back(),
                *std::max_element(step.times.begin(), step.times.end()));
  }
  std::printf("refresh passes inside the commands: %ld\n", passesInside);
  Print("before the console:", before);
  for (const auto& [done, held] : samples) Print(kv::Format("after %d commands:", done).c_str(), held);
  Print("console closed:", after);
  std::string audit;
  {
    FILE* out = std::tmpfile();
    int problems = out ? kvlab::Audit(out) : -1;
    if (out) {
      std::rewind(out);
      char buffer[256];
      while (std::fgets(buffer, sizeof(buffer), out)) audit += buffer;
      std::fclose(out);
    }
    if (problems != 0) ++failures;
  }
  std::printf("kvlab audit: %s", audit.c_str());
  // Growth over the last three quarters; the first quarter may still fill
  // caches (fonts, brushes, scroll bars drawn for the first time), and GDI
  // counts move by a few dozen as the system's DC cache grows and shrinks.
  // An object leaked by one command in twenty would show.
  const Holdings& quarter = samples.size() > 1 ? samples[1].second : samples.front().second;
  const Holdings& end = samples.back().second;
  const long bound = static_cast<long>(commands) * 3 / 4 / 20;
  auto grew = [&](DWORD from, DWORD to) { return static_cast<long>(to) - static_cast<long>(from) > bound; };
  const bool leftBehind = grew(quarter.handles, end.handles) || grew(quarter.gdi, end.gdi) ||
                          grew(quarter.user, end.user) || end.sessions != 0 || after.sessions != before.sessions;
  std::printf(
      "growth over the last three quarters: handles %+ld, GDI objects %+ld, windows %+ld (a leak shows above %ld)\n",
      static_cast<long>(end.handles) - static_cast<long>(quarter.handles),
      static_cast<long>(end.gdi) - static_cast<long>(quarter.gdi),
      static_cast<long>(end.user) - static_cast<long>(quarter.user), bound);
  std::printf("commands that failed: %d; %s\n", failures,
              leftBehind ? "something was left behind" : "nothing left behind");

  if (scale > 0) {
    // The same commands with the console showing the default lab and N more
    // servers in groups of 16 (every server of them has a role).
    if (kvlab::Scale(static_cast<unsigned>(scale), nullptr, 16) != 0) {
      std::fprintf(stderr, "the scale lab could not be built\n");
      return 1;
    }
    for (Step& step : steps) step.times.clear();
    passesInside = 0;
    const int scaled = std::max(4 * 10, commands < 400 ? commands : 400);
    if (!runCycle(scaled, false)) return 1;
    std::printf(
        "\nthe same with %ld more servers in groups of 16, %d commands (medians from click to views updated):\n", scale,
        scaled);
    std::printf("  %-19s %12s %12s %7s\n", "", "default lab", "scale lab", "ratio");
    for (size_t i = 0; i < steps.size(); ++i) {
      const double m = Median(steps[i].times);
      std::printf("  %-19s %9.1f ms %9.1f ms %7.2f\n", steps[i].name, medians[i], m,
                  medians[i] > 0 ? m / medians[i] : 0);
    }
    std::printf("refresh passes inside the commands: %ld; commands that failed: %d\n", passesInside, failures);
  }
  return failures == 0 && !leftBehind ? 0 : 1;
}
