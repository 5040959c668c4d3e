// The lab tool and its library: the default lab, the audit, and the tool's
// handling of bad input (exit codes, no password in any output).
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "Bus.h"
#include "LabAdmin.h"
#include "Process.h"
#include "Remote.h"
#include "TestLab.h"

namespace {

struct ToolRun {
  DWORD code = 0xFFFFFFFF;
  std::string output;
};

// Runs kvlab.exe (beside the test) with the test's lab in its environment.
ToolRun Kvlab(const std::string& args) {
  ToolRun run;
  char path[MAX_PATH];
  std::string exe(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
  exe = exe.substr(0, exe.find_last_of('\\') + 1) + "kvlab.exe";
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  if (!CreatePipe(&read, &write, &sa, 0)) return run;
  kv::CHandle reader(read), writer(write);
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = si.hStdError = write;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi = {};
  std::string command = "\"" + exe + "\" " + args;
  if (!kv::StartProcess(exe.c_str(), command.data(), TRUE, 0, nullptr, &si, &pi)) {
    run.output = "kvlab.exe could not be started: error " + std::to_string(GetLastError());
    return run;
  }
  kv::CHandle process(pi.hProcess), thread(pi.hThread);
  writer.Reset();
  // Read until the pipe ends. It must end when kvlab does: a program that
  // kvlab leaves running (the lab host) must not hold its output.
  DWORD exitedAt = 0;
  for (DWORD start = GetTickCount();;) {
    DWORD available = 0;
    if (!PeekNamedPipe(read, nullptr, 0, nullptr, &available, nullptr)) break;  // every writer is gone
    if (available) {
      char buffer[4096];
      DWORD got = 0;
      if (!ReadFile(read, buffer, sizeof(buffer), &got, nullptr)) break;
      run.output.append(buffer, got);
      continue;
    }
    if (!exitedAt && WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) exitedAt = GetTickCount();
    if (exitedAt && GetTickCount() - exitedAt > 5000) {
      ADD_FAILURE() << "kvlab " << args << " ended but its output is still held open";
      break;
    }
    if (GetTickCount() - start > 60000) break;
    Sleep(10);
  }
  WaitForSingleObject(pi.hProcess, 30000);
  GetExitCodeProcess(pi.hProcess, &run.code);
  return run;
}

kvlab::MachineSetup Named(const std::string& name) {
  kvlab::MachineSetup m;
  m.name = name;
  return m;
}

class LabTool : public ::testing::Test {
 protected:
  kvlab::CScopedLab lab{"labtool", 0};
};

TEST_F(LabTool, DefaultLabShowsEveryCase) {
  ASSERT_EQ(0, lab.StartLocalDiscovery());
  // The user's own console setting survives the lab being built afresh.
  kv::CRegKey setting;
  ASSERT_EQ(0, kvlab::CreateKey(HKEY_CURRENT_USER, kvlab::ToolSettingsRoot() + "\\VODIdazur", setting));
  ASSERT_EQ(0, kvlab::WriteDword(setting.Get(), "AutoRefresh", 1));
  setting.Reset();
  ASSERT_EQ(0, kvlab::BuildDefaultLab(nullptr));
  ASSERT_EQ(0, kvlab::OpenKey(HKEY_CURRENT_USER, kvlab::ToolSettingsRoot() + "\\VODIdazur", KEY_READ, setting));
  EXPECT_EQ(1u, kvlab::ReadDword(setting.Get(), "AutoRefresh", 0));
  EXPECT_EQ(12u, kvlab::MachineNames().size());
  ToolRun show = Kvlab("show");
  ASSERT_EQ(0u, show.code) << show.output;
  for (const char* text : {"OSPREY", "FIELDNET", "distributed of OSPREY", "HERON,KITE", "offline", "GANNET"})
    EXPECT_NE(std::string::npos, show.output.find(text)) << text;
  EXPECT_EQ(std::string::npos, show.output.find("-pw"));  // no password
  ToolRun audit = Kvlab("audit");
  EXPECT_EQ(0u, audit.code);
  EXPECT_NE(std::string::npos, audit.output.find("audit: no disagreements"));

  // What Force to Remove leaves behind: a name in a primary's list whose record is gone.
  ASSERT_EQ(0, kvlab::SetRole("HERON", "", "", ""));
  audit = Kvlab("audit");
  EXPECT_EQ(1u, audit.code);
  EXPECT_NE(std::string::npos, audit.output.find("OSPREY: list holds HERON but HERON's record names no primary"))
      << audit.output;
  // A distributed server missing from its primary's list.
  ASSERT_EQ(0, kvlab::SetRole("CURLEW", "FALCON", "Administrator", "curlew-pw"));
  ASSERT_EQ(0, kvlab::SetRole("FALCON", "", "", ""));
  audit = Kvlab("audit");
  EXPECT_NE(std::string::npos, audit.output.find("CURLEW: record names FALCON, which is not a primary"));
  EXPECT_NE(std::string::npos, audit.output.find("FALCON: has a member list but is not a primary"));

  ToolRun accounts = Kvlab("accounts CURLEW");
  EXPECT_EQ(0u, accounts.code);
  EXPECT_NE(std::string::npos, accounts.output.find("Administrator"));
  EXPECT_NE(std::string::npos, accounts.output.find("backup"));
  EXPECT_EQ(std::string::npos, accounts.output.find("curlew-"));
}

TEST_F(LabTool, ChangesAndBadInput) {
  EXPECT_EQ(0u, Kvlab("add ALPHA --domain FIELDNET --type 25 --ip 10.1.2.3 --account admin secret-pw").code);
  EXPECT_EQ(1u, Kvlab("add alpha").code);  // exists, whatever the case
  EXPECT_EQ(2u, Kvlab("add THIS-NAME-IS-TOO-LONG").code);
  EXPECT_EQ(2u, Kvlab("add BAD\\NAME").code);
  EXPECT_EQ(2u, Kvlab("add BETA --ip 300.1.1.1").code);
  EXPECT_EQ(2u, Kvlab("add BETA --type -1").code);
  EXPECT_EQ(2u, Kvlab("frobnicate").code);
  EXPECT_EQ(2u, Kvlab("").code);
  EXPECT_EQ(2u, Kvlab("scale 0").code);
  EXPECT_EQ(2u, Kvlab("scale many").code);
  EXPECT_EQ(1u, Kvlab("trust NOSUCH on").code);
  EXPECT_EQ(2u, Kvlab("trust ALPHA maybe").code);
  EXPECT_EQ(2u, Kvlab("service restart ALPHA").code);
  EXPECT_EQ(2u, Kvlab("service status ALPHA tape").code);
  EXPECT_EQ(2u, Kvlab("busy soon").code);
  EXPECT_EQ(1u, Kvlab("set-role ALPHA NOSUCH").code);

  EXPECT_EQ(0u, Kvlab("trust ALPHA on").code);
  EXPECT_TRUE(kvlab::Reach("ALPHA").trust);
  EXPECT_EQ(0u, Kvlab("offline ALPHA").code);
  EXPECT_FALSE(kvlab::Reach("ALPHA").online);
  EXPECT_EQ(0u, Kvlab("online alpha").code);
  EXPECT_TRUE(kvlab::Reach("ALPHA").online);

  // The fault switch, set by the tool before this process has met it (so
  // this process's view of it starts from the lab), then set again while
  // this process holds that view; the tool reports the count.
  auto connect = [] {
    kv::CRegKey key;
    return kvr::RegConnectRegistryA("ALPHA", HKEY_LOCAL_MACHINE, key.Put());
  };
  EXPECT_EQ("fault: none set\r\n", Kvlab("fault").output);
  EXPECT_EQ(0u, Kvlab("fault --after 2 --status 1231").code);
  EXPECT_EQ(0, connect());
  EXPECT_EQ(1231, connect());
  EXPECT_EQ(0, connect());
  EXPECT_EQ("fault: call 2 fails with status 1231 (hit); 3 call(s) since it was set\r\n", Kvlab("fault").output);
  EXPECT_EQ(0u, Kvlab("fault --clear").code);
  EXPECT_EQ(0, connect());
  EXPECT_EQ("fault: none set\r\n", Kvlab("fault").output);
  EXPECT_EQ(0u, Kvlab("fault --after 1").code);
  EXPECT_EQ(ERROR_BAD_NETPATH, connect());
  EXPECT_EQ(0u, Kvlab("fault --after 4 --kill").code);
  EXPECT_EQ("fault: call 4 ends its process with status 53; 0 call(s) since it was set\r\n", Kvlab("fault").output);
  for (const char* bad : {"fault --after 0", "fault --status 5", "fault --after 2 --status 0", "fault --after two",
                          "fault --clear --after 2", "fault --kill"})
    EXPECT_EQ(2u, Kvlab(bad).code) << bad;
  EXPECT_EQ(0u, Kvlab("fault --clear").code);

  // The network, set by the tool and met by this process.
  EXPECT_EQ("network: off\r\n", Kvlab("network").output);
  EXPECT_EQ("network: 40 ms (+-10) per remote call; an offline machine fails after 40 ms\r\n",
            Kvlab("network --latency-ms 40 --jitter-ms 10").output);
  ToolRun network = Kvlab("network --latency-ms 30 --jitter-ms 10 --unreachable-ms 120");
  EXPECT_EQ(0u, network.code);
  EXPECT_EQ("network: 30 ms (+-10) per remote call; an offline machine fails after 120 ms\r\n", network.output);
  EXPECT_EQ(network.output, Kvlab("network").output);
  auto timed = [&](LONG& rc) {
    LARGE_INTEGER f, t0, t1;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&t0);
    rc = connect();
    ::QueryPerformanceCounter(&t1);
    return (t1.QuadPart - t0.QuadPart) * 1000.0 / f.QuadPart;
  };
  LONG rc = -1;
  EXPECT_GE(timed(rc), 20);
  EXPECT_EQ(0, rc);
  EXPECT_EQ(0u, Kvlab("offline ALPHA").code);
  EXPECT_GE(timed(rc), 120);
  EXPECT_EQ(ERROR_BAD_NETPATH, rc);
  EXPECT_EQ(0u, Kvlab("online ALPHA").code);
  for (const char* bad : {"network --latency-ms 5 --jitter-ms 6", "network --jitter-ms 2", "network --latency-ms x",
                          "network --off --latency-ms 5", "network --latency-ms", "network --latency-ms 600001",
                          "network --delay-ms 5", "network --off now"})
    EXPECT_EQ(2u, Kvlab(bad).code) << bad;
  EXPECT_EQ(network.output, Kvlab("network").output);
  EXPECT_EQ("network: off\r\n", Kvlab("network --off").output);
  EXPECT_EQ("network: off\r\n", Kvlab("network").output);
  ToolRun role = Kvlab("set-role ALPHA ALPHA --user admin --password secret-pw");
  EXPECT_EQ(0u, role.code);
  EXPECT_EQ(std::string::npos, role.output.find("secret-pw"));
  RoleRecord r;
  ASSERT_EQ(0, kvlab::ReadRecord("ALPHA", r));
  EXPECT_STREQ("ALPHA", r.primaryName);
  kvlab::Scramble(r.password, 24);
  EXPECT_STREQ("secret-pw", reinterpret_cast<char*>(r.password));
  EXPECT_EQ(0u, Kvlab("accounts ALPHA add backup other-pw").code);
  ToolRun list = Kvlab("accounts ALPHA");
  EXPECT_NE(std::string::npos, list.output.find("backup"));
  EXPECT_EQ(std::string::npos, list.output.find("-pw"));
  EXPECT_EQ(0u, Kvlab("accounts ALPHA remove backup").code);
  EXPECT_EQ(1u, Kvlab("accounts ALPHA remove backup").code);

  ToolRun stop = Kvlab("service stop ALPHA");
  EXPECT_EQ(0u, stop.code);
  EXPECT_EQ(1u, Kvlab("service stop ALPHA").code);  // already stopped (no transition in this lab)
  EXPECT_EQ(0u, Kvlab("service start ALPHA").code);
  EXPECT_NE(std::string::npos, Kvlab("service status ALPHA").output.find("running"));
  EXPECT_EQ(0u, Kvlab("remove ALPHA").code);
  EXPECT_TRUE(kvlab::FindMachine("ALPHA").empty());
  EXPECT_EQ(1u, Kvlab("remove ALPHA").code);
}

// --- the tool's checks of its input, and what it leaves behind --------------

TEST_F(LabTool, NumbersAddressesAndNamesAreCheckedWholeAndEachMachineGetsItsOwnAddress) {
  struct Case {
    const char* args;
    DWORD code;
  };
  const Case cases[] = {
      {"add T1 --type 4294967296", 2},
      {"add T1 --type 99999999999999999999", 2},
      {"add T1 --type \" -5\"", 2},
      {"add T1 --type \" 5\"", 2},
      {"add T1 --type +5", 2},
      {"add T1 --type 5x", 2},
      {"add T1 --type \"\"", 2},
      {"add T1 --ip \" 10.1.1.1\"", 2},
      {"add T1 --ip 10.1.1", 2},
      {"add T1 --ip 10.1.1.1.1", 2},
      {"add T1 --ip 10.1.1.+1", 2},
      {"add T1 --ip 10.01234.1.1", 2},
      {"add NAME16-ABCDEFGHI", 2},
      {"add T1 --type 4294967295 --ip 10.255.0.9", 0},
      {"add NAME15-ABCDEFGH", 0},
      {"add T2", 0},
      {"add T3", 0},
  };
  EXPECT_FALSE(kvlab::HostRunning());
  for (const Case& c : cases) EXPECT_EQ(c.code, Kvlab(c.args).code) << c.args;
  EXPECT_TRUE(kvlab::HostRunning());  // started by the tool; the reads above ended all the same

  auto machine = [](const char* name, const char* value) {
    kv::CRegKey key;
    EXPECT_EQ(0, kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::MachinePath(name), KEY_READ, key)) << name;
    return value[0] == 'T' ? std::to_string(kvlab::ReadDword(key.Get(), "Type", 0))
                           : kvlab::ReadString(key.Get(), "IPv4");
  };
  EXPECT_EQ("4294967295", machine("T1", "Type"));
  EXPECT_EQ("10.255.0.9", machine("T1", "IPv4"));
  static_assert(sizeof("NAME15-ABCDEFGH") == 16, "a name of 15 characters");
  EXPECT_EQ("NAME15-ABCDEFGH", kvlab::FindMachine("name15-abcdefgh"));
  std::set<std::string> addresses;
  for (const char* name : {"T1", "T2", "T3", "NAME15-ABCDEFGH"}) addresses.insert(machine(name, "IPv4"));
  EXPECT_EQ(4u, addresses.size());
  EXPECT_EQ(ERROR_INVALID_NAME, kvlab::AddMachine(Named("NAME16-ABCDEFGHJ")));
  EXPECT_EQ(0, kvlab::AddMachine(Named("NAME15-ABCDEFGJ")));

