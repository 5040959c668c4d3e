// The roles as a file says them, the roles as the servers hold them, and the
// ordered role transactions that take the second to the first. No I/O here:
// the plan is a function of the two.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "RoleChange.h"

// What a roles file says: each primary with its distributed servers, and the
// servers it leaves as they are (they could not be read when it was written).
// Every other server has no role.
struct RolesFile {
  std::map<std::string, std::vector<std::string>> primaries;  // members sorted
  std::vector<std::string> notRead;                           // sorted
};

// A server's role as its own record holds it.
struct CurrentRole {
  enum Kind {
    None,
    Primary,
    Distributed,   // its record names primary, whose own record names itself
    NamesNoRecord  // its record names primary, which holds no record at all
  };
  Kind kind = None;
  std::string primary;
};

// The SAN as read: the roles of the servers read (a server not named has no
// role) and the servers whose role is not known, each with the reason.
struct SanRoles {
  std::map<std::string, CurrentRole> roles;
  std::map<std::string, std::string> unknown;
  // For a server whose role is not known, what the local table shows, when
  // it shows something whole: the console's view, which may lag behind.
  std::map<std::string, CurrentRole> shownLocally;
};

struct PlanStep {
  RoleChange change;
  std::string reason;
};

struct RolePlan {
  std::vector<PlanStep> steps;       // in the order they must run
  std::vector<std::string> blocked;  // what the transactions cannot do as the file says
  std::vector<std::string> notes;    // servers left as they are
};

// The transactions that make san as file says, in an order each can run in:
// records naming a server that is no longer a primary are cleared first (a
// Remove, while that server holds no record, leaves no list behind); then
// Make Primary of the new primaries; then every Assign and Remove of servers
// that are not primaries now (a move between primaries is one Assign);
// then Delete Primary of the primaries that go, whose members have all left
// by then; last the Assign of a former primary into its new primary. A
// server whose role is not known gets no step: it is named in blocked unless
// the local table shows it as the file says. A primary that cannot be
// deleted because a member of it stays is named in blocked too.
RolePlan MakeRolePlan(const RolesFile& file, const SanRoles& san);

// The SAN as a roles file: primaries with their members; servers whose role
// is not known as not read.
RolesFile RolesFileOf(const SanRoles& san);
