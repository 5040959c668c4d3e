#include "RolesCommands.h"

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "Audit.h"
#include "Dunlin.h"
#include "RoleChange.h"
#include "RoleTables.h"
#include "RolesFile.h"
#include "ServerTable.h"
#include "Strings.h"

namespace {

constexpr int kDone = 0, kFailed = 1, kBadFile = 2, kNotAllRead = 3;

std::string Count(size_t n, const std::string& thing) { return std::to_string(n) + " " + thing + (n == 1 ? "" : "s"); }

// The local discovery table stays attached while a command runs, as the
// console keeps it while its window is open.
struct AttachedTable {
  bool ok = ::DiscoveryAttach(0) == 0;
  ~AttachedTable() {
    if (ok) ::DiscoveryDetach();
  }
};

// The file, checked; false after saying what is wrong and where.
bool LoadRolesFile(const std::string& path, RolesFile& file) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) {
    PrintMessage("cannot read the roles file " + path);
    return false;
  }
  std::vector<std::string> names;
  for (const TableRow& row : ReadServerTable()) names.push_back(row.name);
  std::string problem;
  if (ParseRolesFileText(text.str(), names, file, problem)) return true;
  PrintMessage(path + ": " + problem + "; nothing was changed");
  return false;
}

SanRoles ReadSan(const GivenCredentials& given, unsigned parallel, size_t* disagreements = nullptr) {
  const std::vector<ServerReading> readings = ReadSanServers(given, parallel);
  if (disagreements) *disagreements = JudgeReadings(readings).findings.size();
  return RolesFromReads(readings);
}

// The plan as plan shows it and apply starts with.
void PrintPlan(const RolePlan& plan, const std::string& path, size_t disagreements) {
  for (const std::string& note : plan.notes) PrintLine("note: " + note);
  if (disagreements)
    PrintLine("note: kvroles audit finds " + Count(disagreements, "disagreement") +
              " between records and lists; neither plan nor apply mends them (repair does)");
  for (const std::string& why : plan.blocked) PrintLine("cannot be done: " + why);
  if (plan.steps.empty() && plan.blocked.empty()) {
    PrintLine("plan: the SAN's roles are as " + path + " says: nothing to do");
    return;
  }
  if (plan.steps.empty()) {
    PrintLine("plan: no transactions: what cannot be done is named above");
    return;
  }
  PrintLine("plan: " + Count(plan.steps.size(), "transaction") +
            (plan.blocked.empty() ? ":" : " (apply runs none while what cannot be done is named above):"));
  for (size_t i = 0; i < plan.steps.size(); ++i)
    PrintLine("  " + std::to_string(i + 1) + ". " + CommandText(plan.steps[i].change) + ": " + plan.steps[i].reason);
  std::fflush(stdout);
}

// Delete Primary clears a server's record, and with it the credentials the
// local table stored for it: a later Assign of that server reaches it with
// those, as given ones, unless some were given for it by name.
void CarryStoredCredentials(const std::string& server, GivenCredentials& given) {
  std::string key = server;
  for (char& c : key) c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
  if (given.servers.count(key)) return;
  RoleRecord record{};
  DWORD size = sizeof(record);
  GivenCredentials::Pair pair;
  if (ReadLocalRoleRecord(server.c_str(), kSanProductCode, &record, &size) == ERROR_SUCCESS &&
      LoadCredentials(record, size, pair.user, pair.password))
    given.servers[key] = pair;
}

}  // namespace