  // The host publishes the 15-character name whole.
  kvcore::CBus bus;
  ASSERT_TRUE(bus.Open());
  kvcore::BusSlot slot = {};
  uint32_t index = kvcore::SlotOfMachine("NAME15-ABCDEFGH");
  for (int i = 0; i < 250 && !(bus.Read(index, slot) && slot.state == kvcore::SlotActive); ++i) Sleep(20);
  EXPECT_STREQ("NAME15-ABCDEFGH", slot.name);
  EXPECT_STREQ("NAME15-ABCDEFGH", slot.entry.serverName);
}

// Lines of a tool's output, without line ends.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start - (end > start && text[end - 1] == '\r')));
  return lines;
}

bool AllPrintable(const std::string& text) {
  for (unsigned char c : text)
    if ((c < 0x20 && c != '\n' && c != '\r') || c >= 0x7F) return false;
  return true;
}

// A value in machine's member list, as a damaged or hand-edited list holds it.
void ListValue(const char* machine, const std::string& name, DWORD type = REG_SZ) {
  kv::CRegKey root, list;
  DWORD data = 7;
  ASSERT_EQ(0, kvlab::OpenMachineRoot(machine, root));
  ASSERT_EQ(0, kvlab::CreateKey(root.Get(), kvlab::ProductRoot() + "\\ELODistributedServers", list));
  ASSERT_EQ(0, RegSetValueExA(list.Get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(&data),
                              type == REG_DWORD ? 4 : 0));
}

