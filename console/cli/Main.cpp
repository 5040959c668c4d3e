// kvroles: the SAN's roles from the command line. Lists what the console
// shows, audits the servers themselves, mends what is safe to mend, and runs
// the console's role transactions without a window.
// Exit status: 0 done, 1 failed or disagreements found, 2 bad command line,
// 3 (audit, repair) nothing disagrees but some servers could not be checked.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "AdminSession.h"
#include "Audit.h"
#include "Dunlin.h"
#include "Messages.h"
#include "ProgressLine.h"
#include "RoleChange.h"
#include "RoleTables.h"
#include "RolesCommands.h"
#include "RolesFile.h"
#include "ServerTable.h"
#include "Strings.h"
#include "TerminalUser.h"
#include "resource.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr int kDone = 0, kFailed = 1, kBadCommandLine = 2;
constexpr size_t kMaxCredentialLength = 23;  // what the credentials dialog accepts

const char kUsage[] =
    "usage: kvroles COMMAND [ARGS]\n"
    "  list [--json|--csv]              the servers as the console shows them, in its order\n"
    "  audit [--json]                   compare records and lists on the servers themselves\n"
    "  repair [--yes]                   mend stale list entries and missing members, then audit again\n"
    "  assign PRIMARY SERVER            make SERVER a distributed server of PRIMARY\n"
    "  remove PRIMARY SERVER            take SERVER, a distributed server of PRIMARY, out of its role\n"
    "  make-primary SERVER              make SERVER a primary server\n"
    "  delete-primary SERVER            take a primary without distributed servers out of its role\n"
    "  force-remove SERVER              clear SERVER's record, leaving its primary's list as it is\n"
    "  export [--json]                  the roles as the servers hold them (--json: a roles file)\n"
    "  plan FILE                        the role transactions that would make the roles as FILE says\n"
    "  apply FILE [--yes]               run them in order, asking before each unless --yes\n"
    "role commands, repair and apply take: --yes (accept the confirmations the console would ask for),\n"
    "  --user USER --password-file FILE (credentials for a server that has none stored)\n"
    "audit, repair, export, plan, apply and the role commands take: --credentials FILE\n"
    "  (lines \"SERVER USER PASSWORD\": credentials for the servers named that have none stored)\n"
    "exit status: 0 done, 1 failed or disagreements found (plan: something to do), 2 bad command line\n"
    "  or roles file, 3 nothing disagrees but some servers could not be checked (export: read)\n"
    "audit, repair, export, plan and apply take: --parallel N (servers read at once, 1 to 64;\n"
    "  default 16; on a console, how far the reading has come shows on standard error)\n";

int Usage(const std::string& problem) {
  if (!problem.empty()) PrintMessage(problem);
  std::fputs(kUsage, stderr);
  return kBadCommandLine;
}

struct Options {
  std::string command;
  std::vector<std::string> names;
  bool json = false, csv = false, yes = false;
  std::string user, passwordFile, credentialsFile;
  bool haveUser = false, havePasswordFile = false, haveCredentialsFile = false;
  unsigned parallel = kDefaultParallel;
  bool haveParallel = false;
};

// The first line of the file, without its line break. False when it cannot
// be read or is too long; the text itself is never printed.
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& problem) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    problem = "cannot read the password file " + path;
    return false;
  }
  std::getline(in, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.size() > kMaxCredentialLength) {
    problem = "the password in " + path + " is longer than 23 characters";
    password.clear();
    return false;
  }
  return true;
}

// Lines "SERVER USER PASSWORD" (the password is the rest of the line); blank
// lines and lines that start with # are skipped. Nothing of a line but its
// number is ever printed.
bool ReadCredentialsFile(const std::string& path, GivenCredentials& given, std::string& problem) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    problem = "cannot read the credentials file " + path;
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const char* blank = " \t";
    const size_t a = line.find_first_not_of(blank);
    if (a == std::string::npos || line[a] == '#') continue;
    const size_t b = line.find_first_of(blank, a);
    const size_t c = line.find_first_not_of(blank, b);
    const size_t d = line.find_first_of(blank, c);
    const size_t e = line.find_first_not_of(blank, d);
    const std::string where = "line " + std::to_string(number) + " of " + path + ": ";
    if (e == std::string::npos) {
      problem = where + "not SERVER USER PASSWORD";
      return false;
    }
    std::string server = line.substr(a, b - a);
    GivenCredentials::Pair pair{line.substr(c, d - c), line.substr(e)};
    for (char& ch : server) ch = static_cast<char>(::toupper(static_cast<unsigned char>(ch)));
    if (!ValidServerName(server))
      problem = where + "not a server name";
    else if (pair.user.size() > kMaxCredentialLength || pair.password.size() > kMaxCredentialLength)
      problem = where + "a user name or password longer than 23 characters";
    else if (!given.servers.emplace(server, pair).second)
      problem = where + server + " is named twice";
    if (!problem.empty()) return false;
  }
  return true;
}

