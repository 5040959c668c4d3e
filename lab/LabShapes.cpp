// The lab's shapes: the default lab of a dozen servers and the large labs
// of `kvlab scale`, with the waits for the local table to show them.
#include "LabAdmin.h"

#include <cstring>
#include <vector>

#include "Catalogue.h"
#include "DiscoveryNode.h"
#include "LabAdminShared.h"

namespace kvlab {

bool WaitForTable(const std::vector<std::string>& names, DWORD timeoutMs) {
  for (DWORD waited = 0;; waited += 50) {
    bool all = true;
    for (const std::string& n : names)
      if (!KeyExists(HKEY_LOCAL_MACHINE, DiscoveryTableRoot() + "\\" + n)) {
        all = false;
        break;
      }
    if (all) return true;
    if (waited >= timeoutMs) return false;
    ::Sleep(50);
  }
}

LONG BuildDefaultLab(FILE* log) {
  StopHost();
  if (KeyExists(HKEY_LOCAL_MACHINE, LabRoot())) StopLocalService();
  DestroyLab();
  LONG rc = CreateLab(1500);
  if (rc != ERROR_SUCCESS) return rc;
  {
    kv::CRegKey setting;
    CreateKey(HKEY_LOCAL_MACHINE, kvcore::BroadcastSettingPath(), setting);
    WriteDword(setting.Get(), "BCastDelay", 350);
  }
  const std::string local = LocalComputerName();
  struct Row {
    const char* name;
    const char* domain;
    DWORD type;
    const char* ip;
    bool san;
    bool trust;
    const char* password;
  };
  const Row rows[] = {
      {"OSPREY", "KESTRAVA", 24, "10.10.0.11", true, false, "osprey-pw"},
      {"HERON", "KESTRAVA", 25, "10.10.0.12", true, false, "heron-pw"},
      {"KITE", "KESTRAVA", 32, "10.10.0.13", true, false, "kite-pw"},
      {"FALCON", "KESTRAVA", 24, "10.10.0.14", true, false, "falcon-pw"},
      {"CURLEW", "KESTRAVA", 25, "10.10.0.15", true, false, "curlew-pw"},
      {"TERN", "KESTRAVA", 32, "10.10.0.16", true, false, "tern-pw"},
      {"PLOVER", "FIELDNET", 24, "10.20.0.21", true, false, "plover-pw"},
      {"SWIFT", "FIELDNET", 25, "10.20.0.22", true, true, "swift-pw"},
      {"WREN", "FIELDNET", 24, "10.20.0.23", false, false, "wren-pw"},
      {"GANNET", "FIELDNET", 17, "10.20.0.24", true, false, "gannet-pw"},
      {"PETREL", "FIELDNET", 32, "10.20.0.25", true, false, "petrel-pw"},
  };
  MachineSetup self;
  self.name = local;
  self.ipv4 = "10.10.0.1";
  self.trust = true;  // the console's own machine
  self.accounts = {{"Administrator", "local-pw"}};
  if ((rc = AddMachine(self)) != ERROR_SUCCESS) return rc;
  std::vector<std::string> names = {local};
  for (const Row& r : rows) {
    MachineSetup m;
    m.name = r.name, m.domain = r.domain, m.type = r.type, m.ipv4 = r.ip, m.san = r.san, m.trust = r.trust;
    m.accounts = {{"Administrator", r.password}};
    if (std::strcmp(r.name, "CURLEW") == 0) m.accounts.push_back({"backup", "curlew-backup"});
    if ((rc = AddMachine(m)) != ERROR_SUCCESS) return rc;
    names.push_back(r.name);
  }
  SetRole("OSPREY", "OSPREY", "Administrator", "osprey-pw");
  SetRole("HERON", "OSPREY", "Administrator", "heron-pw");
  SetRole("KITE", "OSPREY", "Administrator", "kite-pw");
  SetRole("FALCON", "FALCON", "Administrator", "falcon-pw");
  if (log) std::fprintf(log, "lab: %zu machines in %s\n", names.size(), LabRoot().c_str());

  if ((rc = InstallLocalService()) != ERROR_SUCCESS) return rc;
  if ((rc = StartLocalService()) != ERROR_SUCCESS) return rc;
  if ((rc = EnsureHost()) != ERROR_SUCCESS) return rc;
  if (!WaitForTable(names, 20000)) return ERROR_TIMEOUT;
  // TERN answered once and then went off the network: its entry stays and ages.
  SetOnline("TERN", false);
  if (log) std::fprintf(log, "lab: discovery services running; TERN is offline\n");
  return ERROR_SUCCESS;
}

std::string ScaleMachineName(unsigned i) {
  char name[16];
  std::snprintf(name, sizeof(name), "SAN%05u", i);
  return name;
}

std::string ScalePrimaryName(unsigned i, unsigned group) { return ScaleMachineName(group ? i - (i - 1) % group : i); }

namespace {

// The primary named by server's record in the local table; false without one.
bool LocalRecordPrimary(const std::string& server, std::string& primary) {
  kv::CRegKey key;
  if (OpenKey(HKEY_LOCAL_MACHINE, DiscoveryTableRoot() + "\\" + server + "\\SanOption", KEY_READ, key)) return false;
  RoleRecord r = {};
  DWORD size = sizeof(r);
  if (::RegQueryValueExA(key.Get(), "Slot_1", nullptr, nullptr, reinterpret_cast<BYTE*>(&r), &size) != 0) return false;
  primary.assign(r.primaryName, ::strnlen(r.primaryName, sizeof(r.primaryName)));
  return true;
}

// Gives Scale's machines 1..count their roles in groups of group (none for 0).
LONG WriteScaleRoles(unsigned count, unsigned group, FILE* log) {
  for (unsigned i = 1; i <= count; ++i) {
    const std::string primary = group ? ScalePrimaryName(i, group) : std::string();
    // A machine without a role keeps still: rewriting nothing would only
    // make every node read its record again.
    RoleRecord record;
    if (!group && ReadRecord(ScaleMachineName(i), record) == ERROR_FILE_NOT_FOUND &&
        ReadList(ScaleMachineName(i)).empty())
      continue;
    if (LONG rc =
            SetRoleKeepingLists(ScaleMachineName(i), primary, group ? "Administrator" : "", group ? "scale-pw" : ""))
      return rc;
  }
  if (log) std::fprintf(log, "scale: roles written in groups of %u\n", group);
  return ERROR_SUCCESS;
}

// Waits until the local table shows the roles WriteScaleRoles gave.
bool WaitForScaleRoles(unsigned count, unsigned group, DWORD timeoutMs) {
  std::vector<unsigned> pending;
  for (unsigned i = 1; i <= count; ++i) pending.push_back(i);
  for (DWORD waited = 0; !pending.empty(); waited += 100) {
    if (waited > timeoutMs) return false;
    if (waited) ::Sleep(100);
    std::vector<unsigned> still;
    for (unsigned i : pending) {
      std::string primary;
      bool has = LocalRecordPrimary(ScaleMachineName(i), primary);
      if (group ? !has || primary != ScalePrimaryName(i, group) : has) still.push_back(i);
    }
    pending.swap(still);
  }
  return true;
}

}  // namespace

bool LocalRecordNames(const std::string& server, const std::string& primary) {
  std::string named;
  return LocalRecordPrimary(server, named) && named == primary;
}

LONG Scale(unsigned count, FILE* log, int group) {
  if (count == 0 || count > kvcore::kBusSlots - 64 || group < kScaleKeepRoles || group > static_cast<int>(count))
    return ERROR_INVALID_PARAMETER;
  std::vector<std::string> names;
  DWORD slot = NextFreeSlot();
  for (unsigned i = 1; i <= count; ++i) {
    const std::string name = ScaleMachineName(i);
    if (!FindMachine(name).empty()) continue;
    MachineSetup m;
    m.name = name;
    m.domain = i % 2 ? "KESTRAVA" : "FIELDNET";
    m.type = i % 3 == 0 ? 24 : (i % 3 == 1 ? 25 : 32);
    char ip[20];
    std::snprintf(ip, sizeof(ip), "10.%u.%u.%u", 100 + i / 65536, (i / 256) % 256, i % 256);
    m.ipv4 = ip;
    m.accounts = {{"Administrator", "scale-pw"}};
    while (slot < kvcore::kBusSlots && slot == 0) ++slot;
    if (LONG rc = AddMachine(m, slot++)) return rc;
    names.push_back(name);
  }
  if (log) std::fprintf(log, "scale: %zu machines added\n", names.size());
  if (group != kScaleKeepRoles)
    if (LONG rc = WriteScaleRoles(count, static_cast<unsigned>(group), log)) return rc;
  if (LONG rc = EnsureHost()) return rc;
  kv::CHandle wake(::OpenEventA(EVENT_MODIFY_STATE, FALSE, HostWakeEventName().c_str()));
  if (wake) ::SetEvent(wake.Get());
  kvcore::CBus bus;
  if (bus.Open() && bus.Header()->localPid != 0) {
    if (!WaitForTable(names, 50000)) return ERROR_TIMEOUT;
    if (log) std::fprintf(log, "scale: every machine is in the local discovery table\n");
    if (group != kScaleKeepRoles) {
      if (!WaitForScaleRoles(count, static_cast<unsigned>(group), 120000)) return ERROR_TIMEOUT;
      if (log) std::fprintf(log, "scale: every role is in the local discovery table\n");
    }
  }
  return ERROR_SUCCESS;
}

}  // namespace kvlab
