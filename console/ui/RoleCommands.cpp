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

void CRoleConsoleDlg::OnAssignDistributed() {
  if (!IsStaleClick()) RunRoleCommand(kAssignDistributed);
}
void CRoleConsoleDlg::OnRemoveDistributed() {
  if (!IsStaleClick()) RunRoleCommand(kRemoveDistributed);
}
void CRoleConsoleDlg::OnMakePrimary() {
  if (!IsStaleClick()) RunRoleCommand(kMakePrimary);
}
void CRoleConsoleDlg::OnDeletePrimary() {
  if (!IsStaleClick()) RunRoleCommand(kDeletePrimary);
}
void CRoleConsoleDlg::OnForceRemove() { RunRoleCommand(kForceRemove); }

CRoleConsoleDlg::Selections CRoleConsoleDlg::CurrentSelections() const {
  return {m_treeServers.GetSelectedItem(), m_listServers.GetSelectedItem()};
}

// The second click of a double-click on a role button arrives after the
// command that the first one started has moved the selections on (and the
// clicks queued meanwhile were dropped when it ended): it, and every click
// that follows it quicker than a double-click, would act on a selection the
// user never made. A click after the user changed a selection, or after a
// pause, is the user's.
bool CRoleConsoleDlg::IsStaleClick() {
  if (!m_bStaleClickWatch) return false;
  const DWORD now = ::GetTickCount();
  if (!(CurrentSelections() == m_selectionsLeft) || now - m_nLastCommandTick >= ::GetDoubleClickTime()) {
    m_bStaleClickWatch = false;
    return false;
  }
  m_nLastCommandTick = now;
  return true;
}

// What a command started from this window holds while it runs: the window
// is disabled (its dialogs and questions are owned by it, so they open in
// front of it and it takes no input meanwhile), and nothing else starts.
// When the command ends, the input queued for the window while it ran is
// dropped: it was meant for what the user saw before.
CRoleConsoleDlg::CCommandScope::CCommandScope(CRoleConsoleDlg& dlg) : m_dlg(dlg) {
  if (dlg.m_bCommandRunning) return;
  m_bActive = true;
  dlg.m_bCommandRunning = true;
  dlg.m_bStaleClickWatch = false;
  m_hFocus = ::GetFocus();
  ::EnableWindow(dlg.m_hWnd, FALSE);
}

CRoleConsoleDlg::CCommandScope::~CCommandScope() {
  if (!m_bActive) return;
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
  }
  while (::PeekMessageA(&msg, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
  }
  ::EnableWindow(m_dlg.m_hWnd, TRUE);
  if (m_hFocus && ::IsWindow(m_hFocus) && ::IsWindowEnabled(m_hFocus) && ::GetActiveWindow() == m_dlg.m_hWnd)
    ::SetFocus(m_hFocus);
  m_dlg.m_bCommandRunning = false;
  m_dlg.m_selectionsLeft = m_dlg.CurrentSelections();
  m_dlg.m_nLastCommandTick = ::GetTickCount();
  m_dlg.m_bStaleClickWatch = true;
}

