// Framework logic: message-table dispatch, data exchange and validation,
// exception containment, wizard page flow and string loading.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "App.h"
#include "Dialog.h"
#include "Handles.h"
#include "MessageBox.h"
#include "Process.h"
#include "PropertySheet.h"
#include "ScriptedUser.h"
#include "Strings.h"
#include "framework_test_res.h"

namespace {

constexpr UINT WM_FW_DOUBLE = WM_APP + 1;

class ExchangeDlg : public kv::CDialog {
 public:
  ExchangeDlg() : CDialog(IDD_FW_EXCHANGE) {}
  std::string m_strText;
  BOOL m_bCheck = FALSE;
  int m_nClicks = 0;
  int m_nDoubleClicks = 0;
  bool m_bThrow = false;
  bool m_bBoxOnAction = false;

  void OnAction() {
    ++m_nClicks;
    if (m_bThrow) throw std::runtime_error("handler failure");
    if (m_bBoxOnAction) {
      kv::ShowMessageBox(m_hWnd, "Nested question", "Nested", MB_OKCANCEL | MB_ICONWARNING);
      EndDialog(IDOK);
    }
  }
  void OnActionDouble() { ++m_nDoubleClicks; }
  LRESULT OnDouble(WPARAM wParam, LPARAM) { return static_cast<LRESULT>(wParam * 2); }
  LRESULT OnClickNotify(NMHDR*) { return 42; }
  bool OnMaybe(NMHDR* hdr, LRESULT& result) {
    if (hdr->hwndFrom != nullptr) return false;
    result = 7;
    return true;
  }

 protected:
  void DoDataExchange(kv::CDataExchange& dx) override {
    kv::DDX_Text(dx, IDC_FW_EDIT, m_strText);
    kv::DDV_MaxChars(dx, m_strText, 23);
    kv::DDX_Check(dx, IDC_FW_CHECK, m_bCheck);
  }
  bool ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) override {
    return kv::DispatchTable(this, kMessages, m, w, l, r) || CDialog::ProcessMessageTable(m, w, l, r);
  }

 private:
  static constexpr kv::MessageEntry<ExchangeDlg> kMessages[] = {
      kv::OnCommand(IDC_FW_BUTTON, BN_CLICKED, &ExchangeDlg::OnAction),
      kv::OnCommand(IDC_FW_BUTTON, BN_DOUBLECLICKED, &ExchangeDlg::OnActionDouble),
      kv::OnMessage(WM_FW_DOUBLE, &ExchangeDlg::OnDouble),
      kv::OnNotify(IDC_FW_BUTTON, NM_CLICK, &ExchangeDlg::OnClickNotify),
      kv::OnNotifyEx(IDC_FW_EDIT, NM_RCLICK, &ExchangeDlg::OnMaybe),
  };
};

LRESULT SendNotify(HWND dialog, HWND from, UINT id, UINT code) {
  NMHDR hdr{from, id, code};
  ::SendMessageA(dialog, WM_NOTIFY, id, reinterpret_cast<LPARAM>(&hdr));
  return ::GetWindowLongPtrA(dialog, DWLP_MSGRESULT);
}

TEST(MessageTable, DispatchesCommandsNotificationsAndMessagesByIdAndCode) {
  ExchangeDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  HWND hwnd = dlg.GetSafeHwnd();
  HWND button = dlg.GetDlgItem(IDC_FW_BUTTON);

  ::SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDC_FW_BUTTON, BN_CLICKED), reinterpret_cast<LPARAM>(button));
  ::SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDC_FW_BUTTON, BN_DOUBLECLICKED), reinterpret_cast<LPARAM>(button));
  // Another code from the same control, or the same code from another id, goes nowhere.
  ::SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDC_FW_BUTTON, BN_SETFOCUS), reinterpret_cast<LPARAM>(button));
  ::SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDC_FW_CHECK, BN_CLICKED), 0);
  EXPECT_EQ(dlg.m_nClicks, 1);
  EXPECT_EQ(dlg.m_nDoubleClicks, 1);

  EXPECT_EQ(::SendMessageA(hwnd, WM_FW_DOUBLE, 21, 0), 42);  // result through DWLP_MSGRESULT
  EXPECT_EQ(SendNotify(hwnd, button, IDC_FW_BUTTON, NM_CLICK), 42);

  // A declining NotifyEx handler leaves the notification unhandled.
  EXPECT_EQ(SendNotify(hwnd, button, IDC_FW_EDIT, NM_RCLICK), 0);
  EXPECT_EQ(SendNotify(hwnd, nullptr, IDC_FW_EDIT, NM_RCLICK), 7);
  dlg.DestroyWindow();
  EXPECT_EQ(dlg.GetSafeHwnd(), nullptr);  // cleared at WM_NCDESTROY
}

