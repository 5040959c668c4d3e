// Role transactions: the operations that change a server's role, each over
// administrative sessions to the machines whose registries it changes. A
// transaction shows its own failures and returns a status: 0 done,
// SessionCancelled (1002) when the user cancelled (nothing shown), anything
// else a system, registry or Dunlin status that has already been shown.
#pragma once

#include <windows.h>

#include <string>

// Makes server a Distributed Server of primary.
DWORD AssignDistributed(const char* primary, const char* server);
// Takes server, a Distributed Server of primary, out of its role.
DWORD RemoveDistributed(const char* primary, const char* server);
// Clears server's record without touching any distributed-servers list.
DWORD ForceRemoveDistributed(const char* server);
// Makes server a Primary Server (detaching it from a previous primary).
DWORD MakePrimary(const char* server);
// Clears a primary's record and deletes its distributed-servers list. A
// list that cannot be deleted is shown and its status returned (the record
// stays cleared).
DWORD DeletePrimary(const char* server);

// Adds server to primary's list; a failure is shown and returned.
DWORD AddToDistributedList(const char* primary, const char* server);
// Removes server from primary's list. A failure counts as success when the
// primary's record is not there any more (its read finds none); otherwise
// it is shown and returned.
DWORD RemoveFromDistributedList(const char* primary, const char* server);

// What the local discovery table must show for a server once a transaction
// has gone through: a record naming a primary, or no record at all.
struct ExpectedState {
  enum Kind { NamesPrimary, HasNoRecord };
  Kind kind = HasNoRecord;
  std::string primary;

  static ExpectedState Names(const std::string& primary) { return {NamesPrimary, primary}; }
  static ExpectedState NoRecord() { return {HasNoRecord, std::string()}; }
};

// Waits, one broadcast delay per try and at most one try per broadcast peer,
// until the local table shows state for server. On giving up it shows the
// "table not updated" warning owned by owner and returns false.
bool ConfirmationWait(HWND owner, const char* server, const ExpectedState& state);

// Test seam: the function ConfirmationWait sleeps with (null restores
// ::Sleep). Returns the previous one.
using ConfirmationSleepFunction = void(WINAPI*)(DWORD milliseconds);
ConfirmationSleepFunction SetConfirmationSleepForTest(ConfirmationSleepFunction function);
