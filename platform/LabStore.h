// The lab store: a simulated SAN kept in the registry of one host, under
// HKLM\SOFTWARE\KestravaLab (or the root named by KV_LAB_ROOT).
//
//   <lab>                      "TransitionMs" service start/stop time (ms),
//                              "Fault*": the fault switch (LabFault.h)
//     Machines\<NAME>          "Name" (its spelling), "Domain", "IPv4" (a.b.c.d), "Type", "Online",
//                              "Trust" (pass-through rights of the console's
//                              user), "Local" (the host itself), "Slot"
//                              (broadcast slot), "Products" (n x 72 bytes)
//       Accounts\<user>        "Password": accounts of the machine's ipc$ share
//       Services\<service>     "Target" (1 stopped, 4 running), "ChangedAt"
//                              (ms since 1970), "TransitionMs" (optional)
//     Registries\<NAME>        what the machine's remote HKLM shows
//     Sessions\<NAME>\<share>  "User", "Uses": open connections of this
//                              host's user; they outlive every process
//
// The paths of the product (ProductRoot, DiscoveryTableRoot) and of the tool
// settings can be moved too, so that tests work in registry roots of their own.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Handles.h"

namespace kvlab {

// --- where things live ------------------------------------------------------

std::string LabRoot();             // KV_LAB_ROOT or "SOFTWARE\KestravaLab"
std::string ProductRoot();         // KV_PRODUCT_ROOT or "SOFTWARE\Quillmark\KestravaNet"
std::string DiscoveryTableRoot();  // ProductRoot + "\DiscoveryTable"
std::string ToolSettingsRoot();    // KV_TOOL_SETTINGS_ROOT or "Software\Quillmark\KestravaNet\Tools" (HKCU)
// Eight hex digits naming this lab's kernel objects (bus, host, events).
std::string LabTag();
// Security attributes that let every process of the host (services too) open
// the lab's shared kernel objects.
SECURITY_ATTRIBUTES* SharedObjectAttributes();
std::string LocalComputerName();
std::string ConsoleUserName();

std::string MachinesPath();
std::string MachinePath(const std::string& name);
std::string MachineRegistryPath(const std::string& name);
std::string SessionsPath();

// Milliseconds since 1970 (the same clock in every process).
uint64_t NowMs();

// --- registry helpers (missing values give the fallback) ---------------------

DWORD ReadDword(HKEY key, const char* value, DWORD fallback);
uint64_t ReadQword(HKEY key, const char* value, uint64_t fallback);
std::string ReadString(HKEY key, const char* value, const std::string& fallback = {});
std::vector<uint8_t> ReadBinary(HKEY key, const char* value);
LONG WriteDword(HKEY key, const char* value, DWORD data);
LONG WriteQword(HKEY key, const char* value, uint64_t data);
LONG WriteString(HKEY key, const char* value, const std::string& data);
LONG WriteBinary(HKEY key, const char* value, const void* data, DWORD size);
LONG OpenKey(HKEY root, const std::string& path, REGSAM access, kv::CRegKey& out);
LONG CreateKey(HKEY root, const std::string& path, kv::CRegKey& out);
std::vector<std::string> SubKeyNames(HKEY key);
bool KeyExists(HKEY root, const std::string& path);

// --- machines -----------------------------------------------------------------

bool LabExists();
// Strips leading backslashes.
std::string BareName(const char* name);
bool IsLocalName(const std::string& name);  // case-insensitive, like Windows networking
// The machine's name as the lab stores it (case-insensitive lookup); empty when
// the lab has no such machine.
std::string FindMachine(const std::string& name);

struct Reachability {
  bool known = false;  // a lab machine
  bool local = false;  // the host itself (real HKLM and SCM)
  bool online = false;
  bool trust = false;  // pass-through rights of the console's user
};
Reachability Reach(const std::string& canonical);
// FindMachine and Reach of its answer in one look: the machine's key is
// opened and read once. reach: may be null.
std::string FindMachine(const std::string& name, Reachability* reach);

// --- sessions (ipc$ connections of this host's user) ----------------------------

bool HasSession(const std::string& canonical);
// The user of the open session to the machine, empty when none.
std::string SessionUser(const std::string& canonical);
LONG AddSession(const std::string& canonical, const std::string& share, const std::string& user);
// ERROR_NOT_CONNECTED when there is no such connection.
LONG CancelSession(const std::string& canonical, const std::string& share);
bool CheckPassword(const std::string& canonical, const std::string& user, const std::string& password);

// --- simulated services -----------------------------------------------------------

struct ServiceTiming {
  DWORD target = SERVICE_STOPPED;  // SERVICE_STOPPED or SERVICE_RUNNING
  uint64_t changedAt = 0;          // ms since 1970
  DWORD transitionMs = 0;
};
// The state a simulated service shows at time now: pending states with
// checkpoints and wait hints while a start or stop is under way.
SERVICE_STATUS ComputeServiceStatus(const ServiceTiming& timing, uint64_t now);
bool ReadServiceTiming(const std::string& canonical, const std::string& service, ServiceTiming& out);
LONG WriteServiceTarget(const std::string& canonical, const std::string& service, DWORD target);
DWORD LabTransitionMs();

// --- the lab host process (runs the simulated machines' services) ----------------

std::string HostMutexName();
std::string HostWakeEventName();
std::string HostQuitEventName();
bool HostRunning();
// Starts kvlabhost.exe (beside this module) when it does not run yet.
LONG EnsureHost();
// Asks the host to end and waits for it (up to timeoutMs).
bool StopHost(DWORD timeoutMs = 10000);

}  // namespace kvlab
