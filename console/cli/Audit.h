// The audit: reads the role records and distributed-servers lists on the
// servers themselves (sessions from stored credentials only) and reports
// where they disagree with each other or with the local discovery table.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "TerminalUser.h"

struct AuditFinding {
  std::string kind;     // stale-list-entry, missing-from-list, self-listed,
                        // list-on-non-primary, names-non-primary, local-table-differs,
                        // damaged-record
  std::string server;   // the server the finding is about
  std::string primary;  // the list's owner, or the primary the record names
  std::string text;     // one sentence
  std::string cause;    // what probably left it so, when that can be told
  bool repairable = false;
};

struct AuditSkip {
  std::string server;
  std::string reason;
  bool credentials = false;  // credentials (none stored, or refused) would have reached it
};

struct AuditReport {
  std::vector<std::string> checked;
  std::vector<AuditSkip> notChecked;
  std::vector<AuditFinding> findings;

  // 1 when anything disagrees, 3 when nothing does but some servers could
  // not be checked, else 0.
  int ExitStatus() const;
};

// What the audit read of one server, on the server itself.
struct ServerRead {
  std::string server;
  bool read = false;     // its record and list were read
  std::string reason;    // why not
  bool damaged = false;  // its record is damaged
  std::string primary;   // the primary its record names; empty without a record
  std::vector<std::string> list;
  bool localDamaged = false;  // the local table's copy of its record is damaged
  std::string localPrimary;   // the primary that copy names; empty without one
};

// Starts from every primary and distributed server of the local table and
// follows the names found in lists and records. Servers without stored
// credentials are reached with the given ones, when there are some for them.
// reads, when given, receives what was read of each server, in the order read.
AuditReport RunAudit(const GivenCredentials& given, std::vector<ServerRead>* reads = nullptr);

// Puts one repairable finding right on the list's owner: removes a stale or
// self entry, or adds a missing member. Returns 0 or the status; the reason
// of a session that could not be opened goes to reasonOut.
DWORD RepairFinding(const AuditFinding& finding, const GivenCredentials& given, std::string& reasonOut);

// The change a repairable finding calls for, as one sentence.
std::string RepairText(const AuditFinding& finding);
