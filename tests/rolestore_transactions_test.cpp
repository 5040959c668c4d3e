// The role transactions against a lab: sessions opened and always closed,
// confirmations and failures with their exact texts, captions and flags,
// records and distributed-servers lists as the machines themselves hold
// them afterwards, the single-step rollbacks, and the confirmation wait over
// the local discovery table.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "AdminSession.h"
#include "App.h"
#include "LabAdmin.h"
#include "Messages.h"
#include "RoleTables.h"
#include "ScriptedUser.h"
#include "Strings.h"
#include "TestLab.h"
#include "Transactions.h"
#include "resource.h"
#include "rolestore_testkey.h"

namespace {

constexpr UINT kConfirmFlags = 0x42031;
constexpr UINT kErrorFlags = 0x42011;
constexpr UINT kWarningFlags = 0x42030;
const char kCaption[] = "Failed During Transaction";
const char kProceed[] = "Press OK to proceed with your changes";
using Names = std::vector<std::string>;

struct Credentials {
  std::string primary, user, password;
  uint32_t distributed = 0;
};

// The record a machine holds itself, unscrambled; false without one.
bool MachineRecord(const std::string& machine, Credentials& out) {
  RoleRecord record{};
  if (kvlab::ReadRecord(machine, record) != ERROR_SUCCESS) return false;
  kvlab::Scramble(record.userName, 24);
  kvlab::Scramble(record.password, 24);
  out.primary = kv::FixedField(record.primaryName, 24);
  out.user = kv::FixedField(record.userName, 24);
  out.password = kv::FixedField(record.password, 24);
  out.distributed = record.distributed;
  return true;
}

std::string PrimaryOf(const std::string& machine) {
  Credentials c;
  return MachineRecord(machine, c) ? c.primary : std::string("<none>");
}

std::vector<BYTE> RawRecord(const std::string& machine) {
  RoleRecord record{};
  if (kvlab::ReadRecord(machine, record) != ERROR_SUCCESS) return {};
  const BYTE* p = reinterpret_cast<const BYTE*>(&record);
  return std::vector<BYTE>(p, p + sizeof(record));
}

std::string ListPath() { return std::string(ProductRoot) + kDistributedListSubKey; }

bool ListExists(const std::string& machine) {
  kv::CRegKey root;
  return kvlab::OpenMachineRoot(machine, root) == ERROR_SUCCESS && rstest::KeyExists(root.Get(), ListPath());
}

// Direct edit of a machine's list, as its administrator.
void DeleteListValue(const std::string& machine, const std::string& name) {
  kv::CRegKey root, key;
  ASSERT_EQ(kvlab::OpenMachineRoot(machine, root), ERROR_SUCCESS);
  ASSERT_EQ(kvlab::OpenKey(root.Get(), ListPath(), KEY_ALL_ACCESS, key), ERROR_SUCCESS);
  ASSERT_EQ(::RegDeleteValueA(key.Get(), name.c_str()), ERROR_SUCCESS);
}

class TransactionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&icc);
  }
  void SetUp() override {
    ASSERT_EQ(0, m_lab.Add("ALPHA", "alpha-pw"));
    ASSERT_EQ(0, m_lab.Add("BETA", "beta-pw"));
    ASSERT_EQ(0, m_lab.Add("GAMMA", "gamma-pw"));
    ASSERT_EQ(0, kvlab::SetAccount("BETA", "backup", "backup-pw"));
    ASSERT_TRUE(LoadDiscoveryTableRoot());
    ASSERT_TRUE(LoadProductRoot());
  }
  void TearDown() override {
    for (const char* m : {"ALPHA", "BETA", "GAMMA"}) CloseAdminSession(m);
    SetRegistryRootsForTest("", "");
  }

  // Credentials the console finds for server in the local table (the local
  // service does not run in most cases here, so the test writes them).
  static void Store(const std::string& server, const std::string& password, const std::string& user = "Administrator") {
    RoleRecord record = rstest::MakeRecord(server, 0, user, password);
    rstest::WriteSlot(server, &record, sizeof(record));
  }
  static void StoreAll() {
    Store("ALPHA", "alpha-pw");
    Store("BETA", "beta-pw");
    Store("GAMMA", "gamma-pw");
  }
  static bool NoSessions() {
    return !kvlab::HasSession("ALPHA") && !kvlab::HasSession("BETA") && !kvlab::HasSession("GAMMA");
  }
  static std::string Assigned(const char* server, const char* primary) {
    return kv::Format("%s already assigned to %s\n%s", server, primary, kProceed);
  }

  kvlab::CScopedLab m_lab{"transactions", 0};
};

