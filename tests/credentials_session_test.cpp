// OpenAdminSession against a lab: stored credentials, the logon prompt, the
// credential-conflict retry, the retry prompt with its exact text, caption
// and flags, and exactly one more attempt. The lab counts connections, so
// each case also checks how many attempts reached the server.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstring>

#include "AdminSession.h"
#include "App.h"
#include "LabAdmin.h"
#include "Messages.h"
#include "Remote.h"
#include "RoleTables.h"
#include "ScriptedUser.h"
#include "TestLab.h"
#include "resource.h"
#include "rolestore_testkey.h"

namespace {

class AdminSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&icc);
  }
  void SetUp() override {
    ASSERT_EQ(0, m_lab.Add("ALPHA", "alpha-pw"));
    ASSERT_EQ(0, kvlab::SetAccount("ALPHA", "backup", "backup-pw"));
    ASSERT_TRUE(LoadDiscoveryTableRoot());
    ASSERT_TRUE(LoadProductRoot());
  }
  void TearDown() override { SetRegistryRootsForTest("", ""); }

  static void StoreCredentials(const std::string& server, const std::string& user, const std::string& password) {
    RoleRecord record = rstest::MakeRecord("PRIMARY", 1, user, password);
    rstest::WriteSlot(server, &record, sizeof(record));
  }
  // Connections the lab holds for ALPHA's ipc$ (0 when there is no session).
  static DWORD Uses(const std::string& machine) {
    kv::CRegKey key;
    if (kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::SessionsPath() + "\\" + machine + "\\ipc$", KEY_READ, key)) return 0;
    return kvlab::ReadDword(key.Get(), "Uses", 0);
  }
  static DWORD Connect(const char* machine, const char* user, const char* password) {
    std::string name = AdminSessionName(machine);
    NETRESOURCEA resource{};
    resource.dwScope = RESOURCE_GLOBALNET;
    resource.dwUsage = RESOURCEUSAGE_CONNECTABLE;
    resource.lpRemoteName = name.data();
    return kvr::WNetAddConnection2A(&resource, password, user, 0);
  }

  kvlab::CScopedLab m_lab{"session", 300};
};

TEST_F(AdminSessionTest, StoredCredentialsConnectWithoutADialogInOneAttempt) {
  StoreCredentials("ALPHA", "Administrator", "alpha-pw");
  kvtest::ScriptedUser script;  // no window may appear
  char user[kCredentialBufferSize], password[kCredentialBufferSize];
  std::memset(user, 'x', sizeof(user));
  std::memset(password, 'x', sizeof(password));
  EXPECT_EQ(OpenAdminSession("ALPHA", "ipc$", user, password), 0u);
  EXPECT_TRUE(script.Finish()) << script.Report();
  EXPECT_STREQ(user, "Administrator");
  EXPECT_STREQ(password, "alpha-pw");
  EXPECT_EQ(kvlab::SessionUser("ALPHA"), "Administrator");
  EXPECT_EQ(Uses("ALPHA"), 1u);
  EXPECT_EQ(kv::WaitCursorDepth(), 0);

  CloseAdminSession("ALPHA");
  EXPECT_FALSE(kvlab::HasSession("ALPHA"));
}

TEST_F(AdminSessionTest, FullWidthStoredCredentialsAreReadWithoutOverreading) {
  // 24 characters fill each field: no NUL ends the user name before the
  // password field, nor the password before the end of the record. The
  // lab knows no such account, so the retry dialog shows what was read.
  const std::string longUser(24, 'u'), longPassword(24, 'p');
  StoreCredentials("ALPHA", longUser, longPassword);
  kvtest::ScriptedUser script;
  std::string shownUser, shownPassword;
  script.AnswerBox(IDOK);
  script.Dialog("Security", [&](kvtest::DialogDriver& d) {
    shownUser = d.Text(IDC_USERNAME);
    shownPassword = d.Text(IDC_PASSWORD);
    d.Press(IDCANCEL);
  });
  EXPECT_EQ(OpenAdminSession("ALPHA", "ipc$", nullptr, nullptr), SessionCancelled);
  EXPECT_TRUE(script.Finish()) << script.Report();
  EXPECT_EQ(shownUser, longUser);
  EXPECT_EQ(shownPassword, longPassword);
}

