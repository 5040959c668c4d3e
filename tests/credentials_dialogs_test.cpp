// The two "Security" dialogs driven by the scripted user: server texts,
// 23-character limits, OK disabled while the user name is empty, an
// over-long pre-filled value refused at OK, Cancel, Help and F1.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "App.h"
#include "LogonPromptDlg.h"
#include "Messages.h"
#include "ScriptedUser.h"
#include "ServerCredentialsDlg.h"
#include "resource.h"

namespace {

struct HelpCall {
  HWND owner;
  std::string file;
  UINT command;
  ULONG_PTR data;
};
std::vector<HelpCall> g_helpCalls;

BOOL WINAPI RecordHelp(HWND owner, LPCSTR file, UINT command, ULONG_PTR data) {
  g_helpCalls.push_back({owner, file ? file : "", command, data});
  return TRUE;
}

class CredentialsDialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The console's manifest asks for common controls 6, whose window
    // classes exist once comctl32 is initialised (the program does it at start).
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&icc);
  }
  void SetUp() override {
    g_helpCalls.clear();
    m_previousHelp = SetHelpFunctionForTest(&RecordHelp);
  }
  void TearDown() override { SetHelpFunctionForTest(m_previousHelp); }

  // Runs the dialog of type Dlg over the two strings with the script.
  template <class Dlg>
  INT_PTR Run(std::string& user, std::string& password, kvtest::ScriptedUser& script) {
    Dlg dlg(user, password, "SRV01");
    INT_PTR result = dlg.DoModal();
    EXPECT_TRUE(script.Finish()) << script.Report();
    return result;
  }

  HelpFunction m_previousHelp = nullptr;
};

bool IsPasswordEdit(const kvtest::DialogDriver& d) {
  return (::GetWindowLongA(::GetDlgItem(d.Hwnd(), IDC_PASSWORD), GWL_STYLE) & ES_PASSWORD) != 0;
}

TEST_F(CredentialsDialogTest, LogonPromptShowsTheServerAndHandsBackWhatWasTyped) {
  std::string user = "operator", password;
  kvtest::ScriptedUser script;
  std::string serverText, userText;
  bool okAtOpen = false, masked = false;
  int focus = 0;
  script.Dialog("Security", [&](kvtest::DialogDriver& d) {
    serverText = d.Text(IDC_LOGON_SERVER);
    userText = d.Text(IDC_USERNAME);
    okAtOpen = d.IsEnabled(IDOK);
    focus = d.FocusedId();
    masked = IsPasswordEdit(d);
    d.Type(IDC_USERNAME, "backupadmin");
    d.Type(IDC_PASSWORD, "pa55word");
    d.Press(IDOK);
  });
  EXPECT_EQ(Run<CLogonPromptDlg>(user, password, script), IDOK);
  EXPECT_EQ(serverText, "\\\\SRV01");
  EXPECT_EQ(userText, "operator");
  EXPECT_TRUE(okAtOpen);
  EXPECT_EQ(focus, IDC_USERNAME);
  EXPECT_TRUE(masked);
  EXPECT_EQ(user, "backupadmin");
  EXPECT_EQ(password, "pa55word");
}

TEST_F(CredentialsDialogTest, ServerCredentialsNamesTheServerAfterItsPrefix) {
  std::string user = "stored", password = "old";
  kvtest::ScriptedUser script;
  std::string serverText, passwordText;
  bool okAtOpen = false;
  script.Dialog("Security", [&](kvtest::DialogDriver& d) {
    serverText = d.Text(IDC_CREDENTIALS_SERVER);
    passwordText = d.Text(IDC_PASSWORD);
    okAtOpen = d.IsEnabled(IDOK);
    d.Type(IDC_PASSWORD, "");  // the password may be left empty
    d.Press(IDOK);
  });
  EXPECT_EQ(Run<CServerCredentialsDlg>(user, password, script), IDOK);
  EXPECT_EQ(serverText, "to connect to \\\\SRV01");
  EXPECT_EQ(passwordText, "old");
  EXPECT_TRUE(okAtOpen);
  EXPECT_EQ(user, "stored");
  EXPECT_EQ(password, "");
}

