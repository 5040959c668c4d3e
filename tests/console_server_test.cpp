// The Properties dialog and the server commands of the main dialog against a
// lab of the test's own, with the real local Discovery Service: what the
// dialog shows of an entry and its products, the second tab of a primary and
// of a distributed server with the administrative session each page opens
// and its close cancels, the failures a page shows or keeps quiet about, and
// Properties, Discovery Service Status and Security sent as menu commands to
// the real main dialog, with the scripted user answering.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "AdminSession.h"
#include "DiscoveryService.h"
#include "DiscoveryStatusDlg.h"
#include "Dunlin.h"
#include "LabAdmin.h"
#include "Messages.h"
#include "RoleConsoleDlg.h"
#include "RoleTables.h"
#include "ScriptedUser.h"
#include "ServerPropertiesDlg.h"
#include "TestLab.h"
#include "resource.h"

namespace {

constexpr char kShearwater[] = "SHEARWATER-0001";  // 15 characters, no role
constexpr char kFailedCaption[] = "Failed During Transaction";
constexpr DWORD kWaitMs = 10000;

ProductEntry Product(uint32_t code, unsigned major, unsigned minor, unsigned build, uint32_t value,
                     const char* edition) {
  ProductEntry e{};
  e.productCode = code;
  e.version = minor | (major << 8) | (build << 16);
  e.value = value;
  std::strncpy(reinterpret_cast<char*>(e.data), edition, sizeof(e.data) - 1);
  return e;
}

// Open uses of the lab's ipc$ connection to machine (0: none).
DWORD SessionUses(const std::string& machine) {
  kv::CRegKey key;
  if (kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::SessionsPath() + "\\" + machine + "\\ipc$", KEY_READ, key) != 0)
    return 0;
  return kvlab::ReadDword(key.Get(), "Uses", 0);
}

// server's entry as Dunlin enumerates it from the local table.
DiscoveryEntry TableEntry(const std::string& server) {
  DiscoveryEntry found{};
  HANDLE e = nullptr;
  DWORD unused = 0;
  if (::OpenServerEnum(&e, &unused) != 0) return found;
  for (DWORD i = 0; i < 4096; ++i) {
    DiscoveryEntry entry{};
    int rc = ::NextServerEntry(e, i, &entry);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == 0 && server == entry.serverName) found = entry;
  }
  ::CloseServerEnum(e);
  return found;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = kWaitMs) {
  for (DWORD start = ::GetTickCount(); !condition();) {
    if (::GetTickCount() - start > timeoutMs) return false;
    ::Sleep(20);
  }
  return true;
}

// The last respond text worked out apart from the C library: the same
// instant through the system's own conversion, English names.
std::string ExpectedRespondText(uint32_t seconds) {
  static const char* const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
  static const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                        "July",    "August",   "September", "October", "November", "December"};
  ULARGE_INTEGER ticks;
  ticks.QuadPart = (seconds + 11644473600ULL) * 10000000ULL;
  FILETIME utc{ticks.LowPart, ticks.HighPart}, local{};
  SYSTEMTIME st{};
  ::FileTimeToLocalFileTime(&utc, &local);
  ::FileTimeToSystemTime(&local, &st);
  return kv::Format("%s, %s %02u, %u  -  %02u:%02u", kDays[st.wDayOfWeek], kMonths[st.wMonth - 1], st.wDay, st.wYear,
                    st.wHour, st.wMinute);
}

std::vector<std::string> Row(const kv::CListCtrl& list, int row, int columns) {
  std::vector<std::string> cells;
  for (int c = 0; c < columns; ++c) cells.push_back(list.GetItemText(row, c));
  return cells;
}

std::vector<std::string> Names(const kv::CListCtrl& list) {
  std::vector<std::string> names;
  for (int i = 0; i < list.GetItemCount(); ++i) names.push_back(list.GetItemText(i));
  return names;
}

std::vector<std::string> TabTexts(HWND tab) {
  std::vector<std::string> texts;
  for (int i = 0; i < TabCtrl_GetItemCount(tab); ++i) {
    char text[64] = {};
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = sizeof(text);
    ::SendMessageA(tab, TCM_GETITEMA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
    texts.push_back(text);
  }
  return texts;
}

// What the tab control does on a click: select, then tell the dialog.
void SelectTab(CServerPropertiesDlg& dlg, int index) {
  HWND tab = dlg.m_tab.GetSafeHwnd();
  TabCtrl_SetCurSel(tab, index);
  NMHDR hdr{tab, IDC_PROPERTIES_TAB, static_cast<UINT>(TCN_SELCHANGE)};
  ::SendMessageA(dlg.m_hWnd, WM_NOTIFY, IDC_PROPERTIES_TAB, reinterpret_cast<LPARAM>(&hdr));
}

RECT RectIn(HWND parent, HWND child) {
  RECT r{};
  ::GetWindowRect(child, &r);
  ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

bool SameRect(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// A scripted step that closes the Discovery Service status dialog: it ends
// only once its connection worker has finished, so it is asked until it goes.
void CloseStatusDialog(kvtest::DialogDriver& d) {
  WaitUntil([&] {
    ::PostMessageA(d.Hwnd(), WM_CLOSE, 0, 0);
    ::Sleep(100);
    return !::IsWindow(d.Hwnd());
  });
}

// What the help function was asked.
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

class ServerCommandsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES | ICC_TAB_CLASSES | ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&icc);
  }
  void SetUp() override {
    kv::CRegKey setting;
    ASSERT_EQ(0, kvlab::CreateKey(
                     HKEY_LOCAL_MACHINE,
                     kvlab::ProductRoot() + "\\DiscoveryImplementationList\\Bellcast\\TandDiscoverySetting", setting));
    kvlab::WriteDword(setting.Get(), "BCastDelay", 100);
    kvlab::MachineSetup shearwater;
    shearwater.name = kShearwater;
    shearwater.domain = "";
    shearwater.ipv4 = "10.1.2.3";
    shearwater.accounts = {{"Administrator", "pw"}};
    ASSERT_EQ(0, kvlab::AddMachine(shearwater));
    {
      // Library order is not name order; the SAN option reports 4.3 build 18.
      const ProductEntry products[] = {Product(1, 8, 0, 1234, 3, "Gold"), Product(65, 4, 3, 18, 1, "SanOption"),
                                       Product(99, 2, 1, 7, 1, "")};
      kv::CRegKey machine;
      ASSERT_EQ(0, kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::MachinePath(kShearwater), KEY_ALL_ACCESS, machine));
      ASSERT_EQ(0, kvlab::WriteBinary(machine.Get(), "Products", products, sizeof(products)));
    }
    for (const char* name : {"OSPREY", "HERON", "KITE", "FALCON", "CURLEW", "PLOVER"}) ASSERT_EQ(0, m_lab.Add(name));
    ASSERT_EQ(0, kvlab::SetRole("OSPREY", "OSPREY", "Administrator", "pw"));
    // KITE joins first: the registry lists it before HERON.
    ASSERT_EQ(0, kvlab::SetRole("KITE", "OSPREY", "Administrator", "pw"));
    ASSERT_EQ(0, kvlab::SetRole("HERON", "OSPREY", "Administrator", "pw"));
    ASSERT_EQ(0, kvlab::SetRole("FALCON", "FALCON", "Administrator", "pw"));
    ASSERT_EQ(0, m_lab.StartLocalDiscovery());
    ASSERT_TRUE(LoadDiscoveryTableRoot());
    ASSERT_TRUE(LoadProductRoot());
    ASSERT_TRUE(kvlab::WaitForTable({"OSPREY", "HERON", "KITE", "FALCON", "CURLEW", "PLOVER", kShearwater}, kWaitMs));
    for (const char* name : {"OSPREY", "HERON", "KITE"}) ASSERT_TRUE(WaitForRecord(name, "OSPREY"));
    ASSERT_TRUE(WaitForRecord("FALCON", "FALCON"));
    ASSERT_TRUE(WaitUntil([] {
      CProductList list;
      ProductEntry third{};
      return list.Open(kShearwater) == 0 && ::NextProductEntry(list.Get(), 2, &third) == 0 && third.productCode == 99;
    }));
  }
  void TearDown() override {
    SetHelpFunctionForTest(nullptr);
    SetRegistryRootsForTest("", "");
  }

  // Waits until the local table shows server's record naming primary (empty:
  // no record) and, when size is given, of that many bytes.
  static bool WaitForRecord(const std::string& server, const std::string& primary, DWORD bytes = 0) {
    return WaitUntil([&] {
      unsigned char record[kRoleRecordSize] = {};
      DWORD size = sizeof(record);
      LONG rc = ReadLocalRoleRecord(server.c_str(), kSanProductCode, record, &size);
      if (primary.empty()) return rc != 0;
      return rc == 0 && kv::FixedField(record, 24) == primary && (bytes == 0 || size == bytes);
    });
  }

  static void WriteOwnRecord(const std::string& server, const void* data, DWORD size) {
    kv::CRegKey root, key;
    ASSERT_EQ(0, kvlab::OpenMachineRoot(server, root));
    ASSERT_EQ(0, kvlab::CreateKey(root.Get(), kvlab::ProductRoot() + "\\RoleRecord\\SanOption", key));
    ASSERT_EQ(0, kvlab::WriteBinary(key.Get(), "Slot_1", data, size));
  }

  kvlab::CScopedLab m_lab{"consoleserver", 0};
};

