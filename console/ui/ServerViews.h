// The views of the main dialog as its refresh pass sees them.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

// What the running pass knows of both views, kept in the controls' order and
// changed together with them: a lookup walks memory instead of sending two
// messages for every item of a control.
struct CServerViewIndex {
  struct Node {
    HTREEITEM item;
    std::string name;
    LPARAM data;
  };
  struct Root {
    Node node;
    std::vector<Node> children;
  };
  struct ListItem {
    std::string name;
    LPARAM data;
  };
  static Root MakeRoot(HTREEITEM item, const std::string& name, LPARAM data) {
    Root root;
    root.node = Node{item, name, data};
    return root;
  }

  std::vector<Root> roots;
  std::vector<ListItem> list;

  int FindRoot(const std::string& name) const {
    for (size_t r = 0; r < roots.size(); ++r)
      if (roots[r].node.name == name) return static_cast<int>(r);
    return -1;
  }
  int FindChild(int root, const std::string& name) const {
    const std::vector<Node>& children = roots[static_cast<size_t>(root)].children;
    for (size_t c = 0; c < children.size(); ++c)
      if (children[c].name == name) return static_cast<int>(c);
    return -1;
  }
  int FindList(const std::string& name) const {
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i].name == name) return static_cast<int>(i);
    return -1;
  }
  int FindRootByItem(HTREEITEM item) const {
    for (size_t r = 0; r < roots.size(); ++r)
      if (roots[r].node.item == item) return static_cast<int>(r);
    return -1;
  }
};
