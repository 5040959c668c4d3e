// The console's main dialog against a lab of the test's own, with the real
// local Discovery Service: the views that the refresh pass builds from the
// discovery table and the role records, the lookups, button enablement,
// tooltips and hints, the timer, and the close sequence with its warning.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "App.h"
#include "CallCounter.h"
#include "DamagedRecords.h"
#include "Dunlin.h"
#include "Handles.h"
#include "LabAdmin.h"
#include "RoleConsoleDlg.h"
#include "ServerImages.h"
#include "RoleTables.h"
#include "ScriptedUser.h"
#include "TestLab.h"
#include "Toolwright.h"
#include "resource.h"

namespace {

// The tree as "NAME/image[CHILD/image,...]" per root, joined by ';'.
std::string TreeShape(const kv::CTreeCtrl& tree) {
  std::string shape;
  for (HTREEITEM root = tree.GetRootItem(); root; root = tree.GetNextSiblingItem(root)) {
    int image = -1, selected = -1;
    tree.GetItemImage(root, image, selected);
    if (!shape.empty()) shape += ";";
    shape += tree.GetItemText(root) + "/" + std::to_string(image);
    if (image != selected) shape += "!selimage" + std::to_string(selected);
    std::string children;
    for (HTREEITEM child = tree.GetChildItem(root); child; child = tree.GetNextSiblingItem(child)) {
      tree.GetItemImage(child, image, selected);
      children += (children.empty() ? "" : ",") + tree.GetItemText(child) + "/" + std::to_string(image);
    }
    shape += "[" + children + "]";
  }
  return shape;
}

std::vector<std::string> ListNames(const kv::CListCtrl& list) {
  std::vector<std::string> names;
  for (int i = 0; i < list.GetItemCount(); ++i) names.push_back(list.GetItemText(i));
  return names;
}

// Waits until the local discovery table shows server's record naming primary
// (empty: no record).
bool WaitForLocalRecord(const std::string& server, const std::string& primary, DWORD timeoutMs = 8000) {
  for (DWORD waited = 0; waited <= timeoutMs; waited += 25) {
    unsigned char record[kRoleRecordSize] = {};
    DWORD size = sizeof(record);
    LONG rc = ReadLocalRoleRecord(server.c_str(), kSanProductCode, record, &size);
    if (primary.empty() ? rc != 0 : rc == 0 && kv::FixedField(record, 24) == primary) return true;
    ::Sleep(25);
  }
  return false;
}

// Waits until the local discovery table no longer holds server.
bool WaitForEntryGone(const std::string& server, DWORD timeoutMs = 8000) {
  for (DWORD waited = 0; waited <= timeoutMs; waited += 25) {
    kv::CRegKey key;
    if (kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::DiscoveryTableRoot() + "\\" + server, KEY_READ, key) != 0)
      return true;
    ::Sleep(25);
  }
  return false;
}

class ConsoleViews : public ::testing::Test {
 protected:
  void SetUp() override {
    kv::CRegKey setting;
    ASSERT_EQ(0, kvlab::CreateKey(
                     HKEY_LOCAL_MACHINE,
                     kvlab::ProductRoot() + "\\DiscoveryImplementationList\\Bellcast\\TandDiscoverySetting", setting));
    kvlab::WriteDword(setting.Get(), "BCastDelay", 100);
    AddSpecial("GANNET", 17, true);  // a type the console does not list
    AddSpecial("WREN", 24, false);   // does not report product 65
    for (const char* name : {"OSPREY", "HERON", "KITE", "FALCON", "CURLEW", "PLOVER"}) ASSERT_EQ(0, m_lab.Add(name));
    ASSERT_EQ(0, kvlab::SetRole("OSPREY", "OSPREY", "Administrator", "pw"));
    ASSERT_EQ(0, kvlab::SetRole("HERON", "OSPREY", "Administrator", "pw"));
    ASSERT_EQ(0, kvlab::SetRole("KITE", "OSPREY", "Administrator", "pw"));
    ASSERT_EQ(0, kvlab::SetRole("FALCON", "FALCON", "Administrator", "pw"));
    ASSERT_EQ(0, m_lab.StartLocalDiscovery());
    ASSERT_TRUE(LoadDiscoveryTableRoot());
    ASSERT_TRUE(LoadProductRoot());
    ASSERT_TRUE(kvlab::WaitForTable(
        {"OSPREY", "HERON", "KITE", "FALCON", "CURLEW", "PLOVER", "GANNET", "WREN", kvlab::LocalComputerName()},
        10000));
    for (const char* name : {"HERON", "KITE"}) ASSERT_TRUE(WaitForLocalRecord(name, "OSPREY"));
    ASSERT_TRUE(WaitForLocalRecord("FALCON", "FALCON"));
    ASSERT_TRUE(WaitForLocalRecord("OSPREY", "OSPREY"));
  }
  void TearDown() override { SetRegistryRootsForTest("", ""); }

  void AddSpecial(const char* name, DWORD type, bool san) {
    kvlab::MachineSetup m;
    m.name = name;
    m.type = type;
    m.san = san;
    m.accounts = {{"Administrator", "pw"}};
    ASSERT_EQ(0, kvlab::AddMachine(m));
    ASSERT_EQ(0, kvlab::EnsureHost());
  }

  // Changes a role and waits until the local table shows it.
  void SetRoleAndWait(const std::string& server, const std::string& primary) {
    ASSERT_EQ(0, kvlab::SetRole(server, primary, primary.empty() ? "" : "Administrator", primary.empty() ? "" : "pw"));
    ASSERT_TRUE(WaitForLocalRecord(server, primary)) << server << " -> " << primary;
  }

  // Writes server's own record naming primary exactly as given (the lab's
  // SetRole spells names as the lab does) and waits for the local table.
  void WriteRecordAndWait(const std::string& server, const std::string& primary) {
    kv::CRegKey root, key;
    ASSERT_EQ(0, kvlab::OpenMachineRoot(server, root));
    ASSERT_EQ(0, kvlab::CreateKey(root.Get(), kvlab::ProductRoot() + "\\RoleRecord\\SanOption", key));
    RoleRecord record{};
    strcpy(record.primaryName, primary.c_str());
    record.distributed = 1;
    ASSERT_EQ(0, kvlab::WriteBinary(key.Get(), "Slot_1", &record, sizeof(record)));
    ASSERT_TRUE(WaitForLocalRecord(server, primary)) << server << " -> " << primary;
  }

  kvlab::CScopedLab m_lab{"consoleviews", 0};
};