TEST_F(ServerCommandsTest, AServerWithoutRoleShowsItsEntryAsStoredAndItsProductsInLibraryOrder) {
  const DiscoveryEntry entry = TableEntry(kShearwater);
  ASSERT_STREQ(entry.serverName, kShearwater);
  CServerPropertiesDlg dlg(&entry);
  ASSERT_TRUE(dlg.Create(nullptr));
  EXPECT_EQ(kv::GetText(dlg.m_hWnd), "Properties");
  EXPECT_EQ(dlg.m_nRole, RoleNone);
  EXPECT_EQ(TabTexts(dlg.m_tab.GetSafeHwnd()), std::vector<std::string>{"Products"});
  EXPECT_FALSE(dlg.m_pageDistributed.GetSafeHwnd());
  EXPECT_FALSE(dlg.m_pagePrimary.GetSafeHwnd());
  EXPECT_EQ(kv::GetText(dlg.GetDlgItem(IDC_SERVER_NAME)), kShearwater);
  EXPECT_EQ(kv::GetText(dlg.GetDlgItem(IDC_DOMAIN_NAME)), "");
  EXPECT_EQ(kv::GetText(dlg.GetDlgItem(IDC_IP_ADDRESS)), "10.1.2.3");
  EXPECT_EQ(kv::GetText(dlg.GetDlgItem(IDC_LAST_RESPOND)), ExpectedRespondText(entry.lastRespondTime));

  // The address in stored byte order, and a fixed instant.
  const uint8_t address[4] = {192, 168, 0, 254};
  EXPECT_EQ(CServerPropertiesDlg::FormatAddress(address), "192.168.0.254");
  EXPECT_EQ(CServerPropertiesDlg::FormatRespondTime(1700000000u), ExpectedRespondText(1700000000u));

  const kv::CListCtrl& list = dlg.m_listProducts;
  ASSERT_EQ(list.GetItemCount(), 3);
  EXPECT_EQ(Row(list, 0, 4), (std::vector<std::string>{"Kestrava Network Backup Server", "8.0", "1234",
                                                       "Backs up the servers and workstations of the network "
                                                       "(3 licences) [Gold]"}));
  EXPECT_EQ(Row(list, 1, 4), (std::vector<std::string>{"Kestrava Enterprise Library Option", "4.3", "18",
                                                       "Shares a library between backup servers"}));
  EXPECT_EQ(Row(list, 2, 4), (std::vector<std::string>{"", "2.1", "7", "Unknown product 99"}));
  EXPECT_EQ(list.GetSelectedItem(), 0);
  EXPECT_TRUE(list.IsWindowVisible() || !::IsWindowVisible(dlg.m_hWnd));
  RECT r = list.GetWindowRect();
  const int w = r.right - r.left;
  HWND lv = list.GetSafeHwnd();
  EXPECT_EQ(ListView_GetColumnWidth(lv, 0), w / 2);
  EXPECT_EQ(ListView_GetColumnWidth(lv, 1), 48);
  EXPECT_EQ(ListView_GetColumnWidth(lv, 2), 35);
  EXPECT_EQ(ListView_GetColumnWidth(lv, 3), w / 2 - 87);

  // Without a second tab there is nothing to switch to.
  SelectTab(dlg, 1);
  EXPECT_TRUE(::IsWindowEnabled(dlg.m_hWnd));
  EXPECT_EQ(SessionUses(kShearwater), 0u);
}