TEST_F(AdminSessionTest, WithoutARecordTheDialogOffersTheCurrentAccountAndCancelEndsIt) {
  kvtest::ScriptedUser script;
  std::string shownServer, shownUser, shownPassword;
  script.Dialog("Security", [&](kvtest::DialogDriver& d) {
    shownServer = d.Text(IDC_LOGON_SERVER);
    shownUser = d.Text(IDC_USERNAME);
    shownPassword = d.Text(IDC_PASSWORD);
    d.Press(IDCANCEL);
  });
  EXPECT_EQ(OpenAdminSession("ALPHA", "ipc$", nullptr, nullptr), SessionCancelled);
  EXPECT_TRUE(script.Finish()) << script.Report();
  EXPECT_TRUE(script.Boxes().empty());
  EXPECT_EQ(shownServer, "\\\\ALPHA");
  EXPECT_EQ(shownUser, DefaultUserName());
  EXPECT_EQ(shownPassword, "");
  EXPECT_FALSE(kvlab::HasSession("ALPHA"));
  EXPECT_EQ(kv::WaitCursorDepth(), 0);
}

TEST_F(AdminSessionTest, WithoutARecordTheTypedCredentialsAreUsedAndHandedBack) {
  kvtest::ScriptedUser script;
  script.Dialog("Security", [](kvtest::DialogDriver& d) {
    d.Type(IDC_USERNAME, "backup");
    d.Type(IDC_PASSWORD, "backup-pw");
    d.Press(IDOK);
  });
  char user[kCredentialBufferSize] = {}, password[kCredentialBufferSize] = {};
  EXPECT_EQ(OpenAdminSession("ALPHA", "ipc$", user, password), 0u);
  EXPECT_TRUE(script.Finish()) << script.Report();
  EXPECT_STREQ(user, "backup");
  EXPECT_STREQ(password, "backup-pw");
  EXPECT_EQ(kvlab::SessionUser("ALPHA"), "backup");
  CloseAdminSession("ALPHA");
}

TEST_F(AdminSessionTest, ARecordTooShortToHoldCredentialsLeadsToTheDialog) {
  RoleRecord record = rstest::MakeRecord("PRIMARY", 1, "Administrator", "alpha-pw");
  rstest::WriteSlot("ALPHA", &record, 28);  // primary name and flag only
  kvtest::ScriptedUser script;
  std::string shownUser;
  script.Dialog("Security", [&](kvtest::DialogDriver& d) {
    shownUser = d.Text(IDC_USERNAME);
    d.Press(IDCANCEL);
  });
  EXPECT_EQ(OpenAdminSession("ALPHA", "ipc$", nullptr, nullptr), SessionCancelled);
  EXPECT_TRUE(script.Finish()) << script.Report();
  EXPECT_EQ(shownUser, DefaultUserName());
}

TEST_F(AdminSessionTest, ASessionUnderOtherCredentialsIsReplacedWithoutAsking) {
  ASSERT_EQ(Connect("ALPHA", "backup", "backup-pw"), 0u);
  StoreCredentials("ALPHA", "Administrator", "alpha-pw");
  kvtest::ScriptedUser script;
  EXPECT_EQ(OpenAdminSession("ALPHA", "ipc$", nullptr, nullptr), 0u);
  EXPECT_TRUE(script.Finish()) << script.Report();
  EXPECT_TRUE(script.Boxes().empty());
  EXPECT_EQ(kvlab::SessionUser("ALPHA"), "Administrator");
  EXPECT_EQ(Uses("ALPHA"), 1u);
  CloseAdminSession("ALPHA");
}

TEST_F(AdminSessionTest, AConflictThatOutlivesOneCancelIsReturnedWithoutAPrompt) {
  // Two uses of the other session: one forced cancel does not end it.
  ASSERT_EQ(Connect("ALPHA", "backup", "backup-pw"), 0u);
  ASSERT_EQ(Connect("ALPHA", "backup", "backup-pw"), 0u);
  StoreCredentials("ALPHA", "Administrator", "alpha-pw");
  kvtest::ScriptedUser script;
  EXPECT_EQ(OpenAdminSession("ALPHA", "ipc$", nullptr, nullptr), static_cast<DWORD>(ERROR_SESSION_CREDENTIAL_CONFLICT));
  EXPECT_TRUE(script.Finish()) << script.Report();
  EXPECT_TRUE(script.Boxes().empty());
  EXPECT_EQ(kvlab::SessionUser("ALPHA"), "backup");
  EXPECT_EQ(kv::WaitCursorDepth(), 0);
  CloseAdminSession("ALPHA");
}

