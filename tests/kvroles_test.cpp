// kvroles.exe on a lab of the test's own: what list, audit and repair print
// (JSON read back with a JSON library) against known drift, and the role
// commands with their failure paths, run as a child process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "DamagedRecords.h"
#include "LabAdmin.h"
#include "LabFault.h"
#include "Plan.h"
#include "Process.h"
#include "TestLab.h"

namespace {

using Json = nlohmann::json;

struct ToolRun {
  DWORD code = 0xFFFFFFFF;
  std::string out, err;
};

std::string ExeFolder() {
  char path[MAX_PATH];
  std::string exe(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
  return exe.substr(0, exe.find_last_of('\\') + 1);
}

// Takes what the pipe holds now, without waiting for more.
void Drain(HANDLE pipe, std::string& into) {
  char buffer[4096];
  DWORD available = 0, got = 0;
  while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available &&
         ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr) && got)
    into.append(buffer, got);
}

// Runs kvroles.exe with the test's lab in its environment; input is its
// standard input, then end of input. errorTo: a console screen buffer to
// take its standard error in place of the pipe.
ToolRun RunKvroles(const std::string& args, const std::string& input = "", HANDLE errorTo = nullptr) {
  ToolRun run;
  const std::string exe = ExeFolder() + "kvroles.exe";
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
  HANDLE outRead, outWrite, errRead, errWrite, inRead, inWrite;
  if (!CreatePipe(&outRead, &outWrite, &sa, 0) || !CreatePipe(&errRead, &errWrite, &sa, 0) ||
      !CreatePipe(&inRead, &inWrite, &sa, 0))
    return run;
  kv::CHandle o(outRead), ow(outWrite), e(errRead), ew(errWrite), i(inRead), iw(inWrite);
  for (HANDLE h : {outRead, errRead, inWrite}) SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = outWrite;
  si.hStdError = errorTo ? errorTo : errWrite;
  si.hStdInput = inRead;
  PROCESS_INFORMATION pi = {};
  std::string command = "\"" + exe + "\" " + args;
  if (!kv::StartProcess(exe.c_str(), command.data(), TRUE, 0, nullptr, &si, &pi)) {
    run.err = "kvroles.exe could not be started: error " + std::to_string(GetLastError());
    return run;
  }
  kv::CHandle process(pi.hProcess), thread(pi.hThread);
  ow.Reset();
  ew.Reset();
  i.Reset();
  DWORD written = 0;
  if (!input.empty()) WriteFile(inWrite, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
  iw.Reset();
  // The pipes are polled until the program ends, not read to their end: a
  // helper process that Wine starts on the program's behalf may inherit the
  // write ends and keep them open.
  for (int waited = 0;; waited += 10) {
    Drain(outRead, run.out);
    Drain(errRead, run.err);
    if (WaitForSingleObject(pi.hProcess, 10) == WAIT_OBJECT_0 || waited > 120000) break;
  }
  Drain(outRead, run.out);
  Drain(errRead, run.err);
  GetExitCodeProcess(pi.hProcess, &run.code);
  return run;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The local table's record of server: its primary name, or "-" for none.
std::string LocalRecord(const std::string& server) {
  kv::CRegKey key;
  if (kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::DiscoveryTableRoot() + "\\" + server + "\\SanOption", KEY_READ, key))
    return "-";
  RoleRecord record{};
  DWORD size = sizeof(record);
  if (RegQueryValueExA(key.Get(), "Slot_1", nullptr, nullptr, reinterpret_cast<BYTE*>(&record), &size)) return "-";
  return std::string(record.primaryName, strnlen(record.primaryName, sizeof(record.primaryName)));
}

bool WaitForLocalRecord(const std::string& server, const std::string& primary) {
  for (int waited = 0; waited < 15000; waited += 100) {
    if (LocalRecord(server) == primary) return true;
    Sleep(100);
  }
  return false;
}

// The server's own record: its primary name, or "-" for none.
std::string OwnRecord(const std::string& server) {
  RoleRecord record{};
  if (kvlab::ReadRecord(server, record) != ERROR_SUCCESS) return "-";
  return std::string(record.primaryName, strnlen(record.primaryName, sizeof(record.primaryName)));
}

void SetListEntry(const std::string& primary, const std::string& name, bool present) {
  kv::CRegKey root, list;
  ASSERT_EQ(0, kvlab::OpenMachineRoot(primary, root));
  ASSERT_EQ(0, kvlab::CreateKey(root.Get(), kvlab::ProductRoot() + "\\ELODistributedServers", list));
  if (present)
    ASSERT_EQ(0, RegSetValueExA(list.Get(), name.c_str(), 0, REG_SZ, nullptr, 0));
  else
    ASSERT_EQ(0, RegDeleteValueA(list.Get(), name.c_str()));
}

// A password file in the temporary folder, removed at the end.
struct PasswordFile {
  std::string path;
  explicit PasswordFile(const std::string& name, const std::string& password) {
    char folder[MAX_PATH];
    path = std::string(folder, GetTempPathA(MAX_PATH, folder)) + name;
    std::ofstream(path, std::ios::binary) << password << "\r\n";
  }
  ~PasswordFile() { DeleteFileA(path.c_str()); }
};

class KvrolesTool : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, lab.StartLocalDiscovery());
    ASSERT_EQ(0, kvlab::BuildDefaultLab(nullptr));
    ASSERT_TRUE(kvlab::WaitForTable({"OSPREY", "HERON", "KITE", "FALCON", "CURLEW", "PETREL"}, 20000));
    ASSERT_TRUE(WaitForLocalRecord("KITE", "OSPREY"));
  }
  kvlab::CScopedLab lab{"kvroles", 0};
};

using Finding = std::tuple<std::string, std::string, std::string, bool>;  // kind, server, primary, repairable

std::set<Finding> Findings(const Json& audit) {
  std::set<Finding> out;
  for (const Json& f : audit["disagreements"])
    out.insert(
        {f["kind"], f["server"], f["primary"].is_null() ? "" : f["primary"].get<std::string>(), f["repairable"]});
  return out;
}

