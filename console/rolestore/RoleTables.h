// Role tables: the 76-byte role record of every server (read from the local
// discovery table), the distributed-servers list of every primary (in the
// primary's own registry), the broadcast delay setting and the two registry
// roots. Every operation returns a Win32/registry status (0 = success) and
// shows nothing; its caller reports failures.
#pragma once

#include <windows.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "Handles.h"
#include "ProductTypes.h"

// Registry roots under HKEY_LOCAL_MACHINE, filled once at start-up and then
// fixed for the life of the process (each at most 255 characters).
extern char DiscoveryTableRoot[256];
extern char ProductRoot[256];

enum ServerRole { RolePrimary = 0, RoleDistributed = 1, RoleNone = 2 };
enum DistributedListMode { ListAdd = 0, ListRemove = 1, ListDelete = 2 };

inline constexpr int kRoleRecordSize = 76;
inline constexpr int kCredentialFieldSize = 24;
inline constexpr DWORD kDefaultBroadcastDelay = 350;
inline constexpr char kFallbackProductKeyName[] = "EnterpriseLibOption";
inline constexpr char kDistributedListSubKey[] = "\\ELODistributedServers";

// Fill the roots through Toolwright; false when it reports no path.
bool LoadDiscoveryTableRoot();
bool LoadProductRoot();

// Test-only: points the two roots at keys of the test's choosing (each text
// is cut to 255 characters). Programs fill the roots with the loaders above.
void SetRegistryRootsForTest(const char* discoveryTableRoot, const char* productRoot);

// The discovery-table sub-key name of a product and the 16-bit value that
// Prodwick gives with it; false (outputs untouched) when Prodwick has none.
bool GetProductKeyName(int productCode, std::string& nameOut, WORD& wordOut);

// Reads Slot_1 of server from the local discovery table into buffer. size:
// capacity in, the byte count the registry reported out (unchanged when the
// key cannot be opened). A value that is not REG_BINARY is no record that
// the product wrote: ERROR_INVALID_DATA.
LONG ReadLocalRoleRecord(const char* server, int productCode, void* buffer, DWORD* size);

// What one read of a role record shows.
enum class RecordState { None, Valid, Damaged };

// Judges one read of a role record (ReadLocalRoleRecord or Dunlin's
// ReadRoleRecord into 76 bytes). Valid: exactly 76 bytes whose primary name
// is non-empty and ends with a NUL inside its 24-byte field; primaryOut then
// gets that name. Damaged: a value that is there but is no such record
// (longer or shorter, not binary, naming no primary). None: no record, or
// one that cannot be read at all.
RecordState CheckRoleRecord(LONG status, const void* buffer, DWORD size, std::string* primaryOut = nullptr);

// The role a server's record gives it, judged by CheckRoleRecord from reads
// made with read(server, buffer, size). A chain of records that leads back to
// server without reaching a primary (two servers naming each other, or a
// longer loop) is damaged too: no server of it is anyone's primary, and each
// would otherwise stand both as a primary and as a member.
template <class Read>
RecordState ReadRoleOf(const std::string& server, Read read, std::string& primaryOut) {
  auto judge = [&read](const std::string& name, std::string& primary) {
    unsigned char record[76] = {};
    DWORD size = sizeof(record);
    LONG status = read(name.c_str(), record, &size);
    return CheckRoleRecord(status, record, size, &primary);
  };
  primaryOut.clear();
  std::string primary;
  RecordState state = judge(server, primary);
  if (state != RecordState::Valid) return state;
  std::string next, at = primary;
  for (int step = 0; step < 16 && at != server; ++step) {
    if (judge(at, next) != RecordState::Valid || next == at) break;
    if (next == server) return RecordState::Damaged;
    at = next;
  }
  primaryOut = primary;
  return RecordState::Valid;
}

