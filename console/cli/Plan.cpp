#include "Plan.h"

#include <algorithm>

namespace {

// What the file wants of one server.
struct Target {
  enum Kind { None, Primary, Distributed, Leave };
  Kind kind = None;
  std::string primary;
};

Target TargetOf(const RolesFile& file, const std::string& server) {
  if (file.primaries.count(server)) return {Target::Primary, server};
  for (const auto& [primary, members] : file.primaries)
    if (std::find(members.begin(), members.end(), server) != members.end()) return {Target::Distributed, primary};
  if (std::binary_search(file.notRead.begin(), file.notRead.end(), server)) return {Target::Leave, ""};
  return {};
}

CurrentRole CurrentOf(const SanRoles& san, const std::string& server) {
  auto it = san.roles.find(server);
  return it == san.roles.end() ? CurrentRole{} : it->second;
}

std::string Now(const std::string& server, const CurrentRole& c) {
  switch (c.kind) {
    case CurrentRole::None:
      return server + " has no role";
    case CurrentRole::Primary:
      return server + " is a primary";
    case CurrentRole::Distributed:
      return server + " is a distributed server of " + c.primary;
    case CurrentRole::NamesNoRecord:
      return server + "'s record names " + c.primary + ", which holds no record";
  }
  return "";
}

std::string Wanted(const Target& t) {
  if (t.kind == Target::Primary) return "the file makes it a primary";
  if (t.kind == Target::Distributed) return "the file makes it a distributed server of " + t.primary;
  return "the file gives it no role";
}

bool Matches(const CurrentRole& c, const Target& t) {
  if (t.kind == Target::Primary) return c.kind == CurrentRole::Primary;
  if (t.kind == Target::Distributed) return c.kind == CurrentRole::Distributed && c.primary == t.primary;
  return c.kind == CurrentRole::None;
}

}  // namespace

RolePlan MakeRolePlan(const RolesFile& file, const SanRoles& san) {
  std::set<std::string> servers;
  for (const auto& [primary, members] : file.primaries) {
    servers.insert(primary);
    servers.insert(members.begin(), members.end());
  }
  servers.insert(file.notRead.begin(), file.notRead.end());
  for (const auto& [server, role] : san.roles) servers.insert(server);
  for (const auto& [server, reason] : san.unknown) servers.insert(server);

  RolePlan plan;
  std::map<std::string, CurrentRole> now;  // each server's role as the steps so far leave it
  std::set<std::string> known;             // servers whose role is known and that the file does not leave
  for (const std::string& s : servers) {
    const Target t = TargetOf(file, s);
    auto unknown = san.unknown.find(s);
    if (t.kind == Target::Leave) {
      plan.notes.push_back(s + " is left as it is: the file names it not read" +
                           (unknown != san.unknown.end() ? " (" + unknown->second + ")" : ""));
    } else if (unknown != san.unknown.end()) {
      auto local = san.shownLocally.find(s);
      if (local != san.shownLocally.end() && Matches(local->second, t))
        plan.notes.push_back(s + " is shown by the local table as the file says, but " + unknown->second);
      else
        plan.blocked.push_back(s + ": " + Wanted(t) +
                               (local != san.shownLocally.end()
                                    ? "; the local table shows that " + Now(s, local->second) + ", but "
                                    : ", but ") +
                               unknown->second + " (give its credentials, or name it under notRead to leave it)");
    } else {
      known.insert(s);
    }
    now[s] = CurrentOf(san, s);
  }
  auto step = [&](RoleOp op, const std::string& primary, const std::string& server, const std::string& reason) {
    plan.steps.push_back({{op, primary, server}, reason});
  };

  // A record naming a server without a record: cleared while that server
  // still holds none, so that the list edit counts as done.
  for (const std::string& s : known) {
    const CurrentRole c = now[s];
    if (c.kind != CurrentRole::NamesNoRecord) continue;
    step(RoleOp::Remove, c.primary, s, Now(s, c) + ": its record is cleared first");
    now[s] = CurrentRole{};
  }
  for (const std::string& s : known) {
    const CurrentRole c = now[s];
    if (TargetOf(file, s).kind != Target::Primary || c.kind == CurrentRole::Primary) continue;
    step(RoleOp::MakePrimary, "", s,
         Now(s, c) + "; the file makes it a primary" +
             (c.kind == CurrentRole::Distributed ? " (Make Primary takes it off " + c.primary + "'s list)" : ""));
    now[s] = {CurrentRole::Primary, s};
  }
  // Servers that are not primaries now: one Assign moves, one Remove frees.
  for (const std::string& s : known) {
    const CurrentRole c = now[s];
    const Target t = TargetOf(file, s);
    if (c.kind == CurrentRole::Primary || t.kind == Target::Primary) continue;
    if (t.kind == Target::Distributed && !(c.kind == CurrentRole::Distributed && c.primary == t.primary)) {
      step(RoleOp::Assign, t.primary, s,
           Now(s, c) + "; " + Wanted(t) +
               (c.kind == CurrentRole::Distributed ? " (one Assign moves it off " + c.primary + "'s list)" : ""));
      now[s] = {CurrentRole::Distributed, t.primary};
    } else if (t.kind == Target::None && c.kind == CurrentRole::Distributed) {
      step(RoleOp::Remove, c.primary, s, Now(s, c) + "; " + Wanted(t));
      now[s] = CurrentRole{};
    }
  }
  // Primaries that go: only once no server still names them.
  std::set<std::string> deleted;
  for (const std::string& s : known) {
    const Target t = TargetOf(file, s);
    if (now[s].kind != CurrentRole::Primary || t.kind == Target::Primary) continue;
    std::string staying;
    for (const auto& [m, role] : now)
      if (m != s && role.kind != CurrentRole::None && role.primary == s) staying += (staying.empty() ? "" : ", ") + m;
    if (!staying.empty()) {
      plan.blocked.push_back(s + ": Delete Primary cannot run while " + staying +
                             " still name it and the file leaves them as they are; " + Wanted(t));
      continue;
    }
    step(RoleOp::DeletePrimary, "", s,
         Now(s, now[s]) + "; " + Wanted(t) +
             (t.kind == Target::Distributed ? " (a primary stops being one before it is assigned)" : ""));
    now[s] = CurrentRole{};
    deleted.insert(s);
  }
  for (const std::string& s : deleted) {
    const Target t = TargetOf(file, s);
    if (t.kind != Target::Distributed) continue;
    step(RoleOp::Assign, t.primary, s,
         s + " has no role once deleted as a primary; " + Wanted(t) +
             " (reached with the credentials its record stored)");
    now[s] = {CurrentRole::Distributed, t.primary};
  }
  return plan;
}

RolesFile RolesFileOf(const SanRoles& san) {
  RolesFile file;
  for (const auto& [server, role] : san.roles) {
    if (role.kind == CurrentRole::Primary) file.primaries[server];
  }
  for (const auto& [server, role] : san.roles)
    if (role.kind == CurrentRole::Distributed) file.primaries[role.primary].push_back(server);
  for (auto& [primary, members] : file.primaries) std::sort(members.begin(), members.end());
  // A record naming a server that holds none is no role the file can state:
  // it is left as not read, as a server whose role is not known.
  for (const auto& [server, role] : san.roles)
    if (role.kind == CurrentRole::NamesNoRecord) file.notRead.push_back(server);
  for (const auto& [server, reason] : san.unknown) file.notRead.push_back(server);
  std::sort(file.notRead.begin(), file.notRead.end());
  return file;
}
