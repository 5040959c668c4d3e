// The product libraries through their ordinal imports, with the Discovery
// Service of a lab of the test's own.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Bellcast.h"
#include "Bus.h"
#include "Catalogue.h"
#include "DiscoveryNode.h"
#include "Dunlin.h"
#include "LabStore.h"
#include "Prodwick.h"
#include "Remote.h"
#include "TestLab.h"
#include "Toolwright.h"

namespace {

// ---- Toolwright and Prodwick (no lab needed beyond their roots) -------------

TEST(Toolwright, RootsAndSettings) {
  kvlab::CScopedLab lab("toolwright");
  char buffer[256];
  ASSERT_NE(0, GetProductRootPath(buffer, sizeof(buffer)) & 0xFFFF);
  EXPECT_EQ(kvlab::ProductRoot(), buffer);
  ASSERT_NE(0, GetDiscoveryTablePath(buffer, sizeof(buffer)) & 0xFFFF);
  EXPECT_EQ(kvlab::ProductRoot() + "\\DiscoveryTable", buffer);
  EXPECT_EQ(0, GetProductRootPath(buffer, 4) & 0xFFFF);
  EXPECT_EQ(0, GetDiscoveryTablePath(nullptr, 256) & 0xFFFF);

  EXPECT_EQ(0, ReadToolSetting(0, "VODIdazur", 0, "AutoRefresh", 0));
  EXPECT_EQ(5, ReadToolSetting(0, "VODIdazur", 0, "AutoRefresh", 5));
  WriteToolSetting(0, "VODIdazur", 0, "AutoRefresh", 1);
  EXPECT_EQ(1, ReadToolSetting(0, "VODIdazur", 0, "AutoRefresh", 0));
  WriteToolSetting(0, "VODIdazur", 0, "AutoRefresh", 0);
  EXPECT_EQ(0, ReadToolSetting(0, "VODIdazur", 0, "AutoRefresh", 1));
  EXPECT_EQ(9, ReadToolSetting(0, nullptr, 0, "AutoRefresh", 9));
  EXPECT_EQ(9, ReadToolSetting(0, "a\\b", 0, "AutoRefresh", 9));
  EXPECT_NE(0, WriteToolSetting(0, "VODIdazur", 0, nullptr, 1));
}

TEST(Toolwright, DefaultRootsAreTheProducts) {
  char saved[512];
  DWORD n = GetEnvironmentVariableA("KV_PRODUCT_ROOT", saved, sizeof(saved));
  SetEnvironmentVariableA("KV_PRODUCT_ROOT", nullptr);
  char buffer[256];
  GetProductRootPath(buffer, sizeof(buffer));
  EXPECT_STREQ("SOFTWARE\\Quillmark\\KestravaNet", buffer);
  GetDiscoveryTablePath(buffer, sizeof(buffer));
  EXPECT_STREQ("SOFTWARE\\Quillmark\\KestravaNet\\DiscoveryTable", buffer);
  if (n) SetEnvironmentVariableA("KV_PRODUCT_ROOT", saved);
}

TEST(Prodwick, CatalogueByCodeAndVersion) {
  ProductInfoBlock block;
  std::memset(&block, 0xCC, sizeof(block));
  ASSERT_NE(0, prodwick::GetProductInfo(65, &block) & 0xFFFF);
  EXPECT_STREQ("SanOption", block.keyName);
  EXPECT_EQ(1, block.word);
  EXPECT_EQ(0, prodwick::GetProductInfo(9999, &block) & 0xFFFF);
  EXPECT_EQ(0, prodwick::GetProductInfo(65, nullptr) & 0xFFFF);

  char name[250];
  ASSERT_NE(0, GetProductName(65, name, 1, 0x04D20800) & 0xFFFF);  // 8.0 build 1234
  EXPECT_STREQ("Kestrava SAN Option", name);
  ASSERT_NE(0, GetProductName(65, name, 1, 0x00010605) & 0xFFFF);  // 6.5
  EXPECT_STREQ("Kestrava Enterprise Library Option", name);
  EXPECT_EQ(0, GetProductName(9999, name, 0, 0) & 0xFFFF);
  EXPECT_STREQ("", name);
  EXPECT_EQ(0, GetProductName(65, nullptr, 0, 0) & 0xFFFF);

  char text[256];
  uint8_t data[32] = {};
  std::memcpy(data, "Enterprise", 10);
  GetProductDescription(65, text, 4, 0x04D20800, data);
  EXPECT_STREQ("Shares libraries between the backup servers of a storage area network (4 licences) [Enterprise]", text);
  // Data without a NUL is read only for its 32 bytes.
  std::memset(data, 'A', sizeof(data));
  GetProductDescription(12, text, 1, 0x04D20800, data);
  EXPECT_EQ(std::string("Drives tape and optical libraries with many slots [") + std::string(32, 'A') + "]", text);
  GetProductDescription(12, text, 1, 0x04D20600, nullptr);
  EXPECT_STREQ("Drives tape libraries", text);
  EXPECT_EQ(0, GetProductDescription(65, nullptr, 0, 0, nullptr));
}

// ---- Dunlin, Bellcast and the Discovery Service ------------------------------

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, lab.Add("ALPHA", "alpha-pw"));
    ASSERT_EQ(0, lab.Add("BETA", "beta-pw", /*trust=*/true));
    kv::CRegKey setting;
    ASSERT_EQ(0, kvlab::CreateKey(
                     HKEY_LOCAL_MACHINE,
                     kvlab::ProductRoot() + "\\DiscoveryImplementationList\\Bellcast\\TandDiscoverySetting", setting));
    kvlab::WriteDword(setting.Get(), "BCastDelay", 100);
    ASSERT_EQ(0, lab.StartLocalDiscovery());
    ASSERT_TRUE(kvlab::WaitForTable({"ALPHA", "BETA", kvlab::LocalComputerName()}, 10000));
  }

  static std::string TablePath(const std::string& server) { return kvlab::DiscoveryTableRoot() + "\\" + server; }

  // The record of server in the local table, as the console reads it.
  static LONG LocalRecord(const std::string& server, RoleRecord& r, DWORD& size) {
    kv::CRegKey key;
    LONG rc = kvlab::OpenKey(HKEY_LOCAL_MACHINE, TablePath(server) + "\\SanOption", KEY_READ, key);
    if (rc != ERROR_SUCCESS) return rc;
    size = sizeof(r);
    std::memset(&r, 0, sizeof(r));
    return ::RegQueryValueExA(key.Get(), "Slot_1", nullptr, nullptr, reinterpret_cast<BYTE*>(&r), &size);
  }

  static bool WaitForLocalRecord(const std::string& server, const char* primary, DWORD timeoutMs) {
    for (DWORD waited = 0; waited <= timeoutMs; waited += 20) {
      RoleRecord r;
      DWORD size = 0;
      LONG rc = LocalRecord(server, r, size);
      if (primary ? rc == 0 && std::strcmp(r.primaryName, primary) == 0 : rc != 0) return true;
      Sleep(20);
    }
    return false;
  }

  static RoleRecord Record(const char* primary) {
    RoleRecord r = {};
    std::strcpy(r.primaryName, primary);
    r.distributed = 1;
    return r;
  }

  kvlab::CScopedLab lab{"product", 300};
};

