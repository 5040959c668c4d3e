// Role tables on the local machine: the credential scramble, role records
// read from the local discovery table (bounded, whatever the stored value
// looks like), the distributed-servers list in its three modes, the
// broadcast delay setting and the registry roots.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <set>
#include <vector>

#include "MessageBox.h"
#include "Messages.h"
#include "RoleTables.h"
#include "rolestore_testkey.h"

namespace {

TEST(ScrambleCredential, RunsTheKeyFromOneInStepsOfThreeAndUndoesItself) {
  std::vector<BYTE> field(24, 0);
  ScrambleCredential(field.data(), 24);
  for (int i = 0; i < 24; ++i) EXPECT_EQ(field[i], 1 + 3 * i) << "byte " << i;
  EXPECT_EQ(field[23], 70);
  ScrambleCredential(field.data(), 24);
  EXPECT_EQ(field, std::vector<BYTE>(24, 0));

  // Past 250 the key starts again at 1.
  std::vector<BYTE> longer(90, 0);
  ScrambleCredential(longer.data(), 90);
  EXPECT_EQ(longer[83], 250);
  EXPECT_EQ(longer[84], 1);
  EXPECT_EQ(longer[85], 4);

  std::vector<BYTE> text = {'a', 'd', 'm', 'i', 'n'};
  text.resize(24, 0);
  std::vector<BYTE> original = text;
  ScrambleCredential(text.data(), 24);
  EXPECT_NE(text, original);
  EXPECT_EQ(text[5], 16);  // NUL padding is scrambled too
  ScrambleCredential(text.data(), 24);
  EXPECT_EQ(text, original);
}

class RoleRecordTest : public ::testing::Test {
 protected:
  rstest::CTestRoots m_roots{"records"};
};

TEST_F(RoleRecordTest, AWholeRecordIsReadWithItsSize) {
  RoleRecord written = rstest::MakeRecord("PRIMARY1", 1, "admin", "secret");
  rstest::WriteSlot("SRV01", &written, sizeof(written));
  RoleRecord read{};
  DWORD size = sizeof(read);
  ASSERT_EQ(ReadLocalRoleRecord("SRV01", kSanProductCode, &read, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 76u);
  EXPECT_EQ(std::memcmp(&read, &written, sizeof(read)), 0);

  // A value that is not binary is no record the product wrote.
  rstest::WriteSlot("SRV02", &written, sizeof(written), REG_DWORD);
  size = sizeof(read);
  EXPECT_EQ(ReadLocalRoleRecord("SRV02", kSanProductCode, &read, &size), ERROR_INVALID_DATA);
  EXPECT_EQ(size, 76u);
  EXPECT_EQ(QueryServerRole("SRV02"), RoleNone);
}

TEST_F(RoleRecordTest, MissingLongAndShortRecords) {
  RoleRecord read{};
  DWORD size = sizeof(read);
  EXPECT_EQ(ReadLocalRoleRecord("NOWHERE", kSanProductCode, &read, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, 76u);  // unchanged when the key cannot be opened
  EXPECT_EQ(QueryServerRole("NOWHERE"), RoleNone);

  // Longer than 76 bytes: more data, counts as no record.
  std::vector<BYTE> longer(80, 0);
  std::memcpy(longer.data(), "LONG1", 5);
  rstest::WriteSlot("LONG1", longer.data(), 80);
  size = sizeof(read);
  EXPECT_EQ(ReadLocalRoleRecord("LONG1", kSanProductCode, &read, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 80u);
  EXPECT_EQ(QueryServerRole("LONG1"), RoleNone);

  // Shorter: what is there is read and the rest of the zeroed buffer stays zero.
  rstest::WriteSlot("SHORT1", "SHORT1", 7);
  read = RoleRecord{};
  size = sizeof(read);
  EXPECT_EQ(ReadLocalRoleRecord("SHORT1", kSanProductCode, &read, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 7u);
  EXPECT_STREQ(read.primaryName, "SHORT1");
  RoleRecord zero{};
  EXPECT_EQ(std::memcmp(reinterpret_cast<BYTE*>(&read) + 7, reinterpret_cast<BYTE*>(&zero) + 7, 69), 0);
  EXPECT_EQ(QueryServerRole("SHORT1"), RoleNone);  // damaged: no role
}

TEST_F(RoleRecordTest, RoleIsToldByAnExactCaseSensitiveCompareOfTheBoundedPrimaryName) {
  RoleRecord primary = rstest::MakeRecord("SRV10", 0);
  rstest::WriteSlot("SRV10", &primary, sizeof(primary));
  EXPECT_EQ(QueryServerRole("SRV10"), RolePrimary);

  RoleRecord member = rstest::MakeRecord("SRV10", 1);
  rstest::WriteSlot("SRV11", &member, sizeof(member));
  EXPECT_EQ(QueryServerRole("SRV11"), RoleDistributed);

  RoleRecord otherCase = rstest::MakeRecord("srv12", 0);
  rstest::WriteSlot("SRV12", &otherCase, sizeof(otherCase));
  EXPECT_EQ(QueryServerRole("SRV12"), RoleDistributed);

  // A 24-character primary name fills its field with no NUL: damaged.
  const std::string full(24, 'N');
  RoleRecord noNul = rstest::MakeRecord(full, 1);
  rstest::WriteSlot(full, &noNul, sizeof(noNul));
  EXPECT_EQ(QueryServerRole(full.c_str()), RoleNone);
}

TEST_F(RoleRecordTest, OnlyA76ByteBinaryRecordNamingAPrimaryGivesARoleAndNoLoopOfNamesDoes) {
  struct Case {
    const char* server;
    std::string bytes;
    DWORD type;
    RecordState state;
    const char* primary;
  };
  auto record = [](const std::string& primary, size_t size = sizeof(RoleRecord)) {
    std::string bytes(size, '\0');
    return bytes.replace(0, primary.size(), primary);
  };
  const Case cases[] = {
      {"P1", record("P1"), REG_BINARY, RecordState::Valid, "P1"},
      {"M1", record(std::string(23, 'Q')), REG_BINARY, RecordState::Valid, "QQQQQQQQQQQQQQQQQQQQQQQ"},
      {"M2", record(std::string(24, 'Q')), REG_BINARY, RecordState::Damaged, ""},
      {"M3", record(""), REG_BINARY, RecordState::Damaged, ""},
      {"M4", record("P1", 75), REG_BINARY, RecordState::Damaged, ""},
      {"M5", record("P1", 77), REG_BINARY, RecordState::Damaged, ""},
      {"M6", "CURL", REG_BINARY, RecordState::Damaged, ""},
      {"M7", record("P1"), REG_SZ, RecordState::Damaged, ""},
      {"A1", record("A2"), REG_BINARY, RecordState::Damaged, ""},  // A1 -> A2 -> A1
      {"A2", record("A1"), REG_BINARY, RecordState::Damaged, ""},
      {"B1", record("B2"), REG_BINARY, RecordState::Damaged, ""},  // B1 -> B2 -> B3 -> B1
      {"B2", record("B3"), REG_BINARY, RecordState::Damaged, ""},
      {"B3", record("B1"), REG_BINARY, RecordState::Damaged, ""},
      {"C1", record("A1"), REG_BINARY, RecordState::Valid, "A1"},  // into a loop it is not part of
      {"C2", record("M1"), REG_BINARY, RecordState::Valid, "M1"},  // a chain that ends at a primary
  };
  for (const Case& c : cases) rstest::WriteSlot(c.server, c.bytes.data(), static_cast<DWORD>(c.bytes.size()), c.type);
  rstest::WriteSlot(std::string(23, 'Q'), record(std::string(23, 'Q')).data(), 76);
  auto read = [](const char* server, void* buffer, DWORD* size) {
    return ReadLocalRoleRecord(server, kSanProductCode, buffer, size);
  };
  for (const Case& c : cases) {
    std::string primary = "stale";
    EXPECT_EQ(ReadRoleOf(c.server, read, primary), c.state) << c.server;
    EXPECT_EQ(primary, c.primary) << c.server;
  }
  std::string primary;
  EXPECT_EQ(ReadRoleOf("NOWHERE", read, primary), RecordState::None);
}

TEST_F(RoleRecordTest, ProductKeyNameComesFromProdwickWithAFallback) {
  std::string name;
  WORD word = 0;
  ASSERT_TRUE(GetProductKeyName(kSanProductCode, name, word));
  EXPECT_FALSE(name.empty());
  EXPECT_LE(name.size(), 19u);

  // A product Prodwick does not know is looked up under the fallback name.
  std::string unknownName = "unchanged";
  EXPECT_FALSE(GetProductKeyName(0x7FFF, unknownName, word));
  EXPECT_EQ(unknownName, "unchanged");
  RoleRecord record = rstest::MakeRecord("SRV20", 0);
  rstest::WriteSlot("SRV20", &record, sizeof(record), REG_BINARY, kFallbackProductKeyName);
  RoleRecord read{};
  DWORD size = sizeof(read);
  EXPECT_EQ(ReadLocalRoleRecord("SRV20", 0x7FFF, &read, &size), ERROR_SUCCESS);
  if (name != kFallbackProductKeyName) {
    EXPECT_EQ(QueryServerRole("SRV20"), RoleNone);
  }
}

// The reader that keeps record keys open and watched gives, after any change
// of the table, exactly what a fresh ReadLocalRoleRecord gives: status, size
// and bytes. Each server is read through the reader twice before the change,
// so that what the reader kept and watched is what the next read meets.
TEST_F(RoleRecordTest, AReaderThatKeepsKeysOpenReadsWhatAFreshReadReads) {
  const std::string product = rstest::ProductKeyName();
  auto serverPath = [](const std::string& server) { return std::string(DiscoveryTableRoot) + "\\" + server; };
  auto write = [](const std::string& server, const std::string& primary) {
    RoleRecord r = rstest::MakeRecord(primary, 1, "admin", "pw");
    rstest::WriteSlot(server, &r, sizeof(r));
  };
  struct Step {
    const char* what;
    std::function<void()> change;
  };
  const Step steps[] = {
      {"records written", [&] { write("ALPHA", "ALPHA"), write("BETA", "ALPHA"), write("Gamma", "ALPHA"); }},
      {"a record rewritten in place", [&] { write("BETA", "BETA"); }},
      {"a value too long",
       [&] {
         std::vector<BYTE> longer(90, 'x');
         rstest::WriteSlot("BETA", longer.data(), 90);
       }},
      {"a value too short", [&] { rstest::WriteSlot("BETA", "SHORT", 6); }},
      {"a value deleted",
       [&] {
         kv::CRegKey key;
         ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, (serverPath("ALPHA") + "\\" + product).c_str(), 0, KEY_ALL_ACCESS,
                         key.Put());
         ::RegDeleteValueA(key.Get(), "Slot_1");
       }},
      {"a record key deleted",
       [&] { ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, (serverPath("BETA") + "\\" + product).c_str()); }},
      {"a record key made again", [&] { write("BETA", "GAMMA"); }},
      {"a server key deleted and made again",
       [&] {
         ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, serverPath("Gamma").c_str());
         ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, serverPath("Gamma").c_str());
         write("GAMMA", "OTHER");
       }},
      {"the whole table deleted", [&] { ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, DiscoveryTableRoot); }},
      {"the table made again", [&] { write("ALPHA", "ALPHA"), write("Gamma", "ALPHA"); }},
  };
  const char* servers[] = {"ALPHA", "BETA", "Gamma", "GAMMA", "gamma", "NONE"};
  int found = 0;
  // status/size/bytes of one read, through the reader or straight from the table (fresh).
  auto readWith = [](CLocalRoleRecordReader& reader, bool fresh, const char* server) {
    std::vector<BYTE> buffer(kRoleRecordSize, 0);
    DWORD size = kRoleRecordSize;
    LONG status = fresh ? ReadLocalRoleRecord(server, kSanProductCode, buffer.data(), &size)
                        : reader.Read(server, kSanProductCode, buffer.data(), &size);
    return std::to_string(status) + "/" + std::to_string(size) + "/" + std::string(buffer.begin(), buffer.end());
  };
  // Changed once the reader watches what it read, and (with a reader of its
  // own) between its first read, which keeps the record key, and the read
  // that sets the watches.
  for (bool beforeWatch : {false, true}) {
    CLocalRoleRecordReader reader;
    auto read = [&](bool fresh, const char* server) { return readWith(reader, fresh, server); };
    for (const Step& step : steps) {
      reader.Reset();
      reader.BeginPass();
      for (const char* server : servers) read(false, server);
      if (!beforeWatch) {
        reader.BeginPass();
        for (const char* server : servers) read(false, server);  // now watched
      }
      step.change();
      for (int pass = 0; pass < 2; ++pass) {
        reader.BeginPass();
        for (const char* server : servers) {
          EXPECT_EQ(read(false, server), read(true, server)) << step.what << ", " << server << ", pass " << pass;
          found += read(true, server).rfind("0/76/", 0) == 0;
        }
      }
    }
  }
  EXPECT_GT(found, 20);  // the steps do leave records to read