TEST(MessageTable, ExceptionInAHandlerDoesNotReachTheDialogManager) {
  ExchangeDlg dlg;
  dlg.m_bThrow = true;
  ASSERT_TRUE(dlg.Create(nullptr));
  ::SendMessageA(dlg.GetSafeHwnd(), WM_COMMAND, MAKEWPARAM(IDC_FW_BUTTON, BN_CLICKED), 0);
  ::SendMessageA(dlg.GetSafeHwnd(), WM_COMMAND, MAKEWPARAM(IDC_FW_BUTTON, BN_CLICKED), 0);
  EXPECT_EQ(dlg.m_nClicks, 2);
  EXPECT_TRUE(::IsWindow(dlg.GetSafeHwnd()));
}

TEST(DataExchange, LoadsControlsAndLimitsEdits) {
  ExchangeDlg dlg;
  dlg.m_strText = "alpha";
  dlg.m_bCheck = TRUE;
  ASSERT_TRUE(dlg.Create(nullptr));
  HWND edit = dlg.GetDlgItem(IDC_FW_EDIT);
  EXPECT_EQ(kv::GetText(edit), "alpha");
  EXPECT_EQ(::SendMessageA(dlg.GetDlgItem(IDC_FW_CHECK), BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_EQ(::SendMessageA(edit, EM_GETLIMITTEXT, 0, 0), 23);

  // Typing is refused by the edit beyond the limit.
  ::SendMessageA(edit, EM_SETSEL, 0, -1);
  for (char c : std::string(30, 'x')) ::SendMessageA(edit, WM_CHAR, static_cast<WPARAM>(c), 1);
  EXPECT_EQ(kv::GetText(edit), std::string(23, 'x'));

  ::SendMessageA(dlg.GetDlgItem(IDC_FW_CHECK), BM_SETCHECK, BST_UNCHECKED, 0);
  EXPECT_TRUE(dlg.UpdateData(TRUE));
  EXPECT_EQ(dlg.m_strText, std::string(23, 'x'));
  EXPECT_FALSE(dlg.m_bCheck);
}

TEST(DataExchange, OverlongPrefilledTextIsRefusedAtOkWithTheStandardMessage) {
  ExchangeDlg dlg;
  dlg.m_strText = std::string(30, 'a');  // set by the caller, past the edit's limit
  kvtest::ScriptedUser user;
  int focused = -1;
  user.Dialog("Exchange Test", [](kvtest::DialogDriver& d) { d.Press(IDOK); });
  user.AnswerBox(IDOK);
  user.Again("Exchange Test", [&](kvtest::DialogDriver& d) {
    focused = d.FocusedId();
    d.Press(IDCANCEL);
  });
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  ASSERT_TRUE(user.Finish()) << user.Report();
  ASSERT_EQ(user.Boxes().size(), 1u);
  EXPECT_EQ(user.Boxes()[0].text, "Please enter no more than 23 characters.");
  EXPECT_EQ(user.Boxes()[0].flags, static_cast<UINT>(MB_ICONEXCLAMATION));
  EXPECT_EQ(focused, IDC_FW_EDIT);
}

TEST(DataExchange, OkWithValidDataEndsTheDialogWithTheEditedValues) {
  ExchangeDlg dlg;
  kvtest::ScriptedUser user;
  user.Dialog("Exchange Test", [](kvtest::DialogDriver& d) {
    d.Type(IDC_FW_EDIT, "typed value");
    d.Press(IDOK);
  });
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_TRUE(user.Finish()) << user.Report();
  EXPECT_EQ(dlg.m_strText, "typed value");
}

// Wizard: records page activations and drives the sheet from posted messages.
struct WizardLog {
  std::vector<int> activations;
  int cancelQueries = 0;
  LRESULT firstNext = 0;
  bool sheetInit = false;
  bool sheetMessage = false;
};

constexpr UINT WM_FW_PRESS = WM_APP + 2;

class LogPage : public kv::CPropertyPage {
 public:
  LogPage(UINT id, int number, WizardLog& log) : CPropertyPage(id), m_nNumber(number), m_log(log) {
    m_psp.dwFlags |= PSP_HIDEHEADER;
  }
  int m_nPressOnActivate = PSBTN_NEXT;

  BOOL OnSetActive() override {
    m_log.activations.push_back(m_nNumber);
    ::PostMessageA(m_hWnd, WM_FW_PRESS, static_cast<WPARAM>(m_nPressOnActivate), 0);
    return TRUE;
  }
  LRESULT OnWizardNext() override {
    if (m_nNumber != 1) return 0;
    LRESULT r = m_log.firstNext;
    if (r == -1) {
      m_log.firstNext = IDD_FW_PAGE3;  // the next press goes on
      ::PostMessageA(m_hWnd, WM_FW_PRESS, PSBTN_NEXT, 0);
    }
    return r;
  }
  BOOL OnQueryCancel() override {
    // The first Exit is declined; the sheet stays and the next one closes it.
    if (++m_log.cancelQueries == 1) {
      ::PostMessageA(m_hWnd, WM_FW_PRESS, PSBTN_CANCEL, 0);
      return FALSE;
    }
    return TRUE;
  }
  LRESULT OnPress(WPARAM button, LPARAM) {
    ::SendMessageA(GetSheetHwnd(), PSM_PRESSBUTTON, button, 0);
    return 0;
  }

 protected:
  bool ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) override {
    return kv::DispatchTable(this, kMessages, m, w, l, r) || CPropertyPage::ProcessMessageTable(m, w, l, r);
  }

 private:
  static constexpr kv::MessageEntry<LogPage> kMessages[] = {kv::OnMessage(WM_FW_PRESS, &LogPage::OnPress)};
  int m_nNumber;
  WizardLog& m_log;
};

class LogSheet : public kv::CPropertySheet {
 public:
  explicit LogSheet(WizardLog& log) : CPropertySheet(IDS_FW_SHEET), m_log(log) { m_psh.dwFlags |= PSH_WIZARD | 0x2000; }
  LRESULT OnPing(WPARAM, LPARAM) {
    m_log.sheetMessage = true;
    return 0;
  }

 protected:
  BOOL OnInitDialog() override {
    m_log.sheetInit = ::IsWindow(m_hWnd);
    ::SendMessageA(m_hWnd, WM_FW_DOUBLE, 0, 0);
    return TRUE;
  }
  bool ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) override {
    return kv::DispatchTable(this, kMessages, m, w, l, r);
  }

 private:
  static constexpr kv::MessageEntry<LogSheet> kMessages[] = {kv::OnMessage(WM_FW_DOUBLE, &LogSheet::OnPing)};
  WizardLog& m_log;
};

