// The roles file of export, plan and apply: JSON, small and stable,
//   {"version": 1, "primaries": {"OSPREY": ["HERON", "KITE"], "FALCON": []}, "notRead": ["TERN"]}
// names sorted, no credentials, no times; and the SAN's roles as the audit
// reads them on the servers themselves.
#pragma once

#include <string>
#include <vector>

#include "SanReading.h"
#include "Plan.h"

// The file's text (UTF-8), names sorted.
std::string RolesFileText(const RolesFile& file);

// Reads and checks the text of a roles file: well-formed JSON of version 1
// with "primaries" (and "notRead"), each name a server name, no name twice,
// no primary listed as a member, each primary and member one of tableNames
// (the local table; servers under notRead are only left alone, so they need
// not be). False with a problem naming the place in the file: "line 3,
// column 7: ..." or "primaries.OSPREY[1]: ...".
bool ParseRolesFileText(const std::string& text, const std::vector<std::string>& tableNames, RolesFile& out,
                        std::string& problem);

// The roles as read: a server whose record or list could not be read, whose
// record is damaged, or whose record names a server not read or holding
// another role, has a role that is not known; a record naming a server
// without a record is kept as such (plan clears it).
SanRoles RolesFromReads(const std::vector<ServerReading>& reads);

// Names are in the ANSI code page; JSON is UTF-8.
std::string AnsiToUtf8(const std::string& text);
// False when text is not UTF-8 or holds a character the code page lacks.
bool Utf8ToAnsi(const std::string& text, std::string& out);
