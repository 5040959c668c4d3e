// The remote-machine seam against the lab: every status a caller relies on,
// for connections, the remote registry and the service manager.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "Bus.h"
#include "LabFault.h"
#include "LabStore.h"
#include "Remote.h"
#include "TestLab.h"

namespace {

// A connection request for \\name\ipc$ that owns its name.
struct Ipc : NETRESOURCEA {
  explicit Ipc(const char* name) : NETRESOURCEA(), remote(std::string("\\\\") + name + "\\ipc$") {
    dwScope = RESOURCE_GLOBALNET;
    dwUsage = RESOURCEUSAGE_CONNECTABLE;
    lpRemoteName = remote.data();
  }
  Ipc(const Ipc&) = delete;
  std::string remote;
};

std::string IpcName(const char* name) { return std::string("\\\\") + name + "\\ipc$"; }

class RemoteSeam : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, lab.Add("ALPHA", "alpha-pw"));
    ASSERT_EQ(0, lab.Add("BETA", "beta-pw", /*trust=*/true));
    ASSERT_EQ(0, lab.Add("GAMMA", "gamma-pw"));
    ASSERT_EQ(0, kvlab::SetOnline("GAMMA", false));
  }
  kvlab::CScopedLab lab{"remote", 400};
};

TEST_F(RemoteSeam, ConnectionsCheckReachCredentialsAndConflicts) {
  Ipc r("ALPHA");
  EXPECT_EQ(ERROR_LOGON_FAILURE, kvr::WNetAddConnection2A(&r, "wrong", "Administrator", 0));
  EXPECT_EQ(ERROR_LOGON_FAILURE, kvr::WNetAddConnection2A(&r, "alpha-pw", "nobody", 0));
  Ipc unknown("NOSUCHBOX");
  EXPECT_EQ(ERROR_BAD_NETPATH, kvr::WNetAddConnection2A(&unknown, "x", "Administrator", 0));
  Ipc offline("GAMMA");
  EXPECT_EQ(ERROR_BAD_NETPATH, kvr::WNetAddConnection2A(&offline, "gamma-pw", "Administrator", 0));
  Ipc share("ALPHA");
  share.remote = "\\\\ALPHA\\c$";
  share.lpRemoteName = share.remote.data();
  EXPECT_EQ(ERROR_BAD_NET_NAME, kvr::WNetAddConnection2A(&share, "alpha-pw", "Administrator", 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, kvr::WNetAddConnection2A(nullptr, "alpha-pw", "Administrator", 0));

  // Machine names are case-insensitive; a second session under other
  // credentials conflicts, under the same ones it is counted.
  Ipc lower("alpha");
  ASSERT_EQ(0u, kvr::WNetAddConnection2A(&lower, "alpha-pw", "Administrator", 0));
  ASSERT_EQ(0, kvlab::SetAccount("ALPHA", "backup", "backup-pw"));
  EXPECT_EQ(ERROR_SESSION_CREDENTIAL_CONFLICT, kvr::WNetAddConnection2A(&r, "backup-pw", "backup", 0));
  EXPECT_EQ(0u, kvr::WNetAddConnection2A(&r, "alpha-pw", "administrator", 0));
  EXPECT_EQ(0u, kvr::WNetCancelConnection2A(IpcName("ALPHA").c_str(), 0, TRUE));
  EXPECT_EQ(0u, kvr::WNetCancelConnection2A(IpcName("ALPHA").c_str(), 0, TRUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_CONNECTED), kvr::WNetCancelConnection2A(IpcName("ALPHA").c_str(), 0, TRUE));
  EXPECT_EQ(0u, kvr::WNetAddConnection2A(&r, "backup-pw", "backup", 0));
  EXPECT_EQ(0u, kvr::WNetCancelConnection2A(IpcName("ALPHA").c_str(), 0, TRUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_CONNECTED),
            kvr::WNetCancelConnection2A(IpcName("NOSUCHBOX").c_str(), 0, TRUE));
}

// The lab's record of a connection: made by the first use, gone with the
// last, the machine's key with its last share; a share without uses is no
// session.
TEST_F(RemoteSeam, SessionKeysComeAndGoWithTheirConnections) {
  const std::string machineKey = kvlab::SessionsPath() + "\\ALPHA";
  Ipc r("ALPHA");
  ASSERT_EQ(0u, kvr::WNetAddConnection2A(&r, "alpha-pw", "Administrator", 0));
  EXPECT_TRUE(kvlab::HasSession("ALPHA"));
  EXPECT_EQ("Administrator", kvlab::SessionUser("ALPHA"));
  ASSERT_EQ(0, kvlab::AddSession("ALPHA", "c$", "Administrator"));
  ASSERT_EQ(0u, kvr::WNetCancelConnection2A(IpcName("ALPHA").c_str(), 0, TRUE));
  EXPECT_FALSE(kvlab::KeyExists(HKEY_LOCAL_MACHINE, machineKey + "\\ipc$"));
  EXPECT_TRUE(kvlab::HasSession("ALPHA"));  // through c$
  EXPECT_EQ(0, kvlab::CancelSession("ALPHA", "c$"));
  EXPECT_FALSE(kvlab::HasSession("ALPHA"));
  EXPECT_FALSE(kvlab::KeyExists(HKEY_LOCAL_MACHINE, machineKey));

  // A share's key goes with whatever was put under it.
  ASSERT_EQ(0u, kvr::WNetAddConnection2A(&r, "alpha-pw", "Administrator", 0));
  kv::CRegKey extra;
  ASSERT_EQ(0, kvlab::CreateKey(HKEY_LOCAL_MACHINE, machineKey + "\\ipc$\\extra", extra));
  extra.Reset();
  ASSERT_EQ(0u, kvr::WNetCancelConnection2A(IpcName("ALPHA").c_str(), 0, TRUE));
  EXPECT_FALSE(kvlab::KeyExists(HKEY_LOCAL_MACHINE, machineKey));

  kv::CRegKey idle;
  ASSERT_EQ(0, kvlab::CreateKey(HKEY_LOCAL_MACHINE, machineKey + "\\ipc$", idle));
  ASSERT_EQ(0, kvlab::WriteDword(idle.Get(), "Uses", 0));
  EXPECT_FALSE(kvlab::HasSession("ALPHA"));
  kv::CRegKey root;
  EXPECT_EQ(ERROR_ACCESS_DENIED, kvr::RegConnectRegistryA("ALPHA", HKEY_LOCAL_MACHINE, root.Put()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_CONNECTED), kvr::WNetCancelConnection2A(IpcName("ALPHA").c_str(), 0, TRUE));
  EXPECT_FALSE(kvlab::KeyExists(HKEY_LOCAL_MACHINE, machineKey));
}

TEST_F(RemoteSeam, RegistryNeedsSessionOrTrust) {
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED, kvr::RegConnectRegistryA("ALPHA", HKEY_LOCAL_MACHINE, &key));
  EXPECT_EQ(ERROR_BAD_NETPATH, kvr::RegConnectRegistryA("NOSUCHBOX", HKEY_LOCAL_MACHINE, &key));
  EXPECT_EQ(ERROR_BAD_NETPATH, kvr::RegConnectRegistryA("GAMMA", HKEY_LOCAL_MACHINE, &key));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, kvr::RegConnectRegistryA("ALPHA", HKEY_LOCAL_MACHINE, nullptr));

  // Pass-through trust: no session needed.
  kv::CRegKey beta;
  ASSERT_EQ(0, kvr::RegConnectRegistryA("\\\\BETA", HKEY_LOCAL_MACHINE, beta.Put()));
  kv::CRegKey written;
  ASSERT_EQ(0, kvlab::CreateKey(beta.Get(), "SOFTWARE\\Probe", written));
  ASSERT_EQ(0, kvlab::WriteDword(written.Get(), "Value", 7));
  // It is BETA's own registry, not the local one.
  EXPECT_FALSE(kvlab::KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Probe"));
  EXPECT_TRUE(kvlab::KeyExists(HKEY_LOCAL_MACHINE, kvlab::MachineRegistryPath("BETA") + "\\SOFTWARE\\Probe"));

  Ipc r("ALPHA");
  ASSERT_EQ(0u, kvr::WNetAddConnection2A(&r, "alpha-pw", "Administrator", 0));
  kv::CRegKey alpha;
  EXPECT_EQ(0, kvr::RegConnectRegistryA("ALPHA", HKEY_LOCAL_MACHINE, alpha.Put()));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, ::RegOpenKeyExA(alpha.Get(), "SOFTWARE\\Probe", 0, KEY_READ, written.Put()));
  EXPECT_EQ(0u, kvr::WNetCancelConnection2A(IpcName("ALPHA").c_str(), 0, TRUE));
  EXPECT_EQ(ERROR_ACCESS_DENIED, kvr::RegConnectRegistryA("ALPHA", HKEY_LOCAL_MACHINE, alpha.Put()));

  // The local machine named in other letter case is served with the real HKLM.
  std::string local = kvlab::LocalComputerName();
  CharLowerA(local.data());
  kv::CRegKey self;
  ASSERT_EQ(0, kvr::RegConnectRegistryA(local.c_str(), HKEY_LOCAL_MACHINE, self.Put()));
  EXPECT_EQ(0, ::RegOpenKeyExA(self.Get(), kvlab::LabRoot().c_str(), 0, KEY_READ, written.Put()));
}