// The credentials of the command line: --user/--password-file and --credentials.
bool LoadGivenCredentials(const Options& o, GivenCredentials& given, std::string& problem) {
  if (o.havePasswordFile) {
    if (!ReadPasswordFile(o.passwordFile, given.byDefault.password, problem)) return false;
    given.byDefault.user = o.user;
    given.haveDefault = true;
  }
  return !o.haveCredentialsFile || ReadCredentialsFile(o.credentialsFile, given, problem);
}

std::string Ipv4(const DiscoveryEntry& e) {
  return kv::Format("%u.%u.%u.%u", e.ipv4[0], e.ipv4[1], e.ipv4[2], e.ipv4[3]);
}

std::string Time(uint32_t seconds, const char* format) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (gmtime_s(&tm, &t) != 0) return "";
  char text[32] = "";
  std::strftime(text, sizeof(text), format, &tm);
  return text;
}

const char* RoleKey(TableRole role) {
  switch (role) {
    case TableRole::Primary:
      return "primary";
    case TableRole::Distributed:
      return "distributed";
    case TableRole::None:
      return "none";
    case TableRole::KnownFromMembers:
      return "known-from-members";
    case TableRole::Damaged:
      return "damaged-record";
  }
  return "";
}

// A name from the SAN as text for the terminal: control bytes as \xNN.
std::string Shown(const std::string& text) { return kv::EscapeControlBytes(text); }

// Names are in the ANSI code page; JSON is UTF-8.
Json Utf8(const std::string& text) { return Json(AnsiToUtf8(text)); }

Json Utf8OrNull(const std::string& text) { return text.empty() ? Json() : Utf8(text); }