TEST_F(KvrolesTool, ListAuditAndRepairAgainstDrift) {
  // The console's order: each primary with its members, then the rest by name.
  ToolRun list = RunKvroles("list --json");
  ASSERT_EQ(0u, list.code) << list.err;
  Json rows = Json::parse(list.out);
  std::vector<std::string> names;
  for (const Json& r : rows) names.push_back(r["server"]);
  std::vector<std::string> available = {"CURLEW", "PETREL", "PLOVER", "SWIFT", "TERN", kvlab::LocalComputerName()};
  std::sort(available.begin(), available.end(),
            [](const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) < 0; });
  std::vector<std::string> expected = {"FALCON", "OSPREY", "HERON", "KITE"};
  expected.insert(expected.end(), available.begin(), available.end());
  EXPECT_EQ(expected, names);  // GANNET (type 17) and WREN (no SAN option) are not shown
  EXPECT_EQ("distributed", rows[3]["role"]);
  EXPECT_EQ("OSPREY", rows[3]["primary"]);
  EXPECT_EQ("KESTRAVA", rows[3]["domain"]);
  EXPECT_EQ(32, rows[3]["type"]);
  EXPECT_EQ("10.10.0.13", rows[3]["ipv4"]);
  EXPECT_EQ(20u, rows[3]["lastRespond"].get<std::string>().size());  // 2026-12-08T01:02:03Z
  EXPECT_EQ("none", rows[4]["role"]);
  ToolRun csv = RunKvroles("list --csv");
  EXPECT_EQ(static_cast<size_t>(std::count(csv.out.begin(), csv.out.end(), '\n')), rows.size() + 1);
  EXPECT_TRUE(Has(csv.out, "\nKITE,KESTRAVA,32,10.10.0.13,")) << csv.out;
  EXPECT_TRUE(Has(RunKvroles("list").out, "distributed of OSPREY"));

  ToolRun clean = RunKvroles("audit --json");
  EXPECT_EQ(0u, clean.code) << clean.out << clean.err;
  EXPECT_TRUE(Json::parse(clean.out)["disagreements"].empty());

  // The drift: KITE force-removed (it trusts this account, so it can be
  // read); HERON force-removed (no credentials left to read it with); a
  // console killed between CURLEW's record write and FALCON's list edit;
  // OSPREY listing itself; CURLEW, a distributed server, keeping a list;
  // PLOVER naming CURLEW as its primary; PETREL a primary gone offline;
  // SWIFT moved to FALCON on the server while the local table was frozen.
  ASSERT_EQ(0, kvlab::SetTrust("KITE", true));
  ASSERT_EQ(0, kvlab::SetRole("KITE", "", "", ""));
  ASSERT_EQ(0, kvlab::SetRole("HERON", "", "", ""));
  ASSERT_EQ(0, kvlab::SetRole("CURLEW", "FALCON", "Administrator", "curlew-pw"));
  SetListEntry("FALCON", "CURLEW", false);
  SetListEntry("OSPREY", "OSPREY", true);
  SetListEntry("CURLEW", "PETREL", true);
  ASSERT_EQ(0, kvlab::SetRole("PLOVER", "CURLEW", "Administrator", "plover-pw"));
  ASSERT_EQ(0, kvlab::SetRole("PETREL", "PETREL", "Administrator", "petrel-pw"));
  ASSERT_EQ(0, kvlab::SetRole("SWIFT", "SWIFT", "Administrator", "swift-pw"));
  for (auto [server, primary] : {std::pair{"KITE", "-"},
                                 {"HERON", "-"},
                                 {"CURLEW", "FALCON"},
                                 {"PLOVER", "CURLEW"},
                                 {"PETREL", "PETREL"},
                                 {"SWIFT", "SWIFT"}})
    ASSERT_TRUE(WaitForLocalRecord(server, primary)) << server;
  ASSERT_EQ(0, kvlab::SetOnline("PETREL", false));
  ASSERT_EQ(0, lab.StopLocalDiscovery());
  ASSERT_EQ(0, kvlab::SetRole("SWIFT", "FALCON", "Administrator", "swift-pw"));

  ToolRun audit = RunKvroles("audit --json");
  EXPECT_EQ(1u, audit.code) << audit.err;
  Json report = Json::parse(audit.out);
  const std::set<Finding> drift = {
      {"stale-list-entry", "KITE", "OSPREY", true},      {"stale-list-entry", "HERON", "OSPREY", false},
      {"missing-from-list", "CURLEW", "FALCON", true},   {"self-listed", "OSPREY", "OSPREY", true},
      {"local-table-differs", "SWIFT", "FALCON", false}, {"list-on-non-primary", "CURLEW", "", false},
      {"stale-list-entry", "PETREL", "CURLEW", false},   {"names-non-primary", "PLOVER", "CURLEW", false},
  };
  EXPECT_EQ(drift, Findings(report)) << audit.out;
  std::map<std::string, std::string> notChecked;
  for (const Json& skip : report["notChecked"]) notChecked[skip["server"]] = skip["reason"];
  EXPECT_EQ(2u, notChecked.size()) << audit.out;
  EXPECT_TRUE(Has(notChecked["PETREL"], "network")) << notChecked["PETREL"];
  EXPECT_TRUE(Has(notChecked["HERON"], "no stored credentials")) << notChecked["HERON"];
  EXPECT_EQ(1, report["exitStatus"]);
  ToolRun text = RunKvroles("audit");
  EXPECT_EQ(1u, text.code);
  for (const char* line :
       {"stale-list-entry: OSPREY lists KITE, but KITE has no role record [left by Force to Remove",
        "missing-from-list: CURLEW's record names FALCON, but FALCON's list does not hold CURLEW",
        "self-listed: OSPREY lists itself",
        "not checked: PETREL: ", "the local table says SWIFT's record names SWIFT, but SWIFT's own names FALCON",
        "list-on-non-primary: CURLEW keeps a distributed-servers list (",
        "names-non-primary: PLOVER's record names CURLEW, which is not a primary: CURLEW's record names FALCON",
        "audit: 6 servers checked, 2 not checked, 8 disagreements"})
    EXPECT_TRUE(Has(text.out, line)) << line << "\n" << text.out;

  // Asked on the terminal and refused: nothing changes.
  ToolRun refused = RunKvroles("repair", "n\nno\n\n");
  EXPECT_EQ(1u, refused.code);
  EXPECT_EQ(3, std::count(refused.err.begin(), refused.err.end(), '?')) << refused.err;
  EXPECT_EQ((std::vector<std::string>{"HERON", "KITE", "OSPREY"}), kvlab::ListMembers("OSPREY"));

  // With --yes the three mendable entries are put right; what remains is what
  // repair must not touch.
  ToolRun repair = RunKvroles("repair --yes");
  EXPECT_EQ(1u, repair.code) << repair.out << repair.err;
  for (const char* line :
       {"done: remove KITE from the list of OSPREY", "done: add CURLEW to the list of FALCON",
        "done: remove OSPREY from the list of OSPREY", "audit: 5 servers checked, 2 not checked, 5 disagreements"})
    EXPECT_TRUE(Has(repair.out, line)) << line << "\n" << repair.out;
  EXPECT_EQ((std::vector<std::string>{"HERON"}), kvlab::ListMembers("OSPREY"));
  EXPECT_EQ((std::vector<std::string>{"CURLEW", "SWIFT"}), kvlab::ListMembers("FALCON"));
  EXPECT_EQ("FALCON", OwnRecord("CURLEW"));
  // What is left unverified is named with what would verify it.
  for (const char* line : {"repair: HERON could not be checked, so what names it is not verified: give its credentials "
                           "(--credentials FILE with a line \"HERON USER PASSWORD\", or --user and --password-file), "
                           "or store them with the console's Security command",
                           "repair: PETREL could not be checked, so what names it is not verified: run repair again "
                           "when it can be reached"})
    EXPECT_TRUE(Has(repair.out, line)) << line << "\n" << repair.out;
  EXPECT_FALSE(Has(list.out + audit.out + text.out + repair.out + repair.err, "-pw"));

  // Credentials for HERON, which has none stored: refused ones leave it
  // unchecked; from --credentials the audit reads it, and from --user and
  // --password-file repair mends OSPREY's stale entry. Bad files are bad
  // command lines; no password is ever printed.
  PasswordFile wrong("kvroles-creds-wrong.txt", "# kept for HERON\r\n\r\nheron Administrator wrong-pw");
  PasswordFile right("kvroles-creds.txt", "PLOVER Administrator plover-pw\r\nHERON  Administrator heron-pw");
  PasswordFile heron("kvroles-heron.txt", "heron-pw");
  PasswordFile twoFields("kvroles-creds-2.txt", "HERON Administrator");
  PasswordFile twice("kvroles-creds-twice.txt", "HERON a x-pw\r\nheron b y-pw");
  PasswordFile badName("kvroles-creds-name.txt", "HER\\ON a x-pw");
  PasswordFile longPassword("kvroles-creds-long.txt", "HERON a " + std::string(24, 'p'));
  auto file = [](const PasswordFile& f) { return " --credentials \"" + f.path + "\""; };
  const struct {
    std::string args;
    DWORD code;
    std::vector<std::string> out, err;  // parts of each
  } cases[] = {
      {"audit" + file(wrong), 1, {"not checked: HERON: ", "2 not checked"}, {}},
      {"repair --yes --user Administrator --password-file \"" + heron.path + "\"",
       1,
       {"done: remove HERON from the list of OSPREY", "audit: 5 servers checked, 1 not checked"},
       {}},
      {"audit" + file(twoFields), 2, {}, {"line 1 of ", "not SERVER USER PASSWORD", "usage: kvroles"}},
      {"audit" + file(twice), 2, {}, {"line 2 of ", "HERON is named twice"}},
      {"repair" + file(badName), 2, {}, {"line 1 of ", "not a server name"}},
      {"make-primary CURLEW" + file(longPassword), 2, {}, {"line 1 of ", "longer than 23 characters"}},
      {"audit --credentials Z:\\no\\such\\file", 2, {}, {"cannot read the credentials file"}},
      {"list" + file(right), 2, {}, {"credentials do not apply to list"}},
      {"audit --user Administrator --password-file \"" + heron.path + "\"", 2, {}, {"do not apply to audit"}},
  };
  ToolRun read = RunKvroles("audit --json" + file(right));
  EXPECT_EQ(1u, read.code) << read.err;
  EXPECT_EQ(1u, Findings(Json::parse(read.out)).count({"stale-list-entry", "HERON", "OSPREY", true})) << read.out;
  for (const auto& c : cases) {
    ToolRun run = RunKvroles(c.args);
    EXPECT_EQ(c.code, run.code) << c.args << "\n" << run.out << run.err;
    for (const std::string& part : c.out) EXPECT_TRUE(Has(run.out, part)) << c.args << ": " << part << "\n" << run.out;
    for (const std::string& part : c.err) EXPECT_TRUE(Has(run.err, part)) << c.args << ": " << part << "\n" << run.err;
    EXPECT_FALSE(Has(run.out + run.err, "-pw") || Has(run.err, "pppp")) << c.args;
  }
  EXPECT_TRUE(kvlab::ListMembers("OSPREY").empty());
}

