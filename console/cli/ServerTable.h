// The servers of the local discovery table as the console's main dialog
// shows them after a refresh pass: the primaries with their distributed
// servers (the tree), then the servers without a role (the list).
#pragma once

#include <string>
#include <vector>

#include "ProductTypes.h"

enum class TableRole {
  Primary,           // its own record names it
  Distributed,       // its record names another server
  None,              // no record: the list of available servers
  KnownFromMembers,  // shown as a primary only because other servers name it
  Damaged            // its record is damaged: no role, listed like None
};

struct TableRow {
  std::string name;
  bool hasEntry = false;  // false: named by members but not in the accepted entries
  DiscoveryEntry entry{};
  TableRole role = TableRole::None;
  std::string primary;  // for Distributed: the primary its record names
};

// The rows in the console's order: each root of the tree (sorted by name)
// followed by its distributed servers (sorted by name), then the list
// (sorted by name). A server that is both a distributed server and named
// by members of its own shows twice, as the tree does.
std::vector<TableRow> ReadServerTable();

// The accepted entries of the discovery table: type 24, 25 or 32 and
// reporting the SAN option, in the order of the console's refresh pass.
std::vector<DiscoveryEntry> ReadListedEntries();

const char* TableRoleName(TableRole role);

// A name kvroles takes for a server: 1 to 23 characters (a record's primary
// name field holds 23 and its NUL), without slashes or blanks.
bool ValidServerName(const std::string& name);
std::string EntryName(const DiscoveryEntry& entry);