TEST_F(RemoteSeam, ServiceManagerOfLabMachines) {
  SetLastError(0);
  EXPECT_EQ(nullptr, kvr::OpenSCManagerA("ALPHA", nullptr, SC_MANAGER_CONNECT));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ(nullptr, kvr::OpenSCManagerA("NOSUCHBOX", nullptr, SC_MANAGER_CONNECT));
  EXPECT_EQ(static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE), GetLastError());
  EXPECT_EQ(nullptr, kvr::OpenSCManagerA("GAMMA", nullptr, SC_MANAGER_CONNECT));
  EXPECT_EQ(static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE), GetLastError());

  kvr::CServiceHandle scm(kvr::OpenSCManagerA("BETA", SERVICES_ACTIVE_DATABASEA, SC_MANAGER_CONNECT));
  ASSERT_TRUE(scm);
  EXPECT_EQ(nullptr, kvr::OpenServiceA(scm.Get(), "NoSuchService", SERVICE_QUERY_STATUS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
  kvr::CServiceHandle query(kvr::OpenServiceA(scm.Get(), "kvdiscoverysvc", SERVICE_QUERY_STATUS));
  kvr::CServiceHandle stop(kvr::OpenServiceA(scm.Get(), "kvdiscoverysvc", SERVICE_STOP));
  kvr::CServiceHandle start(kvr::OpenServiceA(scm.Get(), "kvdiscoverysvc", SERVICE_START));
  ASSERT_TRUE(query && stop && start);
  SERVICE_STATUS s = {};
  ASSERT_TRUE(kvr::QueryServiceStatus(query.Get(), &s));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), s.dwCurrentState);
  EXPECT_FALSE(kvr::QueryServiceStatus(stop.Get(), &s));  // no query right on that handle
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(kvr::QueryServiceStatus(query.Get(), nullptr));
  EXPECT_FALSE(kvr::StartServiceA(start.Get(), 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING), GetLastError());

  // A stop passes through STOP_PENDING with checkpoints and wait hints.
  ASSERT_TRUE(kvr::ControlService(stop.Get(), SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), s.dwCurrentState);
  EXPECT_EQ(1u, s.dwCheckPoint);
  EXPECT_EQ(100u, s.dwWaitHint);
  EXPECT_FALSE(kvr::ControlService(stop.Get(), SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL), GetLastError());
  DWORD lastCheckPoint = 0;
  for (int i = 0; i < 100 && kvr::QueryServiceStatus(query.Get(), &s) && s.dwCurrentState == SERVICE_STOP_PENDING;
       ++i) {
    EXPECT_GE(s.dwCheckPoint, lastCheckPoint);
    lastCheckPoint = s.dwCheckPoint;
    Sleep(20);
  }
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), s.dwCurrentState);
  EXPECT_GT(lastCheckPoint, 1u);
  EXPECT_FALSE(kvr::ControlService(stop.Get(), SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), GetLastError());

  ASSERT_TRUE(kvr::StartServiceA(start.Get(), 0, nullptr));
  ASSERT_TRUE(kvr::QueryServiceStatus(query.Get(), &s));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), s.dwCurrentState);
  EXPECT_TRUE(kvlab::HostRunning());

  // Handles that this module did not give out are refused.
  EXPECT_FALSE(kvr::CloseServiceHandle(reinterpret_cast<SC_HANDLE>(&s)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

  // With a session instead of trust; offline later gives the RPC error.
  Ipc r("ALPHA");
  ASSERT_EQ(0u, kvr::WNetAddConnection2A(&r, "alpha-pw", "Administrator", 0));
  kvr::CServiceHandle alpha(kvr::OpenSCManagerA("ALPHA", nullptr, SC_MANAGER_CONNECT));
  ASSERT_TRUE(alpha);
  kvr::CServiceHandle alphaSvc(kvr::OpenServiceA(alpha.Get(), "kvdiscoverysvc", SERVICE_QUERY_STATUS));
  ASSERT_TRUE(alphaSvc);
  ASSERT_EQ(0, kvlab::SetOnline("ALPHA", false));
  EXPECT_FALSE(kvr::QueryServiceStatus(alphaSvc.Get(), &s));
  EXPECT_EQ(static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE), GetLastError());
  // A connection can be cancelled while its machine is off the network.
  EXPECT_EQ(0u, kvr::WNetCancelConnection2A(IpcName("ALPHA").c_str(), 0, TRUE));
}

