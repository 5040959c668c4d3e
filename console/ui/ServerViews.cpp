// The two views of the main dialog: the model of them that the passes keep,
// the refresh pass that builds them from the discovery data and the local
// role records, the lookups by name, and the sweeps that take out what the
// pass did not confirm.
#include <windows.h>

#include <iterator>

#include "DiscoveryService.h"
#include "Dunlin.h"
#include "Messages.h"
#include "RoleConsoleDlg.h"
#include "RoleTables.h"
#include "ServerViews.h"
#include "Strings.h"
#include "resource.h"

namespace {

constexpr int kImageConfirmedPrimary = 0;
constexpr int kImageDistributed = 1;
constexpr int kImageUnconfirmedPrimary = 2;
constexpr int kImageListServer = 0;
constexpr int kImageDamagedRecord = 1;  // the list's red screen

std::string EntryName(const DiscoveryEntry& entry) { return DiscoveryEntryName(entry); }

template <class Map, class Value>
void EraseFromMulti(Map& map, const std::string& name, const Value& value) {
  auto range = map.equal_range(name);
  for (auto it = range.first; it != range.second; ++it)
    if (it->second == value) {
      map.erase(it);
      return;
    }
}

// The item's text and its image, or -1 when its selected image differs (the
// pass then sets both).
std::string TreeItemText(HWND tree, HTREEITEM item, int& image) {
  char text[260] = {};
  TVITEMA tv{};
  tv.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
  tv.hItem = item;
  tv.pszText = text;
  tv.cchTextMax = sizeof(text);
  ::SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&tv));
  image = tv.iImage == tv.iSelectedImage ? tv.iImage : -1;
  return text;
}

double PassClockMs() {
  LARGE_INTEGER frequency, now;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

HTREEITEM NextTreeItem(HWND tree, HTREEITEM item, UINT code) {
  return reinterpret_cast<HTREEITEM>(::SendMessageA(tree, TVM_GETNEXTITEM, code, reinterpret_cast<LPARAM>(item)));
}

}  // namespace

void CServerViewModel::Clear() {
  m_roots.clear();
  m_rootByItem.clear();
  m_rootsByName.clear();
  m_childrenByName.clear();
  m_list.clear();
  m_listByName.clear();
  m_treeCount = 0;
}

void CServerViewModel::Read(HWND tree, HWND list) {
  Clear();
  for (HTREEITEM root = NextTreeItem(tree, nullptr, TVGN_ROOT); root; root = NextTreeItem(tree, root, TVGN_NEXT)) {
    Row row;
    row.item = root;
    row.name = TreeItemText(tree, root, row.image);
    Root& r = AddRoot(m_roots.empty() ? nullptr : m_roots.back().row.item, row);
    for (HTREEITEM child = NextTreeItem(tree, root, TVGN_CHILD); child; child = NextTreeItem(tree, child, TVGN_NEXT)) {
      Row c;
      c.item = child;
      c.name = TreeItemText(tree, child, c.image);
      AddChild(r, c);
    }
  }
  const int count = static_cast<int>(::SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    char text[260] = {};
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE;
    item.iItem = i;
    item.pszText = text;
    item.cchTextMax = sizeof(text);
    ::SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    Row row;
    row.name = text;
    row.image = item.iImage;
    InsertListRow(i, row);
  }
}

CServerViewModel::RootIt CServerViewModel::FindRoot(const std::string& name) {
  auto range = m_rootsByName.equal_range(name);
  if (range.first == range.second) return m_roots.end();
  if (std::next(range.first) == range.second) return range.first->second;
  // Several roots of that name: the first in the tree's order.
  for (RootIt it = m_roots.begin(); it != m_roots.end(); ++it)
    if (it->row.name == name) return it;
  return m_roots.end();
}

CServerViewModel::Row* CServerViewModel::FindChild(Root& root, const std::string& name, bool& ambiguous) {
  ambiguous = false;
  Row* found = nullptr;
  auto range = m_childrenByName.equal_range(name);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second.first != &root) continue;
    if (found) ambiguous = true;
    found = it->second.second;
  }
  return found;
}

