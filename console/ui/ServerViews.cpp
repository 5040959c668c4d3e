// The two views of the main dialog: the refresh pass that builds them from
// the discovery data and the local role records, the lookups by name, and
// the sweeps that take out what the pass did not confirm.
#include <windows.h>

#include "DiscoveryService.h"
#include "Dunlin.h"
#include "RoleConsoleDlg.h"
#include "RoleTables.h"
#include "ServerViews.h"
#include "Strings.h"

namespace {

constexpr int kImageConfirmedPrimary = 0;
constexpr int kImageDistributed = 1;
constexpr int kImageUnconfirmedPrimary = 2;
constexpr int kImageListServer = 0;
constexpr int kNoMoreItems = 259;
// Bound on the indices asked of the enumeration: a library that keeps
// answering neither an entry nor the end must not hang the console.
constexpr DWORD kMaxEnumIndex = 0x10000;

bool IsListedServerType(uint32_t type) { return type == 24 || type == 25 || type == 32; }

std::string EntryName(const DiscoveryEntry& entry) {
  return kv::FixedField(entry.serverName, sizeof(entry.serverName));
}

}  // namespace

namespace {

CServerViewIndex::Node ReadTreeNode(const kv::CTreeCtrl& tree, HTREEITEM item) {
  char text[260] = {};
  TVITEMA tv{};
  tv.mask = TVIF_TEXT | TVIF_PARAM;
  tv.hItem = item;
  tv.pszText = text;
  tv.cchTextMax = sizeof(text);
  tree.Send(TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&tv));
  return {item, text, tv.lParam};
}

std::vector<CServerViewIndex::Node> ReadChildren(const kv::CTreeCtrl& tree, HTREEITEM root) {
  std::vector<CServerViewIndex::Node> children;
  for (HTREEITEM child = tree.GetChildItem(root); child; child = tree.GetNextSiblingItem(child))
    children.push_back(ReadTreeNode(tree, child));
  return children;
}

void SetTreeItem(const kv::CTreeCtrl& tree, CServerViewIndex::Node& node, int image, LPARAM data) {
  TVITEMA tv{};
  tv.mask = TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
  tv.hItem = node.item;
  tv.iImage = image;
  tv.iSelectedImage = image;
  tv.lParam = data;
  tree.Send(TVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&tv));
  node.data = data;
}

