// The console's role commands end to end on the default lab: the real main
// dialog in process, the real local Discovery Service, a scripted user who
// answers the transactions' dialogs and boxes and picks from the context
// menus, and afterwards the views, the machines' own records and member
// lists, the lab's open sessions and its audit.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "App.h"
#include "LabAdmin.h"
#include "LabFault.h"
#include "Messages.h"
#include "Process.h"
#include "RoleConsoleDlg.h"
#include "RoleTables.h"
#include "ScriptedUser.h"
#include "TestLab.h"
#include "resource.h"

namespace {

using Names = std::vector<std::string>;
const char kCaption[] = "Failed During Transaction";
const char kAuditClean[] = "audit: no disagreements\n";

// The tree as "NAME/image(data)[CHILD/image,...]" per root, joined by ';'.
std::string TreeShape(const kv::CTreeCtrl& tree) {
  std::string shape;
  for (HTREEITEM root = tree.GetRootItem(); root; root = tree.GetNextSiblingItem(root)) {
    int image = -1, selected = -1;
    tree.GetItemImage(root, image, selected);
    shape += (shape.empty() ? "" : ";") + tree.GetItemText(root) + "/" + std::to_string(image) + "[";
    for (HTREEITEM child = tree.GetChildItem(root); child; child = tree.GetNextSiblingItem(child)) {
      tree.GetItemImage(child, image, selected);
      shape += (tree.GetChildItem(root) == child ? "" : ",") + tree.GetItemText(child) + "/" + std::to_string(image);
    }
    shape += "]";
  }
  return shape;
}

Names ListNames(const kv::CListCtrl& list) {
  Names names;
  for (int i = 0; i < list.GetItemCount(); ++i) names.push_back(list.GetItemText(i));
  return names;
}

using kvlab::AuditText;

// The primary a machine's own record names ("" without a record).
std::string RecordOf(const std::string& machine) {
  RoleRecord record{};
  return kvlab::ReadRecord(machine, record) == ERROR_SUCCESS ? kv::FixedField(record.primaryName, 24) : "";
}

Names OpenSessions() {
  Names open;
  for (const std::string& machine : kvlab::MachineNames())
    if (kvlab::HasSession(machine)) open.push_back(machine);
  return open;
}

bool WaitForLocalRecord(const std::string& server, const std::string& primary, DWORD timeoutMs = 10000) {
  for (DWORD waited = 0; waited <= timeoutMs; waited += 25) {
    unsigned char record[kRoleRecordSize] = {};
    DWORD size = sizeof(record);
    LONG rc = ReadLocalRoleRecord(server.c_str(), kSanProductCode, record, &size);
    if (primary.empty() ? rc != 0 : rc == 0 && kv::FixedField(record, 24) == primary) return true;
    ::Sleep(25);
  }
  return false;
}

// Dispatches what is queued for this thread (the posted mouse clicks and the
// menu's WM_COMMAND), including everything that runs from it.
void Pump() {
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
}

using kvtest::MenuPicker;

class ConsoleRoles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, m_lab.StartLocalDiscovery());
    ASSERT_EQ(0, kvlab::BuildDefaultLab(nullptr));
    ASSERT_TRUE(LoadDiscoveryTableRoot());
    ASSERT_TRUE(LoadProductRoot());
    for (const char* name : {"OSPREY", "HERON", "KITE"}) ASSERT_TRUE(WaitForLocalRecord(name, "OSPREY"));
    ASSERT_TRUE(WaitForLocalRecord("FALCON", "FALCON"));
    ASSERT_EQ(AuditText(), kAuditClean);
    m_dlg = std::make_unique<CRoleConsoleDlg>();
    ASSERT_TRUE(m_dlg->Create(nullptr));
    ::ShowWindow(m_dlg->m_hWnd, SW_SHOW);
    ASSERT_EQ(TreeShape(m_dlg->m_treeServers), "FALCON/0[];OSPREY/0[HERON/1,KITE/1]");
  }
  void TearDown() override {
    m_dlg.reset();
    SetRegistryRootsForTest("", "");
  }

  CRoleConsoleDlg& Dlg() { return *m_dlg; }

  void Click(int id) {
    ::SendMessageA(Dlg().m_hWnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(Dlg().GetDlgItem(id)));
  }
  void SelectList(const std::string& name) {
    int index = Dlg().FindListItem(name);
    ASSERT_GE(index, 0) << name;
    Dlg().m_listServers.SetItemState(index, LVIS_SELECTED, LVIS_SELECTED);
    ClickedIn(Dlg().m_listServers, IDC_LIST_SERVERS);
  }
  void SelectTree(HTREEITEM item) {
    ASSERT_NE(item, nullptr);
    Dlg().m_treeServers.SelectItem(item);
    ClickedIn(Dlg().m_treeServers, IDC_TREE_SERVERS);
  }
  // What a view tells the dialog when the user clicks in it.
  void ClickedIn(const kv::CWnd& view, int id) {
    NMHDR hdr{view.GetSafeHwnd(), static_cast<UINT_PTR>(id), static_cast<UINT>(NM_CLICK)};
    ::SendMessageA(Dlg().m_hWnd, WM_NOTIFY, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(&hdr));
  }
  std::string SelectedListName() {
    int index = Dlg().m_listServers.GetSelectedItem();
    return index < 0 ? "<none>" : Dlg().m_listServers.GetItemText(index);
  }
  // The text the list shows after name went away from index: the item that
  // takes its place, or the one before when it was the last.
  std::string ItemAfter(const std::string& name) {
    int index = Dlg().FindListItem(name), count = Dlg().m_listServers.GetItemCount();
    if (count == 1) return "<none>";
    return Dlg().m_listServers.GetItemText(index + 1 < count ? index + 1 : index - 1);
  }
  // Status part 1 as a user reads it while a command runs ("text|popout").
  std::string Operation() {
    return Dlg().m_statusBar.GetText(1) + ((Dlg().m_statusBar.GetTextType(1) & SBT_POPOUT) ? "|popout" : "");
  }
  // What every command leaves behind, whatever its outcome.
  void ExpectSettled(const std::string& what) {
    EXPECT_EQ(Dlg().m_statusBar.GetText(1), "") << what;
    EXPECT_TRUE(Dlg().m_bIdle) << what;
    EXPECT_EQ(kv::WaitCursorDepth(), 0) << what;
    EXPECT_EQ(OpenSessions(), Names{}) << what;
  }
  // Right-clicks control at a point of its client area, as the mouse does,
  // while picker watches for the menu.
  void RightClick(const kv::CWnd& control, POINT client) {
    POINT screen = client;
    ::ClientToScreen(control.GetSafeHwnd(), &screen);
    // The click's message carries the cursor position, which the tree's
    // handler hit-tests: wait until the pointer has really moved there.
    ::SetForegroundWindow(Dlg().m_hWnd);
    POINT at{};
    for (int i = 0; i < 100 && !(::GetCursorPos(&at) && at.x == screen.x && at.y == screen.y); ++i) {
      ::SetCursorPos(screen.x, screen.y);
      ::Sleep(10);
    }
    ::PostMessageA(control.GetSafeHwnd(), WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(client.x, client.y));
    ::PostMessageA(control.GetSafeHwnd(), WM_RBUTTONUP, 0, MAKELPARAM(client.x, client.y));
    Pump();
  }
  POINT TreeItemPoint(HTREEITEM item) {
    RECT rect{};
    std::memcpy(&rect, &item, sizeof(item));  // TVM_GETITEMRECT takes the item in the rectangle
    Dlg().m_treeServers.Send(TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(&rect));
    return {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
  }
  POINT ListItemPoint(int index) {
    RECT rect{};
    rect.left = LVIR_LABEL;
    Dlg().m_listServers.Send(LVM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&rect));
    return {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
  }
  POINT EmptySpace(const kv::CWnd& control) {
    RECT client{};
    ::GetClientRect(control.GetSafeHwnd(), &client);
    return {client.right / 2, client.bottom - 6};
  }
  static std::function<void(kvtest::DialogDriver&)> Logon(const std::string& user, const std::string& password) {
    return [user, password](kvtest::DialogDriver& d) {
      d.SetText(IDC_USERNAME, user);
      d.SetText(IDC_PASSWORD, password);
      d.Press(IDOK);
    };
  }

  kvlab::CScopedLab m_lab{"consoleroles", 0};
  std::unique_ptr<CRoleConsoleDlg> m_dlg;
};