TEST_F(ConsoleViews, FreshStartFillsBothViewsSelectsTheFirstItemsAndKeepsTheAcceptedEntries) {
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  EXPECT_FALSE(::IsWindowVisible(dlg.m_hWnd));
  EXPECT_EQ(TreeShape(dlg.m_treeServers), "FALCON/0[];OSPREY/0[HERON/1,KITE/1]");
  std::vector<std::string> listed = ListNames(dlg.m_listServers);
  std::vector<std::string> expected = {"CURLEW", "PLOVER", kvlab::LocalComputerName()};
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> sorted = listed;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, expected);
  for (int i = 0; i < dlg.m_listServers.GetItemCount(); ++i) EXPECT_EQ(dlg.m_listServers.GetItemImage(i), 0);

  // List item 0 and the first root are selected; every root is expanded.
  EXPECT_EQ(dlg.m_listServers.GetSelectedItem(), 0);
  EXPECT_EQ(dlg.m_treeServers.GetSelectedItem(), dlg.m_treeServers.GetRootItem());
  HTREEITEM osprey = dlg.FindPrimaryItem("OSPREY");
  ASSERT_NE(osprey, nullptr);
  EXPECT_TRUE(dlg.m_treeServers.Send(TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(osprey), TVIS_EXPANDED) &
              TVIS_EXPANDED);
  EXPECT_TRUE(dlg.m_bIdle);
  EXPECT_FALSE(dlg.m_bRefreshing);
  EXPECT_EQ(dlg.m_nGeneration, 1);

  // Entries of the wrong type or without product 65 are not kept.
  DiscoveryEntry entry{};
  EXPECT_EQ(dlg.FindServerEntry("KITE", &entry), 0);
  EXPECT_STREQ(entry.serverName, "KITE");
  EXPECT_EQ(dlg.FindServerEntry("GANNET", &entry), -1);
  EXPECT_EQ(dlg.FindServerEntry("WREN", &entry), -1);
  EXPECT_EQ(dlg.m_serverEntries.size(), 7u);

  // The image lists are cut from the two bitmaps into three images each.
  EXPECT_EQ(dlg.m_imlTree.GetImageCount(), 3);
  EXPECT_EQ(dlg.m_imlList.GetImageCount(), 3);
  int cx = 0, cy = 0;
  ::ImageList_GetIconSize(dlg.m_imlTree.GetSafeHandle(), &cx, &cy);
  EXPECT_EQ(cx, 16);
  EXPECT_EQ(cy, 16);
  EXPECT_EQ(ListView_GetColumnWidth(dlg.m_listServers.GetSafeHwnd(), 0), CRoleConsoleDlg::kListColumnWidth);

  // A second pass with nothing changed leaves the views as they were.
  dlg.RefreshServerViews();
  EXPECT_EQ(dlg.m_nGeneration, 2);
  EXPECT_EQ(TreeShape(dlg.m_treeServers), "FALCON/0[];OSPREY/0[HERON/1,KITE/1]");
  EXPECT_EQ(ListNames(dlg.m_listServers), listed);
}

TEST_F(ConsoleViews, MembersOfAPrimaryThatIsNotAcceptedShowUnderAnUnconfirmedRootAndThePrimaryLeavesTheList) {
  ASSERT_EQ(0, m_lab.Add("DIPPER"));
  ASSERT_TRUE(kvlab::WaitForTable({"DIPPER"}, 10000));
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  ASSERT_GE(dlg.FindListItem("CURLEW"), 0);

  // DIPPER becomes a member of CURLEW, then CURLEW leaves the network.
  SetRoleAndWait("DIPPER", "CURLEW");
  ASSERT_EQ(0, kvlab::RemoveMachine("CURLEW"));
  ASSERT_TRUE(WaitForEntryGone("CURLEW"));
  // A member of GANNET (a type the console does not list), which names itself.
  ASSERT_EQ(0, kvlab::SetRole("GANNET", "GANNET", "Administrator", "pw"));
  SetRoleAndWait("PLOVER", "GANNET");

  dlg.RefreshServerViews();
  EXPECT_EQ(TreeShape(dlg.m_treeServers), "CURLEW/2[DIPPER/1];FALCON/0[];GANNET/2[PLOVER/1];OSPREY/0[HERON/1,KITE/1]");
  EXPECT_EQ(dlg.FindListItem("CURLEW"), -1);
  EXPECT_EQ(dlg.FindListItem("DIPPER"), -1);
  EXPECT_EQ(dlg.FindListItem("PLOVER"), -1);
  EXPECT_EQ(dlg.FindServerEntry("CURLEW", nullptr), -1);
}

TEST_F(ConsoleViews, APrimaryWithoutRecordStaysWhileMembersNameItAndAnUnconfirmedRootGoesWithItsLastMember) {
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));

  // OSPREY's own record goes; HERON and KITE still name it.
  SetRoleAndWait("OSPREY", "");
  dlg.RefreshServerViews();
  EXPECT_EQ(TreeShape(dlg.m_treeServers), "FALCON/0[];OSPREY/2[HERON/1,KITE/1]");
  EXPECT_EQ(dlg.FindListItem("OSPREY"), -1);

  // A confirmed primary without members stays; a root confirmed by nothing
  // goes with its last member. GANNET is never accepted (type 17).
  ASSERT_EQ(0, kvlab::SetRole("GANNET", "GANNET", "Administrator", "pw"));
  SetRoleAndWait("CURLEW", "GANNET");
  dlg.RefreshServerViews();
  EXPECT_EQ(TreeShape(dlg.m_treeServers), "FALCON/0[];GANNET/2[CURLEW/1];OSPREY/2[HERON/1,KITE/1]");
  SetRoleAndWait("CURLEW", "");
  dlg.RefreshServerViews();
  EXPECT_EQ(TreeShape(dlg.m_treeServers), "FALCON/0[];OSPREY/2[HERON/1,KITE/1]");
  EXPECT_GE(dlg.FindListItem("CURLEW"), 0);
  EXPECT_EQ(dlg.m_listServers.GetItemImage(dlg.FindListItem("CURLEW")), 0);

  // OSPREY gets its record back: image 0 again.
  SetRoleAndWait("OSPREY", "OSPREY");
  dlg.RefreshServerViews();
  EXPECT_EQ(TreeShape(dlg.m_treeServers), "FALCON/0[];OSPREY/0[HERON/1,KITE/1]");
}

TEST_F(ConsoleViews, DamagedRecordsGiveNoRoleTheirServersAreListedMarkedAndTheStatusLineNamesThem) {
  ASSERT_EQ(0, m_lab.Add("SWIFT"));
  ASSERT_TRUE(kvlab::WaitForTable({"SWIFT"}, 10000));
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  ASSERT_TRUE(damaged::WriteAndWait(damaged::kCases));
  dlg.RefreshServerViews();

  // No role from any of them, no primary named by one, no server twice.
  EXPECT_EQ(TreeShape(dlg.m_treeServers), "OSPREY/0[]");
  std::vector<std::string> listed = ListNames(dlg.m_listServers);
  std::sort(listed.begin(), listed.end());
  std::vector<std::string> expected = {kvlab::LocalComputerName()};
  for (const damaged::Case& c : damaged::kCases) expected.push_back(c.machine);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);
  const std::string note = dlg.m_statusBar.GetText(1);
  EXPECT_EQ(note.rfind("Damaged role record: ", 0), 0u) << note;
  for (const damaged::Case& c : damaged::kCases) {
    int i = dlg.FindListItem(c.machine);
    ASSERT_GE(i, 0) << c.machine;
    EXPECT_EQ(dlg.m_listServers.GetItemImage(i), 1) << c.machine;
    EXPECT_NE(note.find(c.machine), std::string::npos) << c.machine << ": " << note;
  }
  EXPECT_EQ(dlg.m_listServers.GetItemImage(dlg.FindListItem(kvlab::LocalComputerName())), 0);

  // Mended, KITE takes its role again and the note forgets it; the note
  // stays after an operation ends.
  SetRoleAndWait("KITE", "OSPREY");
  dlg.RefreshServerViews();
  EXPECT_EQ(TreeShape(dlg.m_treeServers), "OSPREY/0[KITE/1]");
  dlg.ShowOperation(IDS_OP_REFRESH);
  dlg.ShowOperation(0);
  EXPECT_EQ(dlg.m_statusBar.GetText(1).find("KITE"), std::string::npos);
  EXPECT_NE(dlg.m_statusBar.GetText(1).find("CURLEW"), std::string::npos);
}