TEST_F(RemoteSeam, LocalMachineUsesTheRealServiceManager) {
  std::string local = kvlab::LocalComputerName();
  CharLowerA(local.data());
  kvr::CServiceHandle scm(kvr::OpenSCManagerA(local.c_str(), nullptr, SC_MANAGER_CONNECT));
  ASSERT_TRUE(scm);
  kvr::CServiceHandle rpc(kvr::OpenServiceA(scm.Get(), "RpcSs", SERVICE_QUERY_STATUS));
  ASSERT_TRUE(rpc);
  SERVICE_STATUS s = {};
  EXPECT_TRUE(kvr::QueryServiceStatus(rpc.Get(), &s));
}

// Each connection attempt from a state of its own: which status wins, and
// what trust does and does not excuse.
TEST_F(RemoteSeam, ConnectionRulesAtTheirEdges) {
  ASSERT_EQ(0, kvlab::SetAccount("ALPHA", "backup", "backup-pw"));
  ASSERT_EQ(0, kvlab::SetAccount("BETA", kvlab::ConsoleUserName(), "own-pw"));
  const std::string own = kvlab::ConsoleUserName();
  struct Case {
    const char* machine;
    bool existing;  // a session as Administrator is open first
    const char* user;
    const char* password;
    DWORD expected;
  };
  const Case cases[] = {
      {"BETA", false, own.c_str(), "wrong", ERROR_LOGON_FAILURE},  // trust does not excuse a wrong password
      {"BETA", false, own.c_str(), "", ERROR_LOGON_FAILURE},
      {"BETA", false, own.c_str(), nullptr, 0},  // the caller's own logon, trusted
      {"BETA", false, nullptr, nullptr, 0},
      {"BETA", false, own.c_str(), "own-pw", 0},
      {"ALPHA", false, own.c_str(), nullptr, ERROR_LOGON_FAILURE},
      {"ALPHA", true, "backup", "wrong", ERROR_SESSION_CREDENTIAL_CONFLICT},  // the conflict wins
      {"ALPHA", true, "backup", "backup-pw", ERROR_SESSION_CREDENTIAL_CONFLICT},
      {"ALPHA", true, "Administrator", "wrong", ERROR_LOGON_FAILURE},
  };
  for (const Case& c : cases) {
    Ipc r(c.machine);
    std::string password = std::string(c.machine) == "ALPHA" ? "alpha-pw" : "beta-pw";
    if (c.existing) {
      ASSERT_EQ(0u, kvr::WNetAddConnection2A(&r, password.c_str(), "Administrator", 0));
    }
    EXPECT_EQ(c.expected, kvr::WNetAddConnection2A(&r, c.password, c.user, 0))
        << c.machine << " " << (c.user ? c.user : "(none)") << "/" << (c.password ? c.password : "(none)");
    while (kvr::WNetCancelConnection2A(IpcName(c.machine).c_str(), 0, TRUE) == 0) {
    }
  }
}