CServerViewModel::Row* CServerViewModel::FindAnyChild(const std::string& name, Root*& root, bool& ambiguous) {
  ambiguous = false;
  root = nullptr;
  auto range = m_childrenByName.equal_range(name);
  if (range.first == range.second) return nullptr;
  if (std::next(range.first) == range.second) {
    root = range.first->second.first;
    return range.first->second.second;
  }
  // Under several roots: the first root in the tree's order that holds one.
  for (Root& r : m_roots) {
    Row* child = FindChild(r, name, ambiguous);
    if (child) {
      root = &r;
      return child;
    }
  }
  return nullptr;
}

CServerViewModel::Row* CServerViewModel::ChildOfItem(Root& root, HTREEITEM item) {
  for (Row& child : root.children)
    if (child.item == item) return &child;
  return nullptr;
}

void CServerViewModel::IndexRoot(RootIt root) {
  m_rootByItem[root->row.item] = root;
  m_rootsByName.emplace(root->row.name, root);
}

CServerViewModel::Root& CServerViewModel::AddRoot(HTREEITEM previous, const Row& row) {
  RootIt at = m_roots.begin();
  if (previous) {
    auto it = m_rootByItem.find(previous);
    at = it == m_rootByItem.end() ? m_roots.end() : std::next(it->second);
  }
  RootIt root = m_roots.insert(at, Root{row, {}});
  IndexRoot(root);
  ++m_treeCount;
  return *root;
}

CServerViewModel::Row& CServerViewModel::AddChild(Root& root, const Row& row) {
  root.children.push_back(row);
  Row& child = root.children.back();
  m_childrenByName.emplace(child.name, std::make_pair(&root, &child));
  ++m_treeCount;
  return child;
}

void CServerViewModel::EraseChild(Root& root, Row& child) {
  EraseFromMulti(m_childrenByName, child.name, std::make_pair(&root, &child));
  for (ChildIt it = root.children.begin(); it != root.children.end(); ++it)
    if (&*it == &child) {
      root.children.erase(it);
      --m_treeCount;
      return;
    }
}

void CServerViewModel::EraseRoot(Root& root) {
  // Deleting a root deletes its children with it.
  while (!root.children.empty()) EraseChild(root, root.children.front());
  auto it = m_rootByItem.find(root.row.item);
  if (it == m_rootByItem.end()) return;
  RootIt at = it->second;
  EraseFromMulti(m_rootsByName, root.row.name, at);
  m_rootByItem.erase(it);
  m_roots.erase(at);
  --m_treeCount;
}

int CServerViewModel::FindList(const std::string& name) const {
  auto range = m_listByName.equal_range(name);
  if (range.first == range.second) return -1;
  // The index of a row is its place in the vector; with several rows of that
  // name, the first in index order.
  for (size_t i = 0; i < m_list.size(); ++i)
    for (auto it = range.first; it != range.second; ++it)
      if (it->second == m_list[i].get()) return static_cast<int>(i);
  return -1;
}

void CServerViewModel::InsertListRow(int index, const Row& row) {
  size_t at = index < 0 || static_cast<size_t>(index) > m_list.size() ? m_list.size() : static_cast<size_t>(index);
  auto owned = std::make_unique<Row>(row);
  m_listByName.emplace(owned->name, owned.get());
  m_list.insert(m_list.begin() + static_cast<std::ptrdiff_t>(at), std::move(owned));
}

void CServerViewModel::EraseListRow(int index) {
  if (index < 0 || static_cast<size_t>(index) >= m_list.size()) return;
  EraseFromMulti(m_listByName, m_list[static_cast<size_t>(index)]->name, m_list[static_cast<size_t>(index)].get());
  m_list.erase(m_list.begin() + index);
}