TEST_F(TransactionTest, AssigningAMemberAgainConfirmsThenReaddsItWithTheFreshCredentials) {
  ASSERT_EQ(0, kvlab::SetRole("ALPHA", "ALPHA", "Administrator", "alpha-pw"));
  ASSERT_EQ(0, kvlab::SetRole("BETA", "ALPHA", "Administrator", "beta-pw"));
  Store("ALPHA", "alpha-pw");  // BETA has none in the local table: the dialog asks

  kvtest::ScriptedUser script;
  script.Dialog("Security", [](kvtest::DialogDriver& d) {
    d.SetText(IDC_USERNAME, "backup");
    d.SetText(IDC_PASSWORD, "backup-pw");
    d.Press(IDOK);
  });
  script.AnswerBox(IDOK);
  EXPECT_EQ(AssignDistributed("ALPHA", "BETA"), 0u);
  ASSERT_TRUE(script.Finish()) << script.Report();
  ASSERT_EQ(script.Boxes().size(), 1u);
  EXPECT_EQ(script.Boxes()[0].text, Assigned("BETA", "ALPHA"));
  EXPECT_EQ(script.Boxes()[0].caption, kCaption);
  EXPECT_EQ(script.Boxes()[0].flags, kConfirmFlags);

  Credentials c;
  ASSERT_TRUE(MachineRecord("BETA", c));
  EXPECT_EQ(c.primary, "ALPHA");
  EXPECT_EQ(c.distributed, 1u);
  EXPECT_EQ(c.user, "backup");
  EXPECT_EQ(c.password, "backup-pw");
  EXPECT_EQ(kvlab::ListMembers("ALPHA"), Names{"BETA"});
  EXPECT_TRUE(NoSessions());
  EXPECT_EQ(kv::WaitCursorDepth(), 0);
}

TEST_F(TransactionTest, AssigningAPrimaryConfirmsAndLeavesItsOwnListAndMembersAlone) {
  ASSERT_EQ(0, kvlab::SetRole("BETA", "BETA", "Administrator", "beta-pw"));
  ASSERT_EQ(0, kvlab::SetRole("GAMMA", "BETA", "Administrator", "gamma-pw"));
  StoreAll();
  kvtest::ScriptedUser script;
  script.AnswerBox(IDOK);
  EXPECT_EQ(AssignDistributed("ALPHA", "BETA"), 0u);
  ASSERT_TRUE(script.Finish()) << script.Report();
  ASSERT_EQ(script.Boxes().size(), 1u);
  EXPECT_EQ(script.Boxes()[0].text, std::string("BETA is already a Primary\n") + kProceed);
  EXPECT_EQ(script.Boxes()[0].caption, kCaption);
  EXPECT_EQ(script.Boxes()[0].flags, kConfirmFlags);
  EXPECT_EQ(PrimaryOf("BETA"), "ALPHA");
  EXPECT_EQ(kvlab::ListMembers("ALPHA"), Names{"BETA"});
  EXPECT_EQ(kvlab::ListMembers("BETA"), Names{"GAMMA"});
  EXPECT_EQ(PrimaryOf("GAMMA"), "BETA");
  EXPECT_TRUE(NoSessions());
}

TEST_F(TransactionTest, AssigningWithoutARecordAsksNothingAndAMemberMovesBetweenPrimaries) {
  StoreAll();
  {
    kvtest::ScriptedUser script;  // no window may appear
    EXPECT_EQ(AssignDistributed("ALPHA", "BETA"), 0u);
    EXPECT_TRUE(script.Finish()) << script.Report();
    EXPECT_TRUE(script.Boxes().empty());
  }
  Credentials c;
  ASSERT_TRUE(MachineRecord("BETA", c));
  EXPECT_EQ(c.primary, "ALPHA");
  EXPECT_EQ(c.distributed, 1u);
  EXPECT_EQ(c.user, "Administrator");
  EXPECT_EQ(c.password, "beta-pw");
  EXPECT_EQ(kvlab::ListMembers("ALPHA"), Names{"BETA"});
  EXPECT_TRUE(NoSessions());

  // To GAMMA: ALPHA is reached with the rights in force, here its trust.
  ASSERT_EQ(0, kvlab::SetTrust("ALPHA", true));
  kvtest::ScriptedUser script;
  script.AnswerBox(IDOK);
  EXPECT_EQ(AssignDistributed("GAMMA", "BETA"), 0u);
  ASSERT_TRUE(script.Finish()) << script.Report();
  ASSERT_EQ(script.Boxes().size(), 1u);
  EXPECT_EQ(script.Boxes()[0].text, Assigned("BETA", "ALPHA"));
  EXPECT_EQ(PrimaryOf("BETA"), "GAMMA");
  EXPECT_FALSE(ListExists("ALPHA"));  // its last member went
  EXPECT_EQ(kvlab::ListMembers("GAMMA"), Names{"BETA"});
  EXPECT_TRUE(NoSessions());
}

