#include "Audit.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "AdminSession.h"
#include "Dunlin.h"
#include "Messages.h"
#include "RoleTables.h"
#include "ServerTable.h"
#include "Strings.h"
#include "TerminalUser.h"

namespace {

bool Lists(const ServerReading& owner, const std::string& name) {
  return std::find(owner.list.begin(), owner.list.end(), name) != owner.list.end();
}

std::string RecordSays(const std::string& server, const ServerReading& state) {
  if (!state.damage.empty()) return server + "'s role record is damaged";
  if (!state.hasRecord) return server + " has no role record";
  const std::string primary = PrimaryOf(state.record);
  if (primary == server) return server + " is a primary";
  return server + "'s record names " + primary;
}

void CompareWithLocal(const std::string& server, const ServerReading& s, std::vector<AuditFinding>& out) {
  if (!s.damage.empty()) return;  // reported as damaged
  AuditFinding f;
  f.kind = "local-table-differs";
  f.server = server;
  f.cause = "the change has not reached the local table (is the Discovery Service running?)";
  if (s.hasLocal && !s.hasRecord) {
    f.text = "the local table holds a record of " + server + " naming " + PrimaryOf(s.local) + ", but " + server +
             " has none";
  } else if (!s.hasLocal && s.hasRecord) {
    f.text = server + "'s record names " + PrimaryOf(s.record) + ", but the local table holds no record of it";
  } else if (s.hasLocal && s.hasRecord && PrimaryOf(s.local) != PrimaryOf(s.record)) {
    f.text = "the local table says " + server + "'s record names " + PrimaryOf(s.local) + ", but " + server +
             "'s own names " + PrimaryOf(s.record);
  } else if (s.hasLocal && s.hasRecord && std::memcmp(&s.local, &s.record, sizeof(RoleRecord)) != 0) {
    f.text = "the local table's copy of " + server + "'s record differs from its own (flag or stored credentials)";
  } else {
    return;
  }
  f.primary = PrimaryOf(s.hasRecord ? s.record : s.local);
  out.push_back(f);
}

}  // namespace

int AuditReport::ExitStatus() const {
  if (!findings.empty()) return 1;
  return notChecked.empty() ? 0 : 3;
}

AuditReport JudgeReadings(const std::vector<ServerReading>& readings) {
  AuditReport report;
  std::map<std::string, ServerReading> states;
  std::vector<std::string> order;
  for (const ServerReading& reading : readings) {
    if (reading.read)
      report.checked.push_back(reading.server);
    else
      report.notChecked.push_back({reading.server, reading.reason, reading.credentials});
    order.push_back(reading.server);
    states[reading.server] = reading;
  }

  for (const std::string& server : order) {
    const ServerReading& s = states[server];
    // A server that cannot be checked is judged by the local table's copy.
    if (!s.damage.empty() || (!s.read && !s.localDamage.empty()))
      report.findings.push_back(
          {"damaged-record", server, "",
           (s.read ? server + "'s role record is damaged: " + s.damage
                   : "the local table's copy of " + server + "'s role record is damaged: " + s.localDamage) +
               " (a role record is 76 bytes naming a primary)",
           "clear it with force-remove", false});
    if (!s.read) continue;
    if (s.hasList && (!s.hasRecord || PrimaryOf(s.record) != server)) {
      std::string members;
      for (const std::string& m : s.list) members += (members.empty() ? "" : ", ") + m;
      report.findings.push_back({"list-on-non-primary", server, "",
                                 server + " keeps a distributed-servers list (" + members +
                                     ") but is not a primary: " + RecordSays(server, s),
                                 "", false});
    }
    for (const std::string& member : s.list) {
      if (member == server) {
        report.findings.push_back({"self-listed", server, server, server + " lists itself as its distributed server",
                                   "assigned as a distributed server of itself", true});
        continue;
      }
      const ServerReading& m = states[member];
      // Whether a damaged record still means this primary cannot be told.
      if (!m.damage.empty() || (!m.read && !m.localDamage.empty())) continue;
      if (!m.read) {
        // Only the local table can say: an entry it contradicts is reported,
        // but not mended, as the table may simply lag behind the server.
        if (m.hasLocal && PrimaryOf(m.local) == server) continue;
        std::string says = m.hasLocal ? "the local table's record of " + member + " names " + PrimaryOf(m.local)
                                      : "the local table holds no record of " + member;
        report.findings.push_back(
            {"stale-list-entry", member, server,
             server + " lists " + member + ", but " + says + " (" + member + " itself could not be checked)",
             m.hasLocal ? ""
                        : "left by Force to Remove, or by a removal interrupted before "
                          "its list edit",
             false});
        continue;
      }
      if (m.hasRecord && PrimaryOf(m.record) == server) continue;
      AuditFinding f{
          "stale-list-entry", member, server, server + " lists " + member + ", but " + RecordSays(member, m), "", true};
      if (!m.hasRecord)
        f.cause = "left by Force to Remove, or by a removal interrupted before its list edit";
      else
        f.cause = "left when " + member + " changed role while " + server + "'s list could not be edited";
      report.findings.push_back(f);
    }
    if (s.hasRecord && PrimaryOf(s.record) != server) {
      const std::string primary = PrimaryOf(s.record);
      const ServerReading& p = states[primary];
      if (p.read && (!p.hasRecord || PrimaryOf(p.record) != primary)) {
        report.findings.push_back(
            {"names-non-primary", server, primary,
             server + "'s record names " + primary + ", which is not a primary: " + RecordSays(primary, p),
             p.hasRecord ? "" : "left by Delete Primary, which keeps its members' records", false});
      } else if (p.read && !Lists(p, server)) {
        report.findings.push_back(
            {"missing-from-list", server, primary,
             server + "'s record names " + primary + ", but " + primary + "'s list does not hold " + server,
             "a transaction interrupted between the record write and the list edit", true});
      }
    }
    CompareWithLocal(server, s, report.findings);
  }
  return report;
}

AuditReport RunAudit(const GivenCredentials& given, unsigned parallel, const ProgressFunction& progress) {
  return JudgeReadings(ReadSanServers(given, parallel, progress));
}

std::string RepairText(const AuditFinding& f) {
  if (f.kind == "missing-from-list") return "add " + f.server + " to the list of " + f.primary;
  return "remove " + f.server + " from the list of " + f.primary;
}

DWORD RepairFinding(const AuditFinding& f, const GivenCredentials& given, std::string& reasonOut) {
  RoleRecord local{};
  DWORD size = sizeof(local);
  const bool read = ReadLocalRoleRecord(f.primary.c_str(), kSanProductCode, &local, &size) == ERROR_SUCCESS;
  CSilentUser user(given);
  CScopedRoleStoreUser face(user);
  kv::CNetConnection session;
  bool credentials = false;
  if (!ReachServer(f.primary, read, read && size == sizeof(local) ? &local : nullptr, given, user, session, reasonOut,
                   credentials))
    return SessionCancelled;
  const int mode = f.kind == "missing-from-list" ? ListAdd : ListRemove;
  return static_cast<DWORD>(EditDistributedList(f.primary.c_str(), f.server.c_str(), mode));
}