TEST_F(Discovery, EnumeratesTheLocalTable) {
  ASSERT_EQ(0, DiscoveryAttach(0));
  HANDLE h = nullptr;
  DWORD count = 0;
  ASSERT_EQ(0, OpenServerEnum(&h, &count));
  std::vector<std::string> names;
  DiscoveryEntry e;
  DWORD i = 0;
  for (;; ++i) {
    std::memset(&e, 0, sizeof(e));
    int rc = NextServerEntry(h, i, &e);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(0, rc);
    names.push_back(e.serverName);
    if (names.back() == "ALPHA") {
      EXPECT_STREQ("KESTRAVA", e.domainName);
      EXPECT_EQ(24u, e.serverType);
      EXPECT_EQ(10, e.ipv4[0]);
      EXPECT_NEAR(static_cast<double>(e.lastRespondTime), kvlab::NowMs() / 1000.0, 120);
    }
  }
  EXPECT_EQ(count, i);
  EXPECT_EQ(3u, names.size());
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, NextServerEntry(h, 1000, &e));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, NextServerEntry(h, 0, nullptr));
  CloseServerEnum(h);
  EXPECT_EQ(ERROR_INVALID_HANDLE, NextServerEntry(h, 0, &e));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, OpenServerEnum(nullptr, nullptr));
  DiscoveryDetach();
}