TEST_F(KvrolesTool, DamagedRecordsAndHostileNamesAreShownAsSuchAndBlockRoleCommands) {
  ASSERT_TRUE(damaged::WriteAndWait(damaged::kCases));
  ToolRun list = RunKvroles("list --json");
  ASSERT_EQ(0u, list.code) << list.err;
  std::map<std::string, std::string> roles;
  for (const Json& r : Json::parse(list.out)) EXPECT_TRUE(roles.emplace(r["server"], r["role"]).second) << r;
  EXPECT_EQ("primary", roles["OSPREY"]);
  for (const damaged::Case& c : damaged::kCases) EXPECT_EQ("damaged-record", roles[c.machine]) << c.machine;
  EXPECT_EQ(0u, roles.count("CURL"));
  EXPECT_EQ(0u, roles.count(""));
  EXPECT_TRUE(Has(RunKvroles("list").out, "damaged record"));

  ToolRun audit = RunKvroles("audit --json");
  EXPECT_EQ(1u, audit.code) << audit.out << audit.err;
  std::set<Finding> findings = Findings(Json::parse(audit.out));
  for (const char* server : {"CURLEW", "KITE", "PLOVER", "SWIFT"})
    EXPECT_EQ(1u, findings.count({"damaged-record", server, "", false})) << server << audit.out;

  // Make Primary on KITE, whose long record hides that OSPREY lists it:
  // refused with the reason, nothing changed; Force to Remove clears it.
  PasswordFile kite("kvroles-kite.txt", "kite-pw");
  const std::string kiteArgs = " --yes --user Administrator --password-file \"" + kite.path + "\"";
  ToolRun make = RunKvroles("make-primary KITE" + kiteArgs);
  EXPECT_EQ(1u, make.code);
  EXPECT_TRUE(Has(make.err, "The role record of KITE is damaged")) << make.err;
  EXPECT_EQ((std::vector<std::string>{"HERON", "KITE"}), kvlab::ListMembers("OSPREY"));
  EXPECT_EQ(80u, damaged::Local("KITE").bytes.size());
  ToolRun force = RunKvroles("force-remove KITE" + kiteArgs);
  EXPECT_EQ(0u, force.code) << force.err;
  EXPECT_EQ("-", OwnRecord("KITE"));

  // Names from the SAN: a terminal escape and a byte outside ASCII (code
  // page 1252). Text output escapes control bytes; JSON carries UTF-8.
  ASSERT_TRUE(
      damaged::WriteAndWait({{"CURLEW", REG_BINARY, damaged::Record("\x1B[2JX", 76, "Administrator", "curlew-pw")},
                             {"SWIFT", REG_BINARY, damaged::Record("CAF\xC9", 76, "Administrator", "swift-pw")}}));
  ToolRun json = RunKvroles("list --json");
  ASSERT_EQ(0u, json.code) << json.err;
  std::map<std::string, std::string> primaries;
  for (const Json& r : Json::parse(json.out))
    if (r["role"] == "distributed") primaries[r["server"]] = r["primary"];
  EXPECT_EQ("\x1B[2JX", primaries["CURLEW"]);
  EXPECT_EQ("CAF\xC3\x89", primaries["SWIFT"]);
  EXPECT_NO_THROW(Json::parse(RunKvroles("audit --json").out));
  PasswordFile good("kvroles-curlew.txt", "curlew-pw");
  for (const std::string& args :
       {std::string("list"), std::string("list --csv"), std::string("audit"),
        "make-primary CURLEW --yes --user Administrator --password-file \"" + good.path + "\""}) {
    ToolRun text = RunKvroles(args);
    EXPECT_FALSE(Has(text.out + text.err, "\x1B")) << args;
    EXPECT_TRUE(Has(text.out + text.err, "\\x1B[2JX")) << args << "\n" << text.out << text.err;
  }
}

// Servers the audit cannot read itself are judged by the local table, and
// a primary it can read is judged by its own record.
TEST_F(KvrolesTool, NamesThatDifferOnlyInCaseAreListedInTheConsolesOrder) {
  // The console's test of the same records: HERON names "osprey", KITE "Kite".
  // Its controls put lower case first, whatever the order of the pass.
  ASSERT_TRUE(damaged::WriteAndWait(
      {{"HERON", REG_BINARY, damaged::Record("osprey")}, {"KITE", REG_BINARY, damaged::Record("Kite")}}));
  ToolRun list = RunKvroles("list --json");
  ASSERT_EQ(0u, list.code) << list.err;
  std::vector<std::string> names, roles;
  for (const Json& r : Json::parse(list.out)) names.push_back(r["server"]), roles.push_back(r["role"]);
  ASSERT_GE(names.size(), 6u) << list.out;
  EXPECT_EQ(std::vector<std::string>({"FALCON", "Kite", "KITE", "osprey", "HERON", "OSPREY"}),
            std::vector<std::string>(names.begin(), names.begin() + 6))
      << list.out;
  EXPECT_EQ(std::vector<std::string>(
                {"primary", "known-from-members", "distributed", "known-from-members", "distributed", "primary"}),
            std::vector<std::string>(roles.begin(), roles.begin() + 6))
      << list.out;
}

TEST_F(KvrolesTool, AuditJudgesWhatItCannotReachByTheLocalTable) {
  // CURLEW trusts this account but holds no record: PLOVER names it.
  ASSERT_EQ(0, kvlab::SetTrust("CURLEW", true));
  ASSERT_EQ(0, kvlab::SetRole("PLOVER", "CURLEW", "Administrator", "plover-pw"));
  ASSERT_TRUE(WaitForLocalRecord("PLOVER", "CURLEW"));
  // KITE is unreachable while the local table agrees with OSPREY's list.
  ASSERT_EQ(0, kvlab::SetOnline("KITE", false));
  // The local copies of HERON's and SWIFT's records are cut short: no stored
  // credentials. SWIFT trusts this account: it is read all the same.
  ASSERT_EQ(0, kvlab::SetRole("SWIFT", "SWIFT", "Administrator", "swift-pw"));
  ASSERT_TRUE(WaitForLocalRecord("SWIFT", "SWIFT"));
  ASSERT_EQ(0, lab.StopLocalDiscovery());
  for (const char* server : {"HERON", "SWIFT"}) {
    kv::CRegKey key;
    const std::string path = kvlab::DiscoveryTableRoot() + "\\" + server + "\\SanOption";
    ASSERT_EQ(0, kvlab::OpenKey(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS, key));
    ASSERT_EQ(0,
              kvlab::WriteBinary(key.Get(), "Slot_1", damaged::Record("OSPREY", 76, "Administrator", "pw").data(), 24));
  }
  ToolRun audit = RunKvroles("audit --json");
  EXPECT_EQ(1u, audit.code) << audit.err;
  Json report = Json::parse(audit.out);
  std::set<Finding> findings = Findings(report);
  EXPECT_EQ(1u, findings.count({"names-non-primary", "PLOVER", "CURLEW", false})) << audit.out;
  EXPECT_EQ(1u, findings.count({"damaged-record", "HERON", "", false})) << audit.out;
  for (const Finding& f : findings) EXPECT_NE("KITE", std::get<1>(f)) << audit.out;
  std::map<std::string, std::string> notChecked;
  for (const Json& skip : report["notChecked"]) notChecked[skip["server"]] = skip["reason"];
  EXPECT_TRUE(Has(notChecked["HERON"], "no stored credentials")) << audit.out;
  EXPECT_TRUE(Has(notChecked["KITE"], "network")) << audit.out;
  EXPECT_NE(report["checked"].end(), std::find(report["checked"].begin(), report["checked"].end(), "SWIFT"));
}