CServerViewModel::Row* CServerViewModel::FirstListRow(const std::string& name) {
  auto range = m_listByName.equal_range(name);
  if (range.first == range.second) return nullptr;
  if (std::next(range.first) == range.second) return range.first->second;
  int index = FindList(name);
  return index < 0 ? nullptr : m_list[static_cast<size_t>(index)].get();
}

void CRoleConsoleDlg::RefreshServerViews() {
  if (!m_bIdle && m_bRefreshing) return;
  RunRefreshPass();
  // The pass may have moved or taken away what is selected: the buttons follow.
  UpdateCommandButtons();
}

void CRoleConsoleDlg::OnViewsChangedOutsidePass() { m_bModelStale = true; }

void CRoleConsoleDlg::RunRefreshPass() {
  // Whatever way the pass ends, it is no longer running and both views draw.
  struct PassScope {
    CRoleConsoleDlg& dlg;
    ~PassScope() {
      dlg.m_pPassModel = nullptr;
      if (dlg.m_bTreeRedrawOff) {
        dlg.m_treeServers.SetRedraw(TRUE);
        dlg.m_treeServers.Invalidate();
        dlg.m_bTreeRedrawOff = false;
      }
      if (dlg.m_bListRedrawOff) {
        dlg.m_listServers.SetRedraw(TRUE);
        dlg.m_listServers.Invalidate();
        dlg.m_bListRedrawOff = false;
      }
      dlg.m_bRefreshing = FALSE;
    }
  } scope{*this};

  m_bRefreshing = TRUE;
  m_serverEntries.clear();
  const LONG generation = ++m_nGeneration;
  const double started = PassClockMs();

  // Reading: the entries, then every server's role, before any view changes.
  CollectServerEntries();
  if (m_serverEntries.empty()) return;
  struct Placement {
    std::string server;
    RecordState state;
    std::string primary;
  };
  std::vector<Placement> placements;
  placements.reserve(m_serverEntries.size());
  m_roleRecords.BeginPass();
  auto readRecord = [this](const char* name, void* buffer, DWORD* size) {
    return m_roleRecords.Read(name, kSanProductCode, buffer, size);
  };
  for (const DiscoveryEntry& entry : m_serverEntries) {
    Placement p{EntryName(entry), RecordState::None, {}};
    p.state = ReadRoleOf(p.server, readRecord, p.primary);
    placements.push_back(std::move(p));
  }
  const double read = PassClockMs();

  // Building: the views follow what was read, in the same order.
  // The model is read back only when something else changed the views; the
  // counts catch a change that nobody announced.
  if (m_bModelStale || m_model->TreeCount() != m_treeServers.GetCount() ||
      m_model->ListCount() != static_cast<size_t>(m_listServers.GetItemCount())) {
    m_model->Read(m_treeServers.GetSafeHwnd(), m_listServers.GetSafeHwnd());
    m_bModelStale = false;
  }
  m_pPassModel = m_model.get();
  std::string damaged;
  for (const Placement& p : placements) {
    if (p.state != RecordState::Valid) {
      // A damaged record gives no role: the server is listed, marked.
      if (p.state == RecordState::Damaged) damaged = p.server + (damaged.empty() ? "" : ", ") + damaged;
      PlaceServerWithoutRole(p.server, generation,
                             p.state == RecordState::Damaged ? kImageDamagedRecord : kImageListServer);
      continue;
    }
    if (p.primary == p.server)
      PlacePrimary(p.server, generation);
    else
      PlaceDistributed(p.primary, p.server, generation);
  }
  SweepViews(generation);
  // The entries run newest first: the names, joined in reverse, read in the table's order.
  m_strRecordNote = damaged.empty() ? std::string() : FormatResString(IDS_DAMAGED_RECORDS, damaged);
  if (!m_bCommandRunning) ShowOperation(0);
  m_lastPassCost = {read - started, PassClockMs() - read};
}

// The pass walks the entries newest first: the table's order reversed.
void CRoleConsoleDlg::CollectServerEntries() {
  for (const DiscoveryEntry& entry : ReadListedServerEntries(kSanProductCode)) m_serverEntries.push_front(entry);
}

