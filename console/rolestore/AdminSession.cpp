#include "AdminSession.h"

#include <cstring>

#include "App.h"
#include "Messages.h"
#include "ProductTypes.h"
#include "Remote.h"
#include "RoleStoreUser.h"
#include "RoleTables.h"
#include "Strings.h"
#include "resource.h"

namespace {

struct Credentials {
  std::string user;
  std::string password;
};

DWORD Connect(const std::string& name, const Credentials& credentials) {
  return AddAdminConnection(name, credentials.user, credentials.password);
}

// Asks for credentials over the ones given; false when cancelled.
bool AskCredentials(const char* host, Credentials& credentials) {
  return RoleStoreUser().AskCredentials(host, credentials.user, credentials.password);
}

void CopyOut(char* out, const std::string& text) {
  if (!out) return;
  size_t n = text.size() < kCredentialBufferSize - 1 ? text.size() : kCredentialBufferSize - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

}  // namespace

std::string AdminSessionName(const char* host, const char* share) {
  return kv::Format("\\\\%s\\%s", host ? host : "", share ? share : "");
}

std::string DefaultUserName() {
  char name[24] = {};
  DWORD length = sizeof(name);
  if (!::GetUserNameA(name, &length)) return "Administrator";
  return kv::FixedField(name, sizeof(name));
}

DWORD OpenAdminSession(const char* host, const char* share, char* userOut, char* passwordOut) {
  RoleRecord record{};
  DWORD size = sizeof(record);
  const bool stored =
      ReadLocalRoleRecord(host, kSanProductCode, &record, &size) == ERROR_SUCCESS && size == sizeof(record);
  return OpenAdminSessionWithRecord(host, share, stored ? &record : nullptr, userOut, passwordOut);
}

DWORD OpenAdminSessionWithRecord(const char* host, const char* share, const RoleRecord* stored, char* userOut,
                                 char* passwordOut) {
  kv::CWaitCursor wait;
  const std::string name = AdminSessionName(host, share);

  Credentials credentials;
  if (!stored || !LoadCredentials(*stored, sizeof(*stored), credentials.user, credentials.password)) {
    credentials.user = DefaultUserName();
    credentials.password.clear();
    if (!AskCredentials(host, credentials)) return SessionCancelled;
  }

  DWORD status = Connect(name, credentials);
  if (status == ERROR_SESSION_CREDENTIAL_CONFLICT) {
    // A session to the same server under other credentials: replace it.
    kvr::WNetCancelConnection2A(name.c_str(), 0, TRUE);
    status = Connect(name, credentials);
    if (status != ERROR_SUCCESS) return status;
  } else if (status != ERROR_SUCCESS) {
    // One prompt, one more attempt.
    std::string text = FormatResString(IDS_CONNECT_FAILED, host ? host : "");
    if (!RoleStoreUser().AskRetry(host, status, text, LoadResString(IDS_APP_TITLE))) return SessionCancelled;
    if (!AskCredentials(host, credentials)) return SessionCancelled;
    status = Connect(name, credentials);
    if (status != ERROR_SUCCESS) return status;
  }

  CopyOut(userOut, credentials.user);
  CopyOut(passwordOut, credentials.password);
  return ERROR_SUCCESS;
}

DWORD AddAdminConnection(const std::string& name, const std::string& user, const std::string& password) {
  NETRESOURCEA resource{};
  resource.dwScope = RESOURCE_GLOBALNET;
  resource.dwType = RESOURCETYPE_ANY;
  resource.dwDisplayType = 0;
  resource.dwUsage = RESOURCEUSAGE_CONNECTABLE;
  resource.lpRemoteName = const_cast<char*>(name.c_str());
  return kvr::WNetAddConnection2A(&resource, password.c_str(), user.c_str(), 0);
}

void CloseAdminSession(const char* host) { kvr::WNetCancelConnection2A(AdminSessionName(host).c_str(), 0, TRUE); }

kv::CNetConnection HoldAdminSession(const char* host) { return kvr::MakeNetConnection(AdminSessionName(host)); }