void RunWizard(WizardLog& log) {
  LogPage one(IDD_FW_PAGE1, 1, log), two(IDD_FW_PAGE2, 2, log), three(IDD_FW_PAGE3, 3, log);
  three.m_nPressOnActivate = PSBTN_CANCEL;
  LogSheet sheet(log);
  sheet.AddPage(&one);
  sheet.AddPage(&two);
  sheet.AddPage(&three);
  sheet.DoModal();
}

TEST(Wizard, NextReturningATemplateIdSkipsToThatPageAndExitCanBeDeclined) {
  WizardLog log;
  log.firstNext = IDD_FW_PAGE3;
  RunWizard(log);
  EXPECT_EQ(log.activations, (std::vector<int>{1, 3}));
  EXPECT_EQ(log.cancelQueries, 2);
  EXPECT_TRUE(log.sheetInit);
  EXPECT_TRUE(log.sheetMessage);
}

TEST(Wizard, NextReturningMinusOneStaysOnThePage) {
  WizardLog log;
  log.firstNext = -1;
  RunWizard(log);
  // Stayed on page 1 (no new activation), then went to page 3.
  EXPECT_EQ(log.activations, (std::vector<int>{1, 3}));
}

TEST(Wizard, NextReturningZeroGoesToTheNextPageInOrder) {
  WizardLog log;
  log.firstNext = 0;
  RunWizard(log);
  EXPECT_EQ(log.activations, (std::vector<int>{1, 2, 3}));
}

TEST(Strings, LoadsShortAndLongEntriesAndFormats) {
  EXPECT_EQ(kv::LoadStr(IDS_FW_SHORT), "Short text");
  std::string longText = kv::LoadStr(IDS_FW_LONG);
  EXPECT_EQ(longText.size(), 523u);
  EXPECT_EQ(longText.substr(longText.size() - 3), "END");
  EXPECT_EQ(kv::LoadStr(9999), "");
  EXPECT_EQ(kv::Format("%s_%d", "Slot", 1), "Slot_1");
}

TEST(Strings, FixedFieldNeverReadsPastTheField) {
  char record[8] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};  // no NUL anywhere
  EXPECT_EQ(kv::FixedField(record, 4), "ABCD");
  record[2] = '\0';
  EXPECT_EQ(kv::FixedField(record, 8), "AB");
}