int ExportRoles(bool json, const GivenCredentials& given, unsigned parallel) {
  AttachedTable table;
  const SanRoles san = ReadSan(given, parallel);
  const RolesFile file = RolesFileOf(san);
  auto why = [&](const std::string& server) {
    auto it = san.unknown.find(server);
    if (it != san.unknown.end()) return it->second;
    return "its record names " + san.roles.at(server).primary + ", which holds no record";
  };
  if (json) {
    Emit(RolesFileText(file));
    for (const std::string& s : file.notRead) PrintMessage("not read: " + s + ": " + why(s));
  } else {
    for (const auto& [primary, members] : file.primaries) {
      std::string line = primary + ":";
      for (size_t i = 0; i < members.size(); ++i) line += (i ? ", " : " ") + members[i];
      PrintLine(members.empty() ? line + " no distributed servers" : line);
    }
    for (const std::string& s : file.notRead) PrintLine("not read: " + s + ": " + why(s));
  }
  std::fflush(stdout);
  return file.notRead.empty() ? kDone : kNotAllRead;
}

namespace {

// Checks the file, reads the SAN and prints the plan. The local table stays
// attached while the caller runs it. -1 when there is a plan to run, else
// the exit status.
int ShowPlan(const std::string& path, const GivenCredentials& given, unsigned parallel, const AttachedTable& table,
             RolePlan& plan) {
  if (!table.ok) {
    PrintMessage("the local discovery table cannot be opened");
    return kFailed;
  }
  RolesFile file;
  if (!LoadRolesFile(path, file)) return kBadFile;
  size_t disagreements = 0;
  plan = MakeRolePlan(file, ReadSan(given, parallel, &disagreements));
  PrintPlan(plan, path, disagreements);
  if (plan.blocked.empty()) return plan.steps.empty() ? kDone : -1;
  return kFailed;
}

}  // namespace

int PlanRoles(const std::string& path, const GivenCredentials& given, unsigned parallel) {
  AttachedTable table;
  RolePlan plan;
  const int status = ShowPlan(path, given, parallel, table, plan);
  return status < 0 ? kFailed : status;
}

int ApplyRoles(const std::string& path, bool yes, const GivenCredentials& given, unsigned parallel) {
  AttachedTable table;
  RolePlan plan;
  const int status = ShowPlan(path, given, parallel, table, plan);
  if (status == kFailed && !plan.blocked.empty())
    PrintMessage("apply: nothing was changed: the file cannot be applied as it stands");
  if (status >= 0) return status;

  GivenCredentials carried = given;
  for (const PlanStep& step : plan.steps)
    if (step.change.op == RoleOp::DeletePrimary) CarryStoredCredentials(step.change.server, carried);
  const size_t total = plan.steps.size();
  size_t done = 0;
  std::string failure;
  for (; done < total; ++done) {
    const PlanStep& step = plan.steps[done];
    const std::string what = CommandText(step.change);
    const std::string counted = "[" + std::to_string(done + 1) + "/" + std::to_string(total) + "] " + what;
    // The answer here is the answer to the transaction's own confirmation
    // too: the question already says which role the change overrides.
    if (!yes && !AskYes(kv::EscapeControlBytes(counted + ": " + step.reason))) {
      failure = "declined";
      break;
    }
    CTerminalUser user(true, carried);
    CScopedRoleStoreUser face(user);
    const ChangeResult result = RunRoleChange(step.change);
    if (result == ChangeResult::Done) {
      PrintLine("done: " + counted + ": " + DoneText(step.change));
      std::fflush(stdout);
      continue;
    }
    failure = OneLine(user.LastProblem());
    if (result == ChangeResult::NotShown)
      failure = "made on the servers, but the local table does not show it yet (" + failure + ")";
    else if (failure.empty())
      failure = "cancelled";
    break;
  }
  if (done == total) {
    PrintLine("apply: done " + std::to_string(total) + " of " + std::to_string(total) + "; the SAN's roles are as " +
              path + " says");
    return kDone;
  }
  PrintLine("apply: stopped at transaction " + std::to_string(done + 1) + " of " + std::to_string(total) + ":");
  for (size_t i = 0; i < total; ++i) {
    const std::string what = CommandText(plan.steps[i].change);
    if (i < done) PrintLine("  done: " + what);
    if (i == done) PrintLine(failure == "declined" ? "  declined: " + what : "  failed: " + what + ": " + failure);
    if (i > done) PrintLine("  not done: " + what);
  }
  return kFailed;
}