TEST_F(TransactionTest, ARecordNamingNoPrimaryIsDamagedAndBlocksTheCommandWithItsReason) {
  // A record with an empty primary name is damaged: the command says so and
  // changes nothing, least of all this machine's own list (an empty machine
  // name selects it).
  StoreAll();
  RoleRecord blank = rstest::MakeRecord("", 1, "Administrator", "beta-pw");
  {
    kv::CRegKey root, key;
    ASSERT_EQ(kvlab::OpenMachineRoot("BETA", root), ERROR_SUCCESS);
    ASSERT_EQ(kvlab::CreateKey(root.Get(), std::string(ProductRoot) + "\\RoleRecord\\SanOption", key), ERROR_SUCCESS);
    ASSERT_EQ(kvlab::WriteBinary(key.Get(), "Slot_1", &blank, sizeof(blank)), ERROR_SUCCESS);
  }
  ASSERT_EQ(PrimaryOf("BETA"), "");
  ASSERT_EQ(EditDistributedList(nullptr, "BETA", ListAdd), ERROR_SUCCESS);

  kvtest::ScriptedUser script;
  script.AnswerBox(IDOK);
  EXPECT_EQ(AssignDistributed("ALPHA", "BETA"), static_cast<DWORD>(ERROR_INVALID_DATA));
  ASSERT_TRUE(script.Finish()) << script.Report();
  ASSERT_EQ(script.Boxes().size(), 1u);
  EXPECT_EQ(script.Boxes()[0].text, FormatResString(IDS_RECORD_DAMAGED, "BETA"));
  EXPECT_EQ(script.Boxes()[0].flags, 0x42030u);
  EXPECT_EQ(PrimaryOf("BETA"), "");
  EXPECT_EQ(kvlab::ListMembers(rstest::ComputerName()), Names{"BETA"});
  EXPECT_EQ(EditDistributedList(nullptr, nullptr, ListDelete), ERROR_SUCCESS);
  EXPECT_TRUE(NoSessions());
}

TEST_F(TransactionTest, CancelInADialogThePromptOrAConfirmationChangesNothingAndClosesEverything) {
  ASSERT_EQ(0, kvlab::SetRole("ALPHA", "ALPHA", "Administrator", "alpha-pw"));
  ASSERT_EQ(0, kvlab::SetRole("BETA", "ALPHA", "Administrator", "beta-pw"));
  const auto before = RawRecord("BETA");
  auto unchanged = [&] {
    EXPECT_EQ(RawRecord("BETA"), before);
    EXPECT_EQ(PrimaryOf("ALPHA"), "ALPHA");
    EXPECT_EQ(PrimaryOf("GAMMA"), "<none>");
    EXPECT_EQ(kvlab::ListMembers("ALPHA"), Names{"BETA"});
    EXPECT_FALSE(ListExists("GAMMA"));
    EXPECT_TRUE(NoSessions());
    EXPECT_EQ(kv::WaitCursorDepth(), 0);
  };
  auto cancelDialog = [](kvtest::DialogDriver& d) { d.Press(IDCANCEL); };

  // The server's dialog (nothing stored for anyone).
  {
    kvtest::ScriptedUser script;
    script.Dialog("Security", cancelDialog);
    EXPECT_EQ(AssignDistributed("GAMMA", "BETA"), SessionCancelled);
    EXPECT_TRUE(script.Finish()) << script.Report();
    EXPECT_TRUE(script.Boxes().empty());
    unchanged();
  }
  // The primary's dialog, after the server's session was opened.
  Store("BETA", "beta-pw");
  for (auto run :
       {+[] { return AssignDistributed("GAMMA", "BETA"); }, +[] { return RemoveDistributed("GAMMA", "BETA"); }}) {
    kvtest::ScriptedUser script;
    script.Dialog("Security", cancelDialog);
    EXPECT_EQ(run(), SessionCancelled);
    EXPECT_TRUE(script.Finish()) << script.Report();
    EXPECT_TRUE(script.Boxes().empty());
    unchanged();
  }
  // The retry prompt after a stored password that no longer works.
  Store("GAMMA", "stale-pw");
  for (auto run : {+[] { return MakePrimary("GAMMA"); }, +[] { return DeletePrimary("GAMMA"); },
                   +[] { return ForceRemoveDistributed("GAMMA"); }}) {
    kvtest::ScriptedUser script;
    script.AnswerBox(IDCANCEL);
    EXPECT_EQ(run(), SessionCancelled);
    EXPECT_TRUE(script.Finish()) << script.Report();
    ASSERT_EQ(script.Boxes().size(), 1u);  // the prompt itself, nothing after it
    EXPECT_EQ(script.Boxes()[0].text, FormatResString(IDS_CONNECT_FAILED, "GAMMA"));
    unchanged();
  }
  // The confirmations.
  Store("ALPHA", "alpha-pw");
  Store("GAMMA", "gamma-pw");
  for (auto run : {+[] { return AssignDistributed("GAMMA", "BETA"); }, +[] { return MakePrimary("BETA"); }}) {
    kvtest::ScriptedUser script;
    script.AnswerBox(IDCANCEL);
    EXPECT_EQ(run(), SessionCancelled);
    EXPECT_TRUE(script.Finish()) << script.Report();
    ASSERT_EQ(script.Boxes().size(), 1u);
    EXPECT_EQ(script.Boxes()[0].text, Assigned("BETA", "ALPHA"));
    EXPECT_EQ(script.Boxes()[0].flags, kConfirmFlags);
    unchanged();
  }
}