DWORD g_cancelCalls = 0;
std::string g_cancelName;
BOOL g_cancelForce = FALSE;
DWORD WINAPI RecordCancel(LPCSTR name, DWORD, BOOL force) {
  ++g_cancelCalls;
  g_cancelName = name;
  g_cancelForce = force;
  return 0;
}

TEST(Handles, NetworkConnectionIsCancelledOnceWithForce) {
  g_cancelCalls = 0;
  {
    kv::CNetConnection a("\\\\SRV\\ipc$", &RecordCancel);
    kv::CNetConnection b(std::move(a));
    EXPECT_FALSE(a.IsHeld());
  }
  EXPECT_EQ(g_cancelCalls, 1u);
  EXPECT_EQ(g_cancelName, "\\\\SRV\\ipc$");
  EXPECT_TRUE(g_cancelForce);
  {
    kv::CNetConnection kept("\\\\SRV\\ipc$", &RecordCancel);
    kept.Detach();
  }
  EXPECT_EQ(g_cancelCalls, 1u);
}

TEST(Handles, RegistryKeyIsClosedAndPredefinedRootsAreLeftAlone) {
  EXPECT_TRUE(kv::RegKeyTraits::IsPredefined(HKEY_LOCAL_MACHINE));
  EXPECT_TRUE(kv::RegKeyTraits::IsPredefined(HKEY_CURRENT_USER));
  EXPECT_TRUE(kv::RegKeyTraits::IsPredefined(HKEY_CLASSES_ROOT));
  kv::CRegKey root(HKEY_LOCAL_MACHINE);
  root.Reset();  // must not close the predefined root
  HKEY raw = nullptr;
  ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &raw), ERROR_SUCCESS);
  { kv::CRegKey key(raw); }
  EXPECT_NE(::RegQueryInfoKeyA(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
            ERROR_SUCCESS);
  HKEY again = nullptr;
  EXPECT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &again), ERROR_SUCCESS);
  ::RegCloseKey(again);
}

}  // namespace

TEST(StartProcess, OnlyAStartWhoseProcessEndedBeforeRunningIsTriedAgain) {
  struct Case {
    std::vector<DWORD> errors;  // what each call fails with; 0 succeeds
    BOOL started;
    size_t calls;
    DWORD lastError;
  };
  const Case cases[] = {
      {{0}, TRUE, 1, 0},
      {{ERROR_INTERNAL_ERROR, ERROR_INTERNAL_ERROR, 0}, TRUE, 3, 0},
      {{ERROR_INTERNAL_ERROR, ERROR_INTERNAL_ERROR, ERROR_INTERNAL_ERROR, 0}, FALSE, 3, ERROR_INTERNAL_ERROR},
      {{ERROR_FILE_NOT_FOUND, 0}, FALSE, 1, ERROR_FILE_NOT_FOUND},
      {{ERROR_INTERNAL_ERROR, ERROR_ACCESS_DENIED, 0}, FALSE, 2, ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    size_t calls = 0;
    SetLastError(0);
    const BOOL started = kv::StartRetrying([&] {
      const DWORD error = c.errors[calls++];
      SetLastError(error);
      return error == 0 ? TRUE : FALSE;
    });
    EXPECT_EQ(c.started, started) << c.errors.size();
    EXPECT_EQ(c.calls, calls) << c.errors.size();
    if (!c.started) {
      EXPECT_EQ(c.lastError, GetLastError()) << c.errors.size();
    }
  }

  // A real start passes its flags, handles and folder on: started suspended,
  // the program has not run but holds the inheritable end of a pipe; resumed,
  // it finds a file of the folder it was given, and its end goes with it.
  char path[MAX_PATH];
  std::string exe(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
  const std::string folder = exe.substr(0, exe.find_last_of('\\'));
  const std::string name = exe.substr(folder.size() + 1);
  std::string command = "cmd.exe /c if exist \"" + name + "\" exit 7";
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
  kv::CHandle reader(readEnd), writer(writeEnd);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  ASSERT_TRUE(kv::StartProcess(nullptr, command.data(), TRUE, CREATE_SUSPENDED, folder.c_str(), &si, &pi))
      << GetLastError();
  kv::CHandle process(pi.hProcess), thread(pi.hThread);
  writer.Reset();
  DWORD available = 0;
  EXPECT_TRUE(PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) << GetLastError();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process.Get(), 300));
  ResumeThread(thread.Get());
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.Get(), 30000));
  DWORD code = 0;
  GetExitCodeProcess(process.Get(), &code);
  EXPECT_EQ(7u, code);
  EXPECT_FALSE(PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr));
  std::string missing = "\"" + folder + "\\no-such-program.exe\"";
  EXPECT_FALSE(kv::StartProcess(nullptr, missing.data(), FALSE, 0, nullptr, &si, &pi));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}