TEST_F(ConsoleViews, AListedServerThatBecamePrimaryMovesToTheTreeAndTheSelectionMovesToTheItemBefore) {
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  int plover = dlg.FindListItem("PLOVER");
  ASSERT_GT(plover, 0) << "CURLEW sorts before PLOVER";
  std::string before = dlg.m_listServers.GetItemText(plover - 1);
  dlg.m_listServers.SetItemState(plover, LVIS_SELECTED, LVIS_SELECTED);
  ASSERT_EQ(dlg.m_listServers.GetSelectedItem(), plover);

  SetRoleAndWait("PLOVER", "PLOVER");
  dlg.RefreshServerViews();
  EXPECT_EQ(TreeShape(dlg.m_treeServers), "FALCON/0[];OSPREY/0[HERON/1,KITE/1];PLOVER/0[]");
  EXPECT_EQ(dlg.FindListItem("PLOVER"), -1);
  ASSERT_GE(dlg.m_listServers.GetSelectedItem(), 0);
  EXPECT_EQ(dlg.m_listServers.GetItemText(dlg.m_listServers.GetSelectedItem()), before);

  // When the first item had the selection, the new first item takes it.
  std::string first = dlg.m_listServers.GetItemText(0), second = dlg.m_listServers.GetItemText(1);
  dlg.m_listServers.SetItemState(0, LVIS_SELECTED, LVIS_SELECTED);
  SetRoleAndWait(first, first);
  dlg.RefreshServerViews();
  EXPECT_EQ(dlg.FindListItem(first), -1);
  ASSERT_EQ(dlg.m_listServers.GetSelectedItem(), 0);
  EXPECT_EQ(dlg.m_listServers.GetItemText(0), second);

  // A distributed server leaves the tree for the list when its record goes.
  SetRoleAndWait("KITE", "");
  dlg.RefreshServerViews();
  EXPECT_NE(dlg.FindPrimaryItem(first), nullptr);
  EXPECT_EQ(dlg.FindDistributedItem("OSPREY", "KITE"), nullptr);
  EXPECT_NE(dlg.FindDistributedItem("OSPREY", "HERON"), nullptr);
  EXPECT_GE(dlg.FindListItem("KITE"), 0);
}

TEST_F(ConsoleViews, NoAcceptableEntryOrNoTableLeavesBothViewsAsTheyWere) {
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  const std::string tree = TreeShape(dlg.m_treeServers);
  const std::vector<std::string> list = ListNames(dlg.m_listServers);
  ASSERT_EQ(dlg.FindServerEntry("OSPREY", nullptr), 0);

  // The product libraries follow KV_PRODUCT_ROOT: point them at a table that
  // holds one entry of a type the console does not list.
  char saved[512] = {};
  ASSERT_GT(::GetEnvironmentVariableA("KV_PRODUCT_ROOT", saved, sizeof(saved)), 0u);
  const std::string other = std::string(saved) + "Other";
  {
    kv::CRegKey key;
    ASSERT_EQ(0, kvlab::CreateKey(HKEY_LOCAL_MACHINE, other + "\\DiscoveryTable\\ODDONE", key));
    DiscoveryEntry entry{};
    strcpy(entry.serverName, "ODDONE");
    entry.serverType = 17;
    ASSERT_EQ(0, kvlab::WriteBinary(key.Get(), "Entry", &entry, sizeof(entry)));
  }
  ::SetEnvironmentVariableA("KV_PRODUCT_ROOT", other.c_str());
  dlg.RefreshServerViews();
  EXPECT_EQ(TreeShape(dlg.m_treeServers), tree);
  EXPECT_EQ(ListNames(dlg.m_listServers), list);
  EXPECT_TRUE(dlg.m_serverEntries.empty());
  EXPECT_EQ(dlg.FindServerEntry("OSPREY", nullptr), -1);
  EXPECT_FALSE(dlg.m_bRefreshing);

  // No table at all: the enumeration cannot be opened.
  ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, other.c_str());
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, other.c_str());
  dlg.RefreshServerViews();
  EXPECT_EQ(TreeShape(dlg.m_treeServers), tree);
  EXPECT_EQ(ListNames(dlg.m_listServers), list);
  ::SetEnvironmentVariableA("KV_PRODUCT_ROOT", saved);

  dlg.RefreshServerViews();
  EXPECT_EQ(dlg.FindServerEntry("OSPREY", nullptr), 0);
}

TEST_F(ConsoleViews, NamesThatDifferOnlyInLetterCaseAreDifferentServers) {
  // HERON names "osprey" as its primary, KITE's record names "Kite".
  WriteRecordAndWait("HERON", "osprey");
  WriteRecordAndWait("KITE", "Kite");
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  std::string shape = TreeShape(dlg.m_treeServers);
  // The roots in the controls' order, lower case first (kvroles lists them
  // so too); each root is then looked at alone.
  EXPECT_EQ(shape, "FALCON/0[];Kite/2[KITE/1];osprey/2[HERON/1];OSPREY/0[]");
  HTREEITEM upper = dlg.FindPrimaryItem("OSPREY");
  HTREEITEM lower = dlg.FindPrimaryItem("osprey");
  ASSERT_NE(upper, nullptr) << shape;
  ASSERT_NE(lower, nullptr) << shape;
  EXPECT_NE(upper, lower);
  EXPECT_EQ(dlg.m_treeServers.GetItemText(lower), "osprey");
  EXPECT_EQ(dlg.FindDistributedItem("osprey", "HERON"), dlg.m_treeServers.GetChildItem(lower));
  EXPECT_EQ(dlg.FindDistributedItem("OSPREY", "HERON"), nullptr);
  EXPECT_EQ(dlg.m_treeServers.GetChildItem(upper), nullptr) << shape;
  EXPECT_NE(dlg.FindDistributedItem("Kite", "KITE"), nullptr) << shape;
  EXPECT_EQ(dlg.FindPrimaryItem("KITE"), nullptr);
  EXPECT_EQ(dlg.FindAnyDistributedItem("heron"), nullptr);
  EXPECT_EQ(dlg.FindServerItem("Osprey"), nullptr);
  EXPECT_EQ(dlg.FindServerItem("osprey"), lower);
  EXPECT_EQ(dlg.FindListItem("curlew"), -1);
  EXPECT_GE(dlg.FindListItem("CURLEW"), 0);
  DiscoveryEntry entry{};
  EXPECT_EQ(dlg.FindServerEntry("kite", &entry), -1);

  // The same holds while a pass runs on its own view of the controls.
  dlg.RefreshServerViews();
  EXPECT_EQ(TreeShape(dlg.m_treeServers), shape);
}

