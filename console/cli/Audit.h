// The audit: reads the role records and distributed-servers lists on the
// servers themselves (sessions from stored credentials only) and reports
// where they disagree with each other or with the local discovery table.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "SanReading.h"
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

// Judges what ReadSanServers read: the servers checked and not checked in
// the order of the readings, and every disagreement.
AuditReport JudgeReadings(const std::vector<ServerReading>& readings);

// Reads the SAN (ReadSanServers, up to parallel servers at once) and judges it.
AuditReport RunAudit(const GivenCredentials& given, unsigned parallel = kDefaultParallel,
                     const ProgressFunction& progress = {});

// Puts one repairable finding right on the list's owner: removes a stale or
// self entry, or adds a missing member. Returns 0 or the status; the reason
// of a session that could not be opened goes to reasonOut.
DWORD RepairFinding(const AuditFinding& finding, const GivenCredentials& given, std::string& reasonOut);

// The change a repairable finding calls for, as one sentence.
std::string RepairText(const AuditFinding& finding);
