#include "Transactions.h"

#include <atomic>
#include <cstring>

#include "AdminSession.h"
#include "App.h"
#include "DiscoveryService.h"
#include "Dunlin.h"
#include "MessageBox.h"
#include "Messages.h"
#include "ProductTypes.h"
#include "RoleStoreUser.h"
#include "RoleTables.h"
#include "Strings.h"
#include "resource.h"

namespace {

constexpr unsigned long long kWaitLimitMs = 60000;

std::atomic<ConfirmationSleepFunction> g_sleep{nullptr};

std::string FailureCaption() { return LoadResString(IDS_FAILED_TRANSACTION); }

void ShowFailure(DWORD status) { RoleStoreUser().ReportFailure(FailureCaption(), status); }

// Opens the session to host and takes ownership of it, so that every exit of
// the transaction closes it. A status other than cancel is shown here.
DWORD OpenSession(const char* host, kv::CNetConnection& held, char* userOut = nullptr, char* passwordOut = nullptr) {
  DWORD status = OpenAdminSession(host, "ipc$", userOut, passwordOut);
  if (status == ERROR_SUCCESS) {
    held = HoldAdminSession(host);
  } else if (status != SessionCancelled) {
    ShowFailure(status);
  }
  return status;
}

// A zeroed record naming primary, with the session's credentials scrambled in.
RoleRecord BuildRecord(const char* primary, uint32_t distributed, const char* user, const char* password) {
  RoleRecord record{};
  std::strncpy(record.primaryName, primary, sizeof(record.primaryName) - 1);
  record.distributed = distributed;
  StoreCredentials(record, user, password);
  return record;
}

DWORD ReadRecord(const char* server, RoleRecord& record, DWORD& size) {
  record = RoleRecord{};
  size = sizeof(record);
  return static_cast<DWORD>(::ReadRoleRecord(server, kSanProductCode, &record, &size));
}

// Reads server's record and judges it; statusOut gets the read's status.
RecordState ReadCheckedRecord(const char* server, RoleRecord& record, DWORD& size, DWORD* statusOut = nullptr) {
  DWORD status = ReadRecord(server, record, size);
  if (statusOut) *statusOut = status;
  return CheckRoleRecord(static_cast<LONG>(status), &record, size);
}

// A damaged record hides the server's role, and with it the primary whose
// list may still name the server: a command that would replace or clear it
// changes nothing and says why.
DWORD RefuseDamagedRecord(const char* server) {
  RoleStoreUser().Warn(nullptr, FormatResString(IDS_RECORD_DAMAGED, server), FailureCaption());
  return ERROR_INVALID_DATA;
}

// Reads the record that Assign or Make Primary is about to replace. A
// damaged record, or one that cannot be read at all (no rights, the network
// gone), ends the command with its message: that is not the same as no
// record, and overwriting it could leave a list naming the server.
DWORD ReadRecordToReplace(const char* server, RoleRecord& old, RecordState& state) {
  DWORD size = 0, status = ERROR_SUCCESS;
  state = ReadCheckedRecord(server, old, size, &status);
  if (state == RecordState::Damaged) return RefuseDamagedRecord(server);
  if (state == RecordState::None && status != ERROR_FILE_NOT_FOUND) {
    ShowFailure(status);
    return status;
  }
  return ERROR_SUCCESS;
}

DWORD WriteRecord(const char* server, const RoleRecord& record, DWORD size = sizeof(RoleRecord)) {
  return static_cast<DWORD>(::WriteRoleRecord(server, kSanProductCode, &record, &size));
}

DWORD ClearRecord(const char* server) {
  DWORD size = 0;
  return static_cast<DWORD>(::WriteRoleRecord(server, kSanProductCode, nullptr, &size));
}

// The primary name of a record (at most 24 characters, up to the first NUL).
std::string PrimaryOf(const RoleRecord& record) {
  return kv::FixedField(record.primaryName, sizeof(record.primaryName));
}

// Asks before overriding server's existing role; true on OK.
bool ConfirmOverride(const char* server, const RoleRecord& record) {
  const std::string primary = PrimaryOf(record);
  std::string text;
  if (primary == server) {
    text = kv::Format("%s %s\n%s", primary.c_str(), LoadResString(IDS_ALREADY_PRIMARY).c_str(),
                      LoadResString(IDS_PRESS_OK_TO_PROCEED).c_str());
  } else {
    text = kv::Format("%s %s to %s\n%s", server, LoadResString(IDS_ALREADY_ASSIGNED).c_str(), primary.c_str(),
                      LoadResString(IDS_PRESS_OK_TO_PROCEED).c_str());
  }
  return RoleStoreUser().Confirm(text, FailureCaption());
}

// The previous primary that a record names, when it names one other than
// server. A record with an empty primary name names none: an empty machine
// name would otherwise mean this machine's own list.
bool NamesOtherPrimary(const char* server, const RoleRecord& record, std::string& primaryOut) {
  primaryOut = PrimaryOf(record);
  return !primaryOut.empty() && primaryOut != server;
}

}  // namespace