TEST_F(RemoteSeam, AClosedServiceHandleIsRefusedEvenWhenANewOneTakesItsPlace) {
  kvr::CServiceHandle scm(kvr::OpenSCManagerA("BETA", nullptr, SC_MANAGER_CONNECT));
  ASSERT_TRUE(scm);
  SC_HANDLE closed = kvr::OpenServiceA(scm.Get(), "kvdiscoverysvc", SERVICE_ALL_ACCESS);
  ASSERT_TRUE(closed);
  ASSERT_TRUE(kvr::CloseServiceHandle(closed));
  kvr::CServiceHandle fresh(kvr::OpenServiceA(scm.Get(), "kvdiscoverysvc", SERVICE_ALL_ACCESS));
  ASSERT_TRUE(fresh);
  SERVICE_STATUS s = {};
  const std::pair<const char*, BOOL (*)(SC_HANDLE, SERVICE_STATUS*)> calls[] = {
      {"QueryServiceStatus", [](SC_HANDLE h, SERVICE_STATUS* st) { return kvr::QueryServiceStatus(h, st); }},
      {"StartServiceA", [](SC_HANDLE h, SERVICE_STATUS*) { return kvr::StartServiceA(h, 0, nullptr); }},
      {"ControlService",
       [](SC_HANDLE h, SERVICE_STATUS* st) { return kvr::ControlService(h, SERVICE_CONTROL_STOP, st); }},
      {"OpenServiceA", [](SC_HANDLE h, SERVICE_STATUS*) { return BOOL(kvr::OpenServiceA(h, "x", 0) != nullptr); }},
      {"CloseServiceHandle", [](SC_HANDLE h, SERVICE_STATUS*) { return kvr::CloseServiceHandle(h); }},
  };
  for (const auto& [name, call] : calls) {
    SetLastError(0);
    EXPECT_FALSE(call(closed, &s)) << name;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError()) << name;
  }
  EXPECT_TRUE(kvr::QueryServiceStatus(fresh.Get(), &s));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), s.dwCurrentState);  // the stop above did not reach it
}