  // Another table root: the reader starts afresh there.
  CLocalRoleRecordReader reader;
  auto read = [&](bool fresh, const char* server) { return readWith(reader, fresh, server); };
  write("ALPHA", "ALPHA");
  reader.BeginPass();
  read(false, "ALPHA");
  reader.BeginPass();
  ASSERT_EQ(read(false, "ALPHA").substr(0, 10), "0/76/ALPHA");
  rstest::CTestRoots other{"records-other"};
  write("ALPHA", "OMEGA");
  reader.BeginPass();
  EXPECT_EQ(read(false, "ALPHA"), read(true, "ALPHA"));
  EXPECT_EQ(read(true, "ALPHA").substr(0, 10), "0/76/OMEGA");
}

// With more servers than one wait can watch (a wait takes 64 events), a
// change is noticed in every group, whichever wait holds its event.
TEST_F(RoleRecordTest, AReaderNoticesChangesInEveryGroupOfALargeTable) {
  auto write = [](const std::string& server, const std::string& primary) {
    RoleRecord r = rstest::MakeRecord(primary, 1, "admin", "pw");
    rstest::WriteSlot(server, &r, sizeof(r));
  };
  std::vector<std::string> servers;
  for (int i = 0; i < 200; ++i) servers.push_back("S" + std::to_string(1000 + i));
  for (const std::string& server : servers) write(server, server);
  CLocalRoleRecordReader reader;
  auto primaryRead = [&](const std::string& server) {
    RoleRecord r{};
    DWORD size = sizeof(r);
    if (reader.Read(server.c_str(), kSanProductCode, &r, &size) != ERROR_SUCCESS) return std::string();
    return std::string(r.primaryName, ::strnlen(r.primaryName, sizeof(r.primaryName)));
  };
  for (int pass = 0; pass < 2; ++pass) {  // the second pass sets the watches
    reader.BeginPass();
    for (const std::string& server : servers) ASSERT_EQ(primaryRead(server), server);
  }
  // One server at a time: a group's other servers are not read again by
  // chance of their own change.
  int changed = 0;
  for (const std::string& server : servers) {
    write(server, "OTHER");
    reader.BeginPass();
    changed += primaryRead(server) == "OTHER";
  }
  EXPECT_EQ(changed, 200);
}