// Code outside a pass (the role commands) inserts and deletes items itself
// and then tells the dialog; the next pass must see the views as they are.
// Every change below is undone by that pass (the lab did not change), which
// also holds the first-match rules to the controls' order.
TEST_F(ConsoleViews, ViewsChangedOutsideAPassAreSeenByTheNextPassWithTheFirstMatchRules) {
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  kv::CTreeCtrl& tree = dlg.m_treeServers;
  kv::CListCtrl& list = dlg.m_listServers;
  const std::string shape = TreeShape(tree);
  const std::vector<std::string> names = ListNames(list);
  ASSERT_EQ(shape, "FALCON/0[];OSPREY/0[HERON/1,KITE/1]");
  // Wine sorts a root's children when asked only as far as its own order
  // goes; the members are compared as sets.
  auto sortedShape = [&] {
    std::string text = TreeShape(tree);
    for (size_t open = text.find('['); open != std::string::npos; open = text.find('[', open + 1)) {
      size_t close = text.find(']', open);
      std::vector<std::string> members;
      for (size_t at = open + 1; at < close;) {
        size_t end = std::min(text.find(',', at), close);
        members.push_back(text.substr(at, end - at));
        at = end + 1;
      }
      std::sort(members.begin(), members.end());
      std::string joined;
      for (const std::string& m : members) joined += (joined.empty() ? "" : ",") + m;
      text.replace(open + 1, close - open - 1, joined);
    }
    return text;
  };
  struct Row {
    const char* what;
    std::function<void()> change;
    bool announced;
  };
  const Row rows[] = {
      {"a listed server moved under a primary",
       [&] {
         tree.InsertItem("PLOVER", 1, 1, 0, dlg.FindPrimaryItem("FALCON"), TVI_LAST);
         dlg.DropListItem(dlg.FindListItem("PLOVER"));
         EXPECT_EQ(dlg.FindListItem("PLOVER"), -1);
         EXPECT_EQ(tree.GetParentItem(dlg.FindServerItem("PLOVER")), dlg.FindPrimaryItem("FALCON"));
       },
       true},
      {"a distributed server moved to the list",
       [&] {
         tree.DeleteItem(dlg.FindDistributedItem("OSPREY", "HERON"));
         list.InsertItem(0, "HERON", 0, 0);
         EXPECT_GE(dlg.FindListItem("HERON"), 0);
       },
       true},
      {"a second list item of the same name", [&] { list.InsertItem(0, "CURLEW", 0, 0); }, true},
      {"a root for a distributed server", [&] { tree.InsertItem("KITE", 0, 0, 0, TVI_ROOT, TVI_SORT); }, true},
      {"a primary's image changed", [&] { tree.SetItemImage(dlg.FindPrimaryItem("OSPREY"), 2, 2); }, true},
      {"a distributed server's image changed",
       [&] { tree.SetItemImage(dlg.FindDistributedItem("OSPREY", "KITE"), 0, 2); }, true},
      {"a second root of the same name, last, holding a member",
       [&] {
         HTREEITEM second = tree.InsertItem("OSPREY", 2, 2, 0, TVI_ROOT, TVI_LAST);
         tree.InsertItem("HERON", 1, 1, 0, second, TVI_LAST);
         EXPECT_NE(dlg.FindPrimaryItem("OSPREY"), second);
       },
       true},
      {"a second member of the same name under one root",
       [&] { tree.InsertItem("KITE", 1, 1, 0, dlg.FindPrimaryItem("OSPREY"), TVI_FIRST); }, true},
      {"a list item deleted without a word", [&] { dlg.DropListItem(dlg.FindListItem("CURLEW")); }, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    row.change();
    if (row.announced) dlg.OnViewsChangedOutsidePass();
    dlg.RefreshServerViews();
    EXPECT_EQ(sortedShape(), shape);
    EXPECT_EQ(ListNames(list), names);
    dlg.RefreshServerViews();  // and the pass after it, on its own model
    EXPECT_EQ(sortedShape(), shape);
    EXPECT_EQ(ListNames(list), names);
  }
}

using Counts = std::map<std::string, int>;

// Counts, while it lives, every message that reads or changes an item of the
// tree or the list (an expansion too), and their redraw switch.
class ItemMessageCounter {
 public:
  explicit ItemMessageCounter(CRoleConsoleDlg& dlg)
      : m_tree(dlg.m_treeServers.GetSafeHwnd()), m_list(dlg.m_listServers.GetSafeHwnd()) {
    EXPECT_TRUE(::SetWindowSubclass(m_tree, &Count, 1, 0));
    EXPECT_TRUE(::SetWindowSubclass(m_list, &Count, 1, 0));
  }
  ~ItemMessageCounter() {
    ::RemoveWindowSubclass(m_tree, &Count, 1);
    ::RemoveWindowSubclass(m_list, &Count, 1);
  }
  // The counts since the last call.
  Counts Take() { return std::exchange(Seen(), Counts{}); }

 private:
  static Counts& Seen() {
    static Counts seen;
    return seen;
  }
  static LRESULT CALLBACK Count(HWND hwnd, UINT m, WPARAM w, LPARAM l, UINT_PTR, DWORD_PTR) {
    static const std::map<UINT, const char*> kItemMessages = {
        {TVM_INSERTITEMA, "tree insert"}, {TVM_DELETEITEM, "tree delete"},  {TVM_SETITEMA, "tree set"},
        {TVM_GETITEMA, "tree get"},       {TVM_SORTCHILDREN, "tree sort"},  {LVM_INSERTITEMA, "list insert"},
        {LVM_DELETEITEM, "list delete"},  {LVM_SETITEMA, "list set"},       {LVM_GETITEMA, "list get"},
        {LVM_GETITEMTEXTA, "list text"},  {LVM_SETITEMSTATE, "list state"}, {WM_SETREDRAW, "redraw"},
        {TVM_EXPAND, "tree expand"},
    };
    auto it = kItemMessages.find(m);
    if (it != kItemMessages.end()) ++Seen()[it->second];
    return ::DefSubclassProc(hwnd, m, w, l);
  }
  HWND m_tree, m_list;
};

// Every message that reads or changes an item of the two controls, counted
// while a pass runs: a pass in which nothing changed sends none, a change
// touches only its own items (inside one redraw pause of the views it
// changes), and the views are
// read back only after they were changed outside a pass.
TEST_F(ConsoleViews, APassTouchesOnlyTheItemsThatChange) {
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  ItemMessageCounter counter(dlg);
  dlg.m_listServers.SetItemState(-1, 0, LVIS_SELECTED);  // a dropped item then moves no selection
  auto pass = [&] {
    counter.Take();
    dlg.RefreshServerViews();
    return counter.Take();
  };
  EXPECT_EQ(pass(), Counts{});

  // A listed server becomes a primary: one root in, one list item out.
  SetRoleAndWait("CURLEW", "CURLEW");
  EXPECT_EQ(pass(), (Counts{{"tree insert", 1}, {"list delete", 1}, {"redraw", 4}}));
  EXPECT_EQ(pass(), Counts{});
  // A primary loses its record while its members still name it: its image.
  SetRoleAndWait("OSPREY", "");
  EXPECT_EQ(pass(), (Counts{{"tree set", 1}, {"redraw", 2}}));
  EXPECT_EQ(TreeShape(dlg.m_treeServers), "CURLEW/0[];FALCON/0[];OSPREY/2[HERON/1,KITE/1]");
  // A member leaves: its item out, one list item in.
  SetRoleAndWait("KITE", "");
  EXPECT_EQ(pass(), (Counts{{"tree delete", 1}, {"list insert", 1}, {"redraw", 4}}));
  EXPECT_EQ(pass(), Counts{});

  // Changed outside a pass: read back once (every item), nothing rewritten.
  dlg.OnViewsChangedOutsidePass();
  Counts reread = pass();
  EXPECT_EQ(reread["tree get"], 4) << "CURLEW, FALCON, OSPREY, HERON";
  EXPECT_EQ(reread["list get"], dlg.m_listServers.GetItemCount());
  EXPECT_EQ(reread.count("tree set") + reread.count("list set") + reread.count("tree insert") + reread.count("redraw"),
            0u);
  EXPECT_EQ(pass(), Counts{});
}

// A SAN with roles, in groups whose members come before their primary in the
// pass: once the first passes have read every record, a pass over the
// unchanged lab sends the views no message at all that reads or changes an
// item and reads no record again (the console's own registry calls are
// counted); a record that changes is read again with few others and moves
// only its own item.
TEST_F(ConsoleViews, ASteadyPassOverRolesChangesNoItemAndReadsNoRecordThatDidNotChange) {
  constexpr unsigned kServers = 40, kGroup = 8;
  ASSERT_EQ(0, kvlab::Scale(kServers, nullptr, kGroup));  // waits for the local table
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  ::ShowWindow(dlg.m_hWnd, SW_SHOWNOACTIVATE);
  const std::string member = kvlab::ScaleMachineName(2), first = kvlab::ScalePrimaryName(2, kGroup);
  const std::string second = kvlab::ScalePrimaryName(2 + kGroup, kGroup);
  ASSERT_NE(dlg.FindDistributedItem(first, member), nullptr);
  dlg.RefreshServerViews();  // the second pass watches what it reads
  ItemMessageCounter messages(dlg);
  kvtest::CRegistryCallCounter registry;
  ASSERT_TRUE(registry.Hooked());
  auto pass = [&] {
    messages.Take();
    registry.Reset();
    dlg.RefreshServerViews();
    return messages.Take();
  };
  const std::string shape = TreeShape(dlg.m_treeServers);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(pass(), Counts{}) << "pass " << i;
    EXPECT_EQ(registry.Counts(), Counts{}) << "pass " << i;
  }
  EXPECT_EQ(TreeShape(dlg.m_treeServers), shape);
  EXPECT_NE(shape.find(first + "/0["), std::string::npos) << shape;

  // One member moves to the next group's primary: its item alone, its record read again.
  ASSERT_EQ(0, kvlab::SetRoleKeepingLists(member, second, "Administrator", "scale-pw"));
  ASSERT_TRUE(WaitForLocalRecord(member, second));
  EXPECT_EQ(pass(), (Counts{{"tree delete", 1}, {"tree insert", 1}, {"tree sort", 1}, {"redraw", 2}}));
  const int reread = registry.Counts()["RegQueryValueExA Slot_1"];
  EXPECT_GE(reread, 1);
  EXPECT_LT(reread, static_cast<int>(kServers / 4)) << "a change reads only a few records again";
  EXPECT_NE(dlg.FindDistributedItem(second, member), nullptr);
  EXPECT_EQ(dlg.FindDistributedItem(first, member), nullptr);
  EXPECT_EQ(pass(), Counts{});
  EXPECT_EQ(registry.Counts(), Counts{});

  // The rest of the first group follows, whatever group of watches each is in.
  std::vector<std::string> moved;
  for (unsigned i = 3; i <= kGroup; ++i) {
    moved.push_back(kvlab::ScaleMachineName(i));
    ASSERT_EQ(0, kvlab::SetRoleKeepingLists(moved.back(), second, "Administrator", "scale-pw"));
  }
  for (const std::string& name : moved) ASSERT_TRUE(WaitForLocalRecord(name, second));
  const int n = static_cast<int>(moved.size());
  // The root's children are sorted once, when the pass ends.
  EXPECT_EQ(pass(), (Counts{{"tree delete", n}, {"tree insert", n}, {"tree sort", 1}, {"redraw", 2}}));
  for (const std::string& name : moved) {
    EXPECT_NE(dlg.FindDistributedItem(second, name), nullptr) << name;
    EXPECT_EQ(dlg.FindServerItem(name), dlg.FindDistributedItem(second, name)) << name;
  }
  EXPECT_EQ(pass(), Counts{});
}