std::string CsvField(const std::string& raw) {
  const std::string text = Shown(raw);
  if (text.find_first_of(",\"") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

int List(const Options& o) {
  if (::DiscoveryAttach(0) != 0) {
    PrintMessage("the local discovery table cannot be opened");
    return kFailed;
  }
  const std::vector<TableRow> rows = ReadServerTable();
  ::DiscoveryDetach();
  if (o.json) {
    Json out = Json::array();
    for (const TableRow& r : rows) {
      Json row;
      row["server"] = Utf8(r.name);
      row["domain"] = r.hasEntry ? Utf8(kv::FixedField(r.entry.domainName, sizeof(r.entry.domainName))) : Json();
      row["type"] = r.hasEntry ? Json(r.entry.serverType) : Json();
      row["ipv4"] = r.hasEntry ? Json(Ipv4(r.entry)) : Json();
      row["lastRespond"] = r.hasEntry ? Json(Time(r.entry.lastRespondTime, "%Y-%m-%dT%H:%M:%SZ")) : Json();
      row["role"] = RoleKey(r.role);
      row["primary"] = r.role == TableRole::Distributed ? Utf8(r.primary) : Json();
      out.push_back(row);
    }
    Emit(out.dump(2) + "\n");
    return kDone;
  }
  if (o.csv) {
    std::string text = "server,domain,type,ipv4,lastRespond,role,primary\n";
    for (const TableRow& r : rows) {
      std::string line = CsvField(r.name) + ",";
      if (r.hasEntry)
        line += CsvField(kv::FixedField(r.entry.domainName, sizeof(r.entry.domainName))) + "," +
                std::to_string(r.entry.serverType) + "," + Ipv4(r.entry) + "," +
                Time(r.entry.lastRespondTime, "%Y-%m-%dT%H:%M:%SZ");
      else
        line += ",,,";
      line += std::string(",") + RoleKey(r.role) + "," + CsvField(r.role == TableRole::Distributed ? r.primary : "");
      text += line + "\n";
    }
    Emit(text);
    return kDone;
  }
  std::string text =
      kv::Format("%-18s %-16s %-5s %-15s %-20s %s\n", "SERVER", "DOMAIN", "TYPE", "IPV4", "LAST RESPOND (UTC)", "ROLE");
  for (const TableRow& r : rows) {
    std::string name = Shown((r.role == TableRole::Distributed ? "  " : "") + r.name);
    std::string role = Shown(r.role == TableRole::Distributed ? "distributed of " + r.primary : TableRoleName(r.role));
    if (r.hasEntry)
      text += kv::Format("%-18s %-16s %-5u %-15s %-20s %s\n", name.c_str(),
                         Shown(kv::FixedField(r.entry.domainName, sizeof(r.entry.domainName))).c_str(),
                         static_cast<unsigned>(r.entry.serverType), Ipv4(r.entry).c_str(),
                         Time(r.entry.lastRespondTime, "%Y-%m-%d %H:%M:%S").c_str(), role.c_str());
    else
      text += kv::Format("%-18s %-16s %-5s %-15s %-20s %s\n", name.c_str(), "-", "-", "-", "-", role.c_str());
  }
  Emit(text);
  return kDone;
}

void PrintReport(const AuditReport& report, bool json) {
  if (json) {
    Json out;
    out["checked"] = Json::array();
    for (const std::string& name : report.checked) out["checked"].push_back(Utf8(name));
    out["notChecked"] = Json::array();
    for (const AuditSkip& s : report.notChecked)
      out["notChecked"].push_back({{"server", Utf8(s.server)}, {"reason", Utf8(s.reason)}});
    out["disagreements"] = Json::array();
    for (const AuditFinding& f : report.findings)
      out["disagreements"].push_back({{"kind", f.kind},
                                      {"server", Utf8(f.server)},
                                      {"primary", Utf8OrNull(f.primary)},
                                      {"text", Utf8(f.text)},
                                      {"cause", Utf8OrNull(f.cause)},
                                      {"repairable", f.repairable}});
    out["exitStatus"] = report.ExitStatus();
    Emit(out.dump(2) + "\n");
    return;
  }
  for (const AuditSkip& s : report.notChecked) PrintLine("not checked: " + s.server + ": " + s.reason);
  for (const AuditFinding& f : report.findings) {
    std::string line = f.text;
    if (!f.cause.empty()) line += " [" + f.cause + "]";
    PrintLine(f.kind + ": " + line);
  }
  std::printf("audit: %zu servers checked, %zu not checked, %zu disagreements\n", report.checked.size(),
              report.notChecked.size(), report.findings.size());
  std::fflush(stdout);
}

// The audit of the SAN, with its progress on a console.
AuditReport AuditWithProgress(const Options& o, const GivenCredentials& given) {
  CProgressLine line("audit");
  if (!line.Shown()) return RunAudit(given, o.parallel);
  return RunAudit(given, o.parallel, [&line](const ReadingProgress& p) { line.Update(p); });
}

int Audit(const Options& o, const GivenCredentials& given) {
  AuditReport report = AuditWithProgress(o, given);
  PrintReport(report, o.json);
  return report.ExitStatus();
}

int Repair(const Options& o, const GivenCredentials& given) {
  AuditReport before = AuditWithProgress(o, given);
  bool failed = false;
  size_t changes = 0;
  for (const AuditFinding& f : before.findings) {
    if (!f.repairable) continue;
    const std::string change = RepairText(f);
    if (!o.yes && !AskYes(Shown(change))) {
      PrintLine("skipped: " + change);
      continue;
    }
    std::string reason;
    DWORD status = RepairFinding(f, given, reason);
    if (status == ERROR_SUCCESS) {
      PrintLine("done: " + change);
      ++changes;
    } else {
      failed = true;
      PrintLine("failed: " + change + ": " + (reason.empty() ? OneLine(SystemErrorText(status)) : reason));
    }
    std::fflush(stdout);
  }
  if (changes == 0 && !failed)
    std::printf("repair: nothing to change%s\n", before.notChecked.empty() ? "" : " on the servers checked");
  AuditReport after = AuditWithProgress(o, given);
  PrintReport(after, false);
  // What is left unverified, and what would verify it.
  for (const AuditSkip& s : after.notChecked) {
    std::printf("repair: %s could not be checked, so what names it is not verified: ", s.server.c_str());
    if (s.credentials)
      std::printf(
          "give its credentials (--credentials FILE with a line \"%s USER PASSWORD\", or --user and "
          "--password-file), or store them with the console's Security command\n",
          s.server.c_str());
    else
      std::printf("run repair again when it can be reached\n");
  }
  return failed ? kFailed : after.ExitStatus();
}

// The console's views, for the checks a role command makes before it runs:
// the command acts on what the console would let the user select.
const TableRow* FindRow(const std::vector<TableRow>& rows, const std::string& name, bool root) {
  for (const TableRow& r : rows) {
    bool isRoot = r.role == TableRole::Primary || r.role == TableRole::KnownFromMembers;
    if (r.name == name && (!root || isRoot)) return &r;
  }
  return nullptr;
}

bool HasMembers(const std::vector<TableRow>& rows, const std::string& primary) {
  for (const TableRow& r : rows)
    if (r.role == TableRole::Distributed && r.primary == primary) return true;
  return false;
}

// Checks that the command makes sense on the table; prints why not.
bool CheckSelection(const Options& o, const std::vector<TableRow>& rows) {
  const std::string& a = o.names[0];
  auto refuse = [](const std::string& why) {
    PrintMessage(why);
    return false;
  };
  if (o.command == "assign") {
    const std::string& s = o.names[1];
    if (!FindRow(rows, a, true)) return refuse(a + " is not a primary server in the discovery table");
    if (!FindRow(rows, s, false)) return refuse(s + " is not in the discovery table");
    if (a == s) return refuse("a server cannot be a distributed server of itself");
    return true;
  }
  if (o.command == "remove" || o.command == "force-remove") {
    const std::string& s = o.command == "remove" ? o.names[1] : a;
    for (const TableRow& r : rows) {
      if (r.role == TableRole::Distributed && r.name == s && (o.command == "force-remove" || r.primary == a))
        return true;
      // Force to Remove is the way to clear a damaged record.
      if (r.role == TableRole::Damaged && r.name == s && o.command == "force-remove") return true;
    }
    return refuse(o.command == "remove" ? s + " is not a distributed server of " + a
                                        : s + " is not a distributed server");
  }
  if (o.command == "make-primary") {
    if (!FindRow(rows, a, false)) return refuse(a + " is not in the discovery table");
    return true;
  }
  // delete-primary: the console offers it for a primary without members.
  if (!FindRow(rows, a, true)) return refuse(a + " is not a primary server");
  if (HasMembers(rows, a)) return refuse(a + " still has distributed servers: remove them first");
  return true;
}

int RoleCommand(const Options& o, const GivenCredentials& given) {
  if (::DiscoveryAttach(0) != 0) {
    PrintMessage("the local discovery table cannot be opened");
    return kFailed;
  }
  struct Detach {
    ~Detach() { ::DiscoveryDetach(); }
  } detach;
  if (!CheckSelection(o, ReadServerTable())) return kFailed;

  CTerminalUser user(o.yes, given);
  CScopedRoleStoreUser face(user);
  RoleChange change;
  change.server = o.names.back();
  if (o.names.size() > 1) change.primary = o.names[0];
  change.op = o.command == "assign"           ? RoleOp::Assign
              : o.command == "remove"         ? RoleOp::Remove
              : o.command == "make-primary"   ? RoleOp::MakePrimary
              : o.command == "delete-primary" ? RoleOp::DeletePrimary
                                              : RoleOp::ForceRemove;
  ChangeResult result = ChangeResult::Cancelled;
  // The console asks before it forces the removal.
  if (change.op != RoleOp::ForceRemove ||
      user.Confirm(FormatResString(IDS_FORCE_REMOVE_QUESTION, change.server), LoadResString(IDS_FORCE_REMOVE_CAPTION)))
    result = RunRoleChange(change);
  if (result == ChangeResult::Cancelled) {
    PrintMessage(o.command + " cancelled: nothing was changed");
    return kFailed;
  }
  if (result == ChangeResult::Failed) return kFailed;  // the transaction has said why
  if (result == ChangeResult::NotShown) {
    PrintMessage("the change was made on the servers, but the local table does not show it yet");
    return kFailed;
  }
  PrintLine(DoneText(change));
  return kDone;
}

int ParseOptions(int argc, char** argv, Options& o) {
  if (argc < 2) return Usage("");
  o.command = argv[1];
  if (argc == 2 && (o.command == "--help" || o.command == "-h" || o.command == "help")) {
    std::fputs(kUsage, stdout);  // asked for: the usage is the output
    return kDone;
  }
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--json") {
      o.json = true;
    } else if (arg == "--csv") {
      o.csv = true;
    } else if (arg == "--yes") {
      o.yes = true;
    } else if (arg == "--user" || arg == "--password-file" || arg == "--credentials") {
      if (i + 1 >= argc) return Usage(arg + " needs a value");
      (arg == "--user" ? o.user : arg == "--password-file" ? o.passwordFile : o.credentialsFile) = argv[++i];
      (arg == "--user" ? o.haveUser : arg == "--password-file" ? o.havePasswordFile : o.haveCredentialsFile) = true;
    } else if (arg == "--parallel") {
      const char* value = i + 1 < argc ? argv[++i] : "";
      char* end = nullptr;
      const unsigned long n = std::strtoul(value, &end, 10);
      if (!std::isdigit(static_cast<unsigned char>(value[0])) || *end || n < 1 || n > kMaxParallel)
        return Usage("--parallel needs a number from 1 to " + std::to_string(kMaxParallel));
      o.parallel = static_cast<unsigned>(n);
      o.haveParallel = true;
    } else if (arg.rfind("--", 0) == 0) {
      return Usage("unknown option " + arg);
    } else {
      o.names.push_back(arg);
    }
  }
  struct Shape {
    const char* command;
    size_t names;
    bool json, csv, yes, credentials;
  };
  static const Shape kShapes[] = {
      {"list", 0, true, true, false, false},           {"audit", 0, true, false, false, false},
      {"repair", 0, false, false, true, true},         {"assign", 2, false, false, true, true},
      {"remove", 2, false, false, true, true},         {"make-primary", 1, false, false, true, true},
      {"delete-primary", 1, false, false, true, true}, {"force-remove", 1, false, false, true, true},
      {"export", 0, true, false, false, false},        {"plan", 1, false, false, false, false},
      {"apply", 1, false, false, true, true},
  };
  const Shape* shape = nullptr;
  for (const Shape& s : kShapes)
    if (o.command == s.command) shape = &s;
  if (!shape) return Usage("unknown command " + o.command);
  if (o.names.size() != shape->names) return Usage(o.command + " takes " + std::to_string(shape->names) + " names");
  if ((o.json && !shape->json) || (o.csv && !shape->csv) || (o.json && o.csv))
    return Usage("no such output format for " + o.command);
  if (o.yes && !shape->yes) return Usage("--yes does not apply to " + o.command);
  if ((o.haveUser || o.havePasswordFile) && !shape->credentials)
    return Usage("credentials do not apply to " + o.command);
  if (o.haveCredentialsFile && o.command == "list") return Usage("credentials do not apply to list");
  const bool reads = o.command == "audit" || o.command == "repair" || o.command == "export" || o.command == "plan" ||
                     o.command == "apply";
  if (o.haveParallel && !reads) return Usage("--parallel does not apply to " + o.command);
  if (o.haveUser != o.havePasswordFile) return Usage("--user and --password-file go together");
  if (o.haveUser && (o.user.empty() || o.user.size() > kMaxCredentialLength))
    return Usage("the user name must have 1 to 23 characters");
  const bool takesFile = o.command == "plan" || o.command == "apply";
  for (const std::string& name : o.names)
    if (!takesFile && !ValidServerName(name)) return Usage("not a server name: " + name);
  return -1;
}

}  // namespace