TEST_F(ServerCommandsTest, APrimaryListsItsMembersOverOneSessionAndClosingCancelsExactlyThatConnection) {
  // Somebody's own session to OSPREY is open already: it must survive.
  ASSERT_EQ(0, kvlab::AddSession("OSPREY", "ipc$", "Administrator"));
  kvtest::ScriptedUser user;
  g_helpCalls.clear();
  SetHelpFunctionForTest(&RecordHelp);
  {
    const DiscoveryEntry entry = TableEntry("OSPREY");
    CServerPropertiesDlg dlg(&entry);
    ASSERT_TRUE(dlg.Create(nullptr));
    EXPECT_EQ(kv::GetText(dlg.m_hWnd), "Properties for Primary Server");
    EXPECT_EQ(TabTexts(dlg.m_tab.GetSafeHwnd()), (std::vector<std::string>{"Products", "Distributed Servers"}));
    HWND page = dlg.m_pageDistributed.GetSafeHwnd();
    ASSERT_TRUE(page);
    EXPECT_FALSE(dlg.m_pagePrimary.GetSafeHwnd());
    EXPECT_TRUE(SameRect(RectIn(dlg.m_hWnd, page), RectIn(dlg.m_hWnd, dlg.GetDlgItem(IDC_PAGE_FRAME))));
    EXPECT_FALSE(::GetWindowLongA(page, GWL_STYLE) & WS_VISIBLE);
    EXPECT_EQ(SessionUses("OSPREY"), 1u) << "nothing is opened before the tab is chosen";
    const kv::CListCtrl& members = dlg.m_pageDistributed.m_listServers;
    EXPECT_EQ(members.GetItemCount(), 0);

    // A value named longer than any server name comes before HERON in the
    // registry's order: it is read, and does not hide HERON.
    const std::string longName(300, 'W');
    kv::CRegKey root, list;
    ASSERT_EQ(0, kvlab::OpenMachineRoot("OSPREY", root));
    ASSERT_EQ(0, kvlab::OpenKey(root.Get(), kvlab::ProductRoot() + "\\ELODistributedServers", KEY_ALL_ACCESS, list));
    ASSERT_EQ(0, ::RegDeleteValueA(list.Get(), "HERON"));
    for (const std::string& name : {longName, std::string("HERON")})
      ASSERT_EQ(0, ::RegSetValueExA(list.Get(), name.c_str(), 0, REG_SZ, nullptr, 0));
    SelectTab(dlg, 1);
    EXPECT_TRUE(::GetWindowLongA(page, GWL_STYLE) & WS_VISIBLE);
    EXPECT_FALSE(::GetWindowLongA(dlg.m_listProducts.GetSafeHwnd(), GWL_STYLE) & WS_VISIBLE);
    ASSERT_EQ(members.GetItemCount(), 3);
    EXPECT_EQ(members.GetItemText(2).substr(0, 40), longName.substr(0, 40));
    ASSERT_EQ(0, ::RegDeleteValueA(list.Get(), longName.c_str()));
    members.Send(LVM_DELETEITEM, 2, 0);
    EXPECT_EQ(Names(members), (std::vector<std::string>{"HERON", "KITE"}));
    for (int i = 0; i < members.GetItemCount(); ++i) EXPECT_EQ(members.GetItemImage(i), 1) << i;
    EXPECT_EQ(members.GetSelectedItem(), 0);
    RECT r = members.GetWindowRect();
    EXPECT_EQ(ListView_GetColumnWidth(members.GetSafeHwnd(), 0), r.right - r.left - 4);
    EXPECT_EQ(dlg.m_pageDistributed.m_imlServers.GetImageCount(), 3);
    EXPECT_EQ(SessionUses("OSPREY"), 2u);

    // KITE leaves the list on the server; the page was filled once and stays.
    {
      kv::CRegKey root, list;
      ASSERT_EQ(0, kvlab::OpenMachineRoot("OSPREY", root));
      ASSERT_EQ(0, kvlab::OpenKey(root.Get(), kvlab::ProductRoot() + "\\ELODistributedServers", KEY_ALL_ACCESS, list));
      ASSERT_EQ(0, ::RegDeleteValueA(list.Get(), "KITE"));
    }
    for (int tab : {0, 1, 0, 1}) SelectTab(dlg, tab);
    EXPECT_EQ(Names(members), (std::vector<std::string>{"HERON", "KITE"}));
    EXPECT_EQ(SessionUses("OSPREY"), 2u);
    SelectTab(dlg, 0);
    EXPECT_FALSE(::GetWindowLongA(page, GWL_STYLE) & WS_VISIBLE);
    EXPECT_TRUE(::GetWindowLongA(dlg.m_listProducts.GetSafeHwnd(), GWL_STYLE) & WS_VISIBLE);
    SelectTab(dlg, 1);

    // DS Status: the status dialog of the selected member.
    user.Dialog(" \\\\HERON", CloseStatusDialog);
    ::SendMessageA(page, WM_COMMAND, MAKEWPARAM(IDC_DS_STATUS, BN_CLICKED), 0);
    EXPECT_TRUE(user.Finish()) << user.Report();
    EXPECT_EQ(SessionUses("HERON"), 0u);
    // Nothing selected: nothing opens.
    members.SetItemState(-1, 0, LVIS_SELECTED);
    ::SendMessageA(page, WM_COMMAND, MAKEWPARAM(IDC_DS_STATUS, BN_CLICKED), 0);

    ::SendMessageA(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_PROPERTIES_HELP, BN_CLICKED), 0);
    ASSERT_EQ(g_helpCalls.size(), 1u);
    EXPECT_EQ(g_helpCalls[0].owner, dlg.m_hWnd);
    EXPECT_EQ(g_helpCalls[0].file, HelpFilePath());
    EXPECT_EQ(g_helpCalls[0].command, static_cast<UINT>(HELP_CONTEXT));
    EXPECT_EQ(g_helpCalls[0].data, 858u);
  }
  EXPECT_EQ(SessionUses("OSPREY"), 1u) << "the page's connection, and only it, is cancelled";
  EXPECT_TRUE(user.Finish()) << user.Report();
  kvlab::CancelSession("OSPREY", "ipc$");
}

// The second tab of distributed servers, and every way a page's fill can fail.
TEST_F(ServerCommandsTest, PagesOpenTheirSessionOnceShowFailuresOnceAndCancelOnlyWhatTheyOpened) {
  // A distributed server with stored credentials: the primary its record names.
  {
    kvtest::ScriptedUser user;
    const DiscoveryEntry entry = TableEntry("HERON");
    CServerPropertiesDlg dlg(&entry);
    ASSERT_TRUE(dlg.Create(nullptr));
    EXPECT_EQ(kv::GetText(dlg.m_hWnd), "Properties for Distributed Server");
    EXPECT_EQ(TabTexts(dlg.m_tab.GetSafeHwnd()), (std::vector<std::string>{"Products", "Primary Server"}));
    HWND page = dlg.m_pagePrimary.GetSafeHwnd();
    ASSERT_TRUE(page);
    EXPECT_FALSE(dlg.m_pageDistributed.GetSafeHwnd());
    for (int tab : {1, 0, 1}) SelectTab(dlg, tab);
    EXPECT_EQ(kv::GetText(::GetDlgItem(page, IDC_PRIMARY_NAME)), "OSPREY");
    EXPECT_EQ(SessionUses("HERON"), 1u);
    user.Dialog(" \\\\OSPREY", CloseStatusDialog);
    ::SendMessageA(page, WM_COMMAND, MAKEWPARAM(IDC_DS_STATUS, BN_CLICKED), 0);
    EXPECT_TRUE(user.Finish()) << user.Report();
    dlg.DestroyWindow();
    EXPECT_EQ(SessionUses("HERON"), 0u);
  }

  // A primary without members has no list key: the page stays empty, silently.
  {
    kvtest::ScriptedUser user;
    const DiscoveryEntry entry = TableEntry("FALCON");
    CServerPropertiesDlg dlg(&entry);
    ASSERT_TRUE(dlg.Create(nullptr));
    SelectTab(dlg, 1);
    EXPECT_EQ(dlg.m_pageDistributed.m_listServers.GetItemCount(), 0);
    EXPECT_EQ(SessionUses("FALCON"), 1u);
    dlg.DestroyWindow();
    EXPECT_EQ(SessionUses("FALCON"), 0u);
    EXPECT_TRUE(user.Finish()) << user.Report();
  }

  // Stored credentials the server refuses. The session's retry prompt runs;
  // answered with a wrong password the page shows the failure once; cancelled
  // it shows nothing. Either way nothing is open, nothing is retried.
  ASSERT_EQ(0, kvlab::SetRole("CURLEW", "FALCON", "Administrator", "stale"));
  ASSERT_TRUE(WaitForRecord("CURLEW", "FALCON"));
  for (bool retry : {true, false}) {
    kvtest::ScriptedUser user;
    user.AnswerBox(retry ? IDOK : IDCANCEL);
    if (retry) {
      user.Dialog("Security", [](kvtest::DialogDriver& d) {
        d.Type(IDC_USERNAME, "Administrator");
        d.Type(IDC_PASSWORD, "wrong");
        d.Press(IDOK);
      });
      user.AnswerBox(IDOK);
    }
    const DiscoveryEntry entry = TableEntry("CURLEW");
    CServerPropertiesDlg dlg(&entry);
    ASSERT_TRUE(dlg.Create(nullptr));
    for (int tab : {1, 0, 1}) SelectTab(dlg, tab);
    EXPECT_TRUE(user.Finish()) << user.Report();
    std::vector<kvtest::SeenBox> boxes = user.Boxes();
    ASSERT_EQ(boxes.size(), retry ? 2u : 1u);
    if (retry) {
      EXPECT_EQ(boxes[1].caption, kFailedCaption);
      EXPECT_EQ(boxes[1].text, SystemErrorText(ERROR_LOGON_FAILURE));
      EXPECT_EQ(boxes[1].flags, 0x42011u);
    }
    EXPECT_EQ(kv::GetText(::GetDlgItem(dlg.m_pagePrimary.GetSafeHwnd(), IDC_PRIMARY_NAME)), "");
    EXPECT_EQ(SessionUses("CURLEW"), 0u);
  }

  // KITE's record is cut short on the server after the local table took its
  // whole copy (the local Discovery Service is stopped). With its account
  // gone the retry prompt asks and, cancelled, the page stays empty without
  // a word; with it, the session opens on the stored credentials but the
  // record cannot be read, which the page shows once. Its "DS Status" then
  // has no name and does nothing.
  ASSERT_EQ(0, m_lab.StopLocalDiscovery());
  unsigned char shortRecord[24] = "OSPREY";
  WriteOwnRecord("KITE", shortRecord, sizeof(shortRecord));
  // A session to KITE is open already, not the page's to cancel.
  ASSERT_EQ(0, kvlab::AddSession("KITE", "ipc$", "Administrator"));
  for (bool answer : {false, true}) {
    kvtest::ScriptedUser user;
    // Without the account, the retry prompt comes and is cancelled.
    if (!answer) {
      ASSERT_EQ(0, kvlab::RemoveAccount("KITE", "Administrator"));
    }
    user.AnswerBox(answer ? IDOK : IDCANCEL);
    const DiscoveryEntry entry = TableEntry("KITE");
    CServerPropertiesDlg dlg(&entry);
    ASSERT_TRUE(dlg.Create(nullptr));
    EXPECT_EQ(dlg.m_nRole, RoleDistributed);
    for (int tab : {1, 0, 1}) SelectTab(dlg, tab);
    HWND page = dlg.m_pagePrimary.GetSafeHwnd();
    ::SendMessageA(page, WM_COMMAND, MAKEWPARAM(IDC_DS_STATUS, BN_CLICKED), 0);
    EXPECT_TRUE(user.Finish()) << user.Report();
    std::vector<kvtest::SeenBox> boxes = user.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    if (answer) {
      EXPECT_EQ(boxes[0].caption, kFailedCaption);
      EXPECT_EQ(boxes[0].text, SystemErrorText(ERROR_INVALID_DATA));
    }
    EXPECT_EQ(kv::GetText(::GetDlgItem(page, IDC_PRIMARY_NAME)), "");
    EXPECT_EQ(SessionUses("KITE"), answer ? 2u : 1u);
    dlg.DestroyWindow();
    EXPECT_EQ(SessionUses("KITE"), 1u);
    if (!answer) {
      ASSERT_EQ(0, kvlab::SetAccount("KITE", "Administrator", "pw"));
    }
  }
  kvlab::CancelSession("KITE", "ipc$");

  // A damaged copy in the local table gives KITE no role: no second tab.
  {
    kv::CRegKey key;
    ASSERT_EQ(
        0, kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::DiscoveryTableRoot() + "\\KITE\\SanOption", KEY_ALL_ACCESS, key));
    ASSERT_EQ(0, kvlab::WriteBinary(key.Get(), "Slot_1", shortRecord, sizeof(shortRecord)));
    const DiscoveryEntry entry = TableEntry("KITE");
    CServerPropertiesDlg dlg(&entry);
    ASSERT_TRUE(dlg.Create(nullptr));
    EXPECT_EQ(dlg.m_nRole, RoleNone);
    EXPECT_EQ(TabTexts(dlg.m_tab.GetSafeHwnd()), std::vector<std::string>{"Products"});
  }
}