// The servers are read a few at a time (--parallel), over a network whose
// jitter finishes them out of order: what kvroles prints and its exit status
// are the same, byte for byte, as reading them one after another. The lab
// holds every kind of server a reading meets: damaged records (KITE's hides
// that OSPREY lists it), a primary offline, a listed server without stored
// credentials, a name known only from a list, a list naming its own keeper.
TEST_F(KvrolesTool, ParallelReadingPrintsWhatReadingOneByOneDoes) {
  ASSERT_TRUE(damaged::WriteAndWait({damaged::kCases[0], damaged::kCases[3]}));  // CURLEW, KITE
  ASSERT_EQ(0, kvlab::SetTrust("KITE", true));  // read on KITE itself; CURLEW only in the local table
  ASSERT_EQ(0, kvlab::SetRole("HERON", "", "", ""));
  ASSERT_EQ(0, kvlab::SetRole("PETREL", "PETREL", "Administrator", "petrel-pw"));
  ASSERT_EQ(0, kvlab::SetRole("PLOVER", "PETREL", "Administrator", "plover-pw"));
  ASSERT_EQ(0, kvlab::SetRole("SWIFT", "FALCON", "Administrator", "swift-pw"));
  for (auto [server, primary] :
       {std::pair{"HERON", "-"}, {"PETREL", "PETREL"}, {"PLOVER", "PETREL"}, {"SWIFT", "FALCON"}})
    ASSERT_TRUE(WaitForLocalRecord(server, primary)) << server;
  SetListEntry("FALCON", "GHOST", true);
  SetListEntry("FALCON", "FALCON", true);
  SetListEntry("SWIFT", "TERN", true);
  ASSERT_EQ(0, kvlab::SetOnline("PETREL", false));
  ASSERT_EQ(0, kvlab::SetNetwork(4, 4, 300));

  for (const std::string& args : {std::string("audit"), std::string("audit --json"), std::string("repair")}) {
    ToolRun one = RunKvroles(args + " --parallel 1", "n\nn\nn\nn\nn\n");
    ToolRun many = RunKvroles(args + " --parallel 8", "n\nn\nn\nn\nn\n");
    ToolRun byDefault = RunKvroles(args, "n\nn\nn\nn\nn\n");
    EXPECT_EQ(1u, one.code) << args << "\n" << one.out << one.err;
    EXPECT_EQ(one.code, many.code) << args;
    EXPECT_EQ(one.out, many.out) << args;
    EXPECT_EQ(one.err, many.err) << args;
    EXPECT_EQ(one.code, byDefault.code) << args;
    EXPECT_EQ(one.out, byDefault.out) << args;
    // Standard error is a pipe: the one question of repair, and no progress.
    EXPECT_EQ(args == "repair" ? "remove FALCON from the list of FALCON? [y/N] " : "", one.err) << args;
  }
  // On a console the reading shows how far it has come, on one line redrawn
  // in place (its last figures stay).
  // A console of the test's own (under Wine the test may run with one that
  // has no screen buffer): the standard handles are kept as they are.
  struct ScopedConsole {
    HANDLE saved[3] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE)};
    ScopedConsole() { FreeConsole(), AllocConsole(); }
    ~ScopedConsole() {
      FreeConsole();
      SetStdHandle(STD_INPUT_HANDLE, saved[0]), SetStdHandle(STD_OUTPUT_HANDLE, saved[1]);
      SetStdHandle(STD_ERROR_HANDLE, saved[2]);
    }
  } console;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  kv::CHandle screen(CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               &inherit, CONSOLE_TEXTMODE_BUFFER, nullptr));
  ASSERT_TRUE(screen) << GetLastError();
  ToolRun shown = RunKvroles("audit", "", screen.Get());
  EXPECT_EQ(1u, shown.code);
  CONSOLE_SCREEN_BUFFER_INFO info = {};
  ASSERT_TRUE(GetConsoleScreenBufferInfo(screen.Get(), &info)) << GetLastError();
  std::string row(static_cast<size_t>(info.dwSize.X), ' ');
  DWORD got = 0;
  ASSERT_TRUE(ReadConsoleOutputCharacterA(screen.Get(), row.data(), info.dwSize.X, {0, 0}, &got));
  EXPECT_EQ(0, info.dwCursorPosition.X);
  EXPECT_EQ(1, info.dwCursorPosition.Y) << row;
  EXPECT_EQ(0u, row.find("audit: 10 of 10 servers done, 5 could not be checked, 0:0")) << row;
  EXPECT_TRUE(Has(row, " elapsed ")) << row;

  ToolRun text = RunKvroles("audit --parallel 8");
  for (const char* line :
       {"not checked: PETREL: ", "not checked: HERON: its role record cannot be read: ", "(no stored credentials)",
        "not checked: GHOST: ", "damaged-record: the local table's copy of CURLEW's role record is damaged",
        "damaged-record: KITE's role record is damaged: it is longer than 76 bytes", "self-listed: FALCON lists itself",
        "list-on-non-primary: SWIFT keeps a distributed-servers list (TERN)", "stale-list-entry: FALCON lists GHOST",
        "audit: 5 servers checked, 5 not checked, 7 disagreements"})
    EXPECT_TRUE(Has(text.out, line)) << line << "\n" << text.out;
  ASSERT_EQ(0, kvlab::ClearNetwork());
  EXPECT_EQ(2u, RunKvroles("audit --parallel 0").code);
  EXPECT_EQ(2u, RunKvroles("audit --parallel 65").code);
  EXPECT_EQ(2u, RunKvroles("audit --parallel").code);
  EXPECT_EQ(2u, RunKvroles("list --parallel 4").code);
}

struct CommandCase {
  std::string args;
  DWORD code;
  std::vector<std::string> err;  // parts of standard error, in this order
  const char* server;            // whose own record is checked afterwards
  const char* record;            // its primary name afterwards, "-" for none
};

