// The role store on other machines of a lab: distributed-servers lists over
// the remote registry, Discovery Service control through the service
// manager, and the broadcast library's peers and product lists. Other
// machines are reached only through the remote-machine layer, so the lab's
// rules hold: unknown or offline machines are unreachable, and a machine
// without a session or trust denies access.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "AdminSession.h"
#include "DiscoveryService.h"
#include "LabAdmin.h"
#include "Remote.h"
#include "RoleTables.h"
#include "TestLab.h"
#include "rolestore_testkey.h"

namespace {

class RemoteRoleStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, m_lab.Add("ALPHA", "alpha-pw"));
    ASSERT_EQ(0, m_lab.Add("BETA", "beta-pw", /*trust=*/true));
    ASSERT_EQ(0, m_lab.Add("GAMMA", "gamma-pw"));
    ASSERT_EQ(0, kvlab::SetOnline("GAMMA", false));
    ASSERT_TRUE(LoadDiscoveryTableRoot());
    ASSERT_TRUE(LoadProductRoot());
  }
  void TearDown() override {
    CloseAdminSession("ALPHA");
    SetRegistryRootsForTest("", "");
  }

  static DWORD OpenAlphaSession() {
    std::string name = AdminSessionName("ALPHA");
    NETRESOURCEA resource{};
    resource.dwScope = RESOURCE_GLOBALNET;
    resource.dwUsage = RESOURCEUSAGE_CONNECTABLE;
    resource.lpRemoteName = name.data();
    return kvr::WNetAddConnection2A(&resource, "alpha-pw", "Administrator", 0);
  }
  // The list key as the machine's own registry holds it.
  static bool ListExistsOn(const std::string& machine) {
    kv::CRegKey root;
    if (kvlab::OpenMachineRoot(machine, root) != ERROR_SUCCESS) return false;
    return rstest::KeyExists(root.Get(), std::string(ProductRoot) + kDistributedListSubKey);
  }
  static std::set<std::string> Names(const char* machine) {
    std::set<std::string> names;
    kv::CRegKey root, key;
    if (OpenDistributedList(root, key, machine) != ERROR_SUCCESS) return names;
    char name[MAX_PATH];
    for (DWORD i = 0; EnumDistributedList(key.Get(), i, name) == ERROR_SUCCESS; ++i) names.insert(name);
    return names;
  }

  kvlab::CScopedLab m_lab{"rolesremote", 300};
};