// The pass shows an item's image once it ends (ShowPendingImage in the
// sweep): a primary whose members come before it in the pass would otherwise
// be drawn as unconfirmed and back again in every pass.
void CRoleConsoleDlg::SetTreeImage(CServerViewModel::Row& row, int image, LONG generation) {
  row.confirmed = generation;
  row.pending = image;
}

void CRoleConsoleDlg::ShowPendingImage(CServerViewModel::Row& row) {
  if (row.pending >= 0 && row.pending != row.image) {
    SuspendTreeRedraw();
    m_treeServers.SetItemImage(row.item, row.pending, row.pending);
    row.image = row.pending;
  }
  row.pending = -1;
}

// Every root with members ends the pass expanded. Only one that is not is
// told so: under Wine, TVE_EXPAND of an item that is expanded already still
// costs about a millisecond of CPU at a thousand items and repaints the tree
// (measured), and a root without members has nothing to expand.
void CRoleConsoleDlg::ExpandRoot(CServerViewModel::Root& root) {
  if (root.children.empty()) return;
  const WPARAM item = reinterpret_cast<WPARAM>(root.row.item);
  if (m_treeServers.Send(TVM_GETITEMSTATE, item, TVIS_EXPANDED) & TVIS_EXPANDED) return;
  m_treeServers.Expand(root.row.item, TVE_EXPAND);
}

// A pass turns a view's redraw off before its first change of that view and
// back on at its end; a view that the pass does not change is left to draw
// as it is (redrawing a tree of thousands of items is not free).
void CRoleConsoleDlg::SuspendTreeRedraw() {
  if (!m_pPassModel || m_bTreeRedrawOff) return;
  m_treeServers.SetRedraw(FALSE);
  m_bTreeRedrawOff = true;
}

void CRoleConsoleDlg::SuspendListRedraw() {
  if (!m_pPassModel || m_bListRedrawOff) return;
  m_listServers.SetRedraw(FALSE);
  m_bListRedrawOff = true;
}

CServerViewModel::Row* CRoleConsoleDlg::PassChild(CServerViewModel::Root& root, const std::string& name) {
  bool ambiguous = false;
  CServerViewModel::Row* child = m_pPassModel->FindChild(root, name, ambiguous);
  if (!ambiguous) return child;
  // Two children of one name: only the control knows which comes first.
  for (HTREEITEM item = m_treeServers.GetChildItem(root.row.item); item; item = m_treeServers.GetNextSiblingItem(item))
    if (m_treeServers.GetItemText(item) == name) return m_pPassModel->ChildOfItem(root, item);
  return child;
}

void CRoleConsoleDlg::DeleteRoot(CServerViewModel::Root& root) {
  SuspendTreeRedraw();
  m_treeServers.DeleteItem(root.row.item);
  m_pPassModel->EraseRoot(root);
}

CServerViewModel::Root* CRoleConsoleDlg::InsertRoot(const std::string& name, int image, LONG generation) {
  CServerViewModel::Row row{name, nullptr, image, generation};
  SuspendTreeRedraw();
  row.item = m_treeServers.InsertItem(name, image, image, generation, TVI_ROOT, TVI_SORT);
  if (!row.item) return nullptr;
  return &m_pPassModel->AddRoot(m_treeServers.GetNextItem(row.item, TVGN_PREVIOUS), row);
}

void CRoleConsoleDlg::DropListedServer(const std::string& name) {
  int i = FindListItem(name);
  if (i >= 0) DropListItem(i);
}