TEST_F(KvrolesTool, RoleCommandsAndTheirFailures) {
  PasswordFile good("kvroles-good.txt", "curlew-pw"), wrong("kvroles-wrong.txt", "not-this-one");
  const std::string goodArgs = " --user Administrator --password-file \"" + good.path + "\"";
  const std::string wrongArgs = " --user Administrator --password-file \"" + wrong.path + "\"";
  const std::string connect = "kvroles: Failed to connect to \\\\";
  const std::vector<CommandCase> cases = {
      {"make-primary CURLEW",
       1,
       {"no stored credentials for \\\\CURLEW", "cancelled: nothing was changed"},
       "CURLEW",
       "-"},
      {"make-primary CURLEW" + wrongArgs, 1, {connect + "CURLEW: ", "cancelled"}, "CURLEW", "-"},
      {"make-primary CURLEW" + goodArgs, 0, {}, "CURLEW", "CURLEW"},
      {"assign OSPREY CURLEW",
       1,
       {"Failed During Transaction: CURLEW is already a Primary", "kvroles: Press OK to proceed with your changes",
        "not confirmed: give --yes"},
       "CURLEW",
       "CURLEW"},
      {"assign OSPREY CURLEW --yes", 0, {"confirmed by --yes"}, "CURLEW", "OSPREY"},
      {"remove OSPREY CURLEW", 0, {}, "CURLEW", "-"},
      {"force-remove KITE",
       1,
       {"Use ONLY if \"Remove Distributed >>\" does not work: This command will force the removing of  KITE",
        "not confirmed"},
       "KITE",
       "OSPREY"},
      {"force-remove KITE --yes", 0, {}, "KITE", "-"},
      {"delete-primary OSPREY", 1, {"OSPREY still has distributed servers"}, "OSPREY", "OSPREY"},
      {"delete-primary FALCON", 0, {}, "FALCON", "-"},
      {"remove FALCON HERON", 1, {"HERON is not a distributed server of FALCON"}, "HERON", "OSPREY"},
  };
  for (const CommandCase& c : cases) {
    ToolRun run = RunKvroles(c.args);
    EXPECT_EQ(c.code, run.code) << c.args << "\n" << run.err;
    size_t at = 0;
    for (const std::string& part : c.err) {
      at = run.err.find(part, at);
      EXPECT_NE(std::string::npos, at) << c.args << ": " << part << "\n" << run.err;
      if (at == std::string::npos) break;
    }
    EXPECT_EQ(c.record, OwnRecord(c.server)) << c.args;
    EXPECT_FALSE(Has(run.out + run.err, "-pw") || Has(run.out + run.err, "not-this-one")) << c.args;
  }
  // The list of the former primary keeps a force-removed server, as in the console.
  EXPECT_EQ((std::vector<std::string>{"HERON", "KITE"}), kvlab::ListMembers("OSPREY"));

  // An unreachable server: its stored credentials cannot connect.
  ASSERT_EQ(0, kvlab::SetOnline("HERON", false));
  ToolRun offline = RunKvroles("remove OSPREY HERON");
  EXPECT_EQ(1u, offline.code);
  EXPECT_TRUE(Has(offline.err, connect + "HERON: ")) << offline.err;
  EXPECT_EQ((std::vector<std::string>{"HERON", "KITE"}), kvlab::ListMembers("OSPREY"));
  ASSERT_EQ(0, kvlab::SetOnline("HERON", true));

  // The change is made but the frozen local table never shows it.
  ASSERT_EQ(0, lab.StopLocalDiscovery());
  ToolRun frozen = RunKvroles("make-primary CURLEW" + goodArgs);
  EXPECT_EQ(1u, frozen.code);
  EXPECT_TRUE(Has(frozen.err, "Failed During Transaction: Configuration Table was not updated properly")) << frozen.err;
  EXPECT_TRUE(Has(frozen.err, "Discovery Service is running on CURLEW machine")) << frozen.err;
  EXPECT_EQ("CURLEW", OwnRecord("CURLEW"));

  // The credentials dialog takes 23 characters: so does a password file.
  PasswordFile p23("kvroles-23.txt", std::string(23, 'x')), p24("kvroles-24.txt", std::string(24, 'x'));
  ToolRun r23 = RunKvroles("make-primary CURLEW --user Administrator --password-file \"" + p23.path + "\"");
  EXPECT_EQ(1u, r23.code) << r23.err;
  EXPECT_FALSE(Has(r23.err, "usage: kvroles")) << r23.err;
  ToolRun r24 = RunKvroles("make-primary CURLEW --user Administrator --password-file \"" + p24.path + "\"");
  EXPECT_EQ(2u, r24.code);
  EXPECT_TRUE(Has(r24.err, "longer than 23 characters")) << r24.err;

  const char* badLines[] = {"",
                            "frobnicate",
                            "list --yes",
                            "list --json --csv",
                            "audit --csv",
                            "assign OSPREY",
                            "make-primary CURLEW --user Administrator",
                            "make-primary BAD\\NAME",
                            "repair --user x --password-file y",
                            "make-primary CURLEW --user Administrator --password-file Z:\\no\\such\\file"};
  for (const char* args : badLines) {
    ToolRun run = RunKvroles(args);
    EXPECT_EQ(2u, run.code) << args << "\n" << run.err;
    EXPECT_TRUE(Has(run.err, "usage: kvroles")) << args;
  }
  // Asked for, the usage is the output.
  for (const char* args : {"--help", "-h", "help"}) {
    ToolRun run = RunKvroles(args);
    EXPECT_EQ(0u, run.code) << args;
    EXPECT_EQ(0u, run.out.find("usage: kvroles COMMAND")) << args;
    EXPECT_TRUE(Has(run.out, "exit status:")) << args;
    EXPECT_EQ("", run.err) << args;
  }
  EXPECT_EQ(2u, RunKvroles("help list").code);
}

// The system's text for status as kvroles prints it: its first line.
std::string SystemLine(DWORD status) {
  char text[512] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, status, 0, text, sizeof(text),
                 nullptr);
  std::string line = text;
  return line.substr(0, line.find_first_of("\r\n"));
}

// --- export, plan and apply -----------------------------------------------

// A roles file in the temporary folder, removed at the end.
struct RolesFileOnDisk : PasswordFile {
  explicit RolesFileOnDisk(const std::string& name, const std::string& text) : PasswordFile(name, text) {}
};

// Each of parts found in text, in this order.
void ExpectInOrder(const std::string& text, const std::vector<std::string>& parts, const std::string& what) {
  size_t at = 0;
  for (const std::string& part : parts) {
    at = text.find(part, at);
    ASSERT_NE(std::string::npos, at) << what << ": " << part << "\n" << text;
  }
}

std::map<std::string, std::string> Records(std::initializer_list<const char*> servers) {
  std::map<std::string, std::string> out;
  for (const char* s : servers) out[s] = OwnRecord(s);
  return out;
}

// The plan alone, on SANs that the default lab does not give: the order the
// transactions need, and what they cannot do.
TEST(RolePlanOrder, EachCaseGivesTheTransactionsInAnOrderTheyCanRunIn) {
  using Roles = std::map<std::string, std::vector<std::string>>;
  const struct {
    const char* what;
    Roles san;                     // primaries and members as the records say
    std::vector<std::string> odd;  // "S>P": S's record names P, which holds none; "S?P": not known, the
                                   // local table naming P ("S?": naming none)
    Roles file;
    std::vector<std::string> notRead;
    std::vector<std::string> steps;
    size_t blocked;
  } cases[] = {
      {"as the file says", {{"A", {"B"}}}, {}, {{"A", {"B"}}}, {}, {}, 0},
      {"a primary and its member change places",
       {{"A", {"B"}}},
       {},
       {{"B", {"A"}}},
       {},
       {"make-primary B", "delete-primary A", "assign B A"},
       0},
      {"all roles taken away", {{"A", {"B", "C"}}}, {}, {}, {}, {"remove A B", "remove A C", "delete-primary A"}, 0},
      {"a member moves to a new primary",
       {{"A", {"B", "C"}}, {"D", {}}},
       {},
       {{"A", {"B"}}, {"D", {}}, {"E", {"C"}}},
       {},
       {"make-primary E", "assign E C"},
       0},
      {"a record naming a server without one",
       {{"A", {}}},
       {"B>X"},
       {{"X", {"B"}}, {"A", {}}},
       {},
       {"remove X B", "make-primary X", "assign X B"},
       0},
      {"a primary whose member the file leaves", {{"A", {"B"}}}, {}, {}, {"B"}, {}, 1},
      {"a server whose role is not known", {{"A", {}}}, {"T?A"}, {{"A", {}}}, {}, {}, 1},
      {"the same, left by the file", {{"A", {}}}, {"T?A"}, {{"A", {}}}, {"T"}, {}, 0},
      {"the same, shown locally as the file says", {{"A", {}}}, {"T?A"}, {{"A", {"T"}}}, {}, {}, 0},
      {"the same, shown locally otherwise", {{"A", {}}}, {"T?"}, {{"A", {"T"}}}, {}, {}, 1},
  };
  for (const auto& c : cases) {
    SanRoles san;
    for (const auto& [p, members] : c.san) {
      san.roles[p] = {CurrentRole::Primary, p};
      for (const std::string& m : members) san.roles[m] = {CurrentRole::Distributed, p};
    }
    for (const std::string& o : c.odd) {
      const size_t mark = o.find('?');
      if (mark != std::string::npos) {
        san.unknown[o.substr(0, mark)] = "it could not be read";
        san.shownLocally[o.substr(0, mark)] = {o.size() > mark + 1 ? CurrentRole::Distributed : CurrentRole::None,
                                               o.substr(mark + 1)};
      } else {
        san.roles[o.substr(0, o.find('>'))] = {CurrentRole::NamesNoRecord, o.substr(o.find('>') + 1)};
      }
    }
    RolesFile file;
    file.primaries = c.file;
    file.notRead = c.notRead;
    const RolePlan plan = MakeRolePlan(file, san);
    std::vector<std::string> steps;
    for (const PlanStep& step : plan.steps) {
      const RoleChange& ch = step.change;
      const char* op = ch.op == RoleOp::Assign        ? "assign "
                       : ch.op == RoleOp::Remove      ? "remove "
                       : ch.op == RoleOp::MakePrimary ? "make-primary "
                                                      : "delete-primary ";
      steps.push_back(op + (ch.primary.empty() ? "" : ch.primary + " ") + ch.server);
      EXPECT_FALSE(step.reason.empty()) << c.what;
    }
    EXPECT_EQ(c.steps, steps) << c.what;
    EXPECT_EQ(c.blocked, plan.blocked.size()) << c.what;
    // What the SAN holds, as a file, asks for nothing more.
    if (c.odd.empty()) {
      EXPECT_TRUE(MakeRolePlan(RolesFileOf(san), san).steps.empty()) << c.what;
    }
  }
}