// The five commands one after the other, as an administrator would: a new
// primary, a member for it, the member taken off again, the primary
// deleted, then Force to Remove from the context menu and by its command.
TEST_F(ConsoleRoles, EachCommandMovesTheServerAndReachesRecordsListsAndTheLocalTable) {
  // Make Primary PLOVER: it has no record, so the credentials dialog asks.
  SelectList("PLOVER");
  const LPARAM ploverData = Dlg().m_listServers.GetItemData(Dlg().FindListItem("PLOVER"));
  std::string next = ItemAfter("PLOVER");
  std::string during;
  BOOL idleDuring = TRUE;
  {
    kvtest::ScriptedUser user;
    user.Dialog("Security", [&](kvtest::DialogDriver& d) {
      during = Operation();
      idleDuring = Dlg().m_bIdle;  // the timer must not refresh meanwhile
      Logon("Administrator", "plover-pw")(d);
    });
    Click(IDC_MAKE_PRIMARY);
    ASSERT_TRUE(user.Finish()) << user.Report();
    EXPECT_TRUE(user.Boxes().empty());
  }
  EXPECT_EQ(during, "Make Primary|popout");
  EXPECT_FALSE(idleDuring);
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "FALCON/0[];OSPREY/0[HERON/1,KITE/1];PLOVER/0[]");
  HTREEITEM plover = Dlg().FindPrimaryItem("PLOVER");
  EXPECT_EQ(Dlg().m_treeServers.GetSelectedItem(), plover);
  EXPECT_EQ(Dlg().m_treeServers.GetItemData(plover), ploverData);
  EXPECT_EQ(Dlg().FindListItem("PLOVER"), -1);
  EXPECT_EQ(SelectedListName(), next);
  EXPECT_EQ(RecordOf("PLOVER"), "PLOVER");
  EXPECT_EQ(AuditText(), kAuditClean);
  ExpectSettled("make primary");

  // Assign CURLEW to PLOVER: CURLEW is asked for, PLOVER's record now
  // carries the credentials that reach it.
  SelectList("CURLEW");
  const LPARAM curlewData = Dlg().m_listServers.GetItemData(Dlg().FindListItem("CURLEW"));
  next = ItemAfter("CURLEW");
  {
    kvtest::ScriptedUser user;
    user.Dialog("Security", [&](kvtest::DialogDriver& d) {
      during = Operation();
      Logon("backup", "curlew-backup")(d);
    });
    ASSERT_TRUE(::IsWindowEnabled(Dlg().GetDlgItem(IDC_ASSIGN_DISTRIBUTED)));
    Click(IDC_ASSIGN_DISTRIBUTED);
    ASSERT_TRUE(user.Finish()) << user.Report();
  }
  EXPECT_EQ(during, "Assign Distributed|popout");
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "FALCON/0[];OSPREY/0[HERON/1,KITE/1];PLOVER/0[CURLEW/1]");
  HTREEITEM curlew = Dlg().FindDistributedItem("PLOVER", "CURLEW");
  ASSERT_NE(curlew, nullptr);
  EXPECT_EQ(Dlg().m_treeServers.GetItemData(curlew), curlewData);
  EXPECT_EQ(SelectedListName(), next);
  EXPECT_EQ(RecordOf("CURLEW"), "PLOVER");
  EXPECT_EQ(kvlab::ListMembers("PLOVER"), Names{"CURLEW"});
  EXPECT_EQ(AuditText(), kAuditClean);
  ExpectSettled("assign");

  // Remove Distributed CURLEW: no question; PLOVER stays without members.
  SelectTree(curlew);
  {
    kvtest::ScriptedUser user;
    Click(IDC_REMOVE_DISTRIBUTED);
    ASSERT_TRUE(user.Finish()) << user.Report();
    EXPECT_TRUE(user.Boxes().empty());
  }
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "FALCON/0[];OSPREY/0[HERON/1,KITE/1];PLOVER/0[]");
  EXPECT_EQ(SelectedListName(), "CURLEW");
  EXPECT_EQ(Dlg().m_listServers.GetItemData(Dlg().FindListItem("CURLEW")), curlewData);
  EXPECT_EQ(RecordOf("CURLEW"), "");
  EXPECT_EQ(kvlab::ListMembers("PLOVER"), Names{});
  EXPECT_EQ(AuditText(), kAuditClean);
  ExpectSettled("remove");

  // Delete Primary PLOVER: back in the list, selected.
  SelectTree(Dlg().FindPrimaryItem("PLOVER"));
  ASSERT_TRUE(::IsWindowEnabled(Dlg().GetDlgItem(IDC_DELETE_PRIMARY)));
  {
    kvtest::ScriptedUser user;
    Click(IDC_DELETE_PRIMARY);
    ASSERT_TRUE(user.Finish()) << user.Report();
  }
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "FALCON/0[];OSPREY/0[HERON/1,KITE/1]");
  EXPECT_EQ(SelectedListName(), "PLOVER");
  EXPECT_EQ(Dlg().m_listServers.GetItemData(Dlg().FindListItem("PLOVER")), ploverData);
  EXPECT_EQ(RecordOf("PLOVER"), "");
  EXPECT_EQ(AuditText(), kAuditClean);
  ExpectSettled("delete primary");

  // Force to Remove KITE: its context menu offers it (what picking it sends
  // is tested with the menus below), then the question.
  {
    // Right after a Wine session starts, a popup menu can close again before
    // anyone sees it; the user then right-clicks once more.
    std::vector<UINT> ids;
    for (int attempt = 0; attempt < 3 && ids.empty(); ++attempt) {
      MenuPicker picker;
      RightClick(Dlg().m_treeServers, TreeItemPoint(Dlg().FindDistributedItem("OSPREY", "KITE")));
      ids = picker.Stop();
    }
    EXPECT_EQ(ids,
              (std::vector<UINT>{ID_TREE_PROPERTIES, ID_FORCE_REMOVE, ID_DISTRIBUTED_SECURITY, ID_TREE_DS_STATUS}));
    EXPECT_EQ(Dlg().m_treeServers.GetSelectedItem(), Dlg().FindDistributedItem("OSPREY", "KITE"));
    kvtest::ScriptedUser user;
    user.AnswerBox(IDOK);
    ::SendMessageA(Dlg().m_hWnd, WM_COMMAND, MAKEWPARAM(ID_FORCE_REMOVE, 0), 0);
    ASSERT_TRUE(user.Finish()) << user.Report();
    ASSERT_EQ(user.Boxes().size(), 1u);
    EXPECT_EQ(user.Boxes()[0].text, "This command will force the removing of  KITE");
    EXPECT_EQ(user.Boxes()[0].caption, "Use ONLY if \"Remove Distributed >>\" does not work");
    EXPECT_EQ(user.Boxes()[0].flags, 0x42031u);
    EXPECT_EQ(user.Boxes()[0].owner, Dlg().m_hWnd);
  }
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "FALCON/0[];OSPREY/0[HERON/1]");
  EXPECT_EQ(SelectedListName(), "KITE");
  EXPECT_EQ(RecordOf("KITE"), "");
  // The list entry stays behind, and the audit names exactly that.
  EXPECT_EQ(kvlab::ListMembers("OSPREY"), (Names{"HERON", "KITE"}));
  EXPECT_EQ(AuditText(), "OSPREY: list holds KITE but KITE's record names no primary\naudit: 1 disagreement(s)\n");
  ExpectSettled("force remove");

  // Force to Remove of the last member takes its primary out of the tree
  // too (Remove Distributed would have left it).
  SelectTree(Dlg().FindDistributedItem("OSPREY", "HERON"));
  {
    kvtest::ScriptedUser user;
    user.AnswerBox(IDOK);
    ::SendMessageA(Dlg().m_hWnd, WM_COMMAND, MAKEWPARAM(ID_FORCE_REMOVE, 0), 0);
    ASSERT_TRUE(user.Finish()) << user.Report();
  }
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "FALCON/0[]");
  EXPECT_EQ(SelectedListName(), "HERON");
  EXPECT_EQ(RecordOf("OSPREY"), "OSPREY");
  EXPECT_EQ(kvlab::ListMembers("OSPREY"), (Names{"HERON", "KITE"}));
  ExpectSettled("force remove of the last member");

  // The next refresh pass shows OSPREY again, confirmed by its own record.
  Dlg().RefreshServerViews();
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "FALCON/0[];OSPREY/0[]");
}