void SetListItem(const kv::CListCtrl& list, CServerViewIndex::ListItem& entry, int index, int image, LPARAM data) {
  LVITEMA item{};
  item.mask = LVIF_IMAGE | LVIF_PARAM;
  item.iItem = index;
  item.iImage = image;
  item.lParam = data;
  list.Send(LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
  entry.data = data;
}

std::unique_ptr<CServerViewIndex> BuildIndex(const kv::CTreeCtrl& tree, const kv::CListCtrl& list) {
  auto index = std::make_unique<CServerViewIndex>();
  for (HTREEITEM root = tree.GetRootItem(); root; root = tree.GetNextSiblingItem(root)) {
    index->roots.push_back(CServerViewIndex::MakeRoot(nullptr, "", 0));
    index->roots.back().node = ReadTreeNode(tree, root);
    index->roots.back().children = ReadChildren(tree, root);
  }
  int count = list.GetItemCount();
  index->list.reserve(static_cast<size_t>(count > 0 ? count : 0));
  for (int i = 0; i < count; ++i) {
    char text[260] = {};
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = i;
    item.pszText = text;
    item.cchTextMax = sizeof(text);
    list.Send(LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    index->list.push_back({text, item.lParam});
  }
  return index;
}

}  // namespace

void CRoleConsoleDlg::RefreshServerViews() {
  if (!m_bIdle && m_bRefreshing) return;
  RunRefreshPass();
}

void CRoleConsoleDlg::RunRefreshPass() {
  // Whatever way the pass ends, it is no longer running and both views draw.
  struct PassScope {
    CRoleConsoleDlg& dlg;
    bool redrawOff = false;
    ~PassScope() {
      dlg.m_pIndex.reset();
      if (redrawOff) {
        dlg.m_treeServers.SetRedraw(TRUE);
        dlg.m_listServers.SetRedraw(TRUE);
        dlg.m_treeServers.Invalidate();
        dlg.m_listServers.Invalidate();
      }
      dlg.m_bRefreshing = FALSE;
    }
  } scope{*this};

  m_bRefreshing = TRUE;
  m_serverEntries.clear();
  const LONG generation = ++m_nGeneration;

  CollectServerEntries();
  if (m_serverEntries.empty()) return;

  m_treeServers.SetRedraw(FALSE);
  m_listServers.SetRedraw(FALSE);
  scope.redrawOff = true;
  m_pIndex = BuildIndex(m_treeServers, m_listServers);

  for (const DiscoveryEntry& entry : m_serverEntries) {
    const std::string server = EntryName(entry);
    unsigned char record[kRoleRecordSize] = {};
    DWORD size = sizeof(record);
    if (ReadLocalRoleRecord(server.c_str(), kSanProductCode, record, &size) != ERROR_SUCCESS) {
      PlaceServerWithoutRole(server, generation);
      continue;
    }
    const std::string primary = kv::FixedField(record, sizeof(RoleRecord::primaryName));
    if (primary == server)
      PlacePrimary(server, generation);
    else
      PlaceDistributed(primary, server, generation);
  }
  SweepViews(generation);
}

void CRoleConsoleDlg::CollectServerEntries() {
  HANDLE enumHandle = nullptr;
  DWORD unused = 0;
  if (::OpenServerEnum(&enumHandle, &unused) != 0) return;
  for (DWORD index = 0; index < kMaxEnumIndex; ++index) {
    DiscoveryEntry entry{};
    int status = ::NextServerEntry(enumHandle, index, &entry);
    if (status == kNoMoreItems) break;
    if (status != 0) continue;
    if (IsListedServerType(entry.serverType) && ServerHasProduct(EntryName(entry).c_str(), kSanProductCode))
      m_serverEntries.push_front(entry);
  }
  ::CloseServerEnum(enumHandle);
}

void CRoleConsoleDlg::PlaceServerWithoutRole(const std::string& server, LONG generation) {
  CServerViewIndex& ix = *m_pIndex;
  int root = ix.FindRoot(server);
  if (root >= 0) {
    CServerViewIndex::Root& r = ix.roots[static_cast<size_t>(root)];
    if (!r.children.empty()) {
      // Its members still name it: it stays a primary known only from them.
      SetTreeItem(m_treeServers, r.node, kImageUnconfirmedPrimary, generation);
      return;
    }
    m_treeServers.DeleteItem(r.node.item);
    ix.roots.erase(ix.roots.begin() + root);
  }
  for (size_t r = 0; r < ix.roots.size(); ++r) {
    int child = ix.FindChild(static_cast<int>(r), server);
    if (child < 0) continue;
    std::vector<CServerViewIndex::Node>& children = ix.roots[r].children;
    m_treeServers.DeleteItem(children[static_cast<size_t>(child)].item);
    children.erase(children.begin() + child);
    break;
  }
  int i = ix.FindList(server);
  if (i < 0) {
    int at = m_listServers.InsertItem(m_listServers.GetItemCount(), server, kImageListServer, generation);
    if (at >= 0 && static_cast<size_t>(at) <= ix.list.size())
      ix.list.insert(ix.list.begin() + at, {server, generation});
  } else {
    SetListItem(m_listServers, ix.list[static_cast<size_t>(i)], i, kImageListServer, generation);
  }
}

void CRoleConsoleDlg::PlacePrimary(const std::string& server, LONG generation) {
  CServerViewIndex& ix = *m_pIndex;
  int root = ix.FindRoot(server);
  if (root >= 0) {
    SetTreeItem(m_treeServers, ix.roots[static_cast<size_t>(root)].node, kImageConfirmedPrimary, generation);
    return;
  }
  HTREEITEM item =
      m_treeServers.InsertItem(server, kImageConfirmedPrimary, kImageConfirmedPrimary, generation, TVI_ROOT, TVI_SORT);
  if (item) {
    int before = ix.FindRootByItem(m_treeServers.GetNextItem(item, TVGN_PREVIOUS));
    ix.roots.insert(ix.roots.begin() + (before + 1), CServerViewIndex::MakeRoot(item, server, generation));
  }
  int i = FindListItem(server);
  if (i >= 0) DropListItem(i);
}

void CRoleConsoleDlg::PlaceDistributed(const std::string& primary, const std::string& server, LONG generation) {
  CServerViewIndex& ix = *m_pIndex;
  int root = ix.FindRoot(primary);
  int child = root >= 0 ? ix.FindChild(root, server) : -1;
  if (child >= 0) {
    CServerViewIndex::Root& r = ix.roots[static_cast<size_t>(root)];
    SetTreeItem(m_treeServers, r.children[static_cast<size_t>(child)], kImageDistributed, generation);
    if (r.node.data != generation) SetTreeItem(m_treeServers, r.node, kImageUnconfirmedPrimary, generation);
    return;
  }
  if (root >= 0) {
    CServerViewIndex::Node& node = ix.roots[static_cast<size_t>(root)].node;
    if (node.data != generation) SetTreeItem(m_treeServers, node, kImageUnconfirmedPrimary, generation);
  } else {
    HTREEITEM item = m_treeServers.InsertItem(primary, kImageUnconfirmedPrimary, kImageUnconfirmedPrimary, generation,
                                              TVI_ROOT, TVI_SORT);
    if (!item) return;
    root = ix.FindRootByItem(m_treeServers.GetNextItem(item, TVGN_PREVIOUS)) + 1;
    ix.roots.insert(ix.roots.begin() + root, CServerViewIndex::MakeRoot(item, primary, generation));
    int i = FindListItem(primary);
    if (i >= 0) DropListItem(i);
  }
  CServerViewIndex::Root& r = ix.roots[static_cast<size_t>(root)];
  if (m_treeServers.InsertItem(server, kImageDistributed, kImageDistributed, generation, r.node.item, TVI_LAST)) {
    m_treeServers.SortChildren(r.node.item);
    r.children = ReadChildren(m_treeServers, r.node.item);
  }
  int i = FindListItem(server);
  if (i >= 0) DropListItem(i);
}

void CRoleConsoleDlg::SweepViews(LONG generation) {
  CServerViewIndex& ix = *m_pIndex;
  for (size_t i = 0; i < ix.list.size();) {
    if (ix.list[i].data != generation) {
      m_listServers.DeleteItem(static_cast<int>(i));
      ix.list.erase(ix.list.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  for (size_t r = 0; r < ix.roots.size();) {
    CServerViewIndex::Root& root = ix.roots[r];
    m_treeServers.Expand(root.node.item, TVE_EXPAND);
    for (size_t c = 0; c < root.children.size();) {
      if (root.children[c].data != generation) {
        m_treeServers.DeleteItem(root.children[c].item);
        root.children.erase(root.children.begin() + static_cast<std::ptrdiff_t>(c));
      } else {
        ++c;
      }
    }
    if (root.children.empty() && root.node.data != generation) {
      m_treeServers.DeleteItem(root.node.item);
      ix.roots.erase(ix.roots.begin() + static_cast<std::ptrdiff_t>(r));
    } else {
      ++r;
    }
  }
}

HTREEITEM CRoleConsoleDlg::FindPrimaryItem(const std::string& name) {
  if (m_pIndex) {
    int r = m_pIndex->FindRoot(name);
    return r < 0 ? nullptr : m_pIndex->roots[static_cast<size_t>(r)].node.item;
  }
  for (HTREEITEM root = m_treeServers.GetRootItem(); root; root = m_treeServers.GetNextSiblingItem(root))
    if (m_treeServers.GetItemText(root) == name) return root;
  return nullptr;
}

HTREEITEM CRoleConsoleDlg::FindDistributedItem(const std::string& primary, const std::string& name) {
  if (m_pIndex) {
    int r = m_pIndex->FindRoot(primary);
    int c = r < 0 ? -1 : m_pIndex->FindChild(r, name);
    return c < 0 ? nullptr : m_pIndex->roots[static_cast<size_t>(r)].children[static_cast<size_t>(c)].item;
  }
  HTREEITEM root = FindPrimaryItem(primary);
  if (!root) return nullptr;
  for (HTREEITEM child = m_treeServers.GetChildItem(root); child; child = m_treeServers.GetNextSiblingItem(child))
    if (m_treeServers.GetItemText(child) == name) return child;
  return nullptr;
}

HTREEITEM CRoleConsoleDlg::FindAnyDistributedItem(const std::string& name) {
  if (m_pIndex) {
    for (size_t r = 0; r < m_pIndex->roots.size(); ++r) {
      int c = m_pIndex->FindChild(static_cast<int>(r), name);
      if (c >= 0) return m_pIndex->roots[r].children[static_cast<size_t>(c)].item;
    }
    return nullptr;
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
  if (m_pIndex) return m_pIndex->FindList(name);
  for (int i = m_listServers.GetNextItem(-1, LVNI_ALL); i >= 0; i = m_listServers.GetNextItem(i, LVNI_ALL))
    if (m_listServers.GetItemText(i) == name) return i;
  return -1;
}

void CRoleConsoleDlg::DropListItem(int index) {
  bool selected = (m_listServers.GetItemState(index, LVIS_SELECTED) & LVIS_SELECTED) != 0;
  if (selected && index > 0) m_listServers.SetItemState(index - 1, LVIS_SELECTED, LVIS_SELECTED);
  if (m_listServers.DeleteItem(index) && m_pIndex && index >= 0 && static_cast<size_t>(index) < m_pIndex->list.size())
    m_pIndex->list.erase(m_pIndex->list.begin() + index);
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
}