// Machine's own record naming primary byte for byte.
void RawRecord(const char* machine, const std::string& primary) {
  RoleRecord r = {};
  memcpy(r.primaryName, primary.data(), primary.size());
  kv::CRegKey root, key;
  ASSERT_EQ(0, kvlab::OpenMachineRoot(machine, root));
  ASSERT_EQ(0, kvlab::CreateKey(root.Get(), kvlab::ProductRoot() + "\\RoleRecord\\SanOption", key));
  ASSERT_EQ(0, kvlab::WriteBinary(key.Get(), "Slot_1", &r, sizeof(r)));
}

// Each case: a lab of its own where P1 and P2 are primaries and M a member of
// P1, one damage, then the whole audit and what show says.
TEST(LabAudit, NamesEveryDisagreementAndReadsEveryListValue) {
  const std::string longName(300, 'L');
  struct Case {
    std::function<void()> damage;
    std::vector<std::string> audit;  // every line, in order
    std::string shown;               // a text that show prints
  };
  const Case cases[] = {
      {[] {}, {"audit: no disagreements"}, "primary"},
      {[] { ListValue("P1", "P1"); }, {"P1: list holds P1 itself", "audit: 1 disagreement(s)"}, "M,P1"},
      {[] { ASSERT_EQ(0, kvlab::SetRole("M", "P2", "Administrator", "pw")); },  // P1's list keeps M
       {"P1: list holds M but M's record names P2", "audit: 1 disagreement(s)"},
       "distributed of P2"},
      {[&] {
         ListValue("P1", longName);
         ListValue("P1", "NOSUCH");
         ListValue("P1", "P2", REG_DWORD);
       },
       {"P1: list holds " + longName + ", which is not a machine of the lab",
        "P1: list holds NOSUCH, which is not a machine of the lab",
        "P1: list entry P2 is not an empty REG_SZ (type 4, 4 bytes)", "P1: list holds P2 but P2's record names P2",
        "audit: 4 disagreement(s)"},
       longName + ",M,NOSUCH,P2"},
      {[] { RawRecord("M", "P\x01\n\\1"); },
       {R"(M: record names P\x01\x0A\\1, which is not a machine of the lab)",
        R"(P1: list holds M but M's record names P\x01\x0A\\1)", "audit: 2 disagreement(s)"},
       R"(distributed of P\x01\x0A\\1)"},
      {[] { RawRecord("M", "p1"); },
       {"M: record names p1 but the machine is P1 (names compare case-sensitively)",
        "P1: list holds M but M's record names p1", "audit: 2 disagreement(s)"},
       "distributed of p1"},
      {[] { RawRecord("M", ""); },
       {"M: role record is damaged (it names no primary)", "P1: list holds M but M's record names no primary",
        "audit: 2 disagreement(s)"},
       "M"},
  };
  for (const Case& c : cases) {
    kvlab::CScopedLab lab("audit", 0);
    for (const char* name : {"P1", "P2", "M"}) ASSERT_EQ(0, kvlab::AddMachine(Named(name)));
    ASSERT_EQ(0, kvlab::SetRole("P1", "P1", "Administrator", "pw"));
    ASSERT_EQ(0, kvlab::SetRole("P2", "P2", "Administrator", "pw"));
    ASSERT_EQ(0, kvlab::SetRole("M", "P1", "Administrator", "pw"));
    c.damage();
    ToolRun audit = Kvlab("audit");
    EXPECT_EQ(c.audit.size() > 1 ? 1u : 0u, audit.code) << c.audit[0];
    EXPECT_EQ(c.audit, Lines(audit.output));
    ToolRun show = Kvlab("show");
    EXPECT_EQ(0u, show.code);
    EXPECT_NE(std::string::npos, show.output.find(c.shown)) << c.shown << "\n" << show.output;
    EXPECT_TRUE(AllPrintable(audit.output + show.output)) << c.audit[0];
  }
}