// Typing stops at 23 characters in both edits of both dialogs.
template <class Dlg>
void CheckTypingLimits() {
  std::string user = "u", password;
  kvtest::ScriptedUser script;
  script.Dialog("Security", [&](kvtest::DialogDriver& d) {
    d.Type(IDC_USERNAME, std::string(30, 'u'));
    d.Type(IDC_PASSWORD, std::string(30, 'p'));
    d.Press(IDOK);
  });
  Dlg dlg(user, password, "SRV01");
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_TRUE(script.Finish()) << script.Report();
  EXPECT_EQ(user, std::string(23, 'u'));
  EXPECT_EQ(password, std::string(23, 'p'));
}

TEST_F(CredentialsDialogTest, TypingIsLimitedTo23Characters) {
  CheckTypingLimits<CLogonPromptDlg>();
  CheckTypingLimits<CServerCredentialsDlg>();
}

// OK follows the user-name edit: off while it is empty, on again with one character.
template <class Dlg>
void CheckOkFollowsUserName() {
  std::string user = "admin", password = "pw";
  kvtest::ScriptedUser script;
  std::vector<bool> okStates;
  script.Dialog("Security", [&](kvtest::DialogDriver& d) {
    okStates.push_back(d.IsEnabled(IDOK));
    d.Type(IDC_USERNAME, "");
    okStates.push_back(d.IsEnabled(IDOK));
    d.Type(IDC_PASSWORD, "");
    okStates.push_back(d.IsEnabled(IDOK));
    d.Type(IDC_USERNAME, "x");
    okStates.push_back(d.IsEnabled(IDOK));
    d.Press(IDOK);
  });
  Dlg dlg(user, password, "SRV01");
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_TRUE(script.Finish()) << script.Report();
  EXPECT_EQ(okStates, (std::vector<bool>{true, false, false, true}));
  EXPECT_EQ(user, "x");
  EXPECT_EQ(password, "");
}

TEST_F(CredentialsDialogTest, OkIsDisabledWhileTheUserNameIsEmpty) {
  CheckOkFollowsUserName<CLogonPromptDlg>();
  CheckOkFollowsUserName<CServerCredentialsDlg>();
}

// Pre-filled empty: OK works at once; typing a character and deleting it disables OK.
template <class Dlg>
void CheckEmptyPrefill() {
  std::string user = "", password = "";
  {
    kvtest::ScriptedUser script;  // one scripted user at a time
    script.Dialog("Security", [&](kvtest::DialogDriver& d) { d.Press(IDOK); });
    Dlg dlg(user, password, "SRV01");
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(script.Finish()) << script.Report();
    EXPECT_EQ(user, "");
  }
  kvtest::ScriptedUser again;
  bool okAfterDelete = true;
  again.Dialog("Security", [&](kvtest::DialogDriver& d) {
    d.Type(IDC_USERNAME, "a");
    ::SendMessageA(::GetDlgItem(d.Hwnd(), IDC_USERNAME), WM_CHAR, VK_BACK, 0);
    okAfterDelete = d.IsEnabled(IDOK);
    d.Press(IDCANCEL);
  });
  Dlg dlg(user, password, "SRV01");
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_TRUE(again.Finish()) << again.Report();
  EXPECT_FALSE(okAfterDelete);
}

TEST_F(CredentialsDialogTest, AnEmptyPrefilledUserNameIsAcceptedUntilItIsEdited) {
  CheckEmptyPrefill<CLogonPromptDlg>();
  CheckEmptyPrefill<CServerCredentialsDlg>();
}

// A pre-filled value over 23 characters (a stored one may hold 24) is refused
// at OK with the standard message; the focus goes to that edit, the dialog
// stays, and the caller's strings are left alone.
template <class Dlg>
void CheckOverlongRefused(bool longUser) {
  const std::string longValue(24, 'L');
  std::string user = longUser ? longValue : "admin";
  std::string password = longUser ? "pw" : longValue;
  kvtest::ScriptedUser script;
  int focus = 0;
  script.Dialog("Security", [](kvtest::DialogDriver& d) { d.Press(IDOK); });
  script.AnswerBox(IDOK);
  script.Again("Security", [&](kvtest::DialogDriver& d) {
    focus = d.FocusedId();
    d.Press(IDCANCEL);
  });
  Dlg dlg(user, password, "SRV01");
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  ASSERT_TRUE(script.Finish()) << script.Report();
  auto boxes = script.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Please enter no more than 23 characters.");
  EXPECT_EQ(boxes[0].flags, static_cast<UINT>(MB_ICONEXCLAMATION));
  EXPECT_EQ(focus, longUser ? IDC_USERNAME : IDC_PASSWORD);
  EXPECT_EQ(user, longUser ? longValue : "admin");
  EXPECT_EQ(password, longUser ? "pw" : longValue);
}