// A user who cancels changes nothing: not the credentials dialog, not the
// confirmation of Assign, not Force to Remove's question.
TEST_F(ConsoleRoles, CancelledDialogsAndQuestionsLeaveViewsRecordsAndSessionsAsTheyWere) {
  // PETREL gains a record behind the console's back (a primary of its own's
  // member): the list still shows it, and Assign will have to ask.
  ASSERT_EQ(0, kvlab::SetRole("PETREL", "FALCON", "Administrator", "petrel-pw"));
  ASSERT_TRUE(WaitForLocalRecord("PETREL", "FALCON"));
  const std::string tree = TreeShape(Dlg().m_treeServers);
  const Names list = ListNames(Dlg().m_listServers);

  // While the credentials dialog is up the console still takes clicks; a
  // second command (Delete Primary of FALCON) must not start inside the first.
  SelectTree(Dlg().FindPrimaryItem("FALCON"));
  SelectList("CURLEW");
  std::string during;
  {
    kvtest::ScriptedUser user;
    user.Dialog("Security", [&](kvtest::DialogDriver& d) {
      HWND button = Dlg().GetDlgItem(IDC_DELETE_PRIMARY);
      ::SendMessageA(Dlg().m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_DELETE_PRIMARY, BN_CLICKED),
                     reinterpret_cast<LPARAM>(button));
      during = Operation();
      d.Press(IDCANCEL);
    });
    Click(IDC_MAKE_PRIMARY);
    ASSERT_TRUE(user.Finish()) << user.Report();
    EXPECT_TRUE(user.Boxes().empty());
  }
  EXPECT_EQ(during, "Make Primary|popout");
  EXPECT_EQ(RecordOf("FALCON"), "FALCON");
  EXPECT_EQ(RecordOf("CURLEW"), "");
  EXPECT_EQ(SelectedListName(), "CURLEW");
  ExpectSettled("cancelled credentials");

  SelectTree(Dlg().FindPrimaryItem("OSPREY"));
  SelectList("PETREL");
  {
    kvtest::ScriptedUser user;
    user.AnswerBox(IDCANCEL);
    Click(IDC_ASSIGN_DISTRIBUTED);
    ASSERT_TRUE(user.Finish()) << user.Report();
    ASSERT_EQ(user.Boxes().size(), 1u);
    EXPECT_EQ(user.Boxes()[0].text, "PETREL already assigned to FALCON\nPress OK to proceed with your changes");
    EXPECT_EQ(user.Boxes()[0].caption, kCaption);
  }
  EXPECT_EQ(RecordOf("PETREL"), "FALCON");
  EXPECT_EQ(kvlab::ListMembers("FALCON"), Names{"PETREL"});
  EXPECT_EQ(kvlab::ListMembers("OSPREY"), (Names{"HERON", "KITE"}));
  ExpectSettled("cancelled confirmation");

  SelectTree(Dlg().FindDistributedItem("OSPREY", "HERON"));
  {
    kvtest::ScriptedUser user;
    user.AnswerBox(IDCANCEL);
    ::SendMessageA(Dlg().m_hWnd, WM_COMMAND, MAKEWPARAM(ID_FORCE_REMOVE, 0), 0);
    ASSERT_TRUE(user.Finish()) << user.Report();
  }
  EXPECT_EQ(RecordOf("HERON"), "OSPREY");
  ExpectSettled("force remove not confirmed");

  EXPECT_EQ(TreeShape(Dlg().m_treeServers), tree);
  EXPECT_EQ(ListNames(Dlg().m_listServers), list);
  EXPECT_EQ(AuditText(), kAuditClean);
}