TEST_F(KvrolesTool, ExportPlanApplyAndApplyAgain) {
  ToolRun exported = RunKvroles("export --json");
  ASSERT_EQ(0u, exported.code) << exported.err;
  EXPECT_EQ(Json::parse(R"({"version": 1, "primaries": {"FALCON": [], "OSPREY": ["HERON", "KITE"]}, "notRead": []})"),
            Json::parse(exported.out));
  EXPECT_EQ(0u, exported.out.find("{\r\n  \"version\": 1,\r\n  \"primaries\": {\r\n    \"FALCON\": [],"))
      << exported.out;
  ToolRun text = RunKvroles("export");
  EXPECT_EQ("FALCON: no distributed servers\r\nOSPREY: HERON, KITE\r\n", text.out);

  // A new primary with two members (one moved from OSPREY), a member moved
  // between primaries, and OSPREY deleted as a primary and assigned to FALCON.
  Json edited = Json::parse(exported.out);
  edited["primaries"] = {{"PLOVER", {"HERON", "PETREL"}}, {"FALCON", {"KITE", "OSPREY"}}};
  RolesFileOnDisk file("kvroles-roles.json", edited.dump(2));
  const std::string quoted = " \"" + file.path + "\"";
  const std::vector<std::string> steps = {
      "1. make-primary PLOVER: PLOVER has no role; the file makes it a primary",
      "2. assign PLOVER HERON: HERON is a distributed server of OSPREY; the file makes it a distributed server of "
      "PLOVER (one Assign moves it off OSPREY's list)",
      "3. assign FALCON KITE: ",
      "4. assign PLOVER PETREL: PETREL has no role; ",
      "5. delete-primary OSPREY: OSPREY is a primary; the file makes it a distributed server of FALCON",
      "6. assign FALCON OSPREY: "};
  const auto before = Records({"OSPREY", "HERON", "KITE", "FALCON", "PLOVER", "PETREL"});
  ToolRun plan = RunKvroles("plan" + quoted);
  EXPECT_EQ(1u, plan.code) << plan.out << plan.err;
  ExpectInOrder(plan.out, steps, "plan");
  EXPECT_TRUE(Has(plan.out, "plan: 6 transactions")) << plan.out;
  EXPECT_EQ(before, Records({"OSPREY", "HERON", "KITE", "FALCON", "PLOVER", "PETREL"}));

  // Half way: PETREL refuses the password given for it. What was done, what
  // failed with the console's text and what remains are named, and the audit
  // finds the SAN whole.
  PasswordFile wrong("kvroles-apply-wrong.txt", "PLOVER Administrator plover-pw\r\nPETREL Administrator nope");
  ToolRun half = RunKvroles("apply" + quoted + " --yes --credentials \"" + wrong.path + "\"");
  EXPECT_EQ(1u, half.code) << half.out << half.err;
  ExpectInOrder(half.out,
                {"done: [1/6] make-primary PLOVER: PLOVER is a primary server",
                 "done: [3/6] assign FALCON KITE: KITE is a distributed server of FALCON",
                 "apply: stopped at transaction 4 of 6:", "  done: make-primary PLOVER", "  done: assign FALCON KITE",
                 "  failed: assign PLOVER PETREL: Failed to connect to \\\\PETREL: " + SystemLine(ERROR_LOGON_FAILURE),
                 "  not done: delete-primary OSPREY", "  not done: assign FALCON OSPREY"},
                "apply, wrong password");
  EXPECT_EQ((std::map<std::string, std::string>{{"OSPREY", "OSPREY"},
                                                {"HERON", "PLOVER"},
                                                {"KITE", "FALCON"},
                                                {"FALCON", "FALCON"},
                                                {"PLOVER", "PLOVER"},
                                                {"PETREL", "-"}}),
            Records({"OSPREY", "HERON", "KITE", "FALCON", "PLOVER", "PETREL"}));
  ToolRun audit = RunKvroles("audit");
  EXPECT_EQ(0u, audit.code) << audit.out;

  // What remains, asked on the terminal: yes to the first, no to the next.
  PasswordFile right("kvroles-apply.txt", "PETREL Administrator petrel-pw");
  const std::string rightArgs = " --credentials \"" + right.path + "\"";
  ToolRun asked = RunKvroles("apply" + quoted + rightArgs, "y\nn\n");
  EXPECT_EQ(1u, asked.code) << asked.out << asked.err;
  ExpectInOrder(asked.err, {"[1/3] assign PLOVER PETREL: ", "? [y/N]", "[2/3] delete-primary OSPREY: ", "? [y/N]"},
                "asked");
  ExpectInOrder(asked.out,
                {"plan: 3 transactions", "done: [1/3] assign PLOVER PETREL", "  declined: delete-primary OSPREY",
                 "  not done: assign FALCON OSPREY"},
                "asked");
  ToolRun rest = RunKvroles("apply" + quoted + " --yes" + rightArgs);
  EXPECT_EQ(0u, rest.code) << rest.out << rest.err;
  EXPECT_TRUE(Has(rest.out, "apply: done 2 of 2; the SAN's roles are as")) << rest.out;
  EXPECT_FALSE(Has(half.out + half.err + asked.out + asked.err + rest.out + rest.err, "-pw"));

  ToolRun again = RunKvroles("export --json");
  EXPECT_EQ(0u, again.code) << again.err;
  EXPECT_EQ(edited, Json::parse(again.out));
  EXPECT_EQ((std::vector<std::string>{"HERON", "PETREL"}), kvlab::ListMembers("PLOVER"));
  EXPECT_EQ((std::vector<std::string>{"KITE", "OSPREY"}), kvlab::ListMembers("FALCON"));
  EXPECT_EQ(0u, RunKvroles("audit").code);
  ToolRun same = RunKvroles("plan" + quoted);
  EXPECT_EQ(0u, same.code) << same.out << same.err;
  EXPECT_TRUE(Has(same.out, "plan: the SAN's roles are as ")) << same.out;
  ToolRun nothing = RunKvroles("apply" + quoted + " --yes");
  EXPECT_EQ(0u, nothing.code) << nothing.out << nothing.err;
  EXPECT_TRUE(Has(nothing.out, "nothing to do")) << nothing.out;
  EXPECT_FALSE(Has(nothing.out, "done:")) << nothing.out;

  // Drift: Force to Remove of KITE is named against the file; KITE then has
  // no stored credentials, so its own record is read with given ones.
  ASSERT_EQ(0u, RunKvroles("force-remove KITE --yes").code);
  ToolRun drift = RunKvroles("plan" + quoted);
  EXPECT_EQ(1u, drift.code) << drift.out;
  EXPECT_TRUE(Has(drift.out,
                  "cannot be done: KITE: the file makes it a distributed server of FALCON; the local table "
                  "shows that KITE has no role, but it could not be read: "))
      << drift.out;
  ToolRun refused = RunKvroles("apply" + quoted + " --yes");
  EXPECT_EQ(1u, refused.code) << refused.out;
  EXPECT_TRUE(Has(refused.err, "apply: nothing was changed: the file cannot be applied as it stands")) << refused.err;
  EXPECT_FALSE(Has(refused.out, "done: [")) << refused.out;
  EXPECT_EQ("-", OwnRecord("KITE"));
  PasswordFile kite("kvroles-apply-kite.txt", "KITE Administrator kite-pw");
  ToolRun read = RunKvroles("plan" + quoted + " --credentials \"" + kite.path + "\"");
  EXPECT_EQ(1u, read.code) << read.out;
  ExpectInOrder(read.out,
                {"note: kvroles audit finds 1 disagreement between records and lists", "plan: 1 transaction:",
                 "1. assign FALCON KITE: KITE has no role; the file makes it a distributed server of FALCON"},
                "drift");
}