TEST_F(RemoteRoleStoreTest, ListsOnOtherMachinesNeedAReachableMachineAndASessionOrTrust) {
  kv::CRegKey root, key;
  EXPECT_EQ(EditDistributedList("NOSUCHBOX", "SRV01", ListAdd), ERROR_BAD_NETPATH);
  EXPECT_EQ(EditDistributedList("GAMMA", "SRV01", ListAdd), ERROR_BAD_NETPATH);
  EXPECT_EQ(OpenDistributedList(root, key, "GAMMA"), ERROR_BAD_NETPATH);
  EXPECT_EQ(EditDistributedList("ALPHA", "SRV01", ListAdd), ERROR_ACCESS_DENIED);
  EXPECT_EQ(OpenDistributedList(root, key, "ALPHA"), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(root);
  EXPECT_FALSE(key);
  EXPECT_FALSE(ListExistsOn("ALPHA"));

  // Trust is enough; the list lands in that machine's registry only.
  EXPECT_EQ(EditDistributedList("BETA", "SRV01", ListAdd), ERROR_SUCCESS);
  EXPECT_TRUE(ListExistsOn("BETA"));
  EXPECT_FALSE(rstest::KeyExists(HKEY_LOCAL_MACHINE, std::string(ProductRoot) + kDistributedListSubKey));
  EXPECT_EQ(kvlab::ListMembers("BETA"), std::vector<std::string>{"SRV01"});
}

TEST_F(RemoteRoleStoreTest, ListModesWorkOverASession) {
  ASSERT_EQ(OpenAlphaSession(), 0u);
  EXPECT_EQ(EditDistributedList("ALPHA", "SRV01", ListAdd), ERROR_SUCCESS);
  EXPECT_EQ(EditDistributedList("ALPHA", "SRV02", ListAdd), ERROR_SUCCESS);
  EXPECT_EQ(Names("ALPHA"), (std::set<std::string>{"SRV01", "SRV02"}));
  EXPECT_EQ(EditDistributedList("ALPHA", "GHOST", ListRemove), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(EditDistributedList("ALPHA", "SRV01", ListRemove), ERROR_SUCCESS);
  EXPECT_EQ(EditDistributedList("ALPHA", "SRV02", ListRemove), ERROR_SUCCESS);
  EXPECT_FALSE(ListExistsOn("ALPHA"));
  kv::CRegKey root, key;
  EXPECT_EQ(OpenDistributedList(root, key, "ALPHA"), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(EditDistributedList("ALPHA", "SRV03", ListAdd), ERROR_SUCCESS);
  EXPECT_EQ(OpenDistributedList(root, key, "ALPHA"), ERROR_SUCCESS);
  EXPECT_TRUE(root);  // the remote registry connection belongs to the caller
  EXPECT_EQ(CloseDistributedList(root, key), 0);
  EXPECT_FALSE(root);
  EXPECT_EQ(EditDistributedList("ALPHA", nullptr, ListDelete), ERROR_SUCCESS);
  EXPECT_FALSE(ListExistsOn("ALPHA"));

  // Without the session the machine is closed again.
  CloseAdminSession("ALPHA");
  EXPECT_EQ(EditDistributedList("ALPHA", "SRV04", ListAdd), ERROR_ACCESS_DENIED);
}

TEST_F(RemoteRoleStoreTest, OnlyTheExactComputerNameIsTheLocalMachine) {
  // The local machine stops trusting the console's user: only a remote
  // access then needs a session, so a denial shows the remote path was taken.
  ASSERT_EQ(0, kvlab::SetTrust(rstest::ComputerName(), false));
  std::string exact = rstest::ComputerName();
  std::string lower = exact;
  ::CharLowerA(lower.data());
  ASSERT_NE(lower, exact);

  EXPECT_EQ(EditDistributedList(exact.c_str(), "SRV01", ListAdd), ERROR_SUCCESS);
  EXPECT_EQ(EditDistributedList(lower.c_str(), "SRV02", ListAdd), ERROR_ACCESS_DENIED);
  kv::CRegKey root, key;
  EXPECT_EQ(OpenDistributedList(root, key, lower.c_str()), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Names(exact.c_str()), std::set<std::string>{"SRV01"});
  EXPECT_EQ(EditDistributedList(exact.c_str(), nullptr, ListDelete), ERROR_SUCCESS);
}

// Polls the service until it shows state (bounded).
bool WaitForState(const char* machine, DWORD state) {
  for (int i = 0; i < 100; ++i) {
    DWORD now = 0;
    if (QueryDiscoveryService(machine, &now) == ERROR_SUCCESS && now == state) return true;
    ::Sleep(50);
  }
  return false;
}

TEST_F(RemoteRoleStoreTest, DiscoveryServiceIsQueriedStartedAndStoppedOnAnyMachine) {
  DWORD state = 99;
  EXPECT_EQ(QueryDiscoveryService("NOSUCHBOX", &state), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(QueryDiscoveryService("GAMMA", &state), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(QueryDiscoveryService("ALPHA", &state), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(StopDiscoveryService("ALPHA"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(state, 99u);  // untouched on failure

  ASSERT_EQ(QueryDiscoveryService("BETA", &state), 0u);
  EXPECT_EQ(state, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(StartDiscoveryService("BETA"), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  EXPECT_EQ(StopDiscoveryService("BETA"), 0u);  // does not wait
  ASSERT_EQ(QueryDiscoveryService("BETA", &state), 0u);
  EXPECT_EQ(state, static_cast<DWORD>(SERVICE_STOP_PENDING));
  ASSERT_TRUE(WaitForState("BETA", SERVICE_STOPPED));
  EXPECT_EQ(StopDiscoveryService("BETA"), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(StartDiscoveryService("BETA"), 0u);
  EXPECT_TRUE(WaitForState("BETA", SERVICE_RUNNING));

  // Over a session the same works on a machine that does not trust us.
  ASSERT_EQ(OpenAlphaSession(), 0u);
  EXPECT_EQ(QueryDiscoveryService("ALPHA", &state), 0u);
  EXPECT_EQ(state, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(RemoteRoleStoreTest, AMachineWithoutTheServiceSaysSo) {
  ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, (kvlab::MachinePath("BETA") + "\\Services\\kvdiscoverysvc").c_str());
  DWORD state = 99;
  EXPECT_EQ(QueryDiscoveryService("BETA", &state), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(state, 99u);
  EXPECT_EQ(StartDiscoveryService("BETA"), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

// Broadcast data as the local Discovery Service leaves it in the local table.
class BroadcastTest : public RemoteRoleStoreTest {
 protected:
  static void WritePeers(const std::vector<BYTE>& table) {
    kv::CRegKey key;
    ASSERT_EQ(
        kvlab::CreateKey(HKEY_LOCAL_MACHINE, std::string(ProductRoot) + "\\DiscoveryImplementationList\\Bellcast", key),
        ERROR_SUCCESS);
    ASSERT_EQ(kvlab::WriteBinary(key.Get(), "PeerTable", table.data(), static_cast<DWORD>(table.size())),
              ERROR_SUCCESS);
  }
  static void WriteProducts(const std::string& server, const std::vector<uint32_t>& codes) {
    std::vector<ProductEntry> entries(codes.size());
    for (size_t i = 0; i < codes.size(); ++i) {
      entries[i] = ProductEntry{};
      entries[i].productCode = codes[i];
    }
    kv::CRegKey key;
    ASSERT_EQ(kvlab::CreateKey(HKEY_LOCAL_MACHINE, std::string(DiscoveryTableRoot) + "\\" + server, key),
              ERROR_SUCCESS);
    ASSERT_EQ(kvlab::WriteBinary(key.Get(), "Products", entries.data(),
                                 static_cast<DWORD>(entries.size() * sizeof(ProductEntry))),
              ERROR_SUCCESS);
  }
};

TEST_F(BroadcastTest, PeersAreTheEntriesThatStartWithANonZeroByte) {
  std::vector<BYTE> table(5 * kPeerEntrySize, 0);
  table[0] = 'A';
  table[2 * kPeerEntrySize] = 'C';
  table[4 * kPeerEntrySize] = 'E';
  table[1 * kPeerEntrySize + 1] = 'x';  // only the first byte counts
  WritePeers(table);
  EXPECT_EQ(CountBroadcastPeers(), 3);

  WritePeers(std::vector<BYTE>(kPeerEntrySize, 0));  // one entry, empty
  EXPECT_EQ(CountBroadcastPeers(), 0);
  std::vector<BYTE> one(kPeerEntrySize, 0);
  one[0] = 'Z';
  WritePeers(one);
  EXPECT_EQ(CountBroadcastPeers(), 1);

  // A full table of 4096 peers, and more than fit, count 4096.
  WritePeers(std::vector<BYTE>(static_cast<size_t>(kPeerTableSize) + 10 * kPeerEntrySize, 'p'));
  EXPECT_EQ(CountBroadcastPeers(), kPeerTableSize / kPeerEntrySize);
}

TEST_F(BroadcastTest, ATableThatCannotBeReadCountsNoPeers) {
  ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, (std::string(ProductRoot) + "\\DiscoveryImplementationList\\Bellcast").c_str());
  EXPECT_EQ(CountBroadcastPeers(), 0);
}

TEST_F(BroadcastTest, AServerHasTheProductWhenAnyEntryOfItsListCarriesTheCode) {
  WriteProducts("LATE", {12, 40, 65});
  WriteProducts("NONE", {12, 40});
  WriteProducts("EMPTY", {});
  EXPECT_TRUE(ServerHasProduct("LATE", kSanProductCode));
  EXPECT_FALSE(ServerHasProduct("NONE", kSanProductCode));
  EXPECT_TRUE(ServerHasProduct("NONE", 40));
  EXPECT_FALSE(ServerHasProduct("EMPTY", kSanProductCode));
  EXPECT_FALSE(ServerHasProduct("NOSUCHSERVER", kSanProductCode));
}

}  // namespace
