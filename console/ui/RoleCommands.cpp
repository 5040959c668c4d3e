// The role commands of the main dialog: the four role buttons, Force to
// Remove and the two context menus. A command takes its names from the
// selections, runs one role transaction, waits until the local discovery
// table shows the change and then moves the server between the tree and the
// list itself, keeping the item's data, without a refresh pass.
#include <windows.h>

#include "App.h"
#include "MessageBox.h"
#include "Messages.h"
#include "RoleConsoleDlg.h"
#include "Transactions.h"
#include "resource.h"

namespace {

constexpr int kImagePrimary = 0;
constexpr int kImageDistributed = 1;
constexpr int kImageListServer = 0;
constexpr UINT kForceRemoveFlags = MB_OKCANCEL | MB_ICONWARNING | MB_TASKMODAL | MB_TOPMOST;  // 0x42031

}  // namespace

// What a command acts on, read from the selections when it starts.
struct CRoleConsoleDlg::RoleTarget {
  std::string primary;           // P: the primary concerned (Assign, Remove)
  std::string server;            // S: the server whose role changes
  int listIndex = -1;            // the selected list item (Assign, Make Primary)
  HTREEITEM treeItem = nullptr;  // the selected tree item
};

// One role command as data: what it needs selected, its status text, its
// transaction, the state the local table must show afterwards and how the
// views then move.
struct CRoleConsoleDlg::RoleCommand {
  enum Selection {
    ListServerAndRoot,  // a list item and a tree root
    ListServer,         // a list item
    TreeChild,          // a distributed server in the tree
    ChildlessRoot,      // a primary without distributed servers
  };
  enum Expect {
    RecordNamesPrimary,  // the record of S names P
    RecordNamesItself,   // the record of S names S
    NoRecord,            // S has no record
  };
  Selection selection;
  UINT statusText;
  bool askFirst;  // Force to Remove asks before it runs
  DWORD (*transaction)(const RoleTarget&);
  Expect expect;
  void (CRoleConsoleDlg::*move)(const RoleCommand&, const RoleTarget&);
  // For a server that goes from the tree to the list: the state its list
  // item is inserted with, and whether a primary left without members goes.
  UINT listState;
  bool dropEmptyPrimary;

  ExpectedState ExpectedFor(const RoleTarget& target) const {
    switch (expect) {
      case RecordNamesPrimary:
        return ExpectedState::Names(target.primary);
      case RecordNamesItself:
        return ExpectedState::Names(target.server);
      case NoRecord:
        break;
    }
    return ExpectedState::NoRecord();
  }
};

namespace {

using Target = CRoleConsoleDlg::RoleTarget;
DWORD RunAssign(const Target& t) { return AssignDistributed(t.primary.c_str(), t.server.c_str()); }
DWORD RunRemove(const Target& t) { return RemoveDistributed(t.primary.c_str(), t.server.c_str()); }
DWORD RunMakePrimary(const Target& t) { return MakePrimary(t.server.c_str()); }
DWORD RunDeletePrimary(const Target& t) { return DeletePrimary(t.server.c_str()); }
DWORD RunForceRemove(const Target& t) { return ForceRemoveDistributed(t.server.c_str()); }

}  // namespace

using Cmd = CRoleConsoleDlg::RoleCommand;
// clang-format off
const Cmd CRoleConsoleDlg::kAssignDistributed = {Cmd::ListServerAndRoot, IDS_OP_ASSIGN_DISTRIBUTED, false, RunAssign,
    Cmd::RecordNamesPrimary, &CRoleConsoleDlg::MoveToDistributed, 0, false};
const Cmd CRoleConsoleDlg::kRemoveDistributed = {Cmd::TreeChild, IDS_OP_REMOVE_DISTRIBUTED, false, RunRemove,
    Cmd::NoRecord, &CRoleConsoleDlg::MoveTreeServerToList, 0, false};
const Cmd CRoleConsoleDlg::kMakePrimary = {Cmd::ListServer, IDS_OP_MAKE_PRIMARY, false, RunMakePrimary,
    Cmd::RecordNamesItself, &CRoleConsoleDlg::MoveToPrimary, 0, false};
const Cmd CRoleConsoleDlg::kDeletePrimary = {Cmd::ChildlessRoot, IDS_OP_DELETE_PRIMARY, false, RunDeletePrimary,
    Cmd::NoRecord, &CRoleConsoleDlg::MoveTreeServerToList, LVIS_SELECTED, false};
const Cmd CRoleConsoleDlg::kForceRemove = {Cmd::TreeChild, IDS_OP_FORCE_REMOVE, true, RunForceRemove,
    Cmd::NoRecord, &CRoleConsoleDlg::MoveTreeServerToList, 0, true};
// clang-format on