TEST_F(Discovery, DamagedEntriesAreSkippedNotOverread) {
  lab.StopLocalDiscovery();  // the table must hold still
  kv::CRegKey bad;
  ASSERT_EQ(0, kvlab::CreateKey(HKEY_LOCAL_MACHINE, TablePath("BROKEN"), bad));
  DiscoveryEntry noNul;
  std::memset(&noNul, 'X', sizeof(noNul));
  kvlab::WriteBinary(bad.Get(), "Entry", &noNul, sizeof(noNul));
  kv::CRegKey shortKey;
  ASSERT_EQ(0, kvlab::CreateKey(HKEY_LOCAL_MACHINE, TablePath("SHORT"), shortKey));
  kvlab::WriteBinary(shortKey.Get(), "Entry", "abc", 3);
  kv::CRegKey typed;
  ASSERT_EQ(0, kvlab::CreateKey(HKEY_LOCAL_MACHINE, TablePath("TYPED"), typed));
  kvlab::WriteString(typed.Get(), "Entry", std::string(43, 'Y'));

  HANDLE h = nullptr;
  ASSERT_EQ(0, OpenServerEnum(&h, nullptr));
  int good = 0, damaged = 0;
  DiscoveryEntry e;
  for (DWORD i = 0;; ++i) {
    int rc = NextServerEntry(h, i, &e);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    (rc == 0 ? good : damaged)++;
    if (rc != 0) {
      EXPECT_EQ(ERROR_INVALID_DATA, rc);
    }
  }
  CloseServerEnum(h);
  EXPECT_EQ(3, good);
  EXPECT_EQ(3, damaged);

  // Products: whole entries only; a value of the wrong type is refused.
  std::vector<uint8_t> products(72 + 30, 0);
  products[20] = 65;
  kvlab::WriteBinary(bad.Get(), "Products", products.data(), static_cast<DWORD>(products.size()));
  ASSERT_EQ(0, OpenProductList("BROKEN", &h, nullptr));
  ProductEntry p;
  EXPECT_EQ(0, NextProductEntry(h, 0, &p));
  EXPECT_EQ(65u, p.productCode);
  EXPECT_NE(0, NextProductEntry(h, 1, &p));
  CloseProductList(h);
  kvlab::WriteString(typed.Get(), "Products", "text");
  EXPECT_EQ(ERROR_INVALID_DATA, OpenProductList("TYPED", &h, nullptr));
}

