// Building and changing the lab (the simulated SAN): what `kvlab` does, as a
// library for the tool, the tests and the benchmark. These calls act as the
// lab's administrator: they write machines' registries directly, without the
// sessions that the seam asks of the programs.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "LabStore.h"
#include "ProductTypes.h"

namespace kvlab {

struct Account {
  std::string user, password;
};

struct MachineSetup {
  std::string name;
  std::string domain = "KESTRAVA";
  DWORD type = 24;
  std::string ipv4;  // empty: the next address no machine of the lab has (10.30.0.1, ...)
  bool online = true;
  bool trust = false;
  bool san = true;               // reports product 65
  bool discoveryRunning = true;  // its kvdiscoverysvc runs
  std::vector<Account> accounts;
};

// A machine name the lab accepts: 1 to 15 letters, digits, '-' or '_'.
bool ValidMachineName(const std::string& name);

LONG CreateLab(DWORD transitionMs = 1500);
// Stops the host, removes the lab and the product's registry data of this
// lab's roots. The local service and the user's own tool settings (HKCU) are
// left alone.
LONG DestroyLab();
LONG AddMachine(const MachineSetup& setup, DWORD slot = 0xFFFFFFFF);
LONG RemoveMachine(const std::string& name);
std::vector<std::string> MachineNames();  // the lab's spelling, sorted
LONG SetAccount(const std::string& machine, const std::string& user, const std::string& password);
LONG RemoveAccount(const std::string& machine, const std::string& user);
std::vector<std::string> AccountUsers(const std::string& machine);
LONG SetTrust(const std::string& machine, bool trust);
LONG SetOnline(const std::string& machine, bool online);

// The machine's HKLM as its administrator sees it (the real one for the local machine).
LONG OpenMachineRoot(const std::string& machine, kv::CRegKey& root);
// Writes the machine's own role record naming primary (or removes it when
// primary is empty) and, for a distributed server, adds it to the primary's
// list. The credentials are scrambled into the record.
LONG SetRole(const std::string& machine, const std::string& primary, const std::string& user,
             const std::string& password);
// What the lab's own tool does: SetRole, and the lists kept in step with
// the records. The machine leaves the list of a former primary, and a
// primary that stops being one loses its list.
LONG SetRoleKeepingLists(const std::string& machine, const std::string& primary, const std::string& user,
                         const std::string& password);
LONG ReadRecord(const std::string& machine, RoleRecord& record);
// One value of a primary's member list, whatever its name length or type.
// A well-formed entry is an empty REG_SZ named after a machine.
struct ListEntry {
  std::string name;
  DWORD type = REG_SZ;
  DWORD size = 0;
};
std::vector<ListEntry> ReadList(const std::string& primary);  // sorted by name
std::vector<std::string> ListMembers(const std::string& primary);
// Fault injection for tests: the machine's member list refuses writes (its
// key is readable, nothing can be added to it or created under it).
LONG RefuseListWrites(const std::string& machine, bool refuse);
// Bytes as text that keeps a line whole: printable ASCII as it is, a
// backslash doubled, anything else as \xNN.
std::string Printable(const std::string& bytes);
void Scramble(uint8_t* field, size_t length);

enum ServiceOp { ServiceQuery, ServiceStart, ServiceStop };
// Any machine's service; the local machine's are real services.
LONG ControlLabService(const std::string& machine, const std::string& service, ServiceOp op, SERVICE_STATUS& status);
// "running", "stopped", "start pending", "stop pending" or "state N".
std::string ServiceStateName(DWORD state);
// The real local kvdiscoverysvc, pointed at this lab's roots.
LONG InstallLocalService();
LONG RemoveLocalService();
LONG StopLocalService(DWORD timeoutMs = 10000);
LONG StartLocalService();

// Waits until the local discovery table has an entry for every name.
bool WaitForTable(const std::vector<std::string>& names, DWORD timeoutMs);

LONG BuildDefaultLab(FILE* log);
// Scale's group that leaves the machines' roles as they are.
inline constexpr int kScaleKeepRoles = -1;
// Adds the running machines SAN00001..SANnnnnn that the lab does not have
// yet (account Administrator / scale-pw). With a group G of 1 or more, every
// Gth machine (1, G+1, 2G+1, ...) becomes a primary with the next G-1 as its
// distributed servers: records that carry those credentials and primaries'
// lists that name their members, as the role transactions leave them; group
// 0 takes every role of the N machines away. While the local Discovery
// Service runs, it returns once the local table shows every machine and,
// with a group, every machine's record (or its absence).
LONG Scale(unsigned count, FILE* log, int group = kScaleKeepRoles);
// The name Scale gives its i-th machine (from 1): SAN00001, SAN00002, ...
std::string ScaleMachineName(unsigned i);
// The primary of Scale's i-th machine in groups of group (1 or more): the
// name of the first machine of its group, its own name for a primary.
std::string ScalePrimaryName(unsigned i, unsigned group);
// True when the local discovery table holds a record of server naming primary.
bool LocalRecordNames(const std::string& server, const std::string& primary);
void Show(FILE* out);
// Prints every disagreement between role records and member lists; returns their number.
int Audit(FILE* out);

}  // namespace kvlab