void CRoleConsoleDlg::OnAssignDistributed() { RunRoleCommand(kAssignDistributed); }
void CRoleConsoleDlg::OnRemoveDistributed() { RunRoleCommand(kRemoveDistributed); }
void CRoleConsoleDlg::OnMakePrimary() { RunRoleCommand(kMakePrimary); }
void CRoleConsoleDlg::OnDeletePrimary() { RunRoleCommand(kDeletePrimary); }
void CRoleConsoleDlg::OnForceRemove() { RunRoleCommand(kForceRemove); }

// The frame every role command shares: nothing while a refresh pass runs;
// otherwise the timer is held off, the status line names the command, and
// both are put back on every way out, as is the wait cursor.
void CRoleConsoleDlg::RunRoleCommand(const RoleCommand& command) {
  if (m_bRefreshing || m_bCommandRunning) return;
  struct CommandScope {
    CRoleConsoleDlg& dlg;
    bool statusShown = false;
    ~CommandScope() {
      if (statusShown) dlg.ShowOperation(0);
      dlg.m_bIdle = TRUE;
      dlg.m_bCommandRunning = false;
    }
  } scope{*this};
  m_bIdle = FALSE;
  m_bCommandRunning = true;

  RoleTarget target;
  if (!TakeRoleTarget(command, target)) return;
  ShowOperation(command.statusText);
  scope.statusShown = true;
  if (command.askFirst && !ConfirmForceRemove(target)) return;
  if (command.transaction(target) != 0) return;  // the transaction has said why

  kv::CWaitCursor wait;
  if (!ConfirmationWait(m_hWnd, target.server.c_str(), command.ExpectedFor(target))) return;
  if (LocateRoleTarget(command, target))
    (this->*command.move)(command, target);
  else
    RefreshServerViews();  // the views changed under the command: show the real state
  UpdateCommandButtons();
}

bool CRoleConsoleDlg::TakeRoleTarget(const RoleCommand& command, RoleTarget& target) {
  target.listIndex = m_listServers.GetSelectedItem();
  target.treeItem = m_treeServers.GetSelectedItem();
  HTREEITEM parent = target.treeItem ? m_treeServers.GetParentItem(target.treeItem) : nullptr;
  const bool listSelected = target.listIndex >= 0;
  switch (command.selection) {
    case RoleCommand::ListServerAndRoot:
      if (!listSelected || !target.treeItem || parent) return false;
      target.primary = m_treeServers.GetItemText(target.treeItem);
      target.server = m_listServers.GetItemText(target.listIndex);
      break;
    case RoleCommand::ListServer:
      if (!listSelected) return false;
      target.server = m_listServers.GetItemText(target.listIndex);
      break;
    case RoleCommand::TreeChild:
      if (!parent) return false;
      target.server = m_treeServers.GetItemText(target.treeItem);
      target.primary = m_treeServers.GetItemText(parent);
      break;
    case RoleCommand::ChildlessRoot:
      if (!target.treeItem || parent || m_treeServers.ItemHasChildren(target.treeItem)) return false;
      target.server = m_treeServers.GetItemText(target.treeItem);
      break;
  }
  // An item without a name names no server: nothing to act on.
  return !target.server.empty() && (command.selection == RoleCommand::ListServer ||
                                    command.selection == RoleCommand::ChildlessRoot || !target.primary.empty());
}

// Finds the command's items again by name: a Refresh clicked while a
// transaction's dialog was up may have rebuilt the views. False when they
// are no longer there.
bool CRoleConsoleDlg::LocateRoleTarget(const RoleCommand& command, RoleTarget& target) {
  switch (command.selection) {
    case RoleCommand::ListServerAndRoot:
      target.treeItem = FindPrimaryItem(target.primary);
      target.listIndex = FindListItem(target.server);
      return target.treeItem && target.listIndex >= 0;
    case RoleCommand::ListServer:
      target.listIndex = FindListItem(target.server);
      return target.listIndex >= 0;
    case RoleCommand::TreeChild:
      target.treeItem = FindDistributedItem(target.primary, target.server);
      return target.treeItem != nullptr;
    case RoleCommand::ChildlessRoot:
      target.treeItem = FindPrimaryItem(target.server);
      return target.treeItem != nullptr;
  }
  return false;
}

bool CRoleConsoleDlg::ConfirmForceRemove(const RoleTarget& target) {
  return kv::ShowMessageBox(nullptr, FormatResString(IDS_FORCE_REMOVE_QUESTION, target.server),
                            LoadResString(IDS_FORCE_REMOVE_CAPTION), kForceRemoveFlags) == IDOK;
}