TEST_F(Discovery, RecordsTravelOnlyWhileTheLocalServiceRuns) {
  RoleRecord r = Record("ALPHA");
  DWORD size = sizeof(r);
  // ALPHA: no session, no trust.
  EXPECT_EQ(ERROR_ACCESS_DENIED, WriteRoleRecord("ALPHA", 65, &r, &size));
  EXPECT_EQ(ERROR_ACCESS_DENIED, ReadRoleRecord("ALPHA", 65, &r, &size));
  EXPECT_EQ(ERROR_BAD_NETPATH, WriteRoleRecord("NOSUCHBOX", 65, &r, &size));

  // BETA trusts the console's user.
  r = Record("ALPHA");
  ASSERT_EQ(0, WriteRoleRecord("BETA", 65, &r, &size));
  RoleRecord back = {};
  DWORD backSize = sizeof(back);
  ASSERT_EQ(0, ReadRoleRecord("BETA", 65, &back, &backSize));
  EXPECT_EQ(76u, backSize);
  EXPECT_EQ(0, std::memcmp(&r, &back, sizeof(r)));
  EXPECT_TRUE(WaitForLocalRecord("BETA", "ALPHA", 3000));

  // With a session to ALPHA.
  NETRESOURCEA res = {};
  std::string remote = "\\\\ALPHA\\ipc$";
  res.dwScope = RESOURCE_GLOBALNET;
  res.dwUsage = RESOURCEUSAGE_CONNECTABLE;
  res.lpRemoteName = remote.data();
  ASSERT_EQ(0u, kvr::WNetAddConnection2A(&res, "alpha-pw", "Administrator", 0));
  r = Record("ALPHA");
  r.distributed = 0;
  EXPECT_EQ(0, WriteRoleRecord("ALPHA", 65, &r, &size));
  EXPECT_TRUE(WaitForLocalRecord("ALPHA", "ALPHA", 3000));
  kvr::WNetCancelConnection2A(remote.c_str(), 0, TRUE);

  // A removed record leaves the local table.
  DWORD none = 0;
  ASSERT_EQ(0, WriteRoleRecord("BETA", 65, nullptr, &none));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadRoleRecord("BETA", 65, &back, &backSize));
  EXPECT_TRUE(WaitForLocalRecord("BETA", nullptr, 3000));

  // Stopped local service: the table freezes.
  ASSERT_EQ(0, lab.StopLocalDiscovery());
  EXPECT_EQ(ERROR_SERVICE_NOT_ACTIVE, RefreshDiscoveryTable(0, 0));
  r = Record("ALPHA");
  ASSERT_EQ(0, WriteRoleRecord("BETA", 65, &r, &size));
  EXPECT_FALSE(WaitForLocalRecord("BETA", "ALPHA", 1500));
  // Started again: it catches up.
  ASSERT_EQ(0, lab.StartLocalDiscovery());
  EXPECT_TRUE(WaitForLocalRecord("BETA", "ALPHA", 3000));
  EXPECT_EQ(0, RefreshDiscoveryTable(0, 0));
}

TEST_F(Discovery, StoppedRemoteServiceStopsPublishing) {
  SERVICE_STATUS s;
  ASSERT_EQ(0, kvlab::ControlLabService("BETA", "kvdiscoverysvc", kvlab::ServiceStop, s));
  Sleep(400);  // past the stop transition and the last publication
  RoleRecord r = Record("BETA");
  DWORD size = sizeof(r);
  ASSERT_EQ(0, WriteRoleRecord("BETA", 65, &r, &size));
  EXPECT_FALSE(WaitForLocalRecord("BETA", "BETA", 1200));
  ASSERT_EQ(0, kvlab::ControlLabService("BETA", "kvdiscoverysvc", kvlab::ServiceStart, s));
  EXPECT_TRUE(WaitForLocalRecord("BETA", "BETA", 3000));
}