// With the local Discovery Service stopped the transaction goes through but
// the local table never shows it: the wait gives up, the views stay, and the
// first refresh once the service runs again shows the real state.
TEST_F(ConsoleRoles, WithTheLocalDiscoveryServiceStoppedTheWaitGivesUpAndTheViewsWaitForTheNextRefresh) {
  const std::string tree = TreeShape(Dlg().m_treeServers);
  const Names list = ListNames(Dlg().m_listServers);
  ASSERT_EQ(0, m_lab.StopLocalDiscovery());
  SelectList("PLOVER");
  {
    kvtest::ScriptedUser user;
    user.Dialog("Security", Logon("Administrator", "plover-pw"));
    user.AnswerBox(IDOK);
    Click(IDC_MAKE_PRIMARY);
    ASSERT_TRUE(user.Finish()) << user.Report();
    ASSERT_EQ(user.Boxes().size(), 1u);
    EXPECT_EQ(user.Boxes()[0].text,
              "Configuration Table was not updated properly\n. Please make sure that Discovery Service is running on "
              "PLOVER machine");
    EXPECT_EQ(user.Boxes()[0].caption, kCaption);
    EXPECT_EQ(user.Boxes()[0].flags, 0x42030u);
    EXPECT_EQ(user.Boxes()[0].owner, Dlg().m_hWnd);
  }
  EXPECT_EQ(RecordOf("PLOVER"), "PLOVER");
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), tree);
  EXPECT_EQ(ListNames(Dlg().m_listServers), list);
  EXPECT_EQ(SelectedListName(), "PLOVER");
  EXPECT_EQ(AuditText(), kAuditClean);
  ExpectSettled("wait gave up");

  ASSERT_EQ(0, m_lab.StartLocalDiscovery());
  ASSERT_TRUE(WaitForLocalRecord("PLOVER", "PLOVER"));
  Dlg().RefreshServerViews();
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "FALCON/0[];OSPREY/0[HERON/1,KITE/1];PLOVER/0[]");
  EXPECT_EQ(Dlg().FindListItem("PLOVER"), -1);
}

// While a refresh pass runs no role command starts; the context menus show
// only over an item, each with its own entries, and the tree's selects it.
TEST_F(ConsoleRoles, NoCommandDuringARefreshPassAndContextMenusOnlyOverItems) {
  const std::string tree = TreeShape(Dlg().m_treeServers);
  const Names list = ListNames(Dlg().m_listServers);
  Dlg().m_bRefreshing = TRUE;
  {
    kvtest::ScriptedUser user;  // no window may appear
    SelectTree(Dlg().FindPrimaryItem("FALCON"));
    SelectList("CURLEW");
    for (int id : {IDC_ASSIGN_DISTRIBUTED, IDC_MAKE_PRIMARY, IDC_DELETE_PRIMARY}) Click(id);
    SelectTree(Dlg().FindDistributedItem("OSPREY", "KITE"));
    Click(IDC_REMOVE_DISTRIBUTED);
    ::SendMessageA(Dlg().m_hWnd, WM_COMMAND, MAKEWPARAM(ID_FORCE_REMOVE, 0), 0);
    EXPECT_TRUE(user.Finish()) << user.Report();
    EXPECT_TRUE(user.Boxes().empty());
  }
  Dlg().m_bRefreshing = FALSE;
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), tree);
  EXPECT_EQ(ListNames(Dlg().m_listServers), list);
  EXPECT_EQ(RecordOf("FALCON"), "FALCON");
  EXPECT_EQ(RecordOf("CURLEW"), "");
  EXPECT_EQ(RecordOf("KITE"), "OSPREY");
  EXPECT_EQ(AuditText(), kAuditClean);
  ExpectSettled("refreshing");

  {
    MenuPicker picker;
    RightClick(Dlg().m_treeServers, EmptySpace(Dlg().m_treeServers));
    EXPECT_EQ(picker.Stop(), std::vector<UINT>{}) << "a menu over empty tree space";
  }
  {
    MenuPicker picker;
    RightClick(Dlg().m_treeServers, TreeItemPoint(Dlg().FindPrimaryItem("OSPREY")));
    EXPECT_EQ(picker.Stop(), (std::vector<UINT>{ID_TREE_PROPERTIES, ID_PRIMARY_SECURITY, ID_TREE_DS_STATUS}));
    EXPECT_EQ(Dlg().m_treeServers.GetSelectedItem(), Dlg().FindPrimaryItem("OSPREY"));
  }
  {
    MenuPicker picker;
    RightClick(Dlg().m_listServers, ListItemPoint(Dlg().FindListItem("SWIFT")));
    EXPECT_EQ(picker.Stop(), (std::vector<UINT>{ID_LIST_PROPERTIES, ID_LIST_DS_STATUS}));
  }
  Dlg().m_listServers.SetItemState(-1, 0, LVIS_SELECTED);
  {
    MenuPicker picker;
    RightClick(Dlg().m_listServers, EmptySpace(Dlg().m_listServers));
    EXPECT_EQ(picker.Stop(), std::vector<UINT>{}) << "a menu in the list without a selection";
  }
  // Picking Force to Remove from a member's menu reaches the dialog: its
  // question comes (and is declined).
  {
    kvtest::ScriptedUser user;
    user.AnswerBox(IDCANCEL);
    MenuPicker picker(ID_FORCE_REMOVE);
    RightClick(Dlg().m_treeServers, TreeItemPoint(Dlg().FindDistributedItem("OSPREY", "HERON")));
    EXPECT_EQ(picker.Stop().size(), 4u);
    ASSERT_TRUE(user.Finish()) << user.Report();
    ASSERT_EQ(user.Boxes().size(), 1u);
    EXPECT_EQ(user.Boxes()[0].text, "This command will force the removing of  HERON");
  }
  EXPECT_EQ(RecordOf("HERON"), "OSPREY");
  ExpectSettled("force remove declined from the menu");
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), tree);
  EXPECT_EQ(ListNames(Dlg().m_listServers), list);
}