// Run modally as the user sees it: the focus on the products list, a real
// click on the second tab, OK; then Escape. F1 is the main window's Help.
TEST_F(ServerCommandsTest, ModalRunTakesAClickOnTheTabEndsWithOkOrEscapeAndPassesF1ToTheMainWindow) {
  kvtest::ScriptedUser user;
  int focused = 0;
  bool closeBox = true;
  std::string primaryShown;
  user.Dialog("Properties for Distributed Server", [&](kvtest::DialogDriver& d) {
    focused = d.FocusedId();
    closeBox = (::GetWindowLongA(d.Hwnd(), GWL_STYLE) & WS_SYSMENU) != 0;
    HWND tab = ::GetDlgItem(d.Hwnd(), IDC_PROPERTIES_TAB);
    RECT item{};
    ::SendMessageA(tab, TCM_GETITEMRECT, 1, reinterpret_cast<LPARAM>(&item));
    LPARAM at = MAKELPARAM((item.left + item.right) / 2, (item.top + item.bottom) / 2);
    ::PostMessageA(tab, WM_LBUTTONDOWN, MK_LBUTTON, at);
    ::PostMessageA(tab, WM_LBUTTONUP, 0, at);
    HWND page = ::FindWindowExA(d.Hwnd(), nullptr, "#32770", nullptr);
    WaitUntil([&] { return page && kv::GetText(::GetDlgItem(page, IDC_PRIMARY_NAME)) == "OSPREY"; });
    primaryShown = kv::GetText(::GetDlgItem(page, IDC_PRIMARY_NAME));
    ::SendMessageA(d.Hwnd(), WM_HELP, 0, 0);
    d.Press(IDOK);
  });
  user.Dialog("Properties for Primary Server", [](kvtest::DialogDriver& d) {
    ::PostMessageA(d.Hwnd(), WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);  // Escape
  });

  g_helpCalls.clear();
  SetHelpFunctionForTest(&RecordHelp);
  kv::CWinApp app;
  CRoleConsoleDlg console;
  ASSERT_TRUE(console.Create(nullptr));
  app.m_hMainWnd = console.m_hWnd;

  const DiscoveryEntry heron = TableEntry("HERON");
  CServerPropertiesDlg first(&heron);
  EXPECT_EQ(first.DoModal(), IDOK);
  const DiscoveryEntry osprey = TableEntry("OSPREY");
  CServerPropertiesDlg second(&osprey);
  EXPECT_EQ(second.DoModal(), IDCANCEL);
  ASSERT_TRUE(user.Finish()) << user.Report();
  app.m_hMainWnd = nullptr;

  EXPECT_EQ(focused, IDC_PRODUCTS_LIST);
  EXPECT_FALSE(closeBox);
  EXPECT_EQ(primaryShown, "OSPREY");
  EXPECT_EQ(SessionUses("HERON"), 0u);
  ASSERT_EQ(g_helpCalls.size(), 1u);
  EXPECT_EQ(g_helpCalls[0].owner, console.m_hWnd);
  EXPECT_EQ(g_helpCalls[0].data, 858u);
}