DWORD AddToDistributedList(const char* primary, const char* server) {
  DWORD status = static_cast<DWORD>(EditDistributedList(primary, server, ListAdd));
  if (status != ERROR_SUCCESS) ShowFailure(status);
  return status;
}

DWORD RemoveFromDistributedList(const char* primary, const char* server) {
  DWORD status = static_cast<DWORD>(EditDistributedList(primary, server, ListRemove));
  if (status == ERROR_SUCCESS) return 0;
  // Only a primary that holds no record any more is gone; a read that fails
  // otherwise (no rights, unreachable, damaged record) leaves the server in
  // a list that still counts, so the list's failure stands.
  RoleRecord record{};
  DWORD size = 0;
  if (ReadRecord(primary, record, size) == ERROR_FILE_NOT_FOUND) return 0;
  ShowFailure(status);
  return status;
}

DWORD AssignDistributed(const char* primary, const char* server) {
  kv::CWaitCursor wait;
  char user[kCredentialBufferSize] = {}, password[kCredentialBufferSize] = {};
  kv::CNetConnection serverSession, primarySession;
  DWORD status = OpenSession(server, serverSession, user, password);
  if (status != ERROR_SUCCESS) return status;
  status = OpenSession(primary, primarySession);
  if (status != ERROR_SUCCESS) return status;
  const RoleRecord fresh = BuildRecord(primary, 1, user, password);

  RoleRecord old{};
  RecordState oldState = RecordState::None;
  status = ReadRecordToReplace(server, old, oldState);
  if (status != ERROR_SUCCESS) return status;
  if (oldState == RecordState::Valid) {
    if (!ConfirmOverride(server, old)) return SessionCancelled;
    // The previous primary's list is reached over a session of its own, as
    // Make Primary does, unless it is the new primary, whose session (named
    // without regard to case, as connections are) is already open.
    std::string previous;
    if (NamesOtherPrimary(server, old, previous)) {
      kv::CNetConnection previousSession;
      if (::lstrcmpiA(previous.c_str(), primary) != 0) {
        status = OpenSession(previous.c_str(), previousSession);
        if (status != ERROR_SUCCESS) return status;
      }
      if (RemoveFromDistributedList(previous.c_str(), server) != 0) return ERROR_FILE_NOT_FOUND;
    }
  }

  status = WriteRecord(server, fresh);
  if (status != ERROR_SUCCESS) {
    ShowFailure(status);
    return status;
  }
  status = AddToDistributedList(primary, server);
  if (status != ERROR_SUCCESS) {
    ClearRecord(server);  // single attempt; a removal from a previous list stays
    return status;
  }
  return 0;
}

DWORD RemoveDistributed(const char* primary, const char* server) {
  kv::CWaitCursor wait;
  kv::CNetConnection serverSession, primarySession;
  DWORD status = OpenSession(server, serverSession);
  if (status != ERROR_SUCCESS) return status;
  status = OpenSession(primary, primarySession);
  if (status != ERROR_SUCCESS) return status;

  RoleRecord old{};
  DWORD size = 0;
  const RecordState oldState = ReadCheckedRecord(server, old, size, &status);
  if (oldState == RecordState::Damaged) return RefuseDamagedRecord(server);
  if (oldState == RecordState::None) {
    ShowFailure(status);
    return status;
  }
  status = ClearRecord(server);
  if (status != ERROR_SUCCESS) {
    ShowFailure(status);
    return status;
  }
  status = RemoveFromDistributedList(primary, server);
  if (status != ERROR_SUCCESS) {
    WriteRecord(server, old, size);  // put the role back; best effort
    return status;
  }
  return 0;
}