void CRoleConsoleDlg::PlaceServerWithoutRole(const std::string& server, LONG generation, int image) {
  CServerViewModel& model = *m_pPassModel;
  auto root = model.FindRoot(server);
  if (root != model.Roots().end()) {
    if (!root->children.empty()) {
      // Its members still name it: it stays a primary known only from them.
      SetTreeImage(root->row, kImageUnconfirmedPrimary, generation);
      return;
    }
    DeleteRoot(*root);
  }
  bool ambiguous = false;
  CServerViewModel::Root* parent = nullptr;
  CServerViewModel::Row* child = model.FindAnyChild(server, parent, ambiguous);
  if (child && ambiguous) child = PassChild(*parent, server);
  if (child) {
    SuspendTreeRedraw();
    m_treeServers.DeleteItem(child->item);
    model.EraseChild(*parent, *child);
  }
  CServerViewModel::Row* row = model.FirstListRow(server);
  if (!row) {
    SuspendListRedraw();
    int at = m_listServers.InsertItem(m_listServers.GetItemCount(), server, image, generation);
    if (at >= 0) model.InsertListRow(at, CServerViewModel::Row{server, nullptr, image, generation});
    return;
  }
  row->confirmed = generation;
  if (row->image != image) {
    SuspendListRedraw();
    m_listServers.SetItemImage(model.FindList(server), image);
    row->image = image;
  }
}

void CRoleConsoleDlg::PlacePrimary(const std::string& server, LONG generation) {
  CServerViewModel& model = *m_pPassModel;
  auto root = model.FindRoot(server);
  if (root != model.Roots().end()) {
    SetTreeImage(root->row, kImageConfirmedPrimary, generation);
    return;
  }
  InsertRoot(server, kImageConfirmedPrimary, generation);
  DropListedServer(server);
}

void CRoleConsoleDlg::PlaceDistributed(const std::string& primary, const std::string& server, LONG generation) {
  CServerViewModel& model = *m_pPassModel;
  auto found = model.FindRoot(primary);
  CServerViewModel::Row* child = found != model.Roots().end() ? PassChild(*found, server) : nullptr;
  if (child) {
    SetTreeImage(*child, kImageDistributed, generation);
    if (found->row.confirmed != generation) SetTreeImage(found->row, kImageUnconfirmedPrimary, generation);
    return;
  }
  CServerViewModel::Root* root = nullptr;
  if (found != model.Roots().end()) {
    root = &*found;
    if (root->row.confirmed != generation) SetTreeImage(root->row, kImageUnconfirmedPrimary, generation);
  } else {
    root = InsertRoot(primary, kImageUnconfirmedPrimary, generation);
    if (!root) return;
    DropListedServer(primary);
  }
  SuspendTreeRedraw();
  HTREEITEM item =
      m_treeServers.InsertItem(server, kImageDistributed, kImageDistributed, generation, root->row.item, TVI_LAST);
  if (item) {
    root->unsorted = true;  // sorted once, when the pass ends
    model.AddChild(*root, CServerViewModel::Row{server, item, kImageDistributed, generation});
  }
  DropListedServer(server);
}

void CRoleConsoleDlg::SweepViews(LONG generation) {
  CServerViewModel& model = *m_pPassModel;
  model.SweepList([generation](const CServerViewModel::Row& row) { return row.confirmed == generation; },
                  [this](int index) {
                    SuspendListRedraw();
                    m_listServers.DeleteItem(index);
                  });
  for (auto root = model.Roots().begin(); root != model.Roots().end();) {
    for (auto child = root->children.begin(); child != root->children.end();) {
      auto next = std::next(child);
      if (child->confirmed != generation) {
        SuspendTreeRedraw();
        m_treeServers.DeleteItem(child->item);
        model.EraseChild(*root, *child);
      } else {
        ShowPendingImage(*child);
      }
      child = next;
    }
    auto next = std::next(root);
    if (root->children.empty() && root->row.confirmed != generation) {
      DeleteRoot(*root);
    } else {
      if (root->unsorted) m_treeServers.SortChildren(root->row.item);
      root->unsorted = false;
      ShowPendingImage(root->row);
      ExpandRoot(*root);
    }
    root = next;
  }
}