TEST_F(RemoteSeam, StartingAServiceStartsTheStoppedLabHost) {
  ASSERT_EQ(0, kvlab::WriteServiceTarget("BETA", "kvdiscoverysvc", SERVICE_STOPPED));
  ASSERT_TRUE(kvlab::StopHost());
  ASSERT_FALSE(kvlab::HostRunning());
  kvr::CServiceHandle scm(kvr::OpenSCManagerA("BETA", nullptr, SC_MANAGER_CONNECT));
  kvr::CServiceHandle svc(scm ? kvr::OpenServiceA(scm.Get(), "kvdiscoverysvc", SERVICE_START | SERVICE_QUERY_STATUS)
                              : nullptr);
  ASSERT_TRUE(svc);
  SERVICE_STATUS s = {};
  for (int i = 0; i < 100 && kvr::QueryServiceStatus(svc.Get(), &s) && s.dwCurrentState != SERVICE_STOPPED; ++i)
    Sleep(20);
  ASSERT_EQ(static_cast<DWORD>(SERVICE_STOPPED), s.dwCurrentState);
  ASSERT_TRUE(kvr::StartServiceA(svc.Get(), 0, nullptr));
  EXPECT_TRUE(kvlab::HostRunning());
  // The host runs the node: BETA publishes again.
  kvcore::CBus bus;
  ASSERT_TRUE(bus.Open());
  uint32_t slot = kvcore::SlotOfMachine("BETA");
  kvcore::BusSlot before = {}, after = {};
  bus.Read(slot, before);
  for (int i = 0; i < 150 && bus.Read(slot, after) && after.publications == before.publications; ++i) Sleep(20);
  EXPECT_GT(after.publications, before.publications);
}

TEST_F(RemoteSeam, ARemovedMachineTakesItsSessionsWithIt) {
  Ipc r("ALPHA");
  ASSERT_EQ(0u, kvr::WNetAddConnection2A(&r, "alpha-pw", "Administrator", 0));
  ASSERT_TRUE(kvlab::HasSession("ALPHA"));
  ASSERT_EQ(0, kvlab::RemoveMachine("ALPHA"));
  ASSERT_EQ(0, lab.Add("ALPHA", "alpha-pw"));  // a new machine of the same name
  EXPECT_FALSE(kvlab::HasSession("ALPHA"));
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED, kvr::RegConnectRegistryA("ALPHA", HKEY_LOCAL_MACHINE, &key));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_CONNECTED), kvr::WNetCancelConnection2A(IpcName("ALPHA").c_str(), 0, TRUE));
}

