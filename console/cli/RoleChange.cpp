#include "RoleChange.h"

#include "AdminSession.h"
#include "Transactions.h"

std::string CommandText(const RoleChange& c) {
  switch (c.op) {
    case RoleOp::Assign:
      return "assign " + c.primary + " " + c.server;
    case RoleOp::Remove:
      return "remove " + c.primary + " " + c.server;
    case RoleOp::MakePrimary:
      return "make-primary " + c.server;
    case RoleOp::DeletePrimary:
      return "delete-primary " + c.server;
    case RoleOp::ForceRemove:
      return "force-remove " + c.server;
  }
  return "";
}

std::string DoneText(const RoleChange& c) {
  switch (c.op) {
    case RoleOp::Assign:
      return c.server + " is a distributed server of " + c.primary;
    case RoleOp::Remove:
      return c.server + " is no longer a distributed server of " + c.primary;
    case RoleOp::MakePrimary:
      return c.server + " is a primary server";
    case RoleOp::DeletePrimary:
      return c.server + " is no longer a primary server";
    case RoleOp::ForceRemove:
      return c.server + " has no role; its former primary's list still names it";
  }
  return "";
}

ChangeResult RunRoleChange(const RoleChange& c) {
  const char* server = c.server.c_str();
  const char* primary = c.primary.c_str();
  DWORD status = 0;
  ExpectedState expected = ExpectedState::NoRecord();
  switch (c.op) {
    case RoleOp::Assign:
      status = AssignDistributed(primary, server);
      expected = ExpectedState::Names(c.primary);
      break;
    case RoleOp::Remove:
      status = RemoveDistributed(primary, server);
      break;
    case RoleOp::MakePrimary:
      status = MakePrimary(server);
      expected = ExpectedState::Names(c.server);
      break;
    case RoleOp::DeletePrimary:
      status = DeletePrimary(server);
      break;
    case RoleOp::ForceRemove:
      status = ForceRemoveDistributed(server);
      break;
  }
  if (status == SessionCancelled) return ChangeResult::Cancelled;
  if (status != ERROR_SUCCESS) return ChangeResult::Failed;  // the transaction has said why
  return ConfirmationWait(nullptr, server, expected) ? ChangeResult::Done : ChangeResult::NotShown;
}