TEST_F(Discovery, ARemovedMachineLeavesTheTableAndDoesNotComeBack) {
  // Publications keep going out every 100 ms while the machine is removed: a
  // late one must not bring the server back once the table dropped it.
  ASSERT_EQ(0, kvlab::RemoveMachine("ALPHA"));
  bool gone = false;
  for (DWORD waited = 0; waited <= 5000 && !gone; waited += 10) {
    kv::CRegKey key;
    gone = kvlab::OpenKey(HKEY_LOCAL_MACHINE, TablePath("ALPHA"), KEY_READ, key) != ERROR_SUCCESS;
    if (!gone) Sleep(10);
  }
  ASSERT_TRUE(gone);
  for (DWORD waited = 0; waited <= 1000; waited += 10) {
    kv::CRegKey key;
    ASSERT_NE(kvlab::OpenKey(HKEY_LOCAL_MACHINE, TablePath("ALPHA"), KEY_READ, key), ERROR_SUCCESS)
        << "ALPHA came back after " << waited << " ms";
    Sleep(10);
  }
  // Added again under the same name, it publishes again.
  ASSERT_EQ(0, lab.Add("ALPHA", "alpha-pw"));
  EXPECT_TRUE(kvlab::WaitForTable({"ALPHA"}, 5000));

  // The last slot of the bus is copied like any other, and freed like any other.
  kvlab::MachineSetup last;
  last.name = "OMEGA";
  last.accounts = {{"Administrator", "pw"}};
  ASSERT_EQ(0, kvlab::AddMachine(last, kvcore::kBusSlots - 1));
  ASSERT_EQ(0, kvlab::EnsureHost());
  ASSERT_TRUE(kvlab::WaitForTable({"OMEGA"}, 5000));
  ASSERT_EQ(0, kvlab::RemoveMachine("OMEGA"));
  bool omegaGone = false;
  for (DWORD waited = 0; waited <= 5000 && !omegaGone; waited += 10) {
    kv::CRegKey key;
    omegaGone = kvlab::OpenKey(HKEY_LOCAL_MACHINE, TablePath("OMEGA"), KEY_READ, key) != ERROR_SUCCESS;
    if (!omegaGone) Sleep(10);
  }
  EXPECT_TRUE(omegaGone);
}

TEST_F(Discovery, RecordSizesAndArguments) {
  RoleRecord r = Record("BETA");
  DWORD size = 75;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, WriteRoleRecord("BETA", 65, &r, &size));
  size = 76;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, WriteRoleRecord("BETA", 12, &r, &size));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, WriteRoleRecord(nullptr, 65, &r, &size));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, WriteRoleRecord("BETA", 65, &r, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, WriteRoleRecord("\\\\BETA\\x", 65, &r, &size));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ReadRoleRecord("BETA", 65, nullptr, &size));

  // Damaged records on the machine: long and short values.
  kv::CRegKey beta, key;
  ASSERT_EQ(0, kvr::RegConnectRegistryA("BETA", HKEY_LOCAL_MACHINE, beta.Put()));
  ASSERT_EQ(0, kvlab::CreateKey(beta.Get(), kvlab::ProductRoot() + "\\RoleRecord\\SanOption", key));
  std::vector<uint8_t> longer(80, 'B');
  longer[4] = 0;
  kvlab::WriteBinary(key.Get(), "Slot_1", longer.data(), 80);
  RoleRecord back;
  size = sizeof(back);
  EXPECT_EQ(ERROR_MORE_DATA, ReadRoleRecord("BETA", 65, &back, &size));
  kvlab::WriteBinary(key.Get(), "Slot_1", "BETA", 5);
  size = sizeof(back);
  EXPECT_EQ(ERROR_INVALID_DATA, ReadRoleRecord("BETA", 65, &back, &size));
  EXPECT_EQ(5u, size);
  // The long one travels as it is (an edit without notice is seen within 16
  // broadcasts of 350 ms): the local table read fails the same way.
  kvlab::WriteBinary(key.Get(), "Slot_1", longer.data(), 80);
  for (int i = 0; i < 450; ++i) {
    DWORD got = 0;
    if (LocalRecord("BETA", back, got) == ERROR_MORE_DATA) break;
    Sleep(20);
  }
  DWORD got = 0;
  EXPECT_EQ(ERROR_MORE_DATA, LocalRecord("BETA", back, got));
}

