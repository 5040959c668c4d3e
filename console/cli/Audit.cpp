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

// What the audit read on one server.
struct ServerState {
  bool checked = false;
  std::string reason;
  bool credentials = false;  // the reason is about credentials
  bool hasRecord = false;    // a well-formed record
  std::string damage;        // what is wrong with a damaged record; empty when none is
  RoleRecord record{};
  bool hasList = false;
  std::vector<std::string> list;
  bool hasLocal = false;
  RoleRecord local{};
  std::string localDamage;  // the same for the local table's copy
};

// What is wrong with a record whose read CheckRoleRecord found damaged.
std::string Damage(LONG status, DWORD size) {
  if (status == ERROR_MORE_DATA) return "it is longer than 76 bytes";
  if (status == ERROR_INVALID_DATA) return "it is shorter than 76 bytes or not binary";
  if (size != sizeof(RoleRecord)) return "it is " + std::to_string(size) + " bytes long";
  return "it names no primary";
}

std::string PrimaryOf(const RoleRecord& record) {
  return kv::FixedField(record.primaryName, sizeof(record.primaryName));
}

bool Lists(const ServerState& owner, const std::string& name) {
  return std::find(owner.list.begin(), owner.list.end(), name) != owner.list.end();
}

bool IsNotFound(LONG status) { return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND; }

std::string Reason(LONG status) { return OneLine(SystemErrorText(static_cast<DWORD>(status))); }

// Opens a session to server when the local table stores credentials for it
// or some were given; a server without either is read with the rights
// already in force (a server that trusts this account needs none). False
// with a reason when the credentials do not reach it.
bool Reach(const std::string& server, bool hasLocal, const GivenCredentials& given, kv::CNetConnection& held,
           std::string& reason, bool& credentials) {
  if (!hasLocal && !given.For(server)) return true;
  CSilentUser silent(given);
  CScopedRoleStoreUser face(silent);
  DWORD status = OpenAdminSession(server.c_str(), "ipc$", nullptr, nullptr);
  if (status == ERROR_SUCCESS) {
    held = HoldAdminSession(server.c_str());
    return true;
  }
  // Given credentials refused where none are stored: read as without them.
  if (!hasLocal) return true;
  reason = !silent.m_strReason.empty() ? silent.m_strReason : Reason(static_cast<LONG>(status));
  credentials = silent.m_bCredentials;
  return false;
}

ServerState ReadServer(const std::string& server, const GivenCredentials& given) {
  ServerState state;
  DWORD size = sizeof(state.local);
  LONG local = ReadLocalRoleRecord(server.c_str(), kSanProductCode, &state.local, &size);
  state.hasLocal = local == ERROR_SUCCESS && size == sizeof(state.local);
  if (CheckRoleRecord(local, &state.local, size) == RecordState::Damaged) state.localDamage = Damage(local, size);
  kv::CNetConnection session;
  if (!Reach(server, state.hasLocal, given, session, state.reason, state.credentials)) return state;

  size = sizeof(state.record);
  LONG status = ::ReadRoleRecord(server.c_str(), kSanProductCode, &state.record, &size);
  const RecordState read = CheckRoleRecord(status, &state.record, size);
  if (read == RecordState::Valid) {
    state.hasRecord = true;
  } else if (read == RecordState::Damaged) {
    state.damage = Damage(status, size);
  } else if (!IsNotFound(status)) {
    state.reason = "its role record cannot be read: " + Reason(status);
    state.credentials = status == ERROR_ACCESS_DENIED;
    if (status == ERROR_ACCESS_DENIED && !state.hasLocal)
      state.reason +=
          given.For(server) ? " (no stored credentials; the ones given were refused)" : " (no stored credentials)";
    return state;
  }

  kv::CRegKey root, key;
  status = OpenDistributedList(root, key, server.c_str());
  if (status == ERROR_SUCCESS) {
    state.hasList = true;
    status = ReadDistributedList(key.Get(), state.list);
    CloseDistributedList(root, key);
  }
  if (status != ERROR_SUCCESS && !IsNotFound(status)) {
    state.reason = "its distributed-servers list cannot be read: " + Reason(status);
    return state;
  }
  state.checked = true;
  return state;
}