// Every control passes its mouse messages on to the tooltip itself, and
// still answers its own messages.
TEST_F(ConsoleViews, EveryControlRelaysItsMouseMessagesToTheTooltip) {
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  static std::vector<std::pair<HWND, UINT>> relayed;
  SUBCLASSPROC watch = [](HWND hwnd, UINT m, WPARAM w, LPARAM l, UINT_PTR, DWORD_PTR) -> LRESULT {
    if (m == TTM_RELAYEVENT && l)
      relayed.emplace_back(reinterpret_cast<MSG*>(l)->hwnd, reinterpret_cast<MSG*>(l)->message);
    return ::DefSubclassProc(hwnd, m, w, l);
  };
  ASSERT_TRUE(::SetWindowSubclass(dlg.m_tooltip.GetSafeHwnd(), watch, 1, 0));
  const HWND tree = dlg.m_treeServers.GetSafeHwnd();
  std::vector<std::pair<HWND, UINT>> expected;
  for (HWND control = ::GetWindow(dlg.m_hWnd, GW_CHILD); control; control = ::GetWindow(control, GW_HWNDNEXT)) {
    if (control == dlg.m_statusBar.GetSafeHwnd()) continue;              // made after the tools, not one of them
    for (UINT message : {WM_MOUSEMOVE, WM_MBUTTONUP, WM_NCMOUSEMOVE}) {  // none starts a tracking loop or a click
      ::SendMessageA(control, message, 0, MAKELPARAM(5, 5));
      expected.emplace_back(control, message);
    }
  }
  ::SendMessageA(tree, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  expected.emplace_back(tree, WM_LBUTTONUP);
  ::SendMessageA(tree, WM_KEYDOWN, VK_SHIFT, 0);  // not a mouse message: not relayed
  EXPECT_EQ(expected.size(), 3u * 15 + 1);
  EXPECT_EQ(relayed, expected);
  ::RemoveWindowSubclass(dlg.m_tooltip.GetSafeHwnd(), watch, 1);
  EXPECT_EQ(dlg.m_treeServers.GetCount(), 4u) << "the tree still answers through the relay";
  EXPECT_EQ(dlg.m_listServers.GetItemCount(), 3);
  char text[32] = {};
  ::GetWindowTextA(dlg.GetDlgItem(IDC_REFRESH), text, sizeof(text));
  EXPECT_STREQ(text, "Re&fresh") << "a button still answers through the relay";
}

TEST_F(ConsoleViews, ButtonsFollowTheSelectionsInBothViews) {
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  auto enabled = [&](int id) { return ::IsWindowEnabled(dlg.GetDlgItem(id)) != FALSE; };
  auto selectTree = [&](HTREEITEM item) {
    dlg.m_treeServers.SelectItem(item);  // TVN_SELCHANGED updates the buttons
  };

  // First root (FALCON, no members) and list item 0.
  EXPECT_TRUE(enabled(IDC_MAKE_PRIMARY));
  EXPECT_TRUE(enabled(IDC_DELETE_PRIMARY));
  EXPECT_TRUE(enabled(IDC_ASSIGN_DISTRIBUTED));
  EXPECT_FALSE(enabled(IDC_REMOVE_DISTRIBUTED));

  selectTree(dlg.FindPrimaryItem("OSPREY"));  // a root with members
  EXPECT_FALSE(enabled(IDC_DELETE_PRIMARY));
  EXPECT_TRUE(enabled(IDC_ASSIGN_DISTRIBUTED));
  EXPECT_FALSE(enabled(IDC_REMOVE_DISTRIBUTED));

  selectTree(dlg.FindDistributedItem("OSPREY", "KITE"));
  EXPECT_FALSE(enabled(IDC_DELETE_PRIMARY));
  EXPECT_FALSE(enabled(IDC_ASSIGN_DISTRIBUTED));
  EXPECT_TRUE(enabled(IDC_REMOVE_DISTRIBUTED));
  EXPECT_TRUE(enabled(IDC_MAKE_PRIMARY));

  // Nothing selected in the list.
  selectTree(dlg.FindPrimaryItem("FALCON"));
  dlg.m_listServers.SetItemState(-1, 0, LVIS_SELECTED);
  dlg.UpdateCommandButtons();
  EXPECT_FALSE(enabled(IDC_MAKE_PRIMARY));
  EXPECT_FALSE(enabled(IDC_ASSIGN_DISTRIBUTED));
  EXPECT_TRUE(enabled(IDC_DELETE_PRIMARY));

  // Empty views.
  dlg.m_treeServers.DeleteAllItems();
  dlg.m_listServers.DeleteAllItems();
  dlg.UpdateCommandButtons();
  for (int id : {IDC_MAKE_PRIMARY, IDC_DELETE_PRIMARY, IDC_ASSIGN_DISTRIBUTED, IDC_REMOVE_DISTRIBUTED})
    EXPECT_FALSE(enabled(id)) << id;
}

TEST_F(ConsoleViews, TimerRefreshesOnlyWhenAutoRefreshIsOnAndTheConsoleIsIdleAndAlwaysClearsTheHint) {
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  const LONG start = dlg.m_nGeneration;
  auto tick = [&] { ::SendMessageA(dlg.m_hWnd, WM_TIMER, dlg.m_nTimerId, 0); };
  auto hint = [&] { return dlg.m_statusBar.GetText(0); };

  dlg.m_bAutoRefresh = FALSE;
  dlg.m_statusBar.SetText("old hint", 0, 0);
  tick();
  EXPECT_EQ(dlg.m_nGeneration, start);
  EXPECT_EQ(hint(), "");

  // Ticked by the user: the box's state reaches the member.
  ::SendMessageA(dlg.GetDlgItem(IDC_AUTO_REFRESH), BM_CLICK, 0, 0);
  EXPECT_TRUE(dlg.m_bAutoRefresh);
  dlg.m_bIdle = FALSE;  // a role command is running
  dlg.m_statusBar.SetText("old hint", 0, 0);
  tick();
  EXPECT_EQ(dlg.m_nGeneration, start);
  EXPECT_EQ(hint(), "");

  dlg.m_bIdle = TRUE;
  SetRoleAndWait("CURLEW", "CURLEW");
  tick();
  EXPECT_EQ(dlg.m_nGeneration, start + 1);
  EXPECT_NE(dlg.FindPrimaryItem("CURLEW"), nullptr);
  EXPECT_GE(dlg.m_nTimerId, 1u);
}

TEST_F(ConsoleViews, EveryChildHasATooltipAndItsHintGoesToTheStatusBar) {
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  int children = 0;
  for (HWND child = ::GetWindow(dlg.m_hWnd, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) ++children;
  // The status bar came after the tools.
  EXPECT_EQ(dlg.m_tooltip.GetToolCount(), children - 1);
  ASSERT_TRUE(dlg.m_statusBar);
  EXPECT_EQ(dlg.m_statusBar.GetDlgCtrlID(), IDC_STATUS_BAR);
  int edges[2] = {};
  ASSERT_EQ(dlg.m_statusBar.Send(SB_GETPARTS, 2, reinterpret_cast<LPARAM>(edges)), 2);
  RECT client = {};
  ::GetClientRect(dlg.m_hWnd, &client);
  EXPECT_EQ(edges[0], (client.right / 3) * 2);
  EXPECT_EQ(edges[1], client.right);

  auto ask = [&](int id, UINT flags, NMTTDISPINFOA& info) {
    info = NMTTDISPINFOA{};
    HWND control = id ? dlg.GetDlgItem(id) : nullptr;
    info.hdr.hwndFrom = dlg.m_tooltip.GetSafeHwnd();
    info.hdr.idFrom = reinterpret_cast<UINT_PTR>(control);
    info.hdr.code = TTN_NEEDTEXTA;
    info.uFlags = flags;
    return ::SendMessageA(dlg.m_hWnd, WM_NOTIFY, info.hdr.idFrom, reinterpret_cast<LPARAM>(&info));
  };
  const struct {
    int id;
    UINT tip, hint;
  } table[] = {{IDOK, 110, 118},
               {IDC_TREE_SERVERS, 102, 102},
               {IDC_LIST_SERVERS, 106, 114},
               {IDC_ASSIGN_DISTRIBUTED, 107, 115},
               {IDC_REMOVE_DISTRIBUTED, 103, 113},
               {IDC_MAKE_PRIMARY, 104, 116},
               {IDC_DELETE_PRIMARY, 105, 119},
               {IDC_REFRESH, 111, 120},
               {IDC_AUTO_REFRESH, 108, 121},
               {ID_HELP, 109, 117}};
  NMTTDISPINFOA info;
  for (const auto& row : table) {
    ask(row.id, TTF_IDISHWND, info);
    EXPECT_EQ(info.lpszText, MAKEINTRESOURCEA(row.tip)) << row.id;
    EXPECT_EQ(info.hinst, ::GetModuleHandleA(nullptr)) << row.id;
    EXPECT_EQ(dlg.m_statusBar.GetText(0), kv::LoadStr(row.hint)) << row.id;
    EXPECT_EQ(dlg.m_strHint, kv::LoadStr(row.hint)) << row.id;
  }
  EXPECT_EQ(kv::LoadStr(120), "Click to refresh the information");

  // A control without texts shows no tip and leaves the hint as it was.
  HWND label = ::GetWindow(dlg.m_hWnd, GW_CHILD);
  while (label && ::GetDlgCtrlID(label) != -1 && ::GetDlgCtrlID(label) != 0xFFFF)
    label = ::GetWindow(label, GW_HWNDNEXT);
  ASSERT_NE(label, nullptr);
  info = NMTTDISPINFOA{};
  info.hdr.hwndFrom = dlg.m_tooltip.GetSafeHwnd();
  info.hdr.idFrom = reinterpret_cast<UINT_PTR>(label);
  info.hdr.code = TTN_NEEDTEXTA;
  info.uFlags = TTF_IDISHWND;
  info.szText[0] = 'x';
  ::SendMessageA(dlg.m_hWnd, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&info));
  EXPECT_EQ(info.lpszText, info.szText);
  EXPECT_EQ(info.szText[0], '\0');
  EXPECT_EQ(dlg.m_statusBar.GetText(0), kv::LoadStr(117));

  // A request that does not name its tool by window is left alone.
  ask(IDC_REFRESH, 0, info);
  EXPECT_EQ(info.lpszText, nullptr);
  EXPECT_EQ(dlg.m_statusBar.GetText(0), kv::LoadStr(117));
}

// The console run modally as the user sees it: filled before it shows, the
// warning when this machine has no role, Cancel keeps it, OK stores the
// Auto Refresh box and closes.
TEST_F(ConsoleViews, CloseWarnsWhenThisMachineHasNoRoleCancelKeepsTheConsoleAndOkStoresAutoRefresh) {
  const char* section = "VODIdazur";
  ASSERT_EQ(::ReadToolSetting(0, section, 0, "AutoRefresh", 0), 0);
  kvtest::ScriptedUser user;
  bool filledAtFirstSight = false;
  HWND console = nullptr;
  user.Dialog("SAN Option Configuration", [&](kvtest::DialogDriver& d) {
    console = d.Hwnd();
    HWND list = ::GetDlgItem(d.Hwnd(), IDC_LIST_SERVERS);
    HWND tree = ::GetDlgItem(d.Hwnd(), IDC_TREE_SERVERS);
    filledAtFirstSight =
        ::SendMessageA(list, LVM_GETITEMCOUNT, 0, 0) == 3 &&
        ::SendMessageA(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED) == 0 &&
        ::SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CARET, 0) == ::SendMessageA(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0) &&
        ::SendMessageA(tree, TVM_GETCOUNT, 0, 0) == 4;
    ::SendMessageA(::GetDlgItem(d.Hwnd(), IDC_AUTO_REFRESH), BM_CLICK, 0, 0);
    d.Press(IDOK);
  });
  user.AnswerBox(IDCANCEL);
  int countAfterCancel = -1;
  user.Again("SAN Option Configuration", [&](kvtest::DialogDriver& d) {
    countAfterCancel =
        static_cast<int>(::SendMessageA(::GetDlgItem(d.Hwnd(), IDC_LIST_SERVERS), LVM_GETITEMCOUNT, 0, 0));
    d.Press(IDOK);
  });
  user.AnswerBox(IDOK);

  kv::CWinApp app;
  CRoleConsoleDlg dlg;
  EXPECT_EQ(dlg.Run(app), IDOK);
  ASSERT_TRUE(user.Finish()) << user.Report();
  EXPECT_TRUE(filledAtFirstSight);
  EXPECT_EQ(countAfterCancel, 3);
  ASSERT_EQ(user.Boxes().size(), 2u);
  for (const kvtest::SeenBox& box : user.Boxes()) {
    EXPECT_EQ(box.text, kv::LoadStr(IDS_LOCAL_ROLE_MISSING));
    EXPECT_EQ(box.caption, "Warning");
    EXPECT_EQ(box.flags, 0x42031u);
    EXPECT_EQ(box.owner, console);  // in front of the console, not behind it
  }
  EXPECT_EQ(::ReadToolSetting(0, section, 0, "AutoRefresh", 0), 1);
  EXPECT_EQ(app.m_hMainWnd, nullptr);
}