// set-role keeps the member lists in step with the records, step by step.
TEST(LabSetRole, KeepsTheListsInStep) {
  kvlab::CScopedLab lab("setrole", 0);
  for (const char* name : {"P1", "P2", "M"}) ASSERT_EQ(0, kvlab::AddMachine(Named(name)));
  struct Step {
    const char* args;
    std::vector<std::string> p1, p2, m;  // the three lists afterwards
    bool clean;                          // audit finds nothing
  };
  const Step steps[] = {
      {"set-role P1 P1", {}, {}, {}, true},
      {"set-role P2 P2", {}, {}, {}, true},
      {"set-role M P1", {"M"}, {}, {}, true},
      {"set-role M P2", {}, {"M"}, {}, true},         // leaves its former primary's list
      {"set-role M P2", {}, {"M"}, {}, true},         // names P2 already: stays in its list
      {"set-role P1 P2", {}, {"M", "P1"}, {}, true},  // a primary with no members joins one
      {"set-role M M", {}, {"P1"}, {}, true},
      {"set-role P1 M", {}, {}, {"P1"}, true},
      {"set-role M none", {}, {}, {}, false},  // a demoted primary's list goes; P1 names M still
      {"set-role P1 none", {}, {}, {}, true},
  };
  for (const Step& s : steps) {
    ToolRun run = Kvlab(s.args);
    ASSERT_EQ(0u, run.code) << s.args << "\n" << run.output;
    EXPECT_EQ(s.p1, kvlab::ListMembers("P1")) << s.args;
    EXPECT_EQ(s.p2, kvlab::ListMembers("P2")) << s.args;
    EXPECT_EQ(s.m, kvlab::ListMembers("M")) << s.args;
    EXPECT_EQ(s.clean ? 0u : 1u, Kvlab("audit").code) << s.args;
  }
}

}  // namespace