// The frame every role command shares: nothing while a refresh pass or
// another command runs; otherwise the timer is held off, the status line
// names the command, and both are put back on every way out, as is the
// wait cursor.
void CRoleConsoleDlg::RunRoleCommand(const RoleCommand& command, const RoleTarget* given) {
  if (m_bRefreshing) return;
  CCommandScope running(*this);
  if (!running) return;
  struct IdleScope {
    CRoleConsoleDlg& dlg;
    bool statusShown = false;
    ~IdleScope() {
      if (statusShown) dlg.ShowOperation(0);
      dlg.m_bIdle = TRUE;
    }
  } scope{*this};
  m_bIdle = FALSE;

  RoleTarget target;
  if (given) {
    target = *given;
  } else if (!TakeRoleTarget(command, target)) {
    // The views changed since the buttons were last set: show what is possible.
    UpdateCommandButtons();
    return;
  }
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
  return kv::ShowMessageBox(m_hWnd, FormatResString(IDS_FORCE_REMOVE_QUESTION, target.server),
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

namespace {

POINT MessagePoint() {
  const DWORD position = ::GetMessagePos();
  return {static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
}

// An item's rectangle (client coordinates of view) on the screen, cut to
// the part of it that the view shows.
RECT VisibleOnScreen(HWND view, RECT item) {
  RECT client{};
  ::GetClientRect(view, &client);
  ::IntersectRect(&item, &item, &client);
  ::MapWindowPoints(view, nullptr, reinterpret_cast<POINT*>(&item), 2);
  return item;
}

}  // namespace

LRESULT CRoleConsoleDlg::OnTreeContextMenu(NMHDR*) {
  if (m_bCommandRunning) return 0;
  const POINT screen = MessagePoint();
  POINT client = screen;
  ::ScreenToClient(m_treeServers.GetSafeHwnd(), &client);
  HTREEITEM item = m_treeServers.HitTest(client);
  if (item) ShowTreeMenu(item, screen, nullptr);
  return 0;
}

LRESULT CRoleConsoleDlg::OnListContextMenu(NMHDR*) {
  if (m_bCommandRunning) return 0;
  const int selected = m_listServers.GetSelectedItem();
  if (selected >= 0) ShowListMenu(selected, MessagePoint(), nullptr);
  return 0;
}

void CRoleConsoleDlg::ShowTreeMenu(HTREEITEM item, POINT screen, const RECT* itemRect) {
  m_treeServers.SelectItem(item);
  // The names are taken now: a refresh pass may run while the menu is up.
  HTREEITEM parent = m_treeServers.GetParentItem(item);
  const std::string server = m_treeServers.GetItemText(item);
  const std::string primary = parent ? m_treeServers.GetItemText(parent) : std::string();
  RunMenuCommand(TrackContextMenu(IDM_TREE_CONTEXT, parent ? 0 : 1, screen, itemRect), server, primary);
}

void CRoleConsoleDlg::ShowListMenu(int index, POINT screen, const RECT* itemRect) {
  const std::string server = m_listServers.GetItemText(index);
  RunMenuCommand(TrackContextMenu(IDM_LIST_CONTEXT, 0, screen, itemRect), server, std::string());
}

// The menu is destroyed when it closes; its command comes back here rather
// than as a message that would read the selections afterwards. A menu
// opened from the keyboard opens below the item (above it when there is no
// room below), never over it.
UINT CRoleConsoleDlg::TrackContextMenu(UINT menuId, int popup, POINT screen, const RECT* itemRect) {
  kv::CMenu menu;
  if (!menu.LoadMenu(kv::ResourceInstance(), menuId)) return 0;
  HMENU sub = menu.GetSubMenu(popup);
  if (!sub) return 0;
  TPMPARAMS keepClear{};
  keepClear.cbSize = sizeof(keepClear);
  if (itemRect) keepClear.rcExclude = *itemRect;
  return static_cast<UINT>(::TrackPopupMenuEx(sub, TPM_RETURNCMD | TPM_NONOTIFY | (itemRect ? TPM_VERTICAL : 0u),
                                              screen.x, screen.y, m_hWnd, itemRect ? &keepClear : nullptr));
}

// clang-format off
const kv::Shortcut<CRoleConsoleDlg> CRoleConsoleDlg::kShortcuts[4] = {
    {VK_F10, kv::kKeyShift, &CRoleConsoleDlg::OnKeyContextMenu},
    {VK_APPS, 0, &CRoleConsoleDlg::OnKeyContextMenu},
    {VK_RETURN, kv::kKeyAlt, &CRoleConsoleDlg::OnKeyProperties},
    {VK_F5, 0, &CRoleConsoleDlg::OnRefresh},
};
// clang-format on

LRESULT CRoleConsoleDlg::OnShortcut(WPARAM index, LPARAM) { return kv::RunShortcut(this, kShortcuts, index); }

void CRoleConsoleDlg::OnKeyContextMenu() { ShowKeyboardMenu(::GetFocus()); }

// The menu of the selected item of view, at the item: the view scrolls it
// into sight first.
void CRoleConsoleDlg::ShowKeyboardMenu(HWND view) {
  if (m_bCommandRunning || !view) return;
  RECT rect{};
  if (view == m_treeServers.GetSafeHwnd()) {
    HTREEITEM item = m_treeServers.GetSelectedItem();
    if (!item) return;
    m_treeServers.EnsureVisible(item);
    if (!m_treeServers.GetItemRect(item, rect, TRUE)) return;
    rect = VisibleOnScreen(view, rect);
    ShowTreeMenu(item, {rect.left, rect.bottom}, &rect);
  } else if (view == m_listServers.GetSafeHwnd()) {
    const int index = m_listServers.GetSelectedItem();
    if (index < 0) return;
    m_listServers.EnsureVisible(index);
    if (!m_listServers.GetItemRect(index, rect, LVIR_LABEL)) return;
    rect = VisibleOnScreen(view, rect);
    ShowListMenu(index, {rect.left, rect.bottom}, &rect);
  }
}

// Alt+Enter: the Properties of the selected item of the view that has the focus.
void CRoleConsoleDlg::OnKeyProperties() {
  HWND focus = ::GetFocus();
  if (focus == m_treeServers.GetSafeHwnd())
    OnTreeServerProperties();
  else if (focus == m_listServers.GetSafeHwnd())
    OnListServerProperties();
}

void CRoleConsoleDlg::RunMenuCommand(UINT command, const std::string& server, const std::string& primary) {
  switch (command) {
    case ID_FORCE_REMOVE: {
      RoleTarget target;
      target.server = server;
      target.primary = primary;
      if (!primary.empty()) RunRoleCommand(kForceRemove, &target);
      break;
    }
    case ID_TREE_PROPERTIES:
    case ID_LIST_PROPERTIES:
      OnServerProperties(server);
      break;
    case ID_TREE_DS_STATUS:
    case ID_LIST_DS_STATUS:
      OnDiscoveryStatus(server);
      break;
    case ID_PRIMARY_SECURITY:
    case ID_DISTRIBUTED_SECURITY:
      OnSecurity(server);
      break;
    default:
      break;  // the menu was closed without a pick
  }
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
