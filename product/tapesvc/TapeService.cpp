// TAPESVC.EXE: the tape engine of the backup product, run as the Windows
// service "KVTapeEngine". While running it owns the tape devices; a stop
// passes through SERVICE_STOP_PENDING with an advancing checkpoint and a
// wait hint, the way a real engine winds down its drives.
//
//   TAPESVC.EXE -install [name]     registers the service (demand start)
//   TAPESVC.EXE -uninstall [name]   stops it when running and removes it
//   (no arguments)                  run by the Service Control Manager
//
// Start arguments (StartServiceA, for trying out how callers cope with
// slow stops):
//   -stop-steps=N   checkpoints of a stop (default 4)
//   -step-ms=M      time between two checkpoints (default 250)
//   -hint-ms=H      wait hint reported while stopping (default 500)
//   -stall-ms=S     stop without progress: checkpoint 1 and wait hint 0 for
//                   S milliseconds, then stopped
#include <windows.h>
#include <winsvc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "Handles.h"

namespace {

constexpr char kServiceName[] = "KVTapeEngine";
constexpr char kDisplayName[] = "KestravaNet Tape Engine";
constexpr char kGroup[] = "KestravaNet";
constexpr DWORD kServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;  // 0x110

struct StopPlan {
  DWORD steps = 4;
  DWORD stepMs = 250;
  DWORD hintMs = 500;
  DWORD stallMs = 0;  // 0: a normal stop
};

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status{};
std::mutex g_statusLock;  // the control handler and the service thread both report
kv::CHandle g_stopRequested;
StopPlan g_plan;

void Report(DWORD state, DWORD checkPoint, DWORD waitHint) {
  std::lock_guard<std::mutex> lock(g_statusLock);
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  g_status.dwWin32ExitCode = NO_ERROR;
  g_status.dwCheckPoint = checkPoint;
  g_status.dwWaitHint = waitHint;
  ::SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
      std::lock_guard<std::mutex> lock(g_statusLock);
      if (g_status.dwCurrentState != SERVICE_RUNNING) return NO_ERROR;
    }
      // The first checkpoint is reported before the control returns, so the
      // caller's ControlService already sees the stop pending.
      Report(SERVICE_STOP_PENDING, 1, g_plan.stallMs ? 0 : g_plan.hintMs);
      ::SetEvent(g_stopRequested.Get());
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

DWORD NumberAfter(const char* arg, const char* prefix, DWORD fallback) {
  size_t n = std::strlen(prefix);
  if (std::strncmp(arg, prefix, n) != 0) return fallback;
  return static_cast<DWORD>(std::strtoul(arg + n, nullptr, 10));
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
  for (DWORD i = 1; i < argc; ++i) {
    g_plan.steps = NumberAfter(argv[i], "-stop-steps=", g_plan.steps);
    g_plan.stepMs = NumberAfter(argv[i], "-step-ms=", g_plan.stepMs);
    g_plan.hintMs = NumberAfter(argv[i], "-hint-ms=", g_plan.hintMs);
    g_plan.stallMs = NumberAfter(argv[i], "-stall-ms=", g_plan.stallMs);
  }
  g_stopRequested.Reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  g_statusHandle = ::RegisterServiceCtrlHandlerExA(argc > 0 ? argv[0] : kServiceName, &Handler, nullptr);
  if (!g_statusHandle) return;
  Report(SERVICE_START_PENDING, 1, 1000);
  Report(SERVICE_RUNNING, 0, 0);

  ::WaitForSingleObject(g_stopRequested.Get(), INFINITE);
  if (g_plan.stallMs) {
    // No progress at all: the checkpoint stays at 1 and the hint at 0.
    ::Sleep(g_plan.stallMs);
  } else {
    for (DWORD checkPoint = 2; checkPoint <= g_plan.steps; ++checkPoint) {
      ::Sleep(g_plan.stepMs);
      Report(SERVICE_STOP_PENDING, checkPoint, g_plan.hintMs);
    }
    ::Sleep(g_plan.stepMs);
  }
  Report(SERVICE_STOPPED, 0, 0);
}

std::string OwnPath() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string("\"") + path + "\"";
}

int Install(const char* name) {
  kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!scm) return static_cast<int>(::GetLastError());
  // Another name than the product's gets itself as display name: display
  // names are unique in the Service Control Manager.
  const char* display = std::strcmp(name, kServiceName) == 0 ? kDisplayName : name;
  std::string path = OwnPath();
  kv::CServiceHandle service(::CreateServiceA(scm.Get(), name, display, SERVICE_ALL_ACCESS, kServiceType,
                                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path.c_str(), kGroup, nullptr,
                                              nullptr, nullptr, nullptr));
  if (!service) {
    DWORD error = ::GetLastError();
    std::fprintf(stderr, "%s: cannot install (error %lu)\n", name, error);
    return static_cast<int>(error);
  }
  std::printf("%s installed\n", name);
  return 0;
}

int Uninstall(const char* name) {
  kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) return static_cast<int>(::GetLastError());
  kv::CServiceHandle service(::OpenServiceA(scm.Get(), name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) {
    DWORD error = ::GetLastError();
    std::fprintf(stderr, "%s: cannot open (error %lu)\n", name, error);
    return static_cast<int>(error);
  }
  SERVICE_STATUS status{};
  if (::QueryServiceStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
    if (status.dwCurrentState != SERVICE_STOP_PENDING) ::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    // Bounded: a removal must not hang on a service that never stops.
    for (int i = 0; i < 200 && ::QueryServiceStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED;
         ++i)
      ::Sleep(50);
  }
  if (!::DeleteService(service.Get())) {
    DWORD error = ::GetLastError();
    std::fprintf(stderr, "%s: cannot remove (error %lu)\n", name, error);
    return static_cast<int>(error);
  }
  std::printf("%s removed\n", name);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "-install") == 0 || std::strcmp(argv[1], "-uninstall") == 0)) {
    const char* name = argc >= 3 ? argv[2] : kServiceName;
    return argv[1][1] == 'i' ? Install(name) : Uninstall(name);
  }
  char name[] = "KVTapeEngine";
  SERVICE_TABLE_ENTRYA table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherA(table)) {
    DWORD error = ::GetLastError();
    std::fprintf(stderr, "usage: TAPESVC -install [name] | -uninstall [name] (run as a service: error %lu)\n", error);
    return static_cast<int>(error);
  }
  return 0;
}