// The three commands sent as the context menus send them, to the real main
// dialog with its views built from the lab.
TEST_F(ServerCommandsTest, PropertiesAndStatusCommandsOpenTheirDialogsForTheSelectedItem) {
  kvlab::MachineSetup gannet;  // a type the console does not accept
  gannet.name = "GANNET";
  gannet.type = 17;
  gannet.accounts = {{"Administrator", "pw"}};
  ASSERT_EQ(0, kvlab::AddMachine(gannet));
  ASSERT_EQ(0, kvlab::EnsureHost());
  ASSERT_EQ(0, kvlab::SetRole("GANNET", "GANNET", "Administrator", "pw"));
  ASSERT_EQ(0, kvlab::SetRole("PLOVER", "GANNET", "Administrator", "pw"));
  ASSERT_TRUE(WaitForRecord("PLOVER", "GANNET"));

  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  ASSERT_NE(dlg.FindPrimaryItem("GANNET"), nullptr);
  auto command = [&](UINT id) { ::SendMessageA(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(id, 0), 0); };
  auto operation = [&] { return dlg.m_statusBar.GetText(1); };
  std::vector<std::string> seen;  // status part 1 while each dialog was up, then the dialog's view

  kvtest::ScriptedUser user;
  dlg.m_treeServers.SelectItem(dlg.FindPrimaryItem("OSPREY"));
  user.Dialog("Properties for Primary Server", [&](kvtest::DialogDriver& d) {
    seen.push_back(operation() + "|" + d.Text(IDC_SERVER_NAME));
    d.Press(IDOK);
  });
  command(ID_TREE_PROPERTIES);
  EXPECT_EQ(operation(), "");

  dlg.m_listServers.SetItemState(dlg.FindListItem(kShearwater), LVIS_SELECTED, LVIS_SELECTED);
  user.Dialog("Properties", [&](kvtest::DialogDriver& d) {
    seen.push_back(operation() + "|" + d.Text(IDC_SERVER_NAME) + "|" + d.Text(IDC_IP_ADDRESS));
    d.Press(IDOK);
  });
  command(ID_LIST_PROPERTIES);

  // GANNET is in the tree, named by its member, but the pass did not accept it.
  dlg.m_treeServers.SelectItem(dlg.FindPrimaryItem("GANNET"));
  user.AnswerBox(IDOK);
  command(ID_TREE_PROPERTIES);

  dlg.m_treeServers.SelectItem(dlg.FindDistributedItem("OSPREY", "HERON"));
  user.Dialog(" \\\\HERON", [&](kvtest::DialogDriver& d) {
    seen.push_back(operation());
    CloseStatusDialog(d);
  });
  command(ID_TREE_DS_STATUS);
  EXPECT_EQ(operation(), "");

  // CURLEW has no stored credentials: its status dialog's worker asks.
  dlg.m_listServers.SetItemState(dlg.FindListItem("CURLEW"), LVIS_SELECTED, LVIS_SELECTED);
  // The status dialog and the prompt come up together, in either order.
  user.Ignore(" \\\\CURLEW");
  user.Dialog("Security", [&](kvtest::DialogDriver& d) {
    d.Press(IDCANCEL);
    HWND status = ::FindWindowA(nullptr, " \\\\CURLEW");
    seen.push_back(operation() + (status ? "" : " (no status dialog)"));
    std::vector<std::string> failures;
    kvtest::DialogDriver statusDriver(status, failures);
    if (status) CloseStatusDialog(statusDriver);
  });
  command(ID_LIST_DS_STATUS);

  // Nothing selected in the list: neither command opens anything.
  dlg.m_listServers.SetItemState(-1, 0, LVIS_SELECTED);
  command(ID_LIST_DS_STATUS);
  command(ID_LIST_PROPERTIES);
  ASSERT_TRUE(user.Finish()) << user.Report();

  EXPECT_EQ(seen, (std::vector<std::string>{"Properties|OSPREY", std::string("Properties|") + kShearwater + "|10.1.2.3",
                                            "Discovery Service Status", "Discovery Service Status"}));
  ASSERT_EQ(user.Boxes().size(), 1u);
  const kvtest::SeenBox box = user.Boxes()[0];
  EXPECT_EQ(box.text, "GANNET\nNO information available.\nCheck Discovery Service for this Kestrava Server");
  EXPECT_EQ(box.caption, "SAN Option Configuration");
  EXPECT_EQ(box.flags, 0x42030u);
  EXPECT_EQ(box.owner, dlg.m_hWnd);
  EXPECT_EQ(operation(), "");
  for (const char* server : {"OSPREY", "HERON", "CURLEW", kShearwater}) EXPECT_EQ(SessionUses(server), 0u) << server;
}