// What the user's hands can do besides single, slow clicks: a real
// double-click and a burst of clicks on a role button, Close and Refresh
// while a command's dialog is up, a refresh pass that changes the views
// under the selection or under an open context menu, the last list item,
// and a second root of a name the tree already holds.
TEST_F(ConsoleRoles, ClicksDialogsAndPassesDuringACommandActOnlyOnWhatTheUserSelected) {
  // Two clicks of a double-click on "Remove Distributed >>", as the mouse
  // sends them, queued while the first one's command runs: HERON goes and
  // KITE, which the tree then selects, stays.
  SelectTree(Dlg().FindDistributedItem("OSPREY", "HERON"));
  HWND remove = Dlg().GetDlgItem(IDC_REMOVE_DISTRIBUTED);
  {
    kvtest::ScriptedUser user;  // no window may appear
    for (UINT down : {WM_LBUTTONDOWN, WM_LBUTTONDBLCLK}) {
      ::PostMessageA(remove, down, MK_LBUTTON, MAKELPARAM(4, 4));
      ::PostMessageA(remove, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
    }
    Pump();
    // Clicks that follow quicker than a double-click, on the selection the
    // command left, belong to it too.
    for (int i = 0; i < 3; ++i) Click(IDC_REMOVE_DISTRIBUTED);
    ASSERT_TRUE(user.Finish()) << user.Report();
  }
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "FALCON/0[];OSPREY/0[KITE/1]");
  EXPECT_EQ(RecordOf("HERON"), "");
  EXPECT_EQ(RecordOf("KITE"), "OSPREY");
  EXPECT_EQ(Dlg().m_treeServers.GetSelectedItem(), Dlg().FindDistributedItem("OSPREY", "KITE"));
  ExpectSettled("double-click");
  // After a pause the click is the user's own.
  ::Sleep(::GetDoubleClickTime() + 100);
  Click(IDC_REMOVE_DISTRIBUTED);
  EXPECT_EQ(RecordOf("KITE"), "");
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "FALCON/0[];OSPREY/0[]");

  // Make Primary, then Assign, on the last list item: the new last item is
  // selected each time. While the credentials dialog is up it is in front of
  // the console, centred on it; the console takes no Close, Refresh or
  // other command, and shows no tooltip.
  for (const char* name : {"ZZFIRST", "ZZSECOND"}) ASSERT_EQ(0, m_lab.Add(name, "zz-pw"));
  ASSERT_TRUE(kvlab::WaitForTable({"ZZFIRST", "ZZSECOND"}, 10000));
  Dlg().RefreshServerViews();
  for (int id : {IDC_MAKE_PRIMARY, IDC_ASSIGN_DISTRIBUTED}) {
    SelectTree(Dlg().FindPrimaryItem("FALCON"));
    const int last = Dlg().m_listServers.GetItemCount() - 1;
    const std::string server = Dlg().m_listServers.GetItemText(last);
    Dlg().m_listServers.SetItemState(last, LVIS_SELECTED, LVIS_SELECTED);
    ClickedIn(Dlg().m_listServers, IDC_LIST_SERVERS);
    std::string seen;
    {
      kvtest::ScriptedUser user;
      user.Dialog("Security", [&](kvtest::DialogDriver& d) {
        RECT dialog{}, console{};
        ::GetWindowRect(d.Hwnd(), &dialog);
        ::GetWindowRect(Dlg().m_hWnd, &console);
        const bool centred = std::abs((dialog.left + dialog.right) - (console.left + console.right)) <= 2 &&
                             std::abs((dialog.top + dialog.bottom) - (console.top + console.bottom)) <= 2;
        seen = std::string(::GetWindow(d.Hwnd(), GW_OWNER) == Dlg().m_hWnd ? "owned" : "not owned") +
               (::IsWindowEnabled(Dlg().m_hWnd) ? ",enabled" : ",disabled") + (centred ? ",centred" : ",elsewhere") +
               (::IsWindowVisible(Dlg().m_tooltip.GetSafeHwnd()) ? ",tip shown" : ",tip gone");
        const LONG generation = Dlg().m_nGeneration;
        for (int other : {IDOK, IDCANCEL, IDC_REFRESH, IDC_DELETE_PRIMARY})
          ::SendMessageA(Dlg().m_hWnd, WM_COMMAND, MAKEWPARAM(other, BN_CLICKED),
                         reinterpret_cast<LPARAM>(Dlg().GetDlgItem(other)));
        seen += std::string(Dlg().m_nGeneration == generation ? ",no pass," : ",a pass,") + Operation();
        Logon("Administrator", "zz-pw")(d);
      });
      // A tooltip is up when the button is clicked.
      ::ShowWindow(Dlg().m_tooltip.GetSafeHwnd(), SW_SHOWNOACTIVATE);
      Click(id);
      ASSERT_TRUE(user.Finish()) << user.Report();
    }
    EXPECT_EQ(seen, std::string("owned,disabled,centred,tip gone,no pass,") +
                        (id == IDC_MAKE_PRIMARY ? "Make Primary|popout" : "Assign Distributed|popout"));
    EXPECT_TRUE(::IsWindowVisible(Dlg().m_hWnd));
    EXPECT_TRUE(::IsWindowEnabled(Dlg().m_hWnd));
    EXPECT_EQ(RecordOf(server), id == IDC_MAKE_PRIMARY ? server : "FALCON");
    EXPECT_EQ(RecordOf("FALCON"), "FALCON");
    EXPECT_EQ(SelectedListName(), Dlg().m_listServers.GetItemText(Dlg().m_listServers.GetItemCount() - 1)) << server;
    ExpectSettled(server);
  }
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "FALCON/0[ZZFIRST/1];OSPREY/0[];ZZSECOND/0[]");
  ASSERT_EQ(AuditText(), kAuditClean);

  // A pass that puts a member under the selected childless primary turns
  // "Delete Primary >>" off; sent all the same, it changes nothing.
  SelectTree(Dlg().FindPrimaryItem("OSPREY"));
  ASSERT_TRUE(::IsWindowEnabled(Dlg().GetDlgItem(IDC_DELETE_PRIMARY)));
  ASSERT_EQ(0, kvlab::SetRoleKeepingLists("CURLEW", "OSPREY", "Administrator", "curlew-pw"));
  ASSERT_TRUE(WaitForLocalRecord("CURLEW", "OSPREY"));
  Dlg().m_bAutoRefresh = TRUE;
  ::SendMessageA(Dlg().m_hWnd, WM_TIMER, Dlg().m_nTimerId, 0);
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "FALCON/0[ZZFIRST/1];OSPREY/0[CURLEW/1];ZZSECOND/0[]");
  EXPECT_FALSE(::IsWindowEnabled(Dlg().GetDlgItem(IDC_DELETE_PRIMARY)));
  EXPECT_TRUE(::IsWindowEnabled(Dlg().GetDlgItem(IDC_ASSIGN_DISTRIBUTED)));
  {
    kvtest::ScriptedUser user;
    Click(IDC_DELETE_PRIMARY);
    ASSERT_TRUE(user.Finish()) << user.Report();
  }
  EXPECT_EQ(RecordOf("OSPREY"), "OSPREY");
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "FALCON/0[ZZFIRST/1];OSPREY/0[CURLEW/1];ZZSECOND/0[]");

  // A pass while the context menu of CURLEW is open takes CURLEW (its
  // record went) out of the tree, and the tree selects another server:
  // Properties still opens for CURLEW.
  ASSERT_EQ(0, kvlab::SetRoleKeepingLists("CURLEW", "", "", ""));
  ASSERT_TRUE(WaitForLocalRecord("CURLEW", ""));
  {
    kvtest::ScriptedUser user;
    std::string shown;
    user.Dialog("Properties", [&](kvtest::DialogDriver& d) {
      shown = d.Text(IDC_SERVER_NAME);
      d.Press(IDOK);
    });
    MenuPicker picker(ID_TREE_PROPERTIES, [&] {
      ::PostMessageA(Dlg().m_hWnd, WM_TIMER, Dlg().m_nTimerId, 0);
      ::Sleep(500);
    });
    RightClick(Dlg().m_treeServers, TreeItemPoint(Dlg().FindDistributedItem("OSPREY", "CURLEW")));
    picker.Stop();
    ASSERT_TRUE(user.Finish()) << user.Report();
    EXPECT_EQ(shown, "CURLEW");
  }
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "FALCON/0[ZZFIRST/1];OSPREY/0[];ZZSECOND/0[]");
  Dlg().m_bAutoRefresh = FALSE;

  // A second root of a name the tree holds (put there outside a pass): the
  // pass keeps the first and drops the second.
  HTREEITEM first = Dlg().FindPrimaryItem("OSPREY");
  Dlg().m_treeServers.InsertItem("OSPREY", 0, 0, 0, TVI_ROOT, TVI_LAST);
  Dlg().OnViewsChangedOutsidePass();
  Dlg().RefreshServerViews();
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "FALCON/0[ZZFIRST/1];OSPREY/0[];ZZSECOND/0[]");
  EXPECT_EQ(Dlg().FindPrimaryItem("OSPREY"), first);
}