class DistributedListTest : public ::testing::Test {
 protected:
  rstest::CTestRoots m_roots{"lists"};

  std::set<std::string> Names(const char* machine) {
    std::set<std::string> names;
    kv::CRegKey root, key;
    if (OpenDistributedList(root, key, machine) != ERROR_SUCCESS) return names;
    char name[MAX_PATH];
    for (DWORD i = 0; EnumDistributedList(key.Get(), i, name) == ERROR_SUCCESS; ++i) names.insert(name);
    EXPECT_EQ(CloseDistributedList(root, key), 0);
    return names;
  }
  bool ListExists() { return rstest::KeyExists(HKEY_LOCAL_MACHINE, m_roots.ListPath()); }
};

TEST_F(DistributedListTest, EveryNameIsReadWhateverItsLength) {
  const std::string longName(300, 'L');
  for (const std::string& name : {std::string("AAA"), longName, std::string("ZZZ")})
    ASSERT_EQ(EditDistributedList(nullptr, name.c_str(), ListAdd), ERROR_SUCCESS);
  kv::CRegKey root, key;
  ASSERT_EQ(OpenDistributedList(root, key, nullptr), ERROR_SUCCESS);
  std::vector<std::string> names;
  EXPECT_EQ(ReadDistributedList(key.Get(), names), ERROR_SUCCESS);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), (std::set<std::string>{"AAA", longName, "ZZZ"}));
  // A key that cannot be enumerated stops the walk at once with its error.
  EXPECT_EQ(ReadDistributedList(nullptr, names), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(names.empty());
}

