// The administrative session: an authenticated connection to a server's
// "ipc$" share, opened before any remote registry, discovery-data or service
// access to that server. The connection belongs to the user's logon and
// outlives the call; whoever opened it closes it (CloseAdminSession, or an
// owner from HoldAdminSession).
#pragma once

#include <windows.h>

#include <string>

#include "Handles.h"
#include "ProductTypes.h"

// Status of an operation the user cancelled (nothing is shown for it).
inline constexpr DWORD SessionCancelled = 1002;
inline constexpr size_t kCredentialBufferSize = 64;

// "\\host\share".
std::string AdminSessionName(const char* host, const char* share = "ipc$");

// Connects to \\host\share with the credentials stored in host's role
// record, or asks for them (CLogonPromptDlg). Returns 0, SessionCancelled,
// or the status of the last connection attempt (the caller shows it).
// userOut/passwordOut: optional 64-byte buffers that receive the
// credentials of the connection made (on 0 only).
DWORD OpenAdminSession(const char* host, const char* share, char* userOut, char* passwordOut);

// OpenAdminSession for a caller that has read host's record from the local
// table already: stored is that record (76 bytes) whose credentials are used,
// or null when the table holds none.
DWORD OpenAdminSessionWithRecord(const char* host, const char* share, const RoleRecord* stored, char* userOut,
                                 char* passwordOut);

// Cancels the session to host (forced; the result is not looked at).
void CloseAdminSession(const char* host);

// One WNetAddConnection2A to name ("\\host\share") with these credentials,
// no local name, flags 0; its status as it comes (nothing is shown).
DWORD AddAdminConnection(const std::string& name, const std::string& user, const std::string& password);

// An owner that closes the session to host when it goes out of scope; take
// it right after OpenAdminSession succeeded.
kv::CNetConnection HoldAdminSession(const char* host);

// The name of the account running the program (at most 23 characters), or
// "Administrator" when it cannot be read.
std::string DefaultUserName();
