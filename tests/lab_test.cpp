// The lab tool and its library: the default lab, the audit, and the tool's
// handling of bad input (exit codes, no password in any output).
#include <gtest/gtest.h>

#include <string>

#include "LabAdmin.h"
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
  // A start can fail for a moment under a loaded Wine: try once more, and
  // say why when it still fails, so the test's message names the cause.
  bool started = CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  if (!started) {
    Sleep(200);
    started = CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  }
  if (!started) {
    run.output = "kvlab.exe could not be started: error " + std::to_string(GetLastError());
    return run;
  }
  kv::CHandle process(pi.hProcess), thread(pi.hThread);
  writer.Reset();
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read, buffer, sizeof(buffer), &got, nullptr) && got) run.output.append(buffer, got);
  WaitForSingleObject(pi.hProcess, 30000);
  GetExitCodeProcess(pi.hProcess, &run.code);
  return run;
}

class LabTool : public ::testing::Test {
 protected:
  kvlab::CScopedLab lab{"labtool", 0};
};

TEST_F(LabTool, DefaultLabShowsEveryCase) {
  ASSERT_EQ(0, lab.StartLocalDiscovery());
  ASSERT_EQ(0, kvlab::BuildDefaultLab(nullptr));
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

}  // namespace