TEST_F(DistributedListTest, AddCreatesTheListWithEmptyStringValues) {
  EXPECT_FALSE(ListExists());
  EXPECT_EQ(EditDistributedList(nullptr, "SRV01", ListAdd), ERROR_SUCCESS);
  EXPECT_EQ(EditDistributedList(nullptr, "SRV02", ListAdd), ERROR_SUCCESS);
  EXPECT_EQ(EditDistributedList(nullptr, "SRV01", ListAdd), ERROR_SUCCESS);  // once only
  EXPECT_EQ(Names(nullptr), (std::set<std::string>{"SRV01", "SRV02"}));

  kv::CRegKey key;
  ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, m_roots.ListPath().c_str(), 0, KEY_READ, key.Put()), ERROR_SUCCESS);
  DWORD type = 0, size = 99;
  ASSERT_EQ(::RegQueryValueExA(key.Get(), "SRV01", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 0u);

  // The computer name, byte for byte, is the local machine too.
  std::string local = rstest::ComputerName();
  EXPECT_EQ(EditDistributedList(local.c_str(), "SRV03", ListAdd), ERROR_SUCCESS);
  EXPECT_EQ(Names(local.c_str()), (std::set<std::string>{"SRV01", "SRV02", "SRV03"}));
  EXPECT_EQ(Names(""), Names(nullptr));
}