// The visible dialog window of process pid with this caption other than
// skip, waited for; null when none came.
HWND WaitForProcessWindow(DWORD pid, const std::string& caption, HWND skip = nullptr, DWORD timeoutMs = 20000) {
  struct Search {
    DWORD pid;
    const std::string& caption;
    HWND skip;
    HWND found;
  };
  for (DWORD waited = 0; waited <= timeoutMs; waited += 20) {
    Search search{pid, caption, skip, nullptr};
    ::EnumWindows(
        [](HWND hwnd, LPARAM param) -> BOOL {
          auto* s = reinterpret_cast<Search*>(param);
          DWORD owner = 0;
          ::GetWindowThreadProcessId(hwnd, &owner);
          char text[256] = {}, cls[16] = {};
          ::GetClassNameA(hwnd, cls, sizeof(cls));
          ::GetWindowTextA(hwnd, text, sizeof(text));
          if (owner == s->pid && hwnd != s->skip && ::IsWindowVisible(hwnd) && std::string(cls) == "#32770" &&
              s->caption == text) {
            s->found = hwnd;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (search.found) return search.found;
    ::Sleep(20);
  }
  return nullptr;
}

// Without a lab (the path a Windows server takes) every remote call goes to
// the system: the console shows the local table as before, and each role
// command and Security ends with the system's message for its connection
// (after the retry prompt and the credentials dialog a role command offers),
// leaving the views and the servers as they were.
TEST_F(ConsoleRoles, WithoutALabEveryRemoteCommandEndsWithTheSystemsMessage) {
  const std::string tree = TreeShape(Dlg().m_treeServers);
  const Names list = ListNames(Dlg().m_listServers);
  std::string remote = "\\\\OSPREY\\ipc$";
  NETRESOURCEA resource{};
  resource.dwScope = RESOURCE_GLOBALNET;
  resource.dwUsage = RESOURCEUSAGE_CONNECTABLE;
  resource.lpRemoteName = remote.data();
  const DWORD status = ::WNetAddConnection2A(&resource, "osprey-pw", "Administrator", 0);
  ASSERT_NE(status, 0u);
  // The lab's root named in this process's environment, put back on every way out.
  struct LabRootSwitch {
    char saved[512] = {};
    LabRootSwitch() {
      ::GetEnvironmentVariableA("KV_LAB_ROOT", saved, sizeof(saved));
      ::SetEnvironmentVariableA("KV_LAB_ROOT", (std::string(saved) + "Gone").c_str());
    }
    ~LabRootSwitch() { ::SetEnvironmentVariableA("KV_LAB_ROOT", saved); }
  };
  auto noLab = std::make_unique<LabRootSwitch>();
  m_dlg = std::make_unique<CRoleConsoleDlg>();  // a console that starts without a lab
  ASSERT_TRUE(m_dlg->Create(nullptr));
  ::ShowWindow(m_dlg->m_hWnd, SW_SHOW);
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), tree);
  EXPECT_EQ(ListNames(Dlg().m_listServers), list);

  struct Case {
    const char* server;
    std::function<void()> select;
    int command;
    bool confirm, storedCredentials, security;
  };
  const Case cases[] = {
      {"CURLEW", [&] { SelectTree(Dlg().FindPrimaryItem("FALCON")), SelectList("CURLEW"); }, IDC_ASSIGN_DISTRIBUTED,
       false, false, false},
      {"KITE", [&] { SelectTree(Dlg().FindDistributedItem("OSPREY", "KITE")); }, IDC_REMOVE_DISTRIBUTED, false, true,
       false},
      {"CURLEW", [&] { SelectList("CURLEW"); }, IDC_MAKE_PRIMARY, false, false, false},
      {"FALCON", [&] { SelectTree(Dlg().FindPrimaryItem("FALCON")); }, IDC_DELETE_PRIMARY, false, true, false},
      {"KITE", [&] { SelectTree(Dlg().FindDistributedItem("OSPREY", "KITE")); }, ID_FORCE_REMOVE, true, true, false},
      {"OSPREY", [&] { SelectTree(Dlg().FindPrimaryItem("OSPREY")); }, ID_PRIMARY_SECURITY, false, true, true},
  };
  for (const Case& c : cases) {
    const std::string what = std::string(c.server) + ", command " + std::to_string(c.command);
    c.select();
    kvtest::ScriptedUser user;
    if (c.confirm) user.AnswerBox(IDOK);
    if (!c.storedCredentials || c.security) user.Dialog("Security", Logon("Administrator", "pw"));
    if (!c.security) user.AnswerBox(IDOK).Dialog("Security", Logon("Administrator", "pw"));  // the retry prompt
    user.AnswerBox(IDOK);
    Click(c.command);
    ASSERT_TRUE(user.Finish()) << what << "\n" << user.Report();
    const std::vector<kvtest::SeenBox> boxes = user.Boxes();
    ASSERT_EQ(boxes.size(), (c.confirm ? 2u : 1u) + (c.security ? 0u : 1u)) << what;
    if (!c.security) {
      EXPECT_EQ(boxes[boxes.size() - 2].text, FormatResString(IDS_CONNECT_FAILED, c.server)) << what;
    }
    EXPECT_EQ(boxes.back().text, SystemErrorText(status)) << what;
    EXPECT_EQ(boxes.back().caption, kCaption) << what;
    EXPECT_EQ(TreeShape(Dlg().m_treeServers), tree) << what;
    EXPECT_EQ(ListNames(Dlg().m_listServers), list) << what;
    ExpectSettled(what);
  }
  noLab.reset();
  EXPECT_EQ(RecordOf("CURLEW"), "");
  EXPECT_EQ(RecordOf("KITE"), "OSPREY");
  EXPECT_EQ(RecordOf("FALCON"), "FALCON");
  EXPECT_EQ(AuditText(), kAuditClean);
}

// A console killed in the middle of Assign Distributed, after it wrote the
// server's record and before the new primary's list took the server: the
// audit names exactly that, and Force to Remove then Assign from a console
// put it right.
class KilledConsole : public ConsoleRoles {
 protected:
  void SetUp() override {}
  void TearDown() override {
    m_dlg.reset();
    if (m_child) {
      ::TerminateProcess(m_child, 1);
      ::CloseHandle(m_child);
    }
    SetRegistryRootsForTest("", "");
  }
  // The real console in a process of its own; its id.
  DWORD StartConsole() {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string exe = path;
    exe = exe.substr(0, exe.rfind('\\') + 1) + "Quayside.exe";
    std::string command = "\"" + exe + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!kv::StartProcess(nullptr, command.data(), FALSE, 0, nullptr, &si, &pi)) return 0;
    ::CloseHandle(pi.hThread);
    m_child = pi.hProcess;
    return pi.dwProcessId;
  }
  void EndConsole() {
    if (!m_child) return;
    ::TerminateProcess(m_child, 1);
    ::WaitForSingleObject(m_child, 10000);
    ::CloseHandle(m_child);
    m_child = nullptr;
  }
  HANDLE m_child = nullptr;
};