// Security on CURLEW, a distributed server of FALCON whose stored password
// the server no longer takes: cancel, a wrong password, the right one (with
// the tree's selection moved while the dialog is up), a connection under
// other credentials, a failed write, and a primary without a readable record.
TEST_F(ServerCommandsTest, SecurityProvesTheCredentialsThenRewritesOnlyThemAndCancelsItsConnection) {
  ASSERT_EQ(0, kvlab::SetRole("CURLEW", "FALCON", "Administrator", "old-pw"));
  ASSERT_EQ(0, kvlab::SetAccount("CURLEW", "Administrator", "new-pw"));
  ASSERT_TRUE(WaitForRecord("CURLEW", "FALCON"));
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  HTREEITEM curlew = dlg.FindDistributedItem("FALCON", "CURLEW");
  ASSERT_NE(curlew, nullptr);
  auto security = [&](HTREEITEM item, UINT id) {
    dlg.m_treeServers.SelectItem(item);
    ::SendMessageA(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(id, 0), 0);
  };
  auto record = [](const std::string& server) {
    RoleRecord r{};
    EXPECT_EQ(0, kvlab::ReadRecord(server, r)) << server;
    return r;
  };
  auto sameRecord = [&](const std::string& server, const RoleRecord& want) {
    RoleRecord stored = record(server);
    return std::memcmp(&stored, &want, sizeof(stored)) == 0;
  };
  auto enter = [](const std::string& password, std::function<void(kvtest::DialogDriver&)> also = {}) {
    return [password, also](kvtest::DialogDriver& d) {
      d.Type(IDC_USERNAME, "Administrator");
      d.Type(IDC_PASSWORD, password);
      if (also) also(d);
      d.Press(IDOK);
    };
  };
  // The record the console must write, scrambled by the lab's own routine.
  auto expected = [](const RoleRecord& old, uint32_t distributed, const std::string& password) {
    RoleRecord r{};
    std::memcpy(r.primaryName, old.primaryName, sizeof(r.primaryName));
    r.distributed = distributed;
    std::memcpy(r.userName, "Administrator", 13);
    std::memcpy(r.password, password.data(), password.size());
    kvlab::Scramble(r.userName, sizeof(r.userName));
    kvlab::Scramble(r.password, sizeof(r.password));
    return r;
  };
  const RoleRecord original = record("CURLEW");

  // Cancel: the stored credentials were shown; nothing is written or opened.
  {
    kvtest::ScriptedUser user;
    std::string shown;
    user.Dialog("Security", [&](kvtest::DialogDriver& d) {
      shown = d.Text(IDC_USERNAME) + "/" + d.Text(IDC_PASSWORD) + "/" + dlg.m_statusBar.GetText(1);
      d.Press(IDCANCEL);
    });
    security(curlew, ID_DISTRIBUTED_SECURITY);
    ASSERT_TRUE(user.Finish()) << user.Report();
    EXPECT_EQ(shown, "Administrator/old-pw/Security");
  }
  // A password the server refuses: shown, the record stays as it was.
  {
    kvtest::ScriptedUser user;
    user.Dialog("Security", enter("bad"));
    user.AnswerBox(IDOK);
    security(curlew, ID_DISTRIBUTED_SECURITY);
    ASSERT_TRUE(user.Finish()) << user.Report();
    ASSERT_EQ(user.Boxes().size(), 1u);
    EXPECT_EQ(user.Boxes()[0].caption, kFailedCaption);
    EXPECT_EQ(user.Boxes()[0].text, SystemErrorText(ERROR_LOGON_FAILURE));
  }
  EXPECT_TRUE(sameRecord("CURLEW", original));
  EXPECT_EQ(SessionUses("CURLEW"), 0u);

  // The right password; while the dialog is up the selection moves to a root.
  {
    kvtest::ScriptedUser user;
    HTREEITEM falcon = dlg.FindPrimaryItem("FALCON");
    user.Dialog("Security", enter("new-pw", [&](kvtest::DialogDriver&) { dlg.m_treeServers.SelectItem(falcon); }));
    security(curlew, ID_DISTRIBUTED_SECURITY);
    ASSERT_TRUE(user.Finish()) << user.Report();
  }
  RoleRecord want = expected(original, 1, "new-pw");
  EXPECT_TRUE(sameRecord("CURLEW", want));
  EXPECT_EQ(SessionUses("CURLEW"), 0u);
  EXPECT_EQ(dlg.m_statusBar.GetText(1), "");
  // The console now reaches CURLEW without asking anything.
  ASSERT_TRUE(WaitUntil([&] {
    RoleRecord local{};
    DWORD size = sizeof(local);
    return ReadLocalRoleRecord("CURLEW", kSanProductCode, &local, &size) == 0 &&
           std::memcmp(&local, &want, sizeof(local)) == 0;
  }));
  {
    kvtest::ScriptedUser user;
    EXPECT_EQ(OpenAdminSession("CURLEW", "ipc$", nullptr, nullptr), 0u);
    EXPECT_TRUE(user.Finish()) << user.Report();
    CloseAdminSession("CURLEW");
  }

  // A connection under other credentials is cancelled and the new ones tried
  // once more: with two uses of it open, the retry meets the other one still.
  ASSERT_EQ(0, kvlab::SetAccount("CURLEW", "Operator", "op"));
  ASSERT_EQ(0, kvlab::SetAccount("CURLEW", "Administrator", "newer-pw"));
  for (int i = 0; i < 2; ++i) ASSERT_EQ(0, kvlab::AddSession("CURLEW", "ipc$", "Operator"));
  curlew = dlg.FindDistributedItem("FALCON", "CURLEW");
  {
    kvtest::ScriptedUser user;
    user.Dialog("Security", enter("newer-pw"));
    user.AnswerBox(IDOK);
    user.Dialog("Security", enter("newer-pw"));
    security(curlew, ID_DISTRIBUTED_SECURITY);
    EXPECT_EQ(SessionUses("CURLEW"), 1u);
    EXPECT_EQ(kvlab::SessionUser("CURLEW"), "Operator");
    security(curlew, ID_DISTRIBUTED_SECURITY);
    ASSERT_TRUE(user.Finish()) << user.Report();
    ASSERT_EQ(user.Boxes().size(), 1u);
    EXPECT_EQ(user.Boxes()[0].text, SystemErrorText(ERROR_SESSION_CREDENTIAL_CONFLICT));
  }
  want = expected(original, 1, "newer-pw");
  EXPECT_TRUE(sameRecord("CURLEW", want));
  EXPECT_EQ(SessionUses("CURLEW"), 0u);

  // The server's record key takes no new sub-key: the write fails, is shown,
  // and the connection is cancelled all the same.
  {
    kv::CRegKey root, volatileKey;
    ASSERT_EQ(0, kvlab::OpenMachineRoot("CURLEW", root));
    const std::string recordRoot = kvlab::ProductRoot() + "\\RoleRecord";
    ASSERT_EQ(0, ::RegDeleteTreeA(root.Get(), recordRoot.c_str()));
    ::RegDeleteKeyA(root.Get(), recordRoot.c_str());
    ASSERT_EQ(0, ::RegCreateKeyExA(root.Get(), recordRoot.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                   nullptr, volatileKey.Put(), nullptr));
  }
  {
    kvtest::ScriptedUser user;
    user.Dialog("Security", enter("newer-pw"));
    user.AnswerBox(IDOK);
    security(curlew, ID_DISTRIBUTED_SECURITY);
    ASSERT_TRUE(user.Finish()) << user.Report();
    ASSERT_EQ(user.Boxes().size(), 1u);
    EXPECT_EQ(user.Boxes()[0].text, "Could not write the new information");
    EXPECT_EQ(user.Boxes()[0].caption, kFailedCaption);
    EXPECT_EQ(user.Boxes()[0].flags, static_cast<UINT>(MB_OK));
    EXPECT_EQ(user.Boxes()[0].owner, dlg.m_hWnd);
  }
  EXPECT_EQ(SessionUses("CURLEW"), 0u);

  // Security stores credentials only: the role part of a record (bytes
  // 0-27) stays as the server holds it. OSPREY's record is not in the local
  // table (its service stopped publishing while its members name it): the
  // part comes from OSPREY itself. Then OSPREY has no record at all, and
  // FALCON's is longer than a record: nothing is written, and the console
  // says why.
  const RoleRecord osprey = record("OSPREY");
  unsigned char longRecord[kRoleRecordSize + 4] = "FALCON";
  auto lengthen = [&] {
    WriteOwnRecord("FALCON", longRecord, sizeof(longRecord));
    ASSERT_TRUE(WaitUntil([] {
      unsigned char local[kRoleRecordSize] = {};
      DWORD size = sizeof(local);
      return ReadLocalRoleRecord("FALCON", kSanProductCode, local, &size) == ERROR_MORE_DATA;
    }));
  };
  auto forget = [&] {
    ASSERT_EQ(0, m_lab.StopLocalDiscovery());
    std::string productKey = kFallbackProductKeyName;
    WORD unused = 0;
    GetProductKeyName(kSanProductCode, productKey, unused);
    ASSERT_EQ(
        0, ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, (std::string(DiscoveryTableRoot) + "\\OSPREY\\" + productKey).c_str()));
    ASSERT_TRUE(WaitForRecord("OSPREY", ""));
    dlg.RefreshServerViews();
    ASSERT_NE(dlg.FindPrimaryItem("OSPREY"), nullptr);
  };
  const std::string noRecord =
      "The role record of \\\\%s could not be read, so there is no record to store the credentials in.\n"
      "Nothing was written: the server keeps its role and its stored credentials.";
  const struct {
    const char* server;
    std::function<void()> before;
    bool written;
  } cases[] = {
      {"FALCON", lengthen, false},
      {"OSPREY", forget, true},
      {"OSPREY", [] { ASSERT_EQ(0, kvlab::SetRole("OSPREY", "", "", "")); }, false},
  };
  for (const auto& c : cases) {
    c.before();
    kvtest::ScriptedUser user;
    std::string shown = "?";
    user.Dialog("Security", [&](kvtest::DialogDriver& d) {
      shown = d.Text(IDC_USERNAME) + "/" + d.Text(IDC_PASSWORD);
      enter("pw")(d);
    });
    if (!c.written) user.AnswerBox(IDOK);
    security(dlg.FindPrimaryItem(c.server), ID_PRIMARY_SECURITY);
    EXPECT_TRUE(user.Finish()) << user.Report();
    EXPECT_EQ(shown, "/") << c.server;
    EXPECT_EQ(SessionUses(c.server), 0u) << c.server;
    if (c.written) {
      EXPECT_TRUE(user.Boxes().empty());
      EXPECT_TRUE(sameRecord(c.server, expected(osprey, osprey.distributed, "pw")));
      continue;
    }
    ASSERT_EQ(user.Boxes().size(), 1u) << c.server;
    EXPECT_EQ(user.Boxes()[0].text, kv::Format(noRecord.c_str(), c.server));
    EXPECT_EQ(user.Boxes()[0].caption, kFailedCaption);
    EXPECT_EQ(user.Boxes()[0].owner, dlg.m_hWnd);
  }
  RoleRecord gone{};
  EXPECT_NE(kvlab::ReadRecord("OSPREY", gone), 0);
  kv::CRegKey root, key;
  ASSERT_EQ(0, kvlab::OpenMachineRoot("FALCON", root));
  ASSERT_EQ(0, kvlab::OpenKey(root.Get(), kvlab::ProductRoot() + "\\RoleRecord\\SanOption", KEY_READ, key));
  unsigned char stored[sizeof(longRecord) + 8] = {};
  DWORD storedSize = sizeof(stored);
  ASSERT_EQ(0, ::RegQueryValueExA(key.Get(), "Slot_1", nullptr, nullptr, stored, &storedSize));
  EXPECT_EQ(storedSize, sizeof(longRecord));
  EXPECT_EQ(std::memcmp(stored, longRecord, sizeof(longRecord)), 0);
}

// Takes what is queued for this thread until done() or for at most ms
// milliseconds, as the dialog manager's modal loop does (IsDialogMessage
// first, as the program runs the console) or as a loop without it (as the
// other tests run it).
void PumpUntil(
    HWND dialog, bool dialogManager, DWORD ms, const std::function<bool()>& done = [] { return false; }) {
  for (DWORD start = ::GetTickCount(); !done() && ::GetTickCount() - start < ms;) {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (dialogManager && ::IsDialogMessageA(dialog, &msg)) continue;
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
    ::Sleep(10);
  }
}