// The fault switch: only calls that cross the network count, across every
// kind of call; the Nth fails once with the status set (or the default) and
// the count goes on until the switch is cleared; a switch left behind by a
// removed lab is no switch.
TEST_F(RemoteSeam, TheFaultSwitchFailsTheNthCallThatCrossesTheNetworkOnce) {
  const std::string local = kvlab::LocalComputerName();
  Ipc alpha("ALPHA");
  auto countedCalls = [&](DWORD failAt, DWORD status) {
    std::vector<DWORD> got;
    auto note = [&](bool ok) { got.push_back(ok ? 0 : GetLastError()); };
    kv::CRegKey key;
    // Not counted: the local machine, cancelling a connection, closing a handle.
    EXPECT_EQ(0, kvr::RegConnectRegistryA(local.c_str(), HKEY_LOCAL_MACHINE, key.Put()));
    kvr::CServiceHandle localScm(kvr::OpenSCManagerA(local.c_str(), nullptr, SC_MANAGER_CONNECT));
    EXPECT_TRUE(localScm);
    got.push_back(kvr::WNetAddConnection2A(&alpha, "alpha-pw", "Administrator", 0));
    kvr::WNetCancelConnection2A(IpcName("ALPHA").c_str(), 0, TRUE);
    got.push_back(static_cast<DWORD>(kvr::RegConnectRegistryA("BETA", HKEY_LOCAL_MACHINE, key.Put())));
    kvr::CServiceHandle scm(kvr::OpenSCManagerA("BETA", nullptr, SC_MANAGER_CONNECT));
    note(static_cast<bool>(scm));
    if (!scm) scm.Reset(kvr::OpenSCManagerA("BETA", nullptr, SC_MANAGER_CONNECT));
    kvr::CServiceHandle svc(kvr::OpenServiceA(scm.Get(), "kvdiscoverysvc", SERVICE_QUERY_STATUS));
    note(static_cast<bool>(svc));
    if (!svc) svc.Reset(kvr::OpenServiceA(scm.Get(), "kvdiscoverysvc", SERVICE_QUERY_STATUS));
    SERVICE_STATUS s = {};
    note(kvr::QueryServiceStatus(svc.Get(), &s));
    svc.Reset();
    scm.Reset();
    // A name the lab does not know counts too (it is looked for on the network).
    got.push_back(static_cast<DWORD>(kvr::RegConnectRegistryA("NOSUCHBOX", HKEY_LOCAL_MACHINE, key.Put())));
    std::vector<DWORD> want = {0, 0, 0, 0, 0, ERROR_BAD_NETPATH};
    if (failAt) want[failAt - 1] = status;
    return got == want;
  };
  EXPECT_TRUE(countedCalls(0, 0));
  EXPECT_FALSE(kvlab::ReadFault().set);
  // A handle that could not be had is asked for once more, and counted.
  for (DWORD at = 1; at <= 6; ++at) {
    const DWORD status = at == 3 || at == 6 ? ERROR_NETNAME_DELETED : ERROR_BAD_NETPATH;
    ASSERT_EQ(0, status == ERROR_BAD_NETPATH ? kvlab::SetFault(at) : kvlab::SetFault(at, status));
    EXPECT_TRUE(countedCalls(at, status)) << "fault at call " << at;
    kvlab::FaultSwitch f = kvlab::ReadFault();
    EXPECT_TRUE(f.set && f.Hit()) << at;
    EXPECT_EQ(f.calls, at == 3 || at == 4 ? 7u : 6u) << at;
  }
  ASSERT_EQ(0, kvlab::ClearFault());
  EXPECT_FALSE(kvlab::ReadFault().set);
  EXPECT_TRUE(countedCalls(0, 0));
  EXPECT_EQ(0u, kvlab::ReadFault().calls);

  ASSERT_EQ(0, kvlab::SetFault(1));
  kv::CRegKey root;
  ASSERT_EQ(0, kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::LabRoot(), KEY_ALL_ACCESS, root));
  ASSERT_EQ(0, ::RegDeleteValueA(root.Get(), "FaultAfter"));
  EXPECT_TRUE(countedCalls(0, 0));
  EXPECT_EQ(static_cast<LONG>(ERROR_INVALID_PARAMETER), kvlab::SetFault(0));
}

// Milliseconds a call takes, and its result.
DWORD Timed(const std::function<DWORD()>& call, double& ms) {
  LARGE_INTEGER f, t0, t1;
  ::QueryPerformanceFrequency(&f);
  ::QueryPerformanceCounter(&t0);
  DWORD result = call();
  ::QueryPerformanceCounter(&t1);
  ms = (t1.QuadPart - t0.QuadPart) * 1000.0 / f.QuadPart;
  return result;
}

