// Reading the SAN's roles on the servers themselves: every server's role
// record and distributed-servers list as the server holds it, beside the
// local table's copy of its record. The audit judges what this reads; other
// commands may take the readings as they are.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "Handles.h"
#include "ProductTypes.h"
#include "TerminalUser.h"

// What was read on one server; read false (with a reason) when the server
// could not be read, so that nothing below but the local copy is known.
struct ServerReading {
  std::string server;
  bool read = false;
  std::string reason;
  bool credentials = false;  // the reason is about credentials: none stored, or refused
  bool hasRecord = false;    // a well-formed record
  std::string damage;        // what is wrong with a damaged record; empty when none is
  RoleRecord record{};
  bool hasList = false;
  std::vector<std::string> list;
  bool hasLocal = false;  // the local table holds a whole record
  RoleRecord local{};
  std::string localDamage;  // what is wrong with the local table's copy
};

inline constexpr unsigned kDefaultParallel = 16;
inline constexpr unsigned kMaxParallel = 64;

// How far a reading has come: servers read of those known so far (the walk
// finds more as it goes), and how many of them could not be read.
struct ReadingProgress {
  size_t done = 0, known = 0, notRead = 0;
};
using ProgressFunction = std::function<void(const ReadingProgress&)>;

// Starts from every primary and distributed server of the local table and
// follows the names found in lists and records, in that order (the order of
// the result). Up to parallel servers are read at once, each by one worker
// with its own session; the result is the same whatever parallel is, and 1
// reads one server after another on the calling thread. Sessions are opened
// with stored credentials, or the given ones for a server without (never
// asking anyone); a server without either is read with the rights already
// in force. progress, when given, is called on the calling thread at the
// start and the end, and every quarter second between (after each server
// when they are read one after another).
std::vector<ServerReading> ReadSanServers(const GivenCredentials& given, unsigned parallel = kDefaultParallel,
                                          const ProgressFunction& progress = {});

// Opens a session to server as the reading does (the credentials of stored,
// the whole record the local table holds, when there is one; else the given
// ones; else none is needed while the table holds no record of it: hasLocal
// false). False with a reason when the credentials do not reach it. user is
// the face installed for the call, shared by every thread that reads.
bool ReachServer(const std::string& server, bool hasLocal, const RoleRecord* stored, const GivenCredentials& given,
                 CSilentUser& user, kv::CNetConnection& held, std::string& reason, bool& credentials);

// The primary name of a record.
std::string PrimaryOf(const RoleRecord& record);