TEST_F(AdminSessionTest, AWrongStoredPasswordPromptsThenRetriesOnceWithTheEditedValues) {
  StoreCredentials("ALPHA", "Administrator", "wrong");
  kvtest::ScriptedUser script;
  std::string retryUser, retryPassword;
  script.AnswerBox(IDOK);
  script.Dialog("Security", [&](kvtest::DialogDriver& d) {
    retryUser = d.Text(IDC_USERNAME);
    retryPassword = d.Text(IDC_PASSWORD);
    d.Type(IDC_PASSWORD, "alpha-pw");
    d.Press(IDOK);
  });
  char user[kCredentialBufferSize] = {}, password[kCredentialBufferSize] = {};
  EXPECT_EQ(OpenAdminSession("ALPHA", "ipc$", user, password), 0u);
  ASSERT_TRUE(script.Finish()) << script.Report();
  auto boxes = script.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Failed to connect to \\\\ALPHA\nPress OK to try again");
  EXPECT_EQ(boxes[0].caption, "SAN Option Configuration");
  EXPECT_EQ(boxes[0].flags, 0x42011u);
  EXPECT_EQ(boxes[0].owner, nullptr);
  EXPECT_EQ(retryUser, "Administrator");
  EXPECT_EQ(retryPassword, "wrong");
  EXPECT_STREQ(user, "Administrator");
  EXPECT_STREQ(password, "alpha-pw");
  EXPECT_EQ(Uses("ALPHA"), 1u);
  CloseAdminSession("ALPHA");
}

TEST_F(AdminSessionTest, AnUnreachableServerGetsOnePromptAndExactlyOneMoreAttempt) {
  kvtest::ScriptedUser script;
  int dialogs = 0;
  script.Dialog("Security", [&](kvtest::DialogDriver& d) {
    ++dialogs;
    d.Type(IDC_PASSWORD, "first");
    d.Press(IDOK);
  });
  script.AnswerBox(IDOK);
  std::string retryPassword;
  script.Dialog("Security", [&](kvtest::DialogDriver& d) {
    ++dialogs;
    retryPassword = d.Text(IDC_PASSWORD);
    d.Press(IDOK);
  });
  EXPECT_EQ(OpenAdminSession("NOSUCHBOX", "ipc$", nullptr, nullptr), static_cast<DWORD>(ERROR_BAD_NETPATH));
  ASSERT_TRUE(script.Finish()) << script.Report();
  EXPECT_EQ(dialogs, 2);
  EXPECT_EQ(retryPassword, "first");  // the values just tried
  auto boxes = script.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Failed to connect to \\\\NOSUCHBOX\nPress OK to try again");
  EXPECT_EQ(kv::WaitCursorDepth(), 0);
}

TEST_F(AdminSessionTest, CancellingThePromptOrTheRetryDialogEndsTheAttempt) {
  StoreCredentials("ALPHA", "Administrator", "wrong");
  {
    kvtest::ScriptedUser script;
    script.AnswerBox(IDCANCEL);
    EXPECT_EQ(OpenAdminSession("ALPHA", "ipc$", nullptr, nullptr), SessionCancelled);
    EXPECT_TRUE(script.Finish()) << script.Report();
    EXPECT_EQ(script.Boxes().size(), 1u);
  }
  {
    kvtest::ScriptedUser script;
    script.AnswerBox(IDOK);
    script.Dialog("Security", [](kvtest::DialogDriver& d) {
      d.Type(IDC_PASSWORD, "alpha-pw");
      d.Press(IDCANCEL);
    });
    EXPECT_EQ(OpenAdminSession("ALPHA", "ipc$", nullptr, nullptr), SessionCancelled);
    EXPECT_TRUE(script.Finish()) << script.Report();
  }
  EXPECT_FALSE(kvlab::HasSession("ALPHA"));
  EXPECT_EQ(kv::WaitCursorDepth(), 0);
}

TEST_F(AdminSessionTest, AHeldSessionIsClosedAtScopeEnd) {
  StoreCredentials("ALPHA", "Administrator", "alpha-pw");
  {
    ASSERT_EQ(OpenAdminSession("ALPHA", "ipc$", nullptr, nullptr), 0u);
    kv::CNetConnection held = HoldAdminSession("ALPHA");
    EXPECT_TRUE(kvlab::HasSession("ALPHA"));
  }
  EXPECT_FALSE(kvlab::HasSession("ALPHA"));
}

TEST_F(AdminSessionTest, RetryPromptTextComesFromTheStringTable) {
  EXPECT_EQ(LoadResString(IDS_APP_TITLE), "SAN Option Configuration");
  EXPECT_EQ(LoadResString(IDS_FAILED_TRANSACTION), "Failed During Transaction");
  EXPECT_EQ(FormatResString(IDS_CONNECT_FAILED, "SRV01"), "Failed to connect to \\\\SRV01\nPress OK to try again");
  EXPECT_EQ(LoadResString(65000), "");
}

}  // namespace