static int Run(int argc, char** argv) {
  Options o;
  int status = ParseOptions(argc, argv, o);
  if (status >= 0) return status;
  GivenCredentials given;
  std::string problem;
  if (!LoadGivenCredentials(o, given, problem)) return Usage(problem);
  // The roots of the registry tables, as the console loads them at start.
  if (!LoadDiscoveryTableRoot()) {
    PrintMessage(LoadResString(IDS_NO_DISCOVERY_TABLE));
    return kFailed;
  }
  if (!LoadProductRoot()) {
    PrintMessage(LoadResString(IDS_NO_PRODUCT_ROOT));
    return kFailed;
  }
  // No part of the role store may open a window here, whatever it asks.
  const GivenCredentials none;
  CTerminalUser refuseAll(false, none);
  CScopedRoleStoreUser face(refuseAll);
  if (o.command == "list") return List(o);
  if (o.command == "audit") return Audit(o, given);
  if (o.command == "repair") return Repair(o, given);
  if (o.command == "export") return ExportRoles(o.json, given, o.parallel);
  if (o.command == "plan") return PlanRoles(o.names[0], given, o.parallel);
  if (o.command == "apply") return ApplyRoles(o.names[0], o.yes, given, o.parallel);
  return RoleCommand(o, given);
}

int main(int argc, char** argv) {
  // Whatever goes wrong unexpectedly is a failure, never a success-like status.
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    PrintMessage(std::string("unexpected error: ") + e.what());
  } catch (...) {
    PrintMessage("unexpected error");
  }
  return kFailed;
}