DWORD ForceRemoveDistributed(const char* server) {
  kv::CWaitCursor wait;
  kv::CNetConnection serverSession;
  DWORD status = OpenSession(server, serverSession);
  if (status != ERROR_SUCCESS) return status;
  // A damaged record is cleared too: that is the way to be rid of one.
  RoleRecord old{};
  DWORD size = 0;
  if (ReadCheckedRecord(server, old, size, &status) != RecordState::None) status = ClearRecord(server);
  if (status != ERROR_SUCCESS) ShowFailure(status);
  return status;
}

DWORD MakePrimary(const char* server) {
  kv::CWaitCursor wait;
  char user[kCredentialBufferSize] = {}, password[kCredentialBufferSize] = {};
  kv::CNetConnection serverSession;
  DWORD status = OpenSession(server, serverSession, user, password);
  if (status != ERROR_SUCCESS) return status;
  const RoleRecord fresh = BuildRecord(server, 0, user, password);

  RoleRecord old{};
  RecordState oldState = RecordState::None;
  status = ReadRecordToReplace(server, old, oldState);
  if (status != ERROR_SUCCESS) return status;
  if (oldState == RecordState::Valid) {
    if (!ConfirmOverride(server, old)) return SessionCancelled;
    std::string previous;
    if (NamesOtherPrimary(server, old, previous)) {
      kv::CNetConnection previousSession;
      status = OpenSession(previous.c_str(), previousSession);
      if (status != ERROR_SUCCESS) return status;
      if (RemoveFromDistributedList(previous.c_str(), server) != 0) {
        previousSession.Cancel();
        serverSession.Cancel();
        RoleStoreUser().Warn(nullptr, LoadResString(IDS_COULD_NOT_DETACH), FailureCaption());
        return ERROR_FILE_NOT_FOUND;
      }
    }
  }

  status = WriteRecord(server, fresh);
  if (status != ERROR_SUCCESS) ShowFailure(status);
  return status;
}

DWORD DeletePrimary(const char* server) {
  kv::CWaitCursor wait;
  kv::CNetConnection serverSession;
  DWORD status = OpenSession(server, serverSession);
  if (status != ERROR_SUCCESS) return status;
  status = ClearRecord(server);
  if (status != ERROR_SUCCESS) {
    ShowFailure(status);
    return status;
  }
  // The record is gone either way; a list that could not be deleted stays
  // on a server that is no longer a primary, which the user must hear of
  // rather than be told it went through.
  status = static_cast<DWORD>(EditDistributedList(server, nullptr, ListDelete));
  if (status != ERROR_SUCCESS) ShowFailure(status);
  return status;
}

bool ConfirmationWait(HWND owner, const char* server, const ExpectedState& state) {
  {
    kv::CWaitCursor wait;
    const DWORD delay = ReadBroadcastDelay();
    int tries = CountBroadcastPeers();
    if (tries > 0) {
      ConfirmationSleepFunction sleep = g_sleep.load();
      if (!sleep) sleep = &::Sleep;
      // 64 bits: any delay the setting holds adds up without wrapping.
      unsigned long long elapsed = 0;
      for (;;) {
        // One sleep never outlasts the wait's limit: a damaged setting (up to
        // 0xFFFFFFFF, INFINITE) must not hang the console. The elapsed count
        // still adds the setting's delay, so the number of reads is unchanged.
        sleep(delay < kWaitLimitMs ? delay : static_cast<DWORD>(kWaitLimitMs));
        RoleRecord record{};
        DWORD size = sizeof(record);
        LONG status = ReadLocalRoleRecord(server, kSanProductCode, &record, &size);
        std::string primary;
        const RecordState shown = CheckRoleRecord(status, &record, size, &primary);
        if (state.kind == ExpectedState::NamesPrimary) {
          if (shown == RecordState::Valid && primary == state.primary) return true;
        } else if (shown == RecordState::None) {
          return true;
        }
        if (elapsed > kWaitLimitMs) break;
        --tries;
        elapsed += delay;
        if (tries == 0) break;
      }
    }
  }
  RoleStoreUser().Warn(owner, FormatResString(IDS_TABLE_NOT_UPDATED, server), FailureCaption());
  return false;
}

ConfirmationSleepFunction SetConfirmationSleepForTest(ConfirmationSleepFunction function) {
  return g_sleep.exchange(function);
}