RECT OnScreen(HWND window, RECT r) {
  ::MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

std::string Describe(const RECT& r) { return kv::Format("(%ld,%ld)-(%ld,%ld)", r.left, r.top, r.right, r.bottom); }

// The console's keys, pressed as real keys into the real main dialog, run by
// the dialog manager's loop as the program runs it and by a loop without
// IsDialogMessage: the context menus of the focused view's selected item at
// the item (the pointer is parked far from it), Alt+Enter, F1, F5, and Enter,
// which must run no role command even after a role button had the focus.
// Afterwards the focus is where it was before.
TEST_F(ServerCommandsTest, TheConsoleKeysReachItsMenusPropertiesRefreshAndHelp) {
  const std::vector<UINT> distributedMenu{ID_TREE_PROPERTIES, ID_FORCE_REMOVE, ID_DISTRIBUTED_SECURITY,
                                          ID_TREE_DS_STATUS};
  const std::vector<UINT> primaryMenu{ID_TREE_PROPERTIES, ID_PRIMARY_SECURITY, ID_TREE_DS_STATUS};
  const std::vector<UINT> listMenu{ID_LIST_PROPERTIES, ID_LIST_DS_STATUS};
  const struct {
    const char* what;
    const char* tree;  // focus the tree with this server selected,
    const char* list;  // or the list with this one,
    int control;       // or this control
    std::vector<WORD> keys;
    std::vector<UINT> menu = {};   // the menu expected at the selected item (empty: none)
    const char* dialog = nullptr;  // the Properties expected, "caption|server" (nullptr: none)
    bool help = false, refresh = false;
    int focusedBefore = 0;  // a button that had the focus before the view took it (0: none)
  } cases[] = {
      {"Shift+F10, distributed server", "HERON", nullptr, 0, {VK_SHIFT, VK_F10}, distributedMenu},
      {"Menu key, primary", "OSPREY", nullptr, 0, {VK_APPS}, primaryMenu},
      {"Menu key, listed server", nullptr, "CURLEW", 0, {VK_APPS}, listMenu},
      {"Shift+F10, listed server", nullptr, kShearwater, 0, {VK_SHIFT, VK_F10}, listMenu},
      {"Shift+F10 on a button", nullptr, nullptr, IDC_REFRESH, {VK_SHIFT, VK_F10}},
      {"Alt+Enter, distributed server",
       "KITE",
       nullptr,
       0,
       {VK_MENU, VK_RETURN},
       {},
       "Properties for Distributed Server|KITE"},
      {"Alt+Enter, listed server", nullptr, kShearwater, 0, {VK_MENU, VK_RETURN}, {}, "Properties|SHEARWATER-0001"},
      {"Alt+Enter on a button", nullptr, nullptr, ID_HELP, {VK_MENU, VK_RETURN}},
      {"F1", "HERON", nullptr, 0, {VK_F1}, {}, nullptr, true},
      {"F5", nullptr, "CURLEW", 0, {VK_F5}, {}, nullptr, false, true},
      {"Ctrl+F5", nullptr, "CURLEW", 0, {VK_CONTROL, VK_F5}},
      {"Enter in the tree", "HERON", nullptr, 0, {VK_RETURN}, {}, nullptr, false, false, IDC_REMOVE_DISTRIBUTED},
      {"Enter in the list", nullptr, "CURLEW", 0, {VK_RETURN}, {}, nullptr, false, false, IDC_MAKE_PRIMARY},
  };

  SetHelpFunctionForTest(&RecordHelp);
  kv::CWinApp app;
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  app.m_hMainWnd = dlg.m_hWnd;
  ::ShowWindow(dlg.m_hWnd, SW_SHOW);
  // Both views as text, to see that no key moved a server.
  auto views = [&] {
    std::string text;
    const kv::CTreeCtrl& tree = dlg.m_treeServers;
    for (HTREEITEM root = tree.GetRootItem(); root; root = tree.GetNextSiblingItem(root)) {
      text += tree.GetItemText(root) + "[";
      for (HTREEITEM child = tree.GetChildItem(root); child; child = tree.GetNextSiblingItem(child))
        text += tree.GetItemText(child) + " ";
      text += "]";
    }
    for (const std::string& name : Names(dlg.m_listServers)) text += " " + name;
    return text;
  };
  const std::string viewsBefore = views();
  const std::string recordsBefore = kvlab::AuditText();

  for (bool dialogManager : {true, false}) {
    for (const auto& c : cases) {
      const std::string what = std::string(c.what) + (dialogManager ? " (dialog manager)" : " (plain loop)");
      ::SetForegroundWindow(dlg.m_hWnd);
      if (c.focusedBefore)
        ::SendMessageA(dlg.m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(dlg.GetDlgItem(c.focusedBefore)), TRUE);
      HWND focus = c.control ? dlg.GetDlgItem(c.control) : nullptr;
      RECT item{};
      if (c.tree) {
        HTREEITEM t = dlg.FindServerItem(c.tree);
        ASSERT_NE(t, nullptr) << what;
        dlg.m_treeServers.SelectItem(t);
        dlg.m_treeServers.GetItemRect(t, item, TRUE);
        focus = dlg.m_treeServers.GetSafeHwnd();
      } else if (c.list) {
        const int i = dlg.FindListItem(c.list);
        ASSERT_GE(i, 0) << what;
        dlg.m_listServers.SetItemState(i, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
        dlg.m_listServers.GetItemRect(i, item, LVIR_LABEL);
        focus = dlg.m_listServers.GetSafeHwnd();
      }
      ::SetFocus(focus);  // as a click would
      item = OnScreen(focus, item);
      ::SetCursorPos(0, 0);
      PumpUntil(dlg.m_hWnd, dialogManager, 50);

      g_helpCalls.clear();
      const LONG generation = dlg.m_nGeneration;
      kvtest::ScriptedUser user;
      std::string shown;
      if (c.dialog)
        user.Dialog(std::string(c.dialog).substr(0, std::string(c.dialog).find('|')), [&](kvtest::DialogDriver& d) {
          shown = d.Caption() + "|" + d.Text(IDC_SERVER_NAME);
          d.Keys({VK_ESCAPE});
        });
      // Enter presses the console's default button, Close, in the dialog
      // manager's loop: the local machine has no role, so it asks first.
      const bool closes = dialogManager && c.keys.size() == 1 && c.keys[0] == VK_RETURN;
      if (closes) user.AnswerBox(IDCANCEL);
      kvtest::MenuPicker picker;
      kvtest::PressKeys(c.keys);
      PumpUntil(dlg.m_hWnd, dialogManager, c.refresh ? 4000 : 700,
                [&] { return c.refresh ? dlg.m_nGeneration != generation : false; });
      const std::vector<UINT> menu = picker.Stop();
      PumpUntil(dlg.m_hWnd, dialogManager, 5000, [&] { return !c.dialog || !shown.empty(); });
      PumpUntil(dlg.m_hWnd, dialogManager, 200);
      EXPECT_TRUE(user.Finish()) << what << "\n" << user.Report();

      EXPECT_EQ(menu, c.menu) << what;
      if (!c.menu.empty()) {
        // Below the item's label (above it when there is no room), from its left edge.
        const RECT at = picker.Rect();
        EXPECT_TRUE(at.left == item.left && (at.top == item.bottom || at.bottom == item.top))
            << what << ": menu at " << Describe(at) << ", item at " << Describe(item);
      }
      EXPECT_EQ(shown, c.dialog ? c.dialog : "") << what;
      EXPECT_EQ(g_helpCalls.size(), c.help ? 1u : 0u) << what;
      if (c.help && !g_helpCalls.empty()) {
        EXPECT_EQ(g_helpCalls[0].owner, dlg.m_hWnd) << what;
        EXPECT_EQ(g_helpCalls[0].data, 858u) << what;
      }
      EXPECT_EQ(dlg.m_nGeneration != generation, c.refresh) << what;
      EXPECT_EQ(user.Boxes().size(), closes ? 1u : 0u) << what;
      EXPECT_TRUE(::IsWindowVisible(dlg.m_hWnd)) << what;
      EXPECT_EQ(::GetFocus(), focus) << what;
      EXPECT_EQ(views(), viewsBefore) << what;
    }
  }
  // No key ran a role command.
  EXPECT_EQ(kvlab::AuditText(), recordsBefore);
  for (const char* server : {"HERON", "KITE"}) EXPECT_TRUE(WaitForRecord(server, "OSPREY")) << server;
  app.m_hMainWnd = nullptr;
}

// Keys in the console's dialogs, run as the program runs them: Ctrl+Tab,
// Ctrl+Shift+Tab, Ctrl+Page Down and Ctrl+Page Up step round the Properties
// tabs (filling a page once, with its focus on it) and F1 there is the main
// window's Help; Tab gives the status dialog's Start/Stop button the focus,
// which comes back to it after the Stop question; and after Force to
// Remove's question, opened from the keyboard, the focus is on the tree again.
TEST_F(ServerCommandsTest, KeysSwitchPropertiesTabsReachTheStatusButtonAndFocusComesBackAfterQuestions) {
  SetHelpFunctionForTest(&RecordHelp);
  g_helpCalls.clear();
  kv::CWinApp app;
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  app.m_hMainWnd = dlg.m_hWnd;
  ::ShowWindow(dlg.m_hWnd, SW_SHOW);
  HWND tree = dlg.m_treeServers.GetSafeHwnd();
  auto keysOn = [&](const char* server, const std::vector<WORD>& keys) {
    ::SetForegroundWindow(dlg.m_hWnd);
    dlg.m_treeServers.SelectItem(dlg.FindServerItem(server));
    ::SetFocus(tree);
    kvtest::PressKeys(keys);
  };
  auto pump = [&](const std::function<bool()>& done) { PumpUntil(dlg.m_hWnd, true, kWaitMs, done); };

  // Properties of OSPREY: the tab and the control with the focus after each key.
  std::vector<std::string> steps;
  bool closed = false;
  {
    kvtest::ScriptedUser user;
    user.Dialog("Properties for Primary Server", [&](kvtest::DialogDriver& d) {
      HWND tab = ::GetDlgItem(d.Hwnd(), IDC_PROPERTIES_TAB);
      auto step = [&](const std::vector<WORD>& keys, int expected) {
        d.Keys(keys);
        WaitUntil([&] { return TabCtrl_GetCurSel(tab) == expected; }, 3000);
        ::Sleep(100);
        HWND page = ::FindWindowExA(d.Hwnd(), nullptr, "#32770", nullptr);
        steps.push_back(std::to_string(TabCtrl_GetCurSel(tab)) + ":" + std::to_string(d.FocusedId()) +
                        (page && ::IsWindowVisible(page) ? "+page" : ""));
      };
      steps.push_back("0:" + std::to_string(d.FocusedId()));
      step({VK_CONTROL, VK_TAB}, 1);
      step({VK_CONTROL, VK_SHIFT, VK_TAB}, 0);
      step({VK_CONTROL, VK_SHIFT, VK_TAB}, 1);  // round the start
      step({VK_CONTROL, VK_PRIOR}, 0);
      step({VK_CONTROL, VK_NEXT}, 1);
      step({VK_CONTROL, VK_NEXT}, 0);  // round the end
      d.Keys({VK_F1});
      WaitUntil([&] { return !g_helpCalls.empty(); }, 3000);
      d.Keys({VK_ESCAPE});
    });
    keysOn("OSPREY", {VK_MENU, VK_RETURN});
    pump([&] { return closed = !::FindWindowA(nullptr, "Properties for Primary Server") && !steps.empty(); });
    EXPECT_TRUE(user.Finish()) << user.Report();
  }
  const std::string products = std::to_string(IDC_PRODUCTS_LIST), members = std::to_string(IDC_DISTRIBUTED_LIST);
  EXPECT_EQ(steps, (std::vector<std::string>{"0:" + products, "1:" + members + "+page", "0:" + products,
                                             "1:" + members + "+page", "0:" + products, "1:" + members + "+page",
                                             "0:" + products}));
  EXPECT_TRUE(closed);
  EXPECT_EQ(SessionUses("OSPREY"), 0u);
  ASSERT_EQ(g_helpCalls.size(), 1u);
  EXPECT_EQ(g_helpCalls[0].owner, dlg.m_hWnd);
  pump([&] { return ::GetFocus() == tree; });
  EXPECT_EQ(::GetFocus(), tree) << "after Properties";

  // Force to Remove from the keyboard, and Cancel in its question. F5
  // pressed while the menu is open belongs to the menu: no refresh.
  const LONG generation = dlg.m_nGeneration;
  {
    kvtest::ScriptedUser user;
    user.AnswerBox(IDCANCEL);
    kvtest::MenuPicker picker(ID_FORCE_REMOVE, [] {
      kvtest::PressKeys({VK_F5});
      ::Sleep(300);
    });
    keysOn("HERON", {VK_SHIFT, VK_F10});
    pump([&] { return user.Boxes().size() == 1 && ::IsWindowEnabled(dlg.m_hWnd); });
    EXPECT_TRUE(user.Finish()) << user.Report();
    EXPECT_EQ(picker.Stop().size(), 4u);
  }
  PumpUntil(dlg.m_hWnd, true, 1500);
  EXPECT_EQ(dlg.m_nGeneration, generation);
  pump([&] { return ::GetFocus() == tree; });
  EXPECT_EQ(::GetFocus(), tree) << "after the question";
  EXPECT_TRUE(WaitForRecord("HERON", "OSPREY"));

  // HERON's Discovery Service status: Tab to "Stop", Space, Cancel.
  std::vector<int> focused;
  std::string stateAfter;
  {
    kvtest::ScriptedUser user;
    user.Dialog(" \\\\HERON", [&](kvtest::DialogDriver& d) {
      WaitUntil([&] { return d.Text(IDC_SERVICE_ACTION) == "Stop" && d.IsEnabled(IDC_SERVICE_ACTION); });
      d.Keys({VK_TAB});
      WaitUntil([&] { return d.FocusedId() == IDC_SERVICE_ACTION; }, 3000);
      focused.push_back(d.FocusedId());
      d.Keys({VK_SPACE});
    });
    user.AnswerBox(IDCANCEL);
    user.Again(" \\\\HERON", [&](kvtest::DialogDriver& d) {
      WaitUntil([&] { return d.FocusedId() == IDC_SERVICE_ACTION; }, 3000);
      focused.push_back(d.FocusedId());
      ::Sleep(3 * CDiscoveryStatusDlg::kTickMs);
      stateAfter = d.Text(IDC_SERVICE_STATE);
      CloseStatusDialog(d);
    });
    kvtest::MenuPicker picker(ID_TREE_DS_STATUS);
    keysOn("HERON", {VK_APPS});
    pump([&] { return focused.size() == 2 && !::FindWindowA(nullptr, " \\\\HERON"); });
    EXPECT_TRUE(user.Finish()) << user.Report();
    ASSERT_EQ(user.Boxes().size(), 1u);
    EXPECT_EQ(user.Boxes()[0].text, "Do you wish to stop Discovery Service on \\\\HERON ?");
  }
  EXPECT_EQ(focused, (std::vector<int>{IDC_SERVICE_ACTION, IDC_SERVICE_ACTION}));
  EXPECT_EQ(stateAfter, "Running");
  pump([&] { return ::GetFocus() == tree; });
  EXPECT_EQ(::GetFocus(), tree) << "after the status dialog";
  app.m_hMainWnd = nullptr;
}

}  // namespace
