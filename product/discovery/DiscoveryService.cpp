// kvdiscoverysvc: the Discovery Service of the local machine, a Windows
// service. Its command line may name the lab and product roots
// (--lab-root, --product-root); "--console" runs the node in the foreground
// until Enter is pressed.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "Handles.h"
#include "LocalNode.h"

namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;
SERVICE_STATUS g_state = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};

void Report(DWORD state, DWORD checkPoint, DWORD waitHint) {
  g_state.dwCurrentState = state;
  g_state.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  g_state.dwCheckPoint = checkPoint;
  g_state.dwWaitHint = waitHint;
  ::SetServiceStatus(g_status, &g_state);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    Report(SERVICE_STOP_PENDING, 1, 3000);
    ::SetEvent(g_stop);
    return NO_ERROR;
  }
  if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
  return ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD argc, char** argv) {
  g_status = ::RegisterServiceCtrlHandlerExA("kvdiscoverysvc", &Control, nullptr);
  if (!g_status) return;
  // Arguments given to StartService come after those of the command line.
  kvcore::ApplyLabArguments(static_cast<int>(argc), argv);
  Report(SERVICE_START_PENDING, 1, 2000);
  kv::CHandle stop(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  g_stop = stop.Get();
  Report(SERVICE_RUNNING, 0, 0);
  int rc = kvcore::RunLocalNode(g_stop);
  g_state.dwWin32ExitCode = static_cast<DWORD>(rc);
  Report(SERVICE_STOPPED, 0, 0);
}

}  // namespace

int main(int argc, char** argv) {
  kvcore::ApplyLabArguments(argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--console") == 0) {
      kv::CHandle stop(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
      HANDLE h = stop.Get();
      kv::CHandle thread(::CreateThread(
          nullptr, 0, [](void* p) -> DWORD { return static_cast<DWORD>(kvcore::RunLocalNode(static_cast<HANDLE>(p))); },
          h, 0, nullptr));
      std::getchar();
      ::SetEvent(h);
      ::WaitForSingleObject(thread.Get(), INFINITE);
      return 0;
    }
  }
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>("kvdiscoverysvc"), &ServiceMain}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherA(table)) {
    std::fprintf(stderr, "kvdiscoverysvc: runs as a service (or with --console)\n");
    return 1;
  }
  return 0;
}