std::string RecordSays(const std::string& server, const ServerState& state) {
  if (!state.damage.empty()) return server + "'s role record is damaged";
  if (!state.hasRecord) return server + " has no role record";
  const std::string primary = PrimaryOf(state.record);
  if (primary == server) return server + " is a primary";
  return server + "'s record names " + primary;
}

void CompareWithLocal(const std::string& server, const ServerState& s, std::vector<AuditFinding>& out) {
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

AuditReport RunAudit(const GivenCredentials& given, std::vector<ServerRead>* reads) {
  AuditReport report;
  std::vector<std::string> order;
  std::set<std::string> seen;
  auto add = [&](const std::string& name) {
    if (!name.empty() && seen.insert(name).second) order.push_back(name);
  };
  for (const TableRow& row : ReadServerTable())
    if (row.role != TableRole::None) add(row.name);

  // Names found in lists and records join the walk as they are found.
  std::map<std::string, ServerState> states;
  for (size_t i = 0; i < order.size(); ++i) {
    const std::string server = order[i];
    ServerState state = ReadServer(server, given);
    if (state.checked) {
      for (const std::string& member : state.list) add(member);
      if (state.hasRecord) add(PrimaryOf(state.record));
      report.checked.push_back(server);
    } else {
      report.notChecked.push_back({server, state.reason, state.credentials});
    }
    states[server] = state;
  }

  for (const std::string& server : order) {
    const ServerState& s = states[server];
    // A server that cannot be checked is judged by the local table's copy.
    if (!s.damage.empty() || (!s.checked && !s.localDamage.empty()))
      report.findings.push_back(
          {"damaged-record", server, "",
           (s.checked ? server + "'s role record is damaged: " + s.damage
                      : "the local table's copy of " + server + "'s role record is damaged: " + s.localDamage) +
               " (a role record is 76 bytes naming a primary)",
           "clear it with force-remove", false});
    if (!s.checked) continue;
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
      const ServerState& m = states[member];
      // Whether a damaged record still means this primary cannot be told.
      if (!m.damage.empty() || (!m.checked && !m.localDamage.empty())) continue;
      if (!m.checked) {
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
      const ServerState& p = states[primary];
      if (p.checked && (!p.hasRecord || PrimaryOf(p.record) != primary)) {
        report.findings.push_back(
            {"names-non-primary", server, primary,
             server + "'s record names " + primary + ", which is not a primary: " + RecordSays(primary, p),
             p.hasRecord ? "" : "left by Delete Primary, which keeps its members' records", false});
      } else if (p.checked && !Lists(p, server)) {
        report.findings.push_back(
            {"missing-from-list", server, primary,
             server + "'s record names " + primary + ", but " + primary + "'s list does not hold " + server,
             "a transaction interrupted between the record write and the list edit", true});
      }
    }
    CompareWithLocal(server, s, report.findings);
  }
  if (reads)
    for (const std::string& server : order) {
      const ServerState& s = states[server];
      reads->push_back({server, s.checked, s.reason, !s.damage.empty(), s.hasRecord ? PrimaryOf(s.record) : "", s.list,
                        !s.localDamage.empty(), s.hasLocal ? PrimaryOf(s.local) : ""});
    }
  return report;
}

std::string RepairText(const AuditFinding& f) {
  if (f.kind == "missing-from-list") return "add " + f.server + " to the list of " + f.primary;
  return "remove " + f.server + " from the list of " + f.primary;
}

DWORD RepairFinding(const AuditFinding& f, const GivenCredentials& given, std::string& reasonOut) {
  RoleRecord local{};
  DWORD size = sizeof(local);
  bool stored = ReadLocalRoleRecord(f.primary.c_str(), kSanProductCode, &local, &size) == ERROR_SUCCESS;
  kv::CNetConnection session;
  bool credentials = false;
  if (!Reach(f.primary, stored, given, session, reasonOut, credentials)) return SessionCancelled;
  const int mode = f.kind == "missing-from-list" ? ListAdd : ListRemove;
  return static_cast<DWORD>(EditDistributedList(f.primary.c_str(), f.server.c_str(), mode));
}