TEST_F(Discovery, BellcastProductsAndPeers) {
  HANDLE h = nullptr;
  DWORD n = 0;
  ASSERT_EQ(0, OpenProductList("ALPHA", &h, &n));
  bool san = false;
  ProductEntry p;
  DWORD i = 0;
  for (; NextProductEntry(h, i, &p) == 0; ++i) san |= p.productCode == 65;
  EXPECT_EQ(n, i);
  EXPECT_TRUE(san);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, NextProductEntry(h, 0, nullptr));
  CloseProductList(h);
  EXPECT_EQ(ERROR_INVALID_HANDLE, CloseProductList(h));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenProductList("NOSUCHBOX", &h, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, OpenProductList(nullptr, &h, nullptr));

  std::vector<uint8_t> table(kPeerTableSize, 0xEE);
  int last = -1;
  for (int i = 0; i < 150 && last != 2; ++i, Sleep(20)) last = GetPeerTable(0, table.data(), kPeerTableSize);
  ASSERT_EQ(2, last);  // the local machine, ALPHA and BETA
  std::vector<std::string> peers;
  for (int k = 0; k <= last; ++k) peers.push_back(reinterpret_cast<char*>(&table[k * kPeerEntrySize]));
  EXPECT_NE(std::find(peers.begin(), peers.end(), "ALPHA"), peers.end());
  EXPECT_EQ(0xEE, table[3 * kPeerEntrySize]);  // nothing written past the last peer
  EXPECT_LT(GetPeerTable(0, nullptr, kPeerTableSize), 0);
  EXPECT_EQ(0, GetPeerTable(0, table.data(), kPeerEntrySize));  // room for one
}

// A node takes the machine's BCastDelay whole (32 bits), bounded to 20 ms
// .. 10 minutes.
TEST(DiscoveryNode, TakesTheBroadcastDelayWhole) {
  kvlab::CScopedLab lab("delay", 0);
  kvlab::MachineSetup m;
  m.name = "ALPHA";
  ASSERT_EQ(0, kvlab::AddMachine(m));
  kv::CRegKey root, setting;
  ASSERT_EQ(0, kvlab::OpenMachineRoot("ALPHA", root));
  ASSERT_EQ(0, kvlab::CreateKey(root.Get(), kvcore::BroadcastSettingPath(), setting));
  const std::pair<DWORD, DWORD> cases[] = {{0, 20},          {19, 20},         {350, 350},          {65535, 65535},
                                           {65536, 65536},   {65556, 65556},   {70000, 70000},      {16777216, 600000},
                                           {600000, 600000}, {600001, 600000}, {0xFFFFFFFF, 600000}};
  kvcore::NodeIdentity id;
  ASSERT_TRUE(kvcore::LoadIdentity("ALPHA", id));
  for (const auto& [stored, taken] : cases) {
    ASSERT_EQ(0, kvlab::WriteDword(setting.Get(), "BCastDelay", stored));
    kvcore::CDiscoveryNode node(id, root.Get(), false);
    EXPECT_EQ(taken, node.Delay()) << stored;
  }
}