HTREEITEM CRoleConsoleDlg::FindPrimaryItem(const std::string& name) {
  if (m_pPassModel) {
    auto root = m_pPassModel->FindRoot(name);
    return root == m_pPassModel->Roots().end() ? nullptr : root->row.item;
  }
  for (HTREEITEM root = m_treeServers.GetRootItem(); root; root = m_treeServers.GetNextSiblingItem(root))
    if (m_treeServers.GetItemText(root) == name) return root;
  return nullptr;
}

HTREEITEM CRoleConsoleDlg::FindDistributedItem(const std::string& primary, const std::string& name) {
  if (m_pPassModel) {
    auto root = m_pPassModel->FindRoot(primary);
    CServerViewModel::Row* child = root == m_pPassModel->Roots().end() ? nullptr : PassChild(*root, name);
    return child ? child->item : nullptr;
  }
  HTREEITEM root = FindPrimaryItem(primary);
  if (!root) return nullptr;
  for (HTREEITEM child = m_treeServers.GetChildItem(root); child; child = m_treeServers.GetNextSiblingItem(child))
    if (m_treeServers.GetItemText(child) == name) return child;
  return nullptr;
}

HTREEITEM CRoleConsoleDlg::FindAnyDistributedItem(const std::string& name) {
  if (m_pPassModel) {
    bool ambiguous = false;
    CServerViewModel::Root* root = nullptr;
    CServerViewModel::Row* child = m_pPassModel->FindAnyChild(name, root, ambiguous);
    if (child && ambiguous) child = PassChild(*root, name);
    return child ? child->item : nullptr;
  }
  for (HTREEITEM root = m_treeServers.GetRootItem(); root; root = m_treeServers.GetNextSiblingItem(root))
    for (HTREEITEM child = m_treeServers.GetChildItem(root); child; child = m_treeServers.GetNextSiblingItem(child))
      if (m_treeServers.GetItemText(child) == name) return child;
  return nullptr;
}

HTREEITEM CRoleConsoleDlg::FindServerItem(const std::string& name) {
  for (HTREEITEM root = m_treeServers.GetRootItem(); root; root = m_treeServers.GetNextSiblingItem(root)) {
    for (HTREEITEM child = m_treeServers.GetChildItem(root); child; child = m_treeServers.GetNextSiblingItem(child))
      if (m_treeServers.GetItemText(child) == name) return child;
    if (m_treeServers.GetItemText(root) == name) return root;
  }
  return nullptr;
}

int CRoleConsoleDlg::FindListItem(const std::string& name) {
  if (m_pPassModel) return m_pPassModel->FindList(name);
  for (int i = m_listServers.GetNextItem(-1, LVNI_ALL); i >= 0; i = m_listServers.GetNextItem(i, LVNI_ALL))
    if (m_listServers.GetItemText(i) == name) return i;
  return -1;
}

void CRoleConsoleDlg::DropListItem(int index) {
  SuspendListRedraw();
  bool selected = (m_listServers.GetItemState(index, LVIS_SELECTED) & LVIS_SELECTED) != 0;
  if (selected && index > 0) m_listServers.SetItemState(index - 1, LVIS_SELECTED, LVIS_SELECTED);
  if (m_listServers.DeleteItem(index) && m_pPassModel) m_pPassModel->EraseListRow(index);
  // The first item had the selection: it goes to the new first item (selecting
  // item 0 before the deletion would select the item that is deleted).
  if (selected && index == 0 && m_listServers.GetItemCount() > 0)
    m_listServers.SetItemState(0, LVIS_SELECTED, LVIS_SELECTED);
}

int CRoleConsoleDlg::FindServerEntry(const std::string& name, DiscoveryEntry* out) const {
  for (const DiscoveryEntry& entry : m_serverEntries) {
    if (EntryName(entry) != name) continue;
    if (out) *out = entry;
    return 0;
  }
  return -1;
}

void CRoleConsoleDlg::ClearServerViews() {
  m_treeServers.DeleteAllItems();
  m_listServers.DeleteAllItems();
  m_model->Clear();
}