TEST_F(KilledConsole, BetweenRecordAndListTheAuditNamesItAndTheConsolePutsItRight) {
  kv::CRegKey setting;
  ASSERT_EQ(0, kvlab::CreateKey(HKEY_LOCAL_MACHINE,
                                kvlab::ProductRoot() + "\\DiscoveryImplementationList\\Bellcast\\TandDiscoverySetting",
                                setting));
  kvlab::WriteDword(setting.Get(), "BCastDelay", 100);
  // The console selects the first root and list item 0 when it opens: ALBA
  // and 00ACORN (digits sort before letters).
  for (const char* name : {"ALBA", "BRAN", "00ACORN"}) ASSERT_EQ(0, m_lab.Add(name, "pw"));
  ASSERT_EQ(0, kvlab::SetRole("ALBA", "ALBA", "Administrator", "pw"));
  ASSERT_EQ(0, kvlab::SetRole("BRAN", "BRAN", "Administrator", "pw"));
  ASSERT_EQ(0, m_lab.StartLocalDiscovery());
  ASSERT_TRUE(LoadDiscoveryTableRoot());
  ASSERT_TRUE(LoadProductRoot());
  ASSERT_TRUE(kvlab::WaitForTable({"ALBA", "BRAN", "00ACORN"}, 10000));
  ASSERT_TRUE(WaitForLocalRecord("ALBA", "ALBA"));
  ASSERT_TRUE(WaitForLocalRecord("BRAN", "BRAN"));

  const DWORD pid = StartConsole();
  ASSERT_NE(pid, 0u);
  HWND console = WaitForProcessWindow(pid, "SAN Option Configuration");
  ASSERT_NE(console, nullptr);

  // 00ACORN joins BRAN behind the console's back, so Assign asks first.
  ASSERT_EQ(0, kvlab::SetRole("00ACORN", "BRAN", "Administrator", "pw"));
  ASSERT_TRUE(WaitForLocalRecord("00ACORN", "BRAN"));
  ::PostMessageA(console, WM_COMMAND, MAKEWPARAM(IDC_ASSIGN_DISTRIBUTED, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(console, IDC_ASSIGN_DISTRIBUTED)));
  HWND confirm = WaitForProcessWindow(pid, kCaption);
  ASSERT_NE(confirm, nullptr);
  EXPECT_EQ(kvtest::MessageBoxText(confirm), "00ACORN already assigned to BRAN\nPress OK to proceed with your changes");
  // ALBA leaves the network before its list is written: the console shows
  // the failure, and is killed while it does.
  ASSERT_EQ(0, kvlab::SetOnline("ALBA", false));
  ::SendMessageA(::GetDlgItem(confirm, IDOK), BM_CLICK, 0, 0);
  HWND failure = WaitForProcessWindow(pid, kCaption, confirm);
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(kvtest::MessageBoxText(failure), SystemErrorText(ERROR_BAD_NETPATH));
  ASSERT_TRUE(::TerminateProcess(m_child, 1));
  ASSERT_EQ(::WaitForSingleObject(m_child, 10000), WAIT_OBJECT_0);

  EXPECT_EQ(RecordOf("00ACORN"), "ALBA");
  EXPECT_EQ(kvlab::ListMembers("BRAN"), Names{});
  EXPECT_EQ(kvlab::ListMembers("ALBA"), Names{});
  EXPECT_EQ(AuditText(),
            "00ACORN: record names ALBA but ALBA's list does not hold 00ACORN\naudit: 1 disagreement(s)\n");

  // Back on the network, a console shows 00ACORN under ALBA; Force to
  // Remove clears the record, Assign makes it whole.
  ASSERT_EQ(0, kvlab::SetOnline("ALBA", true));
  ASSERT_TRUE(WaitForLocalRecord("00ACORN", "ALBA"));
  m_dlg = std::make_unique<CRoleConsoleDlg>();
  ASSERT_TRUE(m_dlg->Create(nullptr));
  ::ShowWindow(m_dlg->m_hWnd, SW_SHOW);
  ASSERT_EQ(TreeShape(Dlg().m_treeServers), "ALBA/0[00ACORN/1];BRAN/0[]");
  SelectTree(Dlg().FindDistributedItem("ALBA", "00ACORN"));
  {
    kvtest::ScriptedUser user;
    user.AnswerBox(IDOK);
    ::SendMessageA(Dlg().m_hWnd, WM_COMMAND, MAKEWPARAM(ID_FORCE_REMOVE, 0), 0);
    ASSERT_TRUE(user.Finish()) << user.Report();
  }
  EXPECT_EQ(AuditText(), kAuditClean);
  // ALBA went with its last member; the next pass shows it again.
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "BRAN/0[]");
  Dlg().RefreshServerViews();
  ASSERT_EQ(TreeShape(Dlg().m_treeServers), "ALBA/0[];BRAN/0[]");
  SelectTree(Dlg().FindPrimaryItem("ALBA"));
  SelectList("00ACORN");
  {
    kvtest::ScriptedUser user;
    user.Dialog("Security", Logon("Administrator", "pw"));
    Click(IDC_ASSIGN_DISTRIBUTED);
    ASSERT_TRUE(user.Finish()) << user.Report();
  }
  EXPECT_EQ(TreeShape(Dlg().m_treeServers), "ALBA/0[00ACORN/1];BRAN/0[]");
  EXPECT_EQ(RecordOf("00ACORN"), "ALBA");
  EXPECT_EQ(kvlab::ListMembers("ALBA"), Names{"00ACORN"});
  EXPECT_EQ(AuditText(), kAuditClean);
}