// Bad files change nothing: each is refused before anything is read or
// changed, with exit status 2 and the place in the file.
TEST_F(KvrolesTool, BadRolesFilesAreRefusedNamingThePlace) {
  const struct {
    std::string text;
    std::string place, problem;
  } cases[] = {
      {"{\n  \"version\": 1,\n  \"primaries\": {\"OSPREY\": [\"HERON\" \"KITE\"]}\n}", "line 3, column ",
       "not well-formed JSON"},
      {"", "line 2, column 1", "unexpected end of input"},
      {R"({"version": 2, "primaries": {}})", "version: ", "2 is not a version this kvroles reads"},
      {R"({"primaries": {}, "notRead": []})", "version: ", "missing"},
      {R"({"version": 1, "primary": {"OSPREY": []}})", "primary: ", "not a key of a roles file"},
      {R"({"version": 1, "primaries": {"OSPREY": ["HERON", "NOSUCH"]}})",
       "primaries.OSPREY[1]: ", "NOSUCH is not in the local discovery table"},
      {R"({"version": 1, "primaries": {"FALCON": ["WREN"]}})",
       "primaries.FALCON[0]: ", "WREN is not in the local discovery table"},
      {R"({"version": 1, "primaries": {"OSPREY": ["HERON"], "FALCON": ["KITE", "HERON"]}})",
       "primaries.OSPREY[0]: ", "HERON is named twice (also at primaries.FALCON[1])"},
      {R"({"version": 1, "primaries": {"OSPREY": ["HERON"], "OSPREY": []}})", "primaries: ", "OSPREY is named twice"},
      {R"({"version": 1, "primaries": {"OSPREY": ["KITE"]}, "notRead": ["KITE"]})",
       "notRead[0]: ", "KITE is named twice"},
      {R"({"version": 1, "primaries": {"OSPREY": [], "FALCON": ["OSPREY"]}})",
       "primaries.FALCON[0]: ", "OSPREY is a primary (primaries.OSPREY) and cannot be a distributed server of FALCON"},
      {R"({"version": 1, "primaries": {"OSPREY": ["OSPREY"]}})",
       "primaries.OSPREY[0]: ", "cannot be a distributed server of itself"},
      {R"({"version": 1, "primaries": {"OSPREY": [7]}})", "primaries.OSPREY[0]: ", "7 is not a server name"},
      {R"({"version": 1, "primaries": {"OSPREY": "HERON"}})", "primaries.OSPREY: ", "not an array"},
      {R"({"version": 1, "primaries": []})", "primaries: ", "not an object"},
  };
  const auto before = Records({"OSPREY", "HERON", "KITE", "FALCON", "CURLEW"});
  int n = 0;
  for (const auto& c : cases) {
    RolesFileOnDisk file("kvroles-bad.json", c.text);
    const std::string command = (n++ % 2 ? "plan \"" : "apply --yes \"") + file.path + "\"";
    ToolRun run = RunKvroles(command);
    EXPECT_EQ(2u, run.code) << c.text << "\n" << run.out << run.err;
    EXPECT_TRUE(Has(run.err, c.place + c.problem) || (Has(run.err, c.place) && Has(run.err, c.problem)))
        << c.text << "\n"
        << run.err;
    EXPECT_TRUE(Has(run.err, "nothing was changed")) << run.err;
    EXPECT_EQ("", run.out) << c.text;
  }
  EXPECT_EQ(before, Records({"OSPREY", "HERON", "KITE", "FALCON", "CURLEW"}));
  EXPECT_EQ((std::vector<std::string>{"HERON", "KITE"}), kvlab::ListMembers("OSPREY"));
  EXPECT_EQ(2u, RunKvroles("apply Z:\\no\\such\\file.json --yes").code);

  // A record naming a server that holds another role is no role the file
  // can state: export names it not read, with the reason, never guessed.
  ASSERT_EQ(0, kvlab::SetRole("HERON", "KITE", "Administrator", "heron-pw"));
  ToolRun exported = RunKvroles("export --json");
  EXPECT_EQ(3u, exported.code) << exported.out << exported.err;
  EXPECT_EQ(Json::parse(R"({"version": 1, "primaries": {"FALCON": [], "OSPREY": ["KITE"]}, "notRead": ["HERON"]})"),
            Json::parse(exported.out, nullptr, false));
  EXPECT_TRUE(Has(exported.err, "not read: HERON: its record names KITE, which is not a primary")) << exported.err;
}

// Without a lab (the path a Windows server takes) every call goes to the
// system: the local table is listed as before, each role command fails with
// the system's message for its first connection and exit status 1, and the
// audit checks no server, giving that message as the reason.
TEST_F(KvrolesTool, WithoutALabEveryRemoteCommandFailsWithTheSystemsMessage) {
  PasswordFile curlew("kvroles-nolab.txt", "curlew-pw");
  const std::string curlewArgs = " --user Administrator --password-file \"" + curlew.path + "\"";
  const ToolRun listed = RunKvroles("list");
  // What the system answers for a session to a server it cannot reach.
  std::string remote = "\\\\OSPREY\\ipc$";
  NETRESOURCEA resource = {};
  resource.dwScope = RESOURCE_GLOBALNET;
  resource.dwUsage = RESOURCEUSAGE_CONNECTABLE;
  resource.lpRemoteName = remote.data();
  const DWORD status = WNetAddConnection2A(&resource, "osprey-pw", "Administrator", 0);
  ASSERT_NE(0u, status);
  const std::string message = SystemLine(status);

  char saved[512] = {};
  ASSERT_GT(GetEnvironmentVariableA("KV_LAB_ROOT", saved, sizeof(saved)), 0u);
  ASSERT_TRUE(SetEnvironmentVariableA("KV_LAB_ROOT", (std::string(saved) + "Gone").c_str()));
  ToolRun list = RunKvroles("list");
  EXPECT_EQ(0u, list.code) << list.err;
  EXPECT_EQ(listed.out, list.out);
  ToolRun audit = RunKvroles("audit");
  EXPECT_EQ(3u, audit.code) << audit.out << audit.err;
  for (const char* server : {"OSPREY", "HERON", "KITE", "FALCON"})
    EXPECT_TRUE(Has(audit.out, std::string("not checked: ") + server + ": " + message)) << server << "\n" << audit.out;
  for (const std::string& args : {"assign FALCON CURLEW --yes" + curlewArgs, std::string("assign FALCON HERON --yes"),
                                  std::string("remove OSPREY KITE"), "make-primary CURLEW --yes" + curlewArgs,
                                  std::string("delete-primary FALCON"), std::string("force-remove KITE --yes")}) {
    ToolRun run = RunKvroles(args);
    EXPECT_EQ(1u, run.code) << args << "\n" << run.err;
    EXPECT_TRUE(Has(run.err, message)) << args << "\n" << run.err;
  }
  SetEnvironmentVariableA("KV_LAB_ROOT", saved);
  for (const auto& [server, primary] :
       {std::pair{"OSPREY", "OSPREY"}, {"HERON", "OSPREY"}, {"KITE", "OSPREY"}, {"FALCON", "FALCON"}, {"CURLEW", "-"}})
    EXPECT_EQ(primary, OwnRecord(server)) << server;
}