namespace {

// kvlab scale N --group G: the shape of roles, regrouped and taken away, with
// the local table waited for.
TEST(LabScale, GivesEveryGroupItsPrimaryAndMembersAndTakesTheRolesAway) {
  kvlab::CScopedLab lab("scale", 0);
  ASSERT_EQ(0, lab.StartLocalDiscovery());
  EXPECT_EQ(2u, Kvlab("scale 4 --group 5").code);
  EXPECT_EQ(2u, Kvlab("scale 4 --group").code);
  EXPECT_EQ(2u, Kvlab("scale 4 --groups 2").code);
  EXPECT_EQ(2u, Kvlab("scale 4 --group -1").code);
  constexpr unsigned kCount = 10;
  for (unsigned group : {4u, 5u, 0u}) {
    ToolRun run = Kvlab("scale 10 --group " + std::to_string(group));
    ASSERT_EQ(0u, run.code) << run.output;
    for (unsigned i = 1; i <= kCount; ++i) {
      const std::string name = kvlab::ScaleMachineName(i);
      const bool primary = group && (i - 1) % group == 0;
      RoleRecord record{};
      LONG rc = kvlab::ReadRecord(name, record);
      std::vector<std::string> members;
      for (unsigned m = i + 1; primary && m <= kCount && (m - 1) % group; ++m)
        members.push_back(kvlab::ScaleMachineName(m));
      EXPECT_EQ(members, kvlab::ListMembers(name)) << name << " in groups of " << group;
      if (!group) {
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, rc) << name;
        EXPECT_FALSE(kvlab::KeyExists(HKEY_LOCAL_MACHINE, kvlab::DiscoveryTableRoot() + "\\" + name + "\\SanOption"))
            << name << ": the local table was not waited for";
        continue;
      }
      ASSERT_EQ(0, rc) << name;
      const std::string expected = kvlab::ScaleMachineName(i - (i - 1) % group);
      EXPECT_EQ(expected, kvlab::ScalePrimaryName(i, group));
      EXPECT_STREQ(expected.c_str(), record.primaryName) << name;
      EXPECT_EQ(primary ? 0u : 1u, record.distributed) << name;
      kvlab::Scramble(record.userName, sizeof(record.userName));
      kvlab::Scramble(record.password, sizeof(record.password));
      EXPECT_STREQ("Administrator", reinterpret_cast<const char*>(record.userName));
      EXPECT_STREQ("scale-pw", reinterpret_cast<const char*>(record.password));
      EXPECT_TRUE(kvlab::LocalRecordNames(name, expected)) << name << ": the local table was not waited for";
    }
    EXPECT_EQ(0u, Kvlab("audit").code) << "groups of " << group;
  }
}

}  // namespace