// While the local service keeps the table, the enumeration and the product
// lists serve what they read before and read again only what the service
// rewrote: every kind of change must still show at the next call, each
// looked at once before it happens so that a stale copy would be caught.
TEST_F(Discovery, EnumerationAndProductListsShowEveryChangeOfTheTable) {
  auto types = [] {
    std::map<std::string, uint32_t> seen;
    HANDLE h = nullptr;
    if (OpenServerEnum(&h, nullptr) != 0) return seen;
    DiscoveryEntry e;
    for (DWORD i = 0; i < 1000; ++i) {
      int rc = NextServerEntry(h, i, &e);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      if (rc == 0) seen[e.serverName] = e.serverType;
    }
    CloseServerEnum(h);
    return seen;
  };
  auto codes = [](const char* server) {
    std::vector<uint32_t> found;
    HANDLE h = nullptr;
    if (OpenProductList(server, &h, nullptr) != 0) return std::vector<uint32_t>{0xFFFFFFFF};
    ProductEntry p;
    for (DWORD i = 0; NextProductEntry(h, i, &p) == 0; ++i) found.push_back(p.productCode);
    CloseProductList(h);
    return found;
  };
  auto machineKey = [](const std::string& name, kv::CRegKey& key) {
    return kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::MachinePath(name), KEY_ALL_ACCESS, key);
  };
  auto tableEntry = [](const std::string& server) {
    kv::CRegKey key;
    DiscoveryEntry e{};
    DWORD size = sizeof(e);
    if (kvlab::OpenKey(HKEY_LOCAL_MACHINE, TablePath(server), KEY_READ, key) != 0 ||
        ::RegQueryValueExA(key.Get(), "Entry", nullptr, nullptr, reinterpret_cast<BYTE*>(&e), &size) != 0)
      e.serverType = 0xFFFFFFFF;
    return e.serverType;
  };
  auto waitFor = [](auto condition) {
    for (int i = 0; i < 400 && !condition(); ++i) Sleep(25);
    return condition();
  };
  const std::vector<uint32_t> both = {1, 65};
  ASSERT_EQ(types()["ALPHA"], 24u);
  ASSERT_EQ(codes("BETA"), both);

  struct Step {
    const char* what;
    std::function<void()> change;
    std::function<bool()> arrived;  // the local table shows the change
    std::map<std::string, uint32_t> expected;
    std::vector<uint32_t> betaCodes;
  };
  const std::string local = kvlab::LocalComputerName();
  const Step steps[] = {
      {"an entry rewritten",
       [&] {
         kv::CRegKey key;
         ASSERT_EQ(0, machineKey("ALPHA", key));
         kvlab::WriteDword(key.Get(), "Type", 32);
       },
       [&] { return tableEntry("ALPHA") == 32; },
       {{"ALPHA", 32}, {"BETA", 24}, {local, 24}},
       both},
      {"a product list rewritten",
       [&] {
         kv::CRegKey key;
         ASSERT_EQ(0, machineKey("BETA", key));
         ProductEntry one = kvcore::MakeProduct(1, kvcore::MakeVersion(8, 0, 1), 1);
         kvlab::WriteBinary(key.Get(), "Products", &one, sizeof(one));
       },
       [&] { return codes("BETA").size() == 1; },
       {{"ALPHA", 32}, {"BETA", 24}, {local, 24}},
       {1}},
      {"a server added",
       [&] { ASSERT_EQ(0, lab.Add("GAMMA")); },
       [&] { return tableEntry("GAMMA") == 24; },
       {{"ALPHA", 32}, {"BETA", 24}, {"GAMMA", 24}, {local, 24}},
       {1}},
      {"a server removed",
       [&] { ASSERT_EQ(0, kvlab::RemoveMachine("ALPHA")); },
       [&] { return tableEntry("ALPHA") == 0xFFFFFFFF; },
       {{"BETA", 24}, {"GAMMA", 24}, {local, 24}},
       {1}},
      {"the service stopped, the table edited by hand",
       [&] {
         ASSERT_EQ(0, lab.StopLocalDiscovery());
         kv::CRegKey key;
         ASSERT_EQ(0, kvlab::OpenKey(HKEY_LOCAL_MACHINE, TablePath("BETA"), KEY_ALL_ACCESS, key));
         ProductEntry entries[2] = {kvcore::MakeProduct(65, 1, 1), kvcore::MakeProduct(7, 1, 1)};
         kvlab::WriteBinary(key.Get(), "Products", entries, sizeof(entries));
         DiscoveryEntry e{};
         std::strcpy(e.serverName, "BETA");
         e.serverType = 25;
         kvlab::WriteBinary(key.Get(), "Entry", &e, sizeof(e));
       },
       [] { return true; },
       {{"BETA", 25}, {"GAMMA", 24}, {local, 24}},
       {65, 7}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    types();  // the copies as they stand before the change
    codes("BETA");
    codes("beta");
    step.change();
    ASSERT_TRUE(waitFor(step.arrived));
    EXPECT_EQ(types(), step.expected);
    EXPECT_EQ(codes("BETA"), step.betaCodes);
    EXPECT_EQ(codes("beta"), step.betaCodes) << "registry names do not compare letter case";
  }
  EXPECT_EQ(codes("ALPHA"), std::vector<uint32_t>{0xFFFFFFFF});
}

}  // namespace
