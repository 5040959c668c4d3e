// The views of the main dialog as its refresh pass sees them.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// What the console put into its two views, kept between refresh passes: a
// pass finds items by name in memory, keeps the number of the pass that last
// confirmed each item here rather than in the item's data, and touches an
// item only when its image changes. The model follows every change the pass
// makes to the controls; code that changes the controls outside a pass
// marks the model stale and the next pass reads the controls once.
class CServerViewModel {
 public:
  struct Row {
    std::string name;
    HTREEITEM item = nullptr;  // tree items only
    int image = 0;
    LONG confirmed = 0;  // the pass that last confirmed the item; 0 none
    int pending = -1;    // the image the running pass gave it, shown when the pass ends; -1 none
  };
  struct Root {
    Row row;
    std::list<Row> children;  // not in the control's order (the control sorts them)
    bool unsorted = false;    // the running pass added children, to be sorted at its end
  };
  using RootIt = std::list<Root>::iterator;
  using ChildIt = std::list<Row>::iterator;

  // Reads both controls (text and image of every item).
  void Read(HWND tree, HWND list);
  void Clear();
  size_t TreeCount() const { return m_treeCount; }
  size_t ListCount() const { return m_list.size(); }

  // Tree roots in the control's order.
  std::list<Root>& Roots() { return m_roots; }
  // The first root named name (roots() end when none).
  RootIt FindRoot(const std::string& name);
  // The child named name under root; ambiguous is set when the root holds
  // several, whose order only the control knows.
  Row* FindChild(Root& root, const std::string& name, bool& ambiguous);
  // The first child named name in the order of the roots; ambiguous as above.
  Row* FindAnyChild(const std::string& name, Root*& root, bool& ambiguous);
  Row* ChildOfItem(Root& root, HTREEITEM item);
  // Adds a root placed by the control after previous (null: first).
  Root& AddRoot(HTREEITEM previous, const Row& row);
  Row& AddChild(Root& root, const Row& row);
  void EraseRoot(Root& root);
  void EraseChild(Root& root, Row& child);

  // List rows in index order.
  const std::vector<std::unique_ptr<Row>>& ListRows() const { return m_list; }
  // The index of the first row named name, or -1.
  int FindList(const std::string& name) const;
  // The row FindList would give, without working out its index.
  Row* FirstListRow(const std::string& name);
  Row& ListRow(int index) { return *m_list[static_cast<size_t>(index)]; }
  void InsertListRow(int index, const Row& row);
  void EraseListRow(int index);
  // Keeps the rows for which keep returns true, in order; drop(index) is
  // called for every other row with its index among the rows still there.
  template <class Keep, class Drop>
  void SweepList(Keep keep, Drop drop);

 private:
  void IndexRoot(RootIt root);
  std::list<Root> m_roots;
  std::unordered_map<HTREEITEM, RootIt> m_rootByItem;
  std::unordered_multimap<std::string, RootIt> m_rootsByName;
  std::unordered_multimap<std::string, std::pair<Root*, Row*>> m_childrenByName;
  std::vector<std::unique_ptr<Row>> m_list;
  std::unordered_multimap<std::string, Row*> m_listByName;
  size_t m_treeCount = 0;
};

template <class Keep, class Drop>
void CServerViewModel::SweepList(Keep keep, Drop drop) {
  size_t kept = 0;
  for (size_t i = 0; i < m_list.size(); ++i) {
    if (keep(*m_list[i])) {
      m_list[kept++] = std::move(m_list[i]);
      continue;
    }
    drop(static_cast<int>(kept));
    auto range = m_listByName.equal_range(m_list[i]->name);
    for (auto it = range.first; it != range.second; ++it)
      if (it->second == m_list[i].get()) {
        m_listByName.erase(it);
        break;
      }
  }
  m_list.resize(kept);
}