TEST_F(CredentialsDialogTest, AnOverlongPrefilledValueIsRefusedAtOk) {
  CheckOverlongRefused<CLogonPromptDlg>(true);
  CheckOverlongRefused<CLogonPromptDlg>(false);
  CheckOverlongRefused<CServerCredentialsDlg>(true);
  CheckOverlongRefused<CServerCredentialsDlg>(false);
}

TEST_F(CredentialsDialogTest, CancelAndTheCloseBoxLeaveTheCallersStrings) {
  std::string user = "keep", password = "this";
  {
    kvtest::ScriptedUser script;
    script.Dialog("Security", [](kvtest::DialogDriver& d) {
      d.Type(IDC_USERNAME, "changed");
      d.Press(IDCANCEL);
    });
    EXPECT_EQ(Run<CLogonPromptDlg>(user, password, script), IDCANCEL);
    EXPECT_EQ(user, "keep");
  }

  kvtest::ScriptedUser closeBox;
  closeBox.Dialog("Security", [](kvtest::DialogDriver& d) {
    d.Type(IDC_PASSWORD, "changed");
    ::PostMessageA(d.Hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
  });
  EXPECT_EQ(Run<CServerCredentialsDlg>(user, password, closeBox), IDCANCEL);
  EXPECT_EQ(password, "this");
}

// Help opens context 858 of KVMGR.HLP beside the program, owned by the dialog.
template <class Dlg>
void CheckHelpButton() {
  g_helpCalls.clear();
  std::string user = "u", password;
  kvtest::ScriptedUser script;
  HWND dialog = nullptr;
  script.Dialog("Security", [&](kvtest::DialogDriver& d) {
    dialog = d.Hwnd();
    d.Press(IDC_CREDENTIALS_HELP);
    d.Press(IDCANCEL);
  });
  Dlg dlg(user, password, "SRV01");
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_TRUE(script.Finish()) << script.Report();
  ASSERT_EQ(g_helpCalls.size(), 1u);
  EXPECT_EQ(g_helpCalls[0].owner, dialog);
  EXPECT_EQ(g_helpCalls[0].command, static_cast<UINT>(HELP_CONTEXT));
  EXPECT_EQ(g_helpCalls[0].data, 858u);

  char program[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, program, MAX_PATH);
  std::string folder = program;
  folder.erase(folder.rfind('\\') + 1);
  EXPECT_EQ(g_helpCalls[0].file, folder + "KVMGR.HLP");
}

TEST_F(CredentialsDialogTest, HelpOpensTheHelpTopicBesideTheProgram) {
  CheckHelpButton<CLogonPromptDlg>();
  CheckHelpButton<CServerCredentialsDlg>();
}

// F1 in a credentials dialog is the main window's Help command.
LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND) {
    auto* commands = reinterpret_cast<std::vector<WPARAM>*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (commands) commands->push_back(wParam);
    return 0;
  }
  return ::DefWindowProcA(hwnd, message, wParam, lParam);
}

TEST_F(CredentialsDialogTest, TheHelpKeyIsPassedToTheMainWindow) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = &MainWindowProc;
  wc.hInstance = ::GetModuleHandleA(nullptr);
  wc.lpszClassName = "CredentialsTestMain";
  ::RegisterClassA(&wc);
  HWND main = ::CreateWindowA("CredentialsTestMain", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(main, nullptr);
  std::vector<WPARAM> commands;
  ::SetWindowLongPtrA(main, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&commands));
  kv::CWinApp app;
  app.m_hMainWnd = main;

  std::string user = "u", password;
  kvtest::ScriptedUser script;
  script.Dialog("Security", [&](kvtest::DialogDriver& d) {
    HELPINFO info{sizeof(info), HELPINFO_WINDOW, IDC_USERNAME, ::GetDlgItem(d.Hwnd(), IDC_USERNAME), 0, {0, 0}};
    ::SendMessageA(d.Hwnd(), WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
    d.Press(IDCANCEL);
  });
  EXPECT_EQ(Run<CLogonPromptDlg>(user, password, script), IDCANCEL);
  ::DestroyWindow(main);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(LOWORD(commands[0]), ID_HELP);
  EXPECT_TRUE(g_helpCalls.empty());
}

}  // namespace