// Security in a console whose remote calls fail, and in one killed, at each
// of its calls in turn (the connection that proves the credentials, then the
// record's write), then let through: a failed call is shown, the record is
// the old one until the run that completes, and only a killed console leaves
// its connection open.
TEST_F(KilledConsole, SecurityFailedOrKilledAtEachRemoteCallLeavesTheRecordWhole) {
  ASSERT_EQ(0, m_lab.Add("ALBA", "pw"));
  ASSERT_EQ(0, kvlab::SetRole("ALBA", "ALBA", "Administrator", "pw"));
  ASSERT_EQ(0, kvlab::SetAccount("ALBA", "Administrator", "new-pw"));
  ASSERT_EQ(0, m_lab.StartLocalDiscovery());
  ASSERT_TRUE(LoadDiscoveryTableRoot());
  ASSERT_TRUE(LoadProductRoot());
  ASSERT_TRUE(WaitForLocalRecord("ALBA", "ALBA"));
  auto password = [] {
    RoleRecord r{};
    EXPECT_EQ(0, kvlab::ReadRecord("ALBA", r));
    kvlab::Scramble(r.password, sizeof(r.password));
    return kv::FixedField(r.password, sizeof(r.password)) + "/" + kv::FixedField(r.primaryName, 24);
  };
  const std::string failures[] = {SystemErrorText(ERROR_BAD_NETPATH), "Could not write the new information"};
  for (bool kill : {false, true}) {
    for (DWORD at = 1; at <= 3; ++at) {
      const std::string what = (kill ? "killed at call " : "failing call ") + std::to_string(at);
      ASSERT_EQ(0, kvlab::SetRole("ALBA", "ALBA", "Administrator", "pw"));
      ASSERT_EQ(0, kvlab::SetFault(at, ERROR_BAD_NETPATH, kill));
      const DWORD pid = StartConsole();
      ASSERT_NE(pid, 0u);
      HWND console = WaitForProcessWindow(pid, "SAN Option Configuration");
      ASSERT_NE(console, nullptr);
      // ALBA, the only root, is selected when the console opens.
      ::PostMessageA(console, WM_COMMAND, MAKEWPARAM(ID_PRIMARY_SECURITY, 0), 0);
      HWND security = WaitForProcessWindow(pid, "Security");
      ASSERT_NE(security, nullptr);
      ::SendMessageA(::GetDlgItem(security, IDC_USERNAME), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("Administrator"));
      ::SendMessageA(::GetDlgItem(security, IDC_PASSWORD), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("new-pw"));
      ::PostMessageA(::GetDlgItem(security, IDOK), BM_CLICK, 0, 0);
      if (!kill && at < 3) {
        HWND box = WaitForProcessWindow(pid, kCaption);
        ASSERT_NE(box, nullptr) << what;
        EXPECT_EQ(kvtest::MessageBoxText(box), failures[at - 1]) << what;
        ::PostMessageA(::GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
      }
      const bool killed = kill && at < 3 && ::WaitForSingleObject(m_child, 10000) == WAIT_OBJECT_0;
      const std::string want = at < 3 ? "pw/ALBA" : "new-pw/ALBA";
      // The write when it goes through, then the connection cancelled.
      for (int i = 0; i < 400 && !killed && (password() != want || !OpenSessions().empty()); ++i) ::Sleep(25);
      DWORD code = 0;
      ::GetExitCodeProcess(m_child, &code);
      const kvlab::FaultSwitch fault = kvlab::ReadFault();
      ASSERT_EQ(0, kvlab::ClearFault());
      EndConsole();
      EXPECT_EQ(killed, kill && at < 3) << what;
      EXPECT_EQ(fault.Hit(), at < 3) << what;
      if (killed) {
        EXPECT_EQ(code, static_cast<DWORD>(ERROR_BAD_NETPATH)) << what;
      }
      EXPECT_EQ(password(), want) << what;
      EXPECT_EQ(OpenSessions(), killed && at == 2 ? Names{"ALBA"} : Names{}) << what;
      while (kvlab::CancelSession("ALBA", "ipc$") == ERROR_SUCCESS) {
      }
      EXPECT_EQ(AuditText(), kAuditClean) << what;
    }
  }
}

}  // namespace