// Assign: the list item becomes the last child of the selected root, which
// is then sorted; the list selection moves on to the next item.
void CRoleConsoleDlg::MoveToDistributed(const RoleCommand&, const RoleTarget& target) {
  const LPARAM data = m_listServers.GetItemData(target.listIndex);
  HTREEITEM child = InsertTreeServer(target.server, kImageDistributed, data, target.treeItem, TVI_LAST);
  if (child) m_treeServers.EnsureVisible(child);
  m_treeServers.SortChildren(target.treeItem);
  MoveFromListToTree(target.listIndex);
}

// Make Primary: the list item becomes a root in sorted place and takes the
// tree's selection; the list selection moves on to the next item.
void CRoleConsoleDlg::MoveToPrimary(const RoleCommand&, const RoleTarget& target) {
  const LPARAM data = m_listServers.GetItemData(target.listIndex);
  HTREEITEM root = InsertTreeServer(target.server, kImagePrimary, data, TVI_ROOT, TVI_SORT);
  if (root) {
    m_treeServers.EnsureVisible(root);
    m_treeServers.SelectItem(root);
  }
  MoveFromListToTree(target.listIndex);
}

// Drops list item index after its server went to the tree and selects the
// item that took its place (the one before, when it was the last).
void CRoleConsoleDlg::MoveFromListToTree(int index) {
  DeleteListServer(index);
  if (index >= m_listServers.GetItemCount()) index = index - 1 < 0 ? 0 : index - 1;
  SelectListServer(index);
}

// Remove Distributed, Delete Primary and Force to Remove: the tree item goes
// to the list, which sorts it into place and selects it. Only Force to
// Remove takes away a primary that is left without members.
void CRoleConsoleDlg::MoveTreeServerToList(const RoleCommand& command, const RoleTarget& target) {
  const LPARAM data = m_treeServers.GetItemData(target.treeItem);
  HTREEITEM parent = m_treeServers.GetParentItem(target.treeItem);
  InsertListServer(target.server, data, command.listState);
  int index = FindListItem(target.server);
  if (index < 0) index = 0;
  DeleteTreeServer(target.treeItem);
  if (command.dropEmptyPrimary && parent && !m_treeServers.ItemHasChildren(parent)) DeleteTreeServer(parent);
  SelectListServer(index);
}

LRESULT CRoleConsoleDlg::OnTreeContextMenu(NMHDR*) {
  const DWORD position = ::GetMessagePos();
  POINT screen{static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
  POINT client = screen;
  ::ScreenToClient(m_treeServers.GetSafeHwnd(), &client);
  HTREEITEM item = m_treeServers.HitTest(client);
  if (!item) return 0;
  m_treeServers.SelectItem(item);
  TrackContextMenu(IDM_TREE_CONTEXT, m_treeServers.GetParentItem(item) ? 0 : 1, screen);
  return 0;
}

LRESULT CRoleConsoleDlg::OnListContextMenu(NMHDR*) {
  if (m_listServers.GetSelectedItem() < 0) return 0;
  const DWORD position = ::GetMessagePos();
  TrackContextMenu(IDM_LIST_CONTEXT, 0, {static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))});
  return 0;
}

// The menu's commands come to this dialog as WM_COMMAND; the menu is
// destroyed when it closes.
void CRoleConsoleDlg::TrackContextMenu(UINT menuId, int popup, POINT screen) {
  kv::CMenu menu;
  if (!menu.LoadMenu(kv::ResourceInstance(), menuId)) return;
  if (HMENU sub = menu.GetSubMenu(popup)) ::TrackPopupMenu(sub, 0, screen.x, screen.y, 0, m_hWnd, nullptr);
}

// The refresh pass keeps a model of what it put into the views; each change
// made here tells it to read the views again at its next run.
int CRoleConsoleDlg::InsertListServer(const std::string& name, LPARAM data, UINT state) {
  OnViewsChangedOutsidePass();
  return m_listServers.InsertItem(m_listServers.GetItemCount(), name, kImageListServer, data, state);
}

void CRoleConsoleDlg::DeleteListServer(int index) {
  OnViewsChangedOutsidePass();
  m_listServers.DeleteItem(index);
}

HTREEITEM CRoleConsoleDlg::InsertTreeServer(const std::string& name, int image, LPARAM data, HTREEITEM parent,
                                            HTREEITEM after) {
  OnViewsChangedOutsidePass();
  return m_treeServers.InsertItem(name, image, image, data, parent, after);
}

void CRoleConsoleDlg::DeleteTreeServer(HTREEITEM item) {
  OnViewsChangedOutsidePass();
  m_treeServers.DeleteItem(item);
}

void CRoleConsoleDlg::SelectListServer(int index) {
  m_listServers.SetItemState(index, LVIS_SELECTED, LVIS_SELECTED);
  m_listServers.EnsureVisible(index);
}