// The lab's network: every call that crosses it takes at least the latency
// less the jitter (a call to an offline machine or an unknown name: the
// time-out) and gives the result it gives without it; the local machine
// waits for nothing; off, or its values gone with the lab, is no network.
TEST_F(RemoteSeam, TheNetworkDelaysEachCallThatCrossesItAndChangesNoResult) {
  const std::string local = kvlab::LocalComputerName();
  Ipc alpha("ALPHA");
  auto connect = [](std::string machine) {
    return [machine] {
      kv::CRegKey key;
      return static_cast<DWORD>(kvr::RegConnectRegistryA(machine.c_str(), HKEY_LOCAL_MACHINE, key.Put()));
    };
  };
  auto scm = [](const char* machine) {
    return [machine] {
      kvr::CServiceHandle m(kvr::OpenSCManagerA(machine, nullptr, SC_MANAGER_CONNECT));
      return m ? 0 : ::GetLastError();
    };
  };
  struct Case {
    const char* what;
    int calls;  // that cross the network
    bool offline;
    std::function<DWORD()> call;
  } cases[] = {
      {"registry of ALPHA without a session", 1, false, connect("ALPHA")},
      {"session to ALPHA", 1, false,
       [&] {
         DWORD rc = kvr::WNetAddConnection2A(&alpha, "alpha-pw", "Administrator", 0);
         kvr::WNetCancelConnection2A(IpcName("ALPHA").c_str(), 0, TRUE);
         return rc;
       }},
      {"registry of BETA", 1, false, connect("BETA")},
      {"service status on BETA", 3, false,
       [] {
         kvr::CServiceHandle m(kvr::OpenSCManagerA("BETA", nullptr, SC_MANAGER_CONNECT));
         kvr::CServiceHandle svc(kvr::OpenServiceA(m.Get(), "kvdiscoverysvc", SERVICE_QUERY_STATUS));
         SERVICE_STATUS st = {};
         return kvr::QueryServiceStatus(svc.Get(), &st) ? st.dwCurrentState : ::GetLastError();
       }},
      {"registry of offline GAMMA", 1, true, connect("GAMMA")},
      {"service manager of offline GAMMA", 1, true, scm("GAMMA")},
      {"registry of an unknown name", 1, true, connect("NOSUCHBOX")},
      {"registry of the local machine", 0, false, connect(local)},
      {"service manager of the local machine", 0, false, scm(local.c_str())},
  };
  std::vector<DWORD> without;
  double ms = 0;
  for (const Case& c : cases) without.push_back(c.call());
  EXPECT_EQ(std::vector<DWORD>({ERROR_ACCESS_DENIED, 0, 0, SERVICE_RUNNING, ERROR_BAD_NETPATH, RPC_S_SERVER_UNAVAILABLE,
                                ERROR_BAD_NETPATH, 0, 0}),
            without);

  const DWORD latency = 60, jitter = 20, unreachable = 150;
  ASSERT_EQ(0, kvlab::SetNetwork(latency, jitter, unreachable));
  kvlab::NetworkSetting n = kvlab::ReadNetwork();
  EXPECT_TRUE(n.set && n.latencyMs == latency && n.jitterMs == jitter && n.unreachableMs == unreachable);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    EXPECT_EQ(without[i], Timed(c.call, ms)) << c.what;
    EXPECT_GE(ms, c.calls * (c.offline ? unreachable : latency - jitter)) << c.what;
  }

  // Not delayed: the local machine, and anything once the network is off or
  // its values are gone (a wait of 5 s would show).
  ASSERT_EQ(0, kvlab::SetNetwork(5000, 0, 5000));
  EXPECT_EQ(0u, Timed(connect(local), ms));
  EXPECT_LT(ms, 2500);
  ASSERT_EQ(0, kvlab::ClearNetwork());
  EXPECT_FALSE(kvlab::ReadNetwork().set);
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_NETPATH), Timed(connect("GAMMA"), ms));
  EXPECT_LT(ms, 2500);
  ASSERT_EQ(0, kvlab::SetNetwork(5000, 0, 5000));
  kv::CRegKey root;
  ASSERT_EQ(0, kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::LabRoot(), KEY_ALL_ACCESS, root));
  ASSERT_EQ(0, ::RegDeleteValueA(root.Get(), "NetLatencyMs"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Timed(connect("ALPHA"), ms));
  EXPECT_LT(ms, 2500);
  EXPECT_EQ(static_cast<LONG>(ERROR_INVALID_PARAMETER), kvlab::SetNetwork(10, 11, 10));
  EXPECT_FALSE(kvlab::ReadNetwork().set);
}

}  // namespace