TEST_F(ConsoleViews, CloseOnAMachineWithARoleAsksNothingAndStoresTheBoxAsItStands) {
  ASSERT_EQ(0, ::WriteToolSetting(0, "VODIdazur", 0, "AutoRefresh", 1));
  ASSERT_EQ(0, kvlab::SetRole(kvlab::LocalComputerName(), "OSPREY", "Administrator", "local-pw"));
  kvtest::ScriptedUser user;
  bool ticked = false;
  user.Dialog("SAN Option Configuration", [&](kvtest::DialogDriver& d) {
    ticked = ::SendMessageA(::GetDlgItem(d.Hwnd(), IDC_AUTO_REFRESH), BM_GETCHECK, 0, 0) == BST_CHECKED;
    ::SendMessageA(::GetDlgItem(d.Hwnd(), IDC_AUTO_REFRESH), BM_CLICK, 0, 0);
    ::PostMessageA(d.Hwnd(), WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);  // Esc
  });
  kv::CWinApp app;
  CRoleConsoleDlg dlg;
  EXPECT_EQ(dlg.Run(app), IDCANCEL);
  ASSERT_TRUE(user.Finish()) << user.Report();
  EXPECT_TRUE(ticked) << "the stored setting was not shown";
  EXPECT_TRUE(user.Boxes().empty());
  EXPECT_EQ(::ReadToolSetting(0, "VODIdazur", 0, "AutoRefresh", 1), 0);
}