// Reads role records from the local discovery table with exactly the results
// of ReadLocalRoleRecord, for a caller that reads every server's record again
// and again (the console's refresh pass). From its second read of a server on
// it keeps the server's key and its record key open, watched for changes
// (RegNotifyChangeKeyValue), and answers from what it read as long as neither
// changed: a pass over thousands of unchanged servers then costs a few
// registry calls instead of one per server. The watches share a few events,
// each for a group of servers; a change makes the group's servers be read
// afresh. Results other than a record read or no record key are not kept.
class CLocalRoleRecordReader {
 public:
  CLocalRoleRecordReader();
  // Looks for change notices once: the reads up to the next call rely on it.
  void BeginPass();
  LONG Read(const char* server, int productCode, void* buffer, DWORD* size);
  // Closes every key kept open and forgets what was read.
  void Reset();

 private:
  // About sixteen servers a group at 4096: a change reads a few servers
  // again, and a pass looks at the events in a few waits of 64.
  static constexpr size_t kGroups = 256;
  struct Kept {
    size_t group = 0;
    bool valid = false;    // the result below is what a read gives now
    bool watched = false;  // record is watched (else kept from the first read, for the watch)
    kv::CRegKey server;    // watched for its record key appearing or going
    kv::CRegKey record;    // watched for the record changing
    LONG status = 0;       // ERROR_SUCCESS with bytes, or the record key's opening error
    DWORD capacity = 0;    // the caller's capacity at that read
    std::string bytes;
  };
  void Forget(size_t group);
  void ResetGroupEvents();
  // The group's event, made on first use (null if it cannot be made: the
  // watch then fails and the read goes to the registry).
  HANDLE GroupEvent(size_t group);
  LONG ReadWatched(const std::string& name, Kept& kept, void* buffer, DWORD* size);

  std::string m_table;
  std::string m_productKey;
  int m_productCode = -1;
  std::unordered_map<std::string, Kept> m_kept;
  kv::CHandle m_groupChanged[kGroups];  // made when a watch of the group is first set
  kv::CHandle m_tableChanged;           // servers added to or removed from the table
  kv::CRegKey m_tableKey;
};

// RolePrimary, RoleDistributed or RoleNone from the local record of server.
int QueryServerRole(const char* server);

// Opens the distributed-servers list key of machine for reading. On success
// keyOut holds the list key and rootOut the remote registry connection (left
// empty for the local machine, whose predefined root is never closed).
// machine: null or empty for the local machine; the computer name (exact
// bytes) also means the local machine, any other spelling goes remote.
LONG OpenDistributedList(kv::CRegKey& rootOut, kv::CRegKey& keyOut, const char* machine);
// RegEnumValueA of value index into nameOut (260 characters); 259 past the end.
LONG EnumDistributedList(HKEY key, DWORD index, char* nameOut);
// Every value name of an open list, whatever its length, in the registry's
// order. Stops at the first error other than the end of the list and
// returns it (namesOut then holds what came before); 0 at the end.
LONG ReadDistributedList(HKEY key, std::vector<std::string>& namesOut);
LONG CloseDistributedList(kv::CRegKey& root, kv::CRegKey& key);

// Adds (ListAdd), removes (ListRemove) a name or deletes the whole list
// (ListDelete) on machine.
LONG EditDistributedList(const char* machine, const char* name, int mode);

// The "BCastDelay" setting of the local machine in milliseconds, 350 when unset.
DWORD ReadBroadcastDelay();

// Reversible in-place scramble of a credential field (callers pass 24).
void ScrambleCredential(void* buffer, int length);

// Stores user and password in record's credential fields: each cut to 24
// bytes, NUL-padded and scrambled.
void StoreCredentials(RoleRecord& record, const std::string& user, const std::string& password);
// The plain credentials of a record whose read gave size bytes. A record
// shorter than 76 bytes has no whole credential fields (its missing bytes
// would unscramble into control characters): false, and both stay empty.
bool LoadCredentials(const RoleRecord& record, DWORD size, std::string& user, std::string& password);

// True when machine names this computer: absent, empty, or byte for byte
// the name GetComputerNameA returns.
bool IsLocalMachine(const char* machine);