TEST_F(DistributedListTest, RemovingTheLastNameDeletesTheListAndAddCreatesItAgain) {
  ASSERT_EQ(EditDistributedList(nullptr, "SRV01", ListAdd), ERROR_SUCCESS);
  ASSERT_EQ(EditDistributedList(nullptr, "SRV02", ListAdd), ERROR_SUCCESS);
  EXPECT_EQ(EditDistributedList(nullptr, "SRV01", ListRemove), ERROR_SUCCESS);
  EXPECT_TRUE(ListExists());
  EXPECT_EQ(EditDistributedList(nullptr, "SRV02", ListRemove), ERROR_SUCCESS);
  EXPECT_FALSE(ListExists());

  kv::CRegKey root, key;
  EXPECT_EQ(OpenDistributedList(root, key, nullptr), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key);

  EXPECT_EQ(EditDistributedList(nullptr, "SRV03", ListAdd), ERROR_SUCCESS);
  EXPECT_EQ(Names(nullptr), (std::set<std::string>{"SRV03"}));
}

TEST_F(DistributedListTest, RemovingAnUnlistedNameFailsAndLeavesAnEmptyList) {
  EXPECT_EQ(EditDistributedList(nullptr, "GHOST", ListRemove), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(ListExists());
  EXPECT_TRUE(Names(nullptr).empty());

  ASSERT_EQ(EditDistributedList(nullptr, "SRV01", ListAdd), ERROR_SUCCESS);
  EXPECT_EQ(EditDistributedList(nullptr, "GHOST", ListRemove), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Names(nullptr), (std::set<std::string>{"SRV01"}));
}

TEST_F(DistributedListTest, DeleteRemovesTheWholeListAndSucceedsWhenThereIsNone) {
  EXPECT_EQ(EditDistributedList(nullptr, nullptr, ListDelete), ERROR_SUCCESS);
  EXPECT_FALSE(ListExists());

  ASSERT_EQ(EditDistributedList(nullptr, "SRV01", ListAdd), ERROR_SUCCESS);
  ASSERT_EQ(EditDistributedList(nullptr, "SRV02", ListAdd), ERROR_SUCCESS);
  EXPECT_EQ(EditDistributedList(nullptr, "SRV01", ListDelete), ERROR_SUCCESS);
  EXPECT_FALSE(ListExists());

  // Another mode changes nothing but still opens (creates) the list.
  EXPECT_EQ(EditDistributedList(nullptr, "SRV01", 7), ERROR_SUCCESS);
  EXPECT_TRUE(ListExists());
  EXPECT_TRUE(Names(nullptr).empty());
}

class BroadcastDelayTest : public ::testing::Test {
 protected:
  rstest::CTestRoots m_roots{"delay"};
  void Write(const void* data, DWORD size, DWORD type) {
    std::string path = m_roots.Root() + "\\DiscoveryImplementationList\\Bellcast\\TandDiscoverySetting";
    kv::CRegKey key;
    ASSERT_EQ(
        ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(), nullptr),
        ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExA(key.Get(), "BCastDelay", 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  }
};

TEST_F(BroadcastDelayTest, DefaultsTo350AndTakesAnyValueOfUpToFourBytes) {
  EXPECT_EQ(ReadBroadcastDelay(), 350u);  // no key

  DWORD delay = 1200;
  Write(&delay, sizeof(delay), REG_DWORD);
  EXPECT_EQ(ReadBroadcastDelay(), 1200u);

  const BYTE two[] = {0x34, 0x12};
  Write(two, sizeof(two), REG_BINARY);
  EXPECT_EQ(ReadBroadcastDelay(), 0x1234u);  // zero-extended

  Write("12", 3, REG_SZ);  // '1' '2' NUL, read as a little-endian integer
  EXPECT_EQ(ReadBroadcastDelay(), 0x3231u);

  const BYTE eight[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  Write(eight, sizeof(eight), REG_QWORD);
  EXPECT_EQ(ReadBroadcastDelay(), 350u);
}

TEST(RegistryRoots, LoadFromToolwrightAndStayBounded) {
  ASSERT_TRUE(LoadDiscoveryTableRoot());
  ASSERT_TRUE(LoadProductRoot());
  std::string product = ProductRoot;
  std::string table = DiscoveryTableRoot;
  EXPECT_FALSE(product.empty());
  EXPECT_EQ(table, product + "\\DiscoveryTable");

  // The test-only setter cuts a longer text to 255 characters.
  std::string longText(300, 'k');
  SetRegistryRootsForTest(longText.c_str(), "short");
  EXPECT_EQ(std::string(DiscoveryTableRoot), std::string(255, 'k'));
  EXPECT_EQ(DiscoveryTableRoot[255], '\0');
  EXPECT_STREQ(ProductRoot, "short");
  SetRegistryRootsForTest("", "");
}

// ShowSystemError: one box without owner, the caller's caption, flags 0x42011.
std::vector<kv::MessageBoxCall> CaptureBoxes(DWORD status) {
  std::vector<kv::MessageBoxCall> calls;
  kv::SetMessageBoxHook([&](const kv::MessageBoxCall& call) -> std::optional<int> {
    calls.push_back(call);
    return IDCANCEL;
  });
  ShowSystemError("Failed During Transaction", status);
  kv::SetMessageBoxHook({});
  return calls;
}

TEST(ShowSystemError, ShowsTheSystemTextOrNamesAStatusWithoutOne) {
  auto calls = CaptureBoxes(ERROR_ACCESS_DENIED);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].owner, nullptr);
  EXPECT_EQ(calls[0].caption, "Failed During Transaction");
  EXPECT_EQ(calls[0].flags, 0x42011u);
  EXPECT_NE(calls[0].text.find("ccess denied"), std::string::npos) << calls[0].text;

  // A library status the system has no text for is named in the box.
  calls = CaptureBoxes(0x2000ABCD);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_NE(calls[0].text.find("536914893"), std::string::npos) << calls[0].text;
  EXPECT_NE(calls[0].text.find("0x2000ABCD"), std::string::npos) << calls[0].text;
  EXPECT_EQ(calls[0].flags, 0x42011u);

  // A system text with insert placeholders is shown without filling them.
  std::string badFormat = SystemErrorText(ERROR_BAD_EXE_FORMAT);
  EXPECT_EQ(badFormat.find("0x"), std::string::npos) << badFormat;
  EXPECT_NE(badFormat.find('%'), std::string::npos) << badFormat;
}

}  // namespace