// ---------------------------------------------------------------------------
// What the views draw: each item's picture in the colours of its bitmap.

constexpr COLORREF kImageMask = RGB(128, 0, 0);

// One 16x16 image of a bitmap strip, in the colours of the bitmap's own
// colour table (read without any image list).
struct StripImage {
  COLORREF pixels[16][16] = {};
};

StripImage LoadStripImage(UINT bitmapId, int index) {
  StripImage image;
  kv::CGdiObject strip(
      ::LoadImageA(kv::ResourceInstance(), MAKEINTRESOURCEA(bitmapId), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  kv::CMemoryDC dc(nullptr);
  kv::CSelectObject selected(dc.Get(), strip.Get());
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) image.pixels[y][x] = ::GetPixel(dc.Get(), index * 16 + x, y);
  return image;
}

// The client area of a control as the screen shows it.
class DrawnPixels {
 public:
  explicit DrawnPixels(HWND control) {
    RECT client{};
    ::GetClientRect(control, &client);
    m_width = client.right;
    m_height = client.bottom;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = m_width;
    info.bmiHeader.biHeight = -m_height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    kv::CGdiObject copy(::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    kv::CWindowDC screen(control);
    kv::CMemoryDC dc(screen.Get());
    kv::CSelectObject selected(dc.Get(), copy.Get());
    ::BitBlt(dc.Get(), 0, 0, m_width, m_height, screen.Get(), 0, 0, SRCCOPY);
    ::GdiFlush();
    const DWORD* p = static_cast<const DWORD*>(bits);
    if (p) m_pixels.assign(p, p + static_cast<size_t>(m_width) * m_height);
  }
  COLORREF At(int x, int y) const {
    DWORD v = m_pixels[static_cast<size_t>(y) * m_width + x];
    return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
  }
  // Whether image is drawn in an item's line: somewhere along it and
  // centred on it give or take a pixel (Wine draws tree images one pixel
  // higher than Windows, so the top line's first row is off the control),
  // with every picture pixel in its own colour and the mask colour nowhere
  // (the background shows through there).
  bool Shows(const StripImage& image, const RECT& line) const {
    const int centred = line.top + (line.bottom - line.top - 16) / 2;
    for (int top = centred - 1; top <= centred + 1; ++top)
      for (int left = std::max<LONG>(line.left, 0); left + 16 <= std::min<LONG>(line.right, m_width); ++left)
        if (ShowsAt(image, left, top)) return true;
    return false;
  }

 private:
  bool ShowsAt(const StripImage& image, int left, int top) const {
    int compared = 0;
    for (int y = std::max(0, -top); y < 16 && top + y < m_height; ++y)
      for (int x = 0; x < 16; ++x, ++compared) {
        COLORREF want = image.pixels[y][x], drawn = At(left + x, top + y);
        if (want == kImageMask ? drawn == kImageMask : drawn != want) return false;
      }
    return compared >= 15 * 16;
  }
  int m_width = 0, m_height = 0;
  std::vector<DWORD> m_pixels;
};

// The whole line of a tree item (TVM_GETITEMRECT takes the item in the rectangle).
RECT TreeItemLine(const kv::CTreeCtrl& tree, HTREEITEM item) {
  RECT line{};
  std::memcpy(&line, &item, sizeof(item));
  if (!tree.Send(TVM_GETITEMRECT, FALSE, reinterpret_cast<LPARAM>(&line))) return RECT{};
  return line;
}

TEST_F(ConsoleViews, TreeAndListDrawEachImageInTheColoursOfItsBitmap) {
  SetRoleAndWait("OSPREY", "");  // OSPREY is known only from its members: image 2
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  ASSERT_EQ(TreeShape(dlg.m_treeServers), "FALCON/0[];OSPREY/2[HERON/1,KITE/1]");
  ASSERT_GE(dlg.FindListItem("CURLEW"), 0);
  // Nothing selected, so no item is drawn highlighted.
  dlg.m_treeServers.SelectItem(nullptr);
  dlg.m_listServers.SetItemState(-1, 0, LVIS_SELECTED);
  ::ShowWindow(dlg.m_hWnd, SW_SHOWNOACTIVATE);
  ::RedrawWindow(dlg.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  DrawnPixels tree(dlg.m_treeServers.GetSafeHwnd());
  DrawnPixels list(dlg.m_listServers.GetSafeHwnd());

  struct Case {
    const char* server;
    bool inTree;
    UINT bitmap;
    int image;
  };
  const Case cases[] = {
      {"FALCON", true, IDB_TREE_IMAGES, 0},
      {"HERON", true, IDB_TREE_IMAGES, 1},
      {"OSPREY", true, IDB_TREE_IMAGES, 2},
      {"CURLEW", false, IDB_LIST_IMAGES, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.server) + ": image " + std::to_string(c.image) + " of bitmap " +
                 std::to_string(c.bitmap));
    RECT row{};
    if (c.inTree) {
      row = TreeItemLine(dlg.m_treeServers, dlg.FindServerItem(c.server));
      ASSERT_GT(row.bottom, row.top);
      EXPECT_TRUE(tree.Shows(LoadStripImage(c.bitmap, c.image), row));
    } else {
      row.left = LVIR_BOUNDS;
      ASSERT_TRUE(dlg.m_listServers.Send(LVM_GETITEMRECT, static_cast<WPARAM>(dlg.FindListItem(c.server)),
                                         reinterpret_cast<LPARAM>(&row)));
      EXPECT_TRUE(list.Shows(LoadStripImage(c.bitmap, c.image), row));
    }
  }
  // The unconfirmed primary does not look like a confirmed one.
  EXPECT_FALSE(
      tree.Shows(LoadStripImage(IDB_TREE_IMAGES, 0), TreeItemLine(dlg.m_treeServers, dlg.FindPrimaryItem("OSPREY"))));
}

// The server types the console lists, and the enumeration that every pass
// opens and closes again.
TEST_F(ConsoleViews, ListsServersOfTypes24_25And32OnlyAndEveryPassClosesItsEnumeration) {
  const std::pair<const char*, DWORD> servers[] = {{"TYPE23", 23}, {"TYPE25", 25}, {"TYPE26", 26},
                                                   {"TYPE31", 31}, {"TYPE32", 32}, {"TYPE33", 33}};
  std::vector<std::string> names;
  for (const auto& [name, type] : servers) {
    AddSpecial(name, type, true);
    names.push_back(name);
  }
  ASSERT_TRUE(kvlab::WaitForTable(names, 10000));
  const int openBefore = ::OpenServerEnumCount();
  CRoleConsoleDlg dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  dlg.RefreshServerViews();
  EXPECT_EQ(dlg.m_nGeneration, 2);
  EXPECT_EQ(::OpenServerEnumCount(), openBefore);
  std::vector<std::string> listed = ListNames(dlg.m_listServers);
  for (const auto& [name, type] : servers) {
    bool expected = type == 24 || type == 25 || type == 32;
    DiscoveryEntry entry{};
    EXPECT_EQ(dlg.FindServerEntry(name, &entry) >= 0, expected) << name;
    EXPECT_EQ(std::find(listed.begin(), listed.end(), name) != listed.end(), expected) << name;
  }
}

}  // namespace

// The server pictures: drawn at 16x16 and at 32x32, each view takes the
// largest that the screen's small icons hold (32 from 192 DPI on).
TEST(ServerImages, TakeTheLargestDrawnSizeThatFits) {
  const int cases[][2] = {{16, 16}, {20, 16}, {24, 16}, {31, 16}, {32, 32}, {40, 32}, {64, 32}};
  for (const auto& c : cases) EXPECT_EQ(ServerImageSize(c[0]), c[1]) << "small icons of " << c[0];
  const int size = ServerImageSize(::GetSystemMetrics(SM_CXSMICON));
  for (UINT bitmap : {IDB_TREE_IMAGES, IDB_LIST_IMAGES}) {
    kv::CImageList list;
    ASSERT_TRUE(LoadServerImages(list, bitmap)) << bitmap;
    EXPECT_EQ(list.GetImageCount(), 3);
    int cx = 0, cy = 0;
    ::ImageList_GetIconSize(list.GetSafeHandle(), &cx, &cy);
    EXPECT_EQ(cx, size);
    EXPECT_EQ(cy, size);
  }
}
