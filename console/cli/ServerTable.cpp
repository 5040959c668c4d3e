#include "ServerTable.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <thread>

#include "DiscoveryService.h"
#include "Dunlin.h"
#include "RoleTables.h"
#include "Strings.h"

namespace {

// The controls' order: by name without regard to letter case, and names
// that differ only in case lower case first ("osprey" before "OSPREY", as a
// record may name a primary), whatever order they were inserted in.
bool NameBefore(const std::string& a, const std::string& b) { return ::lstrcmpA(a.c_str(), b.c_str()) < 0; }

}  // namespace

bool ValidServerName(const std::string& name) {
  return !name.empty() && name.size() <= 23 && name.find_first_of("\\/ \t") == std::string::npos;
}

std::string EntryName(const DiscoveryEntry& entry) { return DiscoveryEntryName(entry); }

const char* TableRoleName(TableRole role) {
  switch (role) {
    case TableRole::Primary:
      return "primary";
    case TableRole::Distributed:
      return "distributed";
    case TableRole::None:
      return "none";
    case TableRole::KnownFromMembers:
      return "primary known only from its members";
    case TableRole::Damaged:
      return "damaged record";
  }
  return "";
}

namespace {

// The table's entries with what the console needs of each: whether it lists
// the entry (its type and product list) and, if so, the server's role record
// as ReadLocalRoleRecord gives it into a record-sized buffer.
struct EntryReading {
  DiscoveryEntry entry{};
  bool listed = false;
  LONG status = ERROR_SUCCESS;
  DWORD size = 0;
  unsigned char record[kRoleRecordSize] = {};
};

// Threads that read the entries' product lists and records. Every call waits
// for the one wineserver; with a few threads its answers overlap the callers'
// own work, where more only wait for each other.
constexpr unsigned kTableReaders = 4;

std::vector<EntryReading> ReadEntries() {
  std::vector<EntryReading> readings;
  for (const DiscoveryEntry& entry : ReadServerEntries()) readings.push_back({entry});
  std::atomic<size_t> next{0};
  auto work = [&readings, &next] {
    for (size_t i = next++; i < readings.size(); i = next++) {
      EntryReading& r = readings[i];
      r.listed = IsListedServerEntry(r.entry, kSanProductCode);
      if (!r.listed) continue;
      r.size = sizeof(r.record);
      r.status = ReadLocalRoleRecord(EntryName(r.entry).c_str(), kSanProductCode, r.record, &r.size);
    }
  };
  std::vector<std::thread> threads;
  try {
    for (unsigned i = 1; i < kTableReaders && i < readings.size(); ++i) threads.emplace_back(work);
  } catch (...) {
    // Fewer threads: the calling thread and those started read everything.
  }
  work();
  for (std::thread& thread : threads) thread.join();
  return readings;
}

}  // namespace

std::vector<DiscoveryEntry> ReadListedEntries() {
  std::vector<DiscoveryEntry> entries = ReadListedServerEntries(kSanProductCode);
  // The pass walks its entries newest first.
  std::reverse(entries.begin(), entries.end());
  return entries;
}

std::vector<TableRow> ReadServerTable() {
  struct Root {
    TableRow row;
    std::vector<TableRow> members;
  };
  std::vector<Root> roots;
  std::vector<TableRow> list;
  auto findRoot = [&](const std::string& name) -> Root* {
    for (Root& root : roots)
      if (root.row.name == name) return &root;
    return nullptr;
  };

  // The listed entries in the order of the console's pass (newest first),
  // their records read with them.
  std::vector<EntryReading> readings = ReadEntries();
  readings.erase(std::remove_if(readings.begin(), readings.end(), [](const EntryReading& r) { return !r.listed; }),
                 readings.end());
  std::reverse(readings.begin(), readings.end());
  std::vector<DiscoveryEntry> entries;
  for (const EntryReading& r : readings) entries.push_back(r.entry);
  // The first pass over the entries decides every server's place; the rows
  // of servers named only by members take their entries from this map.
  std::map<std::string, const DiscoveryEntry*> byName;
  std::map<std::string, const EntryReading*> recordOf;
  for (size_t i = 0; i < entries.size(); ++i) {
    byName.emplace(EntryName(entries[i]), &entries[i]);
    recordOf.emplace(EntryName(entries[i]), &readings[i]);
  }
  // A record read with the entries answers the walk up to a primary; a name
  // the entries do not hold goes to the reader of the console's refresh
  // pass, which reads a record key once however often the walk meets it.
  CLocalRoleRecordReader records;
  records.BeginPass();
  auto read = [&records, &recordOf](const char* name, void* buffer, DWORD* size) {
    auto it = recordOf.find(name);
    if (it == recordOf.end() || *size != sizeof(it->second->record))
      return records.Read(name, kSanProductCode, buffer, size);
    const EntryReading& r = *it->second;
    std::memcpy(buffer, r.record, sizeof(r.record));
    *size = r.size;
    return r.status;
  };

  for (const DiscoveryEntry& entry : entries) {
    TableRow row;
    row.name = EntryName(entry);
    row.hasEntry = true;
    row.entry = entry;
    std::string primary;
    const RecordState state = ReadRoleOf(row.name, read, primary);
    if (state != RecordState::Valid) {
      if (state == RecordState::Damaged) row.role = TableRole::Damaged;
      list.push_back(row);
      continue;
    }
    if (primary == row.name) {
      row.role = TableRole::Primary;
      if (Root* root = findRoot(row.name)) {
        root->row.role = TableRole::Primary;
      } else {
        roots.push_back({row, {}});
      }
      continue;
    }
    row.role = TableRole::Distributed;
    row.primary = primary;
    Root* root = findRoot(primary);
    if (!root) {
      TableRow named;
      named.name = primary;
      named.role = TableRole::KnownFromMembers;
      auto it = byName.find(primary);
      if (it != byName.end()) {
        named.hasEntry = true;
        named.entry = *it->second;
      }
      roots.push_back({named, {}});
      root = &roots.back();
    }
    root->members.push_back(row);
  }

  // A server without a record that members name stays in the tree only.
  std::vector<TableRow> available;
  for (const TableRow& row : list)
    if (!findRoot(row.name)) available.push_back(row);

  std::stable_sort(roots.begin(), roots.end(),
                   [](const Root& a, const Root& b) { return NameBefore(a.row.name, b.row.name); });
  std::stable_sort(available.begin(), available.end(),
                   [](const TableRow& a, const TableRow& b) { return NameBefore(a.name, b.name); });
  std::vector<TableRow> rows;
  for (Root& root : roots) {
    std::stable_sort(root.members.begin(), root.members.end(),
                     [](const TableRow& a, const TableRow& b) { return NameBefore(a.name, b.name); });
    rows.push_back(root.row);
    rows.insert(rows.end(), root.members.begin(), root.members.end());
  }
  rows.insert(rows.end(), available.begin(), available.end());
  return rows;
}