// --- fault runs ------------------------------------------------------------
// Each role command run with the lab's fault switch at its 1st, 2nd, ...
// remote call until it completes untouched: once failing that call, once
// killing kvroles there. After every run the servers must be whole: no
// session left open, and the lab's audit clean, or each disagreement named by
// `kvroles audit` and put right by `kvroles repair` or a role command.

using Names = std::vector<std::string>;
const char* const kRoleMachines[] = {"OSPREY", "HERON", "KITE", "FALCON", "CURLEW"};
const char kAuditClean[] = "audit: no disagreements\n";

bool SessionsOpen() {
  for (const std::string& m : kvlab::MachineNames())
    if (kvlab::HasSession(m)) return true;
  return false;
}

// What the user's logoff does to the connections of a killed program.
void CloseSessions() {
  for (const std::string& m : kvlab::MachineNames())
    while (kvlab::CancelSession(m, "ipc$") == ERROR_SUCCESS) {
    }
}

// The default lab's roles, written on the servers, and the local table
// showing them.
void ResetRoles() {
  for (const char* m : kRoleMachines) {
    kv::CRegKey root;
    ASSERT_EQ(0, kvlab::OpenMachineRoot(m, root));
    const std::string list = kvlab::ProductRoot() + "\\ELODistributedServers";
    RegDeleteTreeA(root.Get(), list.c_str());
    RegDeleteKeyA(root.Get(), list.c_str());
  }
  ASSERT_EQ(0, kvlab::SetRole("OSPREY", "OSPREY", "Administrator", "osprey-pw"));
  ASSERT_EQ(0, kvlab::SetRole("HERON", "OSPREY", "Administrator", "heron-pw"));
  ASSERT_EQ(0, kvlab::SetRole("KITE", "OSPREY", "Administrator", "kite-pw"));
  ASSERT_EQ(0, kvlab::SetRole("FALCON", "FALCON", "Administrator", "falcon-pw"));
  ASSERT_EQ(0, kvlab::SetRole("CURLEW", "", "", ""));
}

void Settle() {
  for (const char* m : kRoleMachines) ASSERT_TRUE(WaitForLocalRecord(m, OwnRecord(m))) << m;
}

struct FaultCase {
  std::string args;
  std::map<std::string, std::string> records;  // afterwards, "-" for none
  std::map<std::string, Names> lists;          // afterwards
};

struct FaultTally {
  int runs = 0, killed = 0, mendedByRepair = 0, mendedByCommand = 0;
};

class FaultRuns : public KvrolesTool {
 protected:
  void SetUp() override {
    KvrolesTool::SetUp();
    kv::CRegKey setting;
    ASSERT_EQ(0, kvlab::CreateKey(
                     HKEY_LOCAL_MACHINE,
                     kvlab::ProductRoot() + "\\DiscoveryImplementationList\\Bellcast\\TandDiscoverySetting", setting));
    kvlab::WriteDword(setting.Get(), "BCastDelay", 100);
  }
  void TearDown() override { kvlab::ClearFault(); }

  // After a run: every disagreement the lab sees is one kvroles names, and
  // repair (or, for a server with no record left to read, assigning it
  // again) makes the audit clean.
  void CheckWhole(const std::string& what, const std::string& kiteArgs, FaultTally& tally) {
    Settle();
    const std::string audit = kvlab::AuditText();
    if (audit == kAuditClean) return;
    ToolRun named = RunKvroles("audit --json");
    EXPECT_EQ(1u, named.code) << what << "\n" << audit << named.out << named.err;
    Json report = Json::parse(named.out, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << what << "\n" << named.out;
    size_t at = 0;
    for (size_t end; (end = audit.find('\n', at)) != std::string::npos; at = end + 1) {
      const std::string line = audit.substr(at, end - at);
      if (line.rfind("audit:", 0) == 0) continue;
      bool found = false;
      for (const Json& f : report["disagreements"]) {
        const std::string server = f["server"];
        const std::string primary = f["primary"].is_null() ? std::string() : f["primary"].get<std::string>();
        found = found || (Has(line, server) && Has(line, primary));
      }
      EXPECT_TRUE(found) << what << ": kvroles audit does not name: " << line << "\n" << named.out;
    }
    RunKvroles("repair --yes");
    Settle();
    if (kvlab::AuditText() == kAuditClean) {
      ++tally.mendedByRepair;
      return;
    }
    ToolRun assign = RunKvroles("assign OSPREY KITE --yes" + kiteArgs);
    EXPECT_EQ(0u, assign.code) << what << "\n" << assign.err;
    Settle();
    EXPECT_EQ(kAuditClean, kvlab::AuditText()) << what << " (before: " << audit << ")";
    ++tally.mendedByCommand;
  }

  void Run(const FaultCase& c, const std::string& kiteArgs, FaultTally& tally) {
    const std::string network = SystemLine(ERROR_BAD_NETPATH);
    for (bool kill : {false, true}) {
      for (DWORD at = 1; at <= 30; ++at) {
        ResetRoles();
        Settle();
        ASSERT_EQ(0, kvlab::SetFault(at, ERROR_BAD_NETPATH, kill));
        ToolRun run = RunKvroles(c.args);
        const kvlab::FaultSwitch fault = kvlab::ReadFault();
        ASSERT_EQ(0, kvlab::ClearFault());
        ++tally.runs;
        const std::string what = c.args + (kill ? ", killed at call " : ", call failing: ") + std::to_string(at);
        if (fault.Hit() && kill) {
          ++tally.killed;
          EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_NETPATH), run.code) << what << "\n" << run.err;
          EXPECT_EQ(at, fault.calls) << what;
          CloseSessions();
        } else if (fault.Hit()) {
          EXPECT_EQ(1u, run.code) << what << "\n" << run.out << run.err;
          EXPECT_TRUE(Has(run.err, network)) << what << "\n" << run.err;
        } else {
          EXPECT_EQ(0u, run.code) << what << "\n" << run.err;
          for (const auto& [server, primary] : c.records) EXPECT_EQ(primary, OwnRecord(server)) << what << server;
          for (const auto& [primary, members] : c.lists)
            EXPECT_EQ(members, kvlab::ListMembers(primary)) << what << primary;
        }
        EXPECT_FALSE(SessionsOpen()) << what;
        CheckWhole(what, kiteArgs, tally);
        if (!fault.Hit() || ::testing::Test::HasFailure()) break;
      }
    }
  }
};

TEST_F(FaultRuns, EveryRoleCommandFailedAndKilledAtEachRemoteCallLeavesTheServersWhole) {
  PasswordFile curlew("kvroles-curlew.txt", "curlew-pw"), kite("kvroles-kite.txt", "kite-pw");
  const std::string curlewArgs = " --user Administrator --password-file \"" + curlew.path + "\"";
  const std::string kiteArgs = " --user Administrator --password-file \"" + kite.path + "\"";
  const std::vector<FaultCase> cases = {
      {"assign FALCON CURLEW --yes" + curlewArgs, {{"CURLEW", "FALCON"}}, {{"FALCON", {"CURLEW"}}}},
      {"assign FALCON HERON --yes", {{"HERON", "FALCON"}}, {{"FALCON", {"HERON"}}, {"OSPREY", {"KITE"}}}},
      {"remove OSPREY KITE", {{"KITE", "-"}}, {{"OSPREY", {"HERON"}}}},
      {"make-primary CURLEW --yes" + curlewArgs, {{"CURLEW", "CURLEW"}}, {}},
      {"make-primary HERON --yes", {{"HERON", "HERON"}}, {{"OSPREY", {"KITE"}}}},
      {"delete-primary FALCON", {{"FALCON", "-"}}, {{"FALCON", {}}}},
      {"force-remove KITE --yes", {{"KITE", "-"}}, {{"OSPREY", {"HERON", "KITE"}}}},
  };
  FaultTally tally;
  for (const FaultCase& c : cases) {
    Run(c, kiteArgs, tally);
    if (HasFailure()) break;
  }
  std::printf(
      "fault runs: %d runs of %zu commands (%d killed); %d left disagreements put right by repair, %d by a "
      "role command\n",
      tally.runs, cases.size(), tally.killed, tally.mendedByRepair, tally.mendedByCommand);
}

}  // namespace