TEST_F(TransactionTest, AnUnreachablePrimaryIsShownAndEndsTheTransactionBeforeAnyWrite) {
  StoreAll();
  ASSERT_EQ(0, kvlab::SetOnline("GAMMA", false));
  kvtest::ScriptedUser script;
  script.AnswerBox(IDOK);
  script.Dialog("Security", [](kvtest::DialogDriver& d) { d.Press(IDOK); });
  script.AnswerBox(IDOK);
  EXPECT_EQ(AssignDistributed("GAMMA", "BETA"), static_cast<DWORD>(ERROR_BAD_NETPATH));
  ASSERT_TRUE(script.Finish()) << script.Report();
  ASSERT_EQ(script.Boxes().size(), 2u);
  EXPECT_EQ(script.Boxes()[1].text, SystemErrorText(ERROR_BAD_NETPATH));
  EXPECT_EQ(script.Boxes()[1].caption, kCaption);
  EXPECT_EQ(script.Boxes()[1].flags, kErrorFlags);
  EXPECT_EQ(PrimaryOf("BETA"), "<none>");
  EXPECT_TRUE(NoSessions());
}

TEST_F(TransactionTest, RemovingAMemberMissingFromTheListRestoresItsRecordUnlessThePrimaryIsGone) {
  StoreAll();
  ASSERT_EQ(0, kvlab::SetRole("ALPHA", "ALPHA", "Administrator", "alpha-pw"));
  ASSERT_EQ(0, kvlab::SetRole("BETA", "ALPHA", "Administrator", "beta-pw"));
  DeleteListValue("ALPHA", "BETA");
  const auto before = RawRecord("BETA");
  ASSERT_EQ(before.size(), 76u);
  {
    kvtest::ScriptedUser script;
    script.AnswerBox(IDCANCEL);  // the answer is ignored
    EXPECT_EQ(RemoveDistributed("ALPHA", "BETA"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(script.Finish()) << script.Report();
    ASSERT_EQ(script.Boxes().size(), 1u);
    EXPECT_EQ(script.Boxes()[0].text, SystemErrorText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(script.Boxes()[0].caption, kCaption);
    EXPECT_EQ(script.Boxes()[0].flags, kErrorFlags);
    EXPECT_EQ(RawRecord("BETA"), before);
    EXPECT_TRUE(NoSessions());
  }
  // Once ALPHA holds no record it counts as gone: the removal succeeds.
  ASSERT_EQ(0, kvlab::SetRole("ALPHA", "", "", ""));
  {
    kvtest::ScriptedUser script;
    EXPECT_EQ(RemoveDistributed("ALPHA", "BETA"), 0u);
    EXPECT_TRUE(script.Finish()) << script.Report();
    EXPECT_EQ(PrimaryOf("BETA"), "<none>");
    EXPECT_TRUE(NoSessions());
  }
}

TEST_F(TransactionTest, RemovingAMemberClearsItsRecordAndTheListItEmptied) {
  StoreAll();
  ASSERT_EQ(0, kvlab::SetRole("ALPHA", "ALPHA", "Administrator", "alpha-pw"));
  ASSERT_EQ(0, kvlab::SetRole("BETA", "ALPHA", "Administrator", "beta-pw"));
  kvtest::ScriptedUser script;
  EXPECT_EQ(RemoveDistributed("ALPHA", "BETA"), 0u);
  EXPECT_TRUE(script.Finish()) << script.Report();
  EXPECT_EQ(PrimaryOf("BETA"), "<none>");
  EXPECT_FALSE(ListExists("ALPHA"));
  EXPECT_EQ(PrimaryOf("ALPHA"), "ALPHA");
  EXPECT_TRUE(NoSessions());
}

TEST_F(TransactionTest, ForceRemoveClearsOnlyTheRecordAndShowsAMissingOne) {
  StoreAll();
  {
    kvtest::ScriptedUser script;
    script.AnswerBox(IDOK);
    EXPECT_EQ(ForceRemoveDistributed("BETA"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(script.Finish()) << script.Report();
    ASSERT_EQ(script.Boxes().size(), 1u);
    EXPECT_EQ(script.Boxes()[0].text, SystemErrorText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(script.Boxes()[0].caption, kCaption);
    EXPECT_EQ(script.Boxes()[0].flags, kErrorFlags);
    EXPECT_EQ(PrimaryOf("BETA"), "<none>");
    EXPECT_TRUE(NoSessions());
  }
  ASSERT_EQ(0, kvlab::SetRole("ALPHA", "ALPHA", "Administrator", "alpha-pw"));
  ASSERT_EQ(0, kvlab::SetRole("BETA", "ALPHA", "Administrator", "beta-pw"));
  kvtest::ScriptedUser script;
  EXPECT_EQ(ForceRemoveDistributed("BETA"), 0u);
  EXPECT_TRUE(script.Finish()) << script.Report();
  EXPECT_EQ(PrimaryOf("BETA"), "<none>");
  EXPECT_EQ(kvlab::ListMembers("ALPHA"), Names{"BETA"});  // the former primary's list keeps it
  EXPECT_TRUE(NoSessions());
}

TEST_F(TransactionTest, MakePrimaryDetachesFromThePreviousPrimaryOrSaysItCouldNot) {
  StoreAll();
  ASSERT_EQ(0, kvlab::SetRole("ALPHA", "ALPHA", "Administrator", "alpha-pw"));
  ASSERT_EQ(0, kvlab::SetRole("BETA", "ALPHA", "Administrator", "beta-pw"));
  ASSERT_EQ(0, kvlab::SetRole("GAMMA", "ALPHA", "Administrator", "gamma-pw"));
  DeleteListValue("ALPHA", "GAMMA");
  const auto gammaBefore = RawRecord("GAMMA");
  {
    kvtest::ScriptedUser script;
    script.AnswerBox(IDOK).AnswerBox(IDOK).AnswerBox(IDOK);
    EXPECT_EQ(MakePrimary("GAMMA"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(script.Finish()) << script.Report();
    ASSERT_EQ(script.Boxes().size(), 3u);
    EXPECT_EQ(script.Boxes()[0].text, Assigned("GAMMA", "ALPHA"));
    EXPECT_EQ(script.Boxes()[1].text, SystemErrorText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(script.Boxes()[1].flags, kErrorFlags);
    EXPECT_EQ(script.Boxes()[2].text, "Couldn't remove from Primary");
    EXPECT_EQ(script.Boxes()[2].caption, kCaption);
    EXPECT_EQ(script.Boxes()[2].flags, kWarningFlags);
    EXPECT_EQ(RawRecord("GAMMA"), gammaBefore);
    EXPECT_TRUE(NoSessions());
  }
  kvtest::ScriptedUser script;
  script.AnswerBox(IDOK);
  EXPECT_EQ(MakePrimary("BETA"), 0u);
  ASSERT_TRUE(script.Finish()) << script.Report();
  Credentials c;
  ASSERT_TRUE(MachineRecord("BETA", c));
  EXPECT_EQ(c.primary, "BETA");
  EXPECT_EQ(c.distributed, 0u);
  EXPECT_EQ(c.password, "beta-pw");
  EXPECT_FALSE(ListExists("ALPHA"));
  EXPECT_FALSE(ListExists("BETA"));  // the first addition creates it
  EXPECT_TRUE(NoSessions());
}

TEST_F(TransactionTest, DeletePrimaryClearsItsRecordAndListButNotItsMembers) {
  StoreAll();
  ASSERT_EQ(0, kvlab::SetRole("ALPHA", "ALPHA", "Administrator", "alpha-pw"));
  ASSERT_EQ(0, kvlab::SetRole("BETA", "ALPHA", "Administrator", "beta-pw"));
  kvtest::ScriptedUser script;
  EXPECT_EQ(DeletePrimary("ALPHA"), 0u);
  EXPECT_TRUE(script.Finish()) << script.Report();
  EXPECT_EQ(PrimaryOf("ALPHA"), "<none>");
  EXPECT_FALSE(ListExists("ALPHA"));
  EXPECT_EQ(PrimaryOf("BETA"), "ALPHA");
  EXPECT_TRUE(NoSessions());
}

// --- the confirmation wait -----------------------------------------------------

std::atomic<int> g_sleeps{0};
std::atomic<DWORD> g_longestSleep{0};
std::atomic<int> g_writeAt{0};  // the sleep before which the local table gets BETA's record
void WINAPI CountingSleep(DWORD ms) {
  if (ms > g_longestSleep) g_longestSleep = ms;
  if (++g_sleeps == g_writeAt) {
    RoleRecord record = rstest::MakeRecord("ALPHA", 1);
    rstest::WriteSlot("BETA", &record, sizeof(record));
  }
}

class ConfirmationWaitTest : public TransactionTest {
 protected:
  void SetUp() override {
    TransactionTest::SetUp();
    m_owner = ::CreateWindowExA(0, "STATIC", "owner", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    g_sleeps = 0;
    g_writeAt = 0;
    SetDelay(350);
  }
  void TearDown() override {
    SetConfirmationSleepForTest(nullptr);
    ::DestroyWindow(m_owner);
    TransactionTest::TearDown();
  }
  static void SetDelay(DWORD ms) {
    kv::CRegKey key;
    ASSERT_EQ(kvlab::CreateKey(
                  HKEY_LOCAL_MACHINE,
                  std::string(ProductRoot) + "\\DiscoveryImplementationList\\Bellcast\\TandDiscoverySetting", key),
              ERROR_SUCCESS);
    ASSERT_EQ(kvlab::WriteDword(key.Get(), "BCastDelay", ms), ERROR_SUCCESS);
  }
  // A peer table as the local service leaves it, with count peers.
  static void SetPeers(int count) {
    kv::CRegKey key;
    ASSERT_EQ(
        kvlab::CreateKey(HKEY_LOCAL_MACHINE, std::string(ProductRoot) + "\\DiscoveryImplementationList\\Bellcast", key),
        ERROR_SUCCESS);
    std::vector<BYTE> table(static_cast<size_t>(count) * kPeerEntrySize, 0);
    for (int i = 0; i < count; ++i) table[static_cast<size_t>(i) * kPeerEntrySize] = 'P';
    ASSERT_EQ(kvlab::WriteBinary(key.Get(), "PeerTable", table.data(), static_cast<DWORD>(table.size())),
              ERROR_SUCCESS);
  }
  // Runs the wait with the counting sleep; returns its result and the box it showed.
  bool Wait(const ExpectedState& state, std::vector<kvtest::SeenBox>& boxes, bool expectBox) {
    SetConfirmationSleepForTest(&CountingSleep);
    kvtest::ScriptedUser script;
    if (expectBox) script.AnswerBox(IDOK);
    bool result = ConfirmationWait(m_owner, "BETA", state);
    EXPECT_TRUE(script.Finish()) << script.Report();
    boxes = script.Boxes();
    return result;
  }
  void ExpectGaveUp(const std::vector<kvtest::SeenBox>& boxes) {
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text,
              "Configuration Table was not updated properly\n. Please make sure that Discovery Service is running on "
              "BETA machine");
    EXPECT_EQ(boxes[0].caption, kCaption);
    EXPECT_EQ(boxes[0].flags, kWarningFlags);
    EXPECT_EQ(boxes[0].owner, m_owner);
  }

  HWND m_owner = nullptr;
};

TEST_F(ConfirmationWaitTest, WithoutPeersItGivesUpAtOnceWithoutSleeping) {
  std::vector<kvtest::SeenBox> boxes;
  EXPECT_FALSE(Wait(ExpectedState::NoRecord(), boxes, true));  // no peer table at all
  ExpectGaveUp(boxes);
  SetPeers(0);
  EXPECT_FALSE(Wait(ExpectedState::NoRecord(), boxes, true));
  ExpectGaveUp(boxes);
  EXPECT_EQ(g_sleeps, 0);
}

TEST_F(ConfirmationWaitTest, ReadsAtMostOncePerPeerAndStartsNoReadPastSixtySeconds) {
  std::vector<kvtest::SeenBox> boxes;
  SetPeers(500);
  EXPECT_FALSE(Wait(ExpectedState::Names("ALPHA"), boxes, true));
  ExpectGaveUp(boxes);
  EXPECT_EQ(g_sleeps, 173);

  g_sleeps = 0;
  SetPeers(3);
  EXPECT_FALSE(Wait(ExpectedState::Names("ALPHA"), boxes, true));
  EXPECT_EQ(g_sleeps, 3);

  g_sleeps = 0;
  SetPeers(500);
  SetDelay(70000);
  EXPECT_FALSE(Wait(ExpectedState::Names("ALPHA"), boxes, true));
  EXPECT_EQ(g_sleeps, 2);

  // A damaged setting of INFINITE does not hang: each sleep is bounded.
  g_sleeps = 0;
  g_longestSleep = 0;
  SetDelay(0xFFFFFFFFu);
  EXPECT_FALSE(Wait(ExpectedState::Names("ALPHA"), boxes, true));
  EXPECT_EQ(g_sleeps, 2);
  EXPECT_EQ(g_longestSleep.load(), 60000u);
}

TEST_F(ConfirmationWaitTest, SucceedsOnTheReadThatShowsTheExpectedState) {
  std::vector<kvtest::SeenBox> boxes;
  SetPeers(500);
  g_writeAt = 5;
  EXPECT_TRUE(Wait(ExpectedState::Names("ALPHA"), boxes, false));
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(g_sleeps, 5);

  // Now a record exists: waiting for its removal fails, for another name too.
  g_sleeps = 0;
  g_writeAt = 0;
  SetPeers(4);
  EXPECT_FALSE(Wait(ExpectedState::NoRecord(), boxes, true));
  EXPECT_EQ(g_sleeps, 4);
  EXPECT_FALSE(Wait(ExpectedState::Names("GAMMA"), boxes, true));
  g_sleeps = 0;
  EXPECT_TRUE(Wait(ExpectedState::Names("ALPHA"), boxes, false));
  EXPECT_EQ(g_sleeps, 1);
}

// The whole road with the real local Discovery Service and real sleeps: each
// transaction's change reaches the local table and the wait sees it.
TEST_F(ConfirmationWaitTest, TransactionsReachTheLocalTableThroughTheDiscoveryService) {
  SetDelay(50);
  ASSERT_EQ(0, kvlab::SetRole("ALPHA", "ALPHA", "Administrator", "alpha-pw"));
  ASSERT_EQ(0, kvlab::SetRole("BETA", "BETA", "Administrator", "beta-pw"));
  ASSERT_EQ(0, m_lab.StartLocalDiscovery());
  ASSERT_TRUE(kvlab::WaitForTable({"ALPHA", "BETA", "GAMMA"}, 20000));
  // The local table carries the records, and with them the stored credentials.
  for (int i = 0; i < 200 && (QueryServerRole("BETA") != RolePrimary || QueryServerRole("ALPHA") != RolePrimary); ++i)
    ::Sleep(50);
  ASSERT_EQ(QueryServerRole("BETA"), RolePrimary);
  ASSERT_EQ(QueryServerRole("ALPHA"), RolePrimary);

  kvtest::ScriptedUser script;
  script.AnswerBox(IDOK);
  EXPECT_EQ(AssignDistributed("ALPHA", "BETA"), 0u);
  EXPECT_TRUE(ConfirmationWait(m_owner, "BETA", ExpectedState::Names("ALPHA")));
  EXPECT_EQ(RemoveDistributed("ALPHA", "BETA"), 0u);
  EXPECT_TRUE(ConfirmationWait(m_owner, "BETA", ExpectedState::NoRecord()));
  EXPECT_TRUE(script.Finish()) << script.Report();
  EXPECT_EQ(script.Boxes().size(), 1u);
  EXPECT_EQ(QueryServerRole("BETA"), RoleNone);
  EXPECT_TRUE(NoSessions());
}

// Neither primary trusts the console: the previous primary's list is reached
// over a session of its own, and only a primary whose record is really gone
// lets a failed list removal pass.
TEST_F(TransactionTest, AMemberMovesBetweenPrimariesThatDoNotTrustTheConsole) {
  ASSERT_EQ(0, kvlab::SetRole("ALPHA", "ALPHA", "Administrator", "alpha-pw"));
  ASSERT_EQ(0, kvlab::SetRole("BETA", "ALPHA", "Administrator", "beta-pw"));
  ASSERT_EQ(0, kvlab::SetRole("GAMMA", "GAMMA", "Administrator", "gamma-pw"));
  Store("BETA", "beta-pw");
  Store("GAMMA", "gamma-pw");  // nothing stored for ALPHA: its dialog asks
  auto auditProblems = [] {
    FILE* out = std::tmpfile();
    int problems = out ? kvlab::Audit(out) : -1;
    if (out) std::fclose(out);
    return problems;
  };
  ASSERT_EQ(auditProblems(), 0);

  // Cancelled at the previous primary's dialog: nothing written.
  {
    kvtest::ScriptedUser script;
    script.AnswerBox(IDOK);
    script.Dialog("Security", [](kvtest::DialogDriver& d) { d.Press(IDCANCEL); });
    EXPECT_EQ(AssignDistributed("GAMMA", "BETA"), SessionCancelled);
    ASSERT_TRUE(script.Finish()) << script.Report();
    EXPECT_EQ(script.Boxes().size(), 1u);
    EXPECT_EQ(PrimaryOf("BETA"), "ALPHA");
    EXPECT_EQ(kvlab::ListMembers("ALPHA"), Names{"BETA"});
    EXPECT_FALSE(ListExists("GAMMA"));
    EXPECT_TRUE(NoSessions());
  }
  // Given ALPHA's credentials the move completes: BETA leaves ALPHA's list.
  {
    kvtest::ScriptedUser script;
    script.AnswerBox(IDOK);
    script.Dialog("Security", [](kvtest::DialogDriver& d) {
      d.SetText(IDC_USERNAME, "Administrator");
      d.SetText(IDC_PASSWORD, "alpha-pw");
      d.Press(IDOK);
    });
    EXPECT_EQ(AssignDistributed("GAMMA", "BETA"), 0u);
    ASSERT_TRUE(script.Finish()) << script.Report();
    ASSERT_EQ(script.Boxes().size(), 1u);
    EXPECT_EQ(script.Boxes()[0].text, Assigned("BETA", "ALPHA"));
  }
  EXPECT_EQ(PrimaryOf("BETA"), "GAMMA");
  EXPECT_FALSE(ListExists("ALPHA"));
  EXPECT_EQ(kvlab::ListMembers("GAMMA"), Names{"BETA"});
  EXPECT_EQ(auditProblems(), 0);
  EXPECT_TRUE(NoSessions());

  // A primary whose record cannot be read (here it is damaged) is not gone:
  // the failed removal is shown and returned, and nothing is written.
  DeleteListValue("GAMMA", "BETA");
  {
    kv::CRegKey root, key;
    ASSERT_EQ(kvlab::OpenMachineRoot("GAMMA", root), ERROR_SUCCESS);
    ASSERT_EQ(kvlab::CreateKey(root.Get(), std::string(ProductRoot) + "\\RoleRecord\\SanOption", key), ERROR_SUCCESS);
    ASSERT_EQ(kvlab::WriteBinary(key.Get(), "Slot_1", "GAMMA", 6), ERROR_SUCCESS);
  }
  Store("ALPHA", "alpha-pw");
  const auto before = RawRecord("BETA");
  {
    kvtest::ScriptedUser script;
    script.AnswerBox(IDOK);
    script.AnswerBox(IDOK);
    EXPECT_EQ(AssignDistributed("ALPHA", "BETA"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(script.Finish()) << script.Report();
    ASSERT_EQ(script.Boxes().size(), 2u);
    EXPECT_EQ(script.Boxes()[1].text, SystemErrorText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(script.Boxes()[1].flags, kErrorFlags);
  }
  EXPECT_EQ(RawRecord("BETA"), before);
  EXPECT_FALSE(ListExists("ALPHA"));
  EXPECT_TRUE(NoSessions());
}

// The 60000 ms rule counts the delays already waited and gives up only once
// they exceed it: with 500 ms, the read after 120 delays (exactly 60000 ms)
// is still made.
TEST_F(ConfirmationWaitTest, TheSixtySecondRuleGivesUpOnlyPastTheLimit) {
  std::vector<kvtest::SeenBox> boxes;
  SetPeers(200);
  SetDelay(500);
  EXPECT_FALSE(Wait(ExpectedState::Names("ALPHA"), boxes, true));
  ExpectGaveUp(boxes);
  EXPECT_EQ(g_sleeps, 122);
}

// A primary whose list refuses the addition: the record written for the
// server is cleared again, the failure shown, nothing left open.
TEST_F(TransactionTest, AssigningToAPrimaryWhoseListRefusesWritesClearsTheRecordItWrote) {
  StoreAll();
  ASSERT_EQ(0, kvlab::SetRole("ALPHA", "ALPHA", "Administrator", "alpha-pw"));
  ASSERT_EQ(0, kvlab::RefuseListWrites("ALPHA", true));
  kvtest::ScriptedUser script;
  script.AnswerBox(IDOK);
  EXPECT_EQ(AssignDistributed("ALPHA", "BETA"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(script.Finish()) << script.Report();
  ASSERT_EQ(script.Boxes().size(), 1u);
  EXPECT_EQ(script.Boxes()[0].text, SystemErrorText(ERROR_ACCESS_DENIED));
  EXPECT_EQ(script.Boxes()[0].caption, kCaption);
  EXPECT_EQ(script.Boxes()[0].flags, kErrorFlags);
  EXPECT_EQ(PrimaryOf("BETA"), "<none>");
  EXPECT_TRUE(kvlab::ListMembers("ALPHA").empty());
  EXPECT_TRUE(NoSessions());
  EXPECT_EQ(0, kvlab::RefuseListWrites("ALPHA", false));
}

}  // namespace
