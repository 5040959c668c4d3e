// One role transaction of the console, named by what it changes, and the one
// way kvroles runs it: the transaction, then the console's confirmation wait.
#pragma once

#include <string>

enum class RoleOp { Assign, Remove, MakePrimary, DeletePrimary, ForceRemove };

struct RoleChange {
  RoleOp op = RoleOp::Assign;
  std::string primary;  // Assign and Remove
  std::string server;

  bool operator==(const RoleChange& other) const {
    return op == other.op && primary == other.primary && server == other.server;
  }
};

// The change as the kvroles command line that makes it: "assign OSPREY KITE".
std::string CommandText(const RoleChange& change);
// What holds once the change went through: "KITE is a distributed server of OSPREY".
std::string DoneText(const RoleChange& change);

enum class ChangeResult {
  Done,
  Cancelled,  // a confirmation or credentials request was not answered: nothing changed
  Failed,     // the transaction failed and has said why
  NotShown    // made on the servers, but the local table did not show it in time
};

// Runs the console's transaction for change through the role store's
// current face and, when it goes through, the console's confirmation wait.
// Force to Remove's own question is the caller's.
ChangeResult RunRoleChange(const RoleChange& change);
