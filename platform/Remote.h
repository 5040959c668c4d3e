// The calls that reach another machine, one for one with the Win32 calls of
// the same names (same arguments, same statuses). A machine that belongs to
// the lab (the simulated SAN) is served by the lab; any other goes to Windows.
// Every other registry, service or network call is made to Win32 directly:
// a key returned by RegConnectRegistryA is a real HKEY for RegOpenKeyExA and
// friends and is closed with RegCloseKey.
#pragma once

#include <windows.h>
#include <winnetwk.h>
#include <winsvc.h>

#include "Handles.h"

namespace kvr {

LONG RegConnectRegistryA(LPCSTR machine, HKEY key, PHKEY result);

DWORD WNetAddConnection2A(LPNETRESOURCEA resource, LPCSTR password, LPCSTR userName, DWORD flags);
DWORD WINAPI WNetCancelConnection2A(LPCSTR name, DWORD flags, BOOL force);

// Handles from OpenSCManagerA/OpenServiceA here go only to the calls below.
SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD access);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* argv);
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL CloseServiceHandle(SC_HANDLE handle);

struct ServiceHandleTraits {
  using Handle = SC_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { kvr::CloseServiceHandle(h); }
};
// Owner of a handle from this module's OpenSCManagerA/OpenServiceA.
using CServiceHandle = kv::CUniqueHandle<ServiceHandleTraits>;

// A connection made with this module's WNetAddConnection2A, cancelled (forced) at scope end.
inline kv::CNetConnection MakeNetConnection(std::string name) {
  return kv::CNetConnection(std::move(name), &kvr::WNetCancelConnection2A);
}

}  // namespace kvr
