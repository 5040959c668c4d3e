// consolebench: figures of the console's main dialog at SAN scale, in a lab
// of its own (removed at the end), with the real local Discovery Service.
// For each N, in two shapes of the same servers (`kvlab scale N --group 0`:
// no server has a role; `kvlab scale N --group 16`: every 16th server a
// primary with the next 15 as its distributed servers), over R repeats:
//  - first fill: creating the (hidden) main dialog, whose first refresh pass
//    fills both views, against two baselines in the same run: creating a
//    hidden window with bare tree and list controls and inserting the same
//    items with redraw off, once in the order the list shows them and once in
//    the order the pass meets them (Wine's sorted list view places an item by
//    walking the items before it, so the order alone makes the first many
//    times dearer than the second); console and baselines alternate; the
//    fill as its two parts, reading (the pass's reading of entries, products
//    and records) and the rest (creating the dialog and building the views),
//    against two floors: the registry floor (RegistryFloorMs: the same
//    values read with one open and one query each) and the pass-order
//    baseline;
//  - steady pass: RefreshServerViews on the filled dialog, now shown, and the
//    paint it causes (as a timer's pass in the running console), nothing
//    changed but what the Discovery Service itself rewrites, as wall time and
//    as CPU time of the console and of the wineserver (from /proc through Wine's Z:
//    drive; not shown where that cannot be read);
//  - with roles, a pass that finds one record changed (a distributed server
//    moved to another primary and back, the local table waited for);
// then both shapes side by side, the ratios of the medians 4096/1024, and,
// at the smallest N, the time from starting Quayside.exe to its painted,
// idle window against two programs started the same way: a dialog of the
// console's own template with nothing behind it (its controls alone) and an
// empty dialog.
// Each repeat runs in a child process (consolebench --measure FILE GROUP) on
// the same lab, so that every first fill starts as cold as a console does.
// With KV_COUNT_FILL=1 in the environment the fills are counted too
// (messages by window class, registry calls), and slowed by the counting.
// Usage: consolebench [repeats [N ...]]   (default 5 repeats; 64 1024 4096)
//        consolebench --startup repeats    (only the start-up comparison, on the lab as it is)
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "CallCounter.h"
#include "RoleConsoleDlg.h"
#include "RoleTables.h"
#include "BenchClock.h"
#include "TestLab.h"

namespace {

struct Figures {
  std::vector<double> values;
  void Add(double v) { values.push_back(v); }
  double Median() const {
    std::vector<double> s = values;
    std::sort(s.begin(), s.end());
    size_t n = s.size();
    return n == 0 ? 0 : (n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2);
  }
  double Min() const { return values.empty() ? 0 : *std::min_element(values.begin(), values.end()); }
  double Max() const { return values.empty() ? 0 : *std::max_element(values.begin(), values.end()); }
  std::string Text(const char* unit = "ms", int decimals = 0) const {
    char text[96];
    std::snprintf(text, sizeof(text), "%.*f %s (%.*f..%.*f)", decimals, Median(), unit, decimals, Min(), decimals,
                  Max());
    return text;
  }
};

// What the console's views hold, to be inserted again into bare controls.
struct ViewItems {
  struct Root {
    std::string name;
    int image;
    std::vector<std::string> children;
  };
  std::vector<Root> roots;
  std::vector<std::string> list;             // as the list shows them
  std::vector<std::string> listInPassOrder;  // as the pass met them
};

ViewItems ReadViews(const CRoleConsoleDlg& dlg) {
  ViewItems items;
  const kv::CTreeCtrl& tree = dlg.m_treeServers;
  for (HTREEITEM root = tree.GetRootItem(); root; root = tree.GetNextSiblingItem(root)) {
    int image = 0, selected = 0;
    tree.GetItemImage(root, image, selected);
    items.roots.push_back({tree.GetItemText(root), image, {}});
    for (HTREEITEM child = tree.GetChildItem(root); child; child = tree.GetNextSiblingItem(child))
      items.roots.back().children.push_back(tree.GetItemText(child));
  }
  std::set<std::string> listed;
  for (int i = 0; i < dlg.m_listServers.GetItemCount(); ++i) {
    items.list.push_back(dlg.m_listServers.GetItemText(i));
    listed.insert(items.list.back());
  }
  for (const DiscoveryEntry& entry : dlg.m_serverEntries) {
    std::string name(entry.serverName, strnlen(entry.serverName, sizeof(entry.serverName)));
    if (listed.erase(name)) items.listInPassOrder.push_back(name);
  }
  items.listInPassOrder.insert(items.listInPassOrder.end(), listed.begin(), listed.end());
  return items;
}

// The baseline: a hidden window with a tree and a sorted list styled as the
// console's, image lists set, redraw off, the same items inserted.
void FillBareControls(const ViewItems& items, bool passOrder) {
  HWND frame = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 660, 370, nullptr, nullptr, nullptr, nullptr);
  kv::CTreeCtrl tree(::CreateWindowExA(
      WS_EX_CLIENTEDGE, WC_TREEVIEWA, "",
      WS_CHILD | WS_VISIBLE | WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS, 10, 10,
      300, 300, frame, nullptr, nullptr, nullptr));
  kv::CListCtrl list(::CreateWindowExA(WS_EX_CLIENTEDGE, WC_LISTVIEWA, "",
                                       WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL |
                                           LVS_SHOWSELALWAYS | LVS_SORTASCENDING | LVS_AUTOARRANGE | LVS_NOCOLUMNHEADER,
                                       350, 10, 300, 300, frame, nullptr, nullptr, nullptr));
  HIMAGELIST images = ::ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 3, 3);
  tree.SetImageList(images, TVSIL_NORMAL);
  list.SetImageList(images, LVSIL_SMALL);
  list.InsertColumn(0, "", LVCFMT_LEFT, 150);
  tree.SetRedraw(FALSE);
  list.SetRedraw(FALSE);
  for (const ViewItems::Root& r : items.roots) {
    HTREEITEM root = tree.InsertItem(r.name, r.image, r.image, 1, TVI_ROOT, TVI_SORT);
    for (const std::string& child : r.children) tree.InsertItem(child, 1, 1, 1, root, TVI_LAST);
    if (!r.children.empty()) tree.SortChildren(root);
    tree.Expand(root, TVE_EXPAND);
  }
  for (const std::string& name : passOrder ? items.listInPassOrder : items.list)
    list.InsertItem(list.GetItemCount(), name, 0, 1);
  tree.SetRedraw(TRUE);
  list.SetRedraw(TRUE);
  ::DestroyWindow(frame);
  ::ImageList_Destroy(images);
}

// The registry floor of the first fill: the values the fill reads (every
// server's entry and product list in the local discovery table, and its role
// record), each read with one RegOpenKeyExA, one RegQueryValueExA and the
// RegCloseKey of that key, after one RegEnumKeyExA per server for the names,
// and nothing else. -1 when the table cannot be opened.
double RegistryFloorMs() {
  std::string productKey;
  WORD unused = 0;
  if (!GetProductKeyName(kSanProductCode, productKey, unused)) productKey = kFallbackProductKeyName;
  const double t0 = NowMs();
  HKEY table = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, DiscoveryTableRoot, 0, KEY_READ, &table) != ERROR_SUCCESS) return -1;
  std::vector<std::string> names;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof(name);
    if (::RegEnumKeyExA(table, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, length);
  }
  BYTE buffer[4096];
  auto readValue = [&](const std::string& path, const char* value) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(table, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    DWORD size = sizeof(buffer);
    ::RegQueryValueExA(key, value, nullptr, nullptr, buffer, &size);
    ::RegCloseKey(key);
  };
  for (const std::string& server : names) {
    readValue(server, "Entry");
    readValue(server, "Products");
    readValue(server + "\\" + productKey, "Slot_1");
  }
  ::RegCloseKey(table);
  return NowMs() - t0;
}

// CPU time in ns of a Linux process (all its threads), from
// /proc/PID/task/*/schedstat through Wine's Z: drive; -1 when it cannot be
// read (on Windows, or without scheduler statistics).
long long LinuxCpuNs(const std::string& pid) {
  if (pid.empty()) return -1;
  const std::string tasks = "Z:\\proc\\" + pid + "\\task\\";
  WIN32_FIND_DATAA found;
  HANDLE find = ::FindFirstFileA((tasks + "*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return -1;
  long long total = 0;
  bool any = false;
  do {
    if (found.cFileName[0] < '0' || found.cFileName[0] > '9') continue;
    FILE* stat = std::fopen((tasks + found.cFileName + "\\schedstat").c_str(), "r");
    long long ns = 0;
    if (stat && std::fscanf(stat, "%lld", &ns) == 1) total += ns, any = true;
    if (stat) std::fclose(stat);
  } while (::FindNextFileA(find, &found));
  ::FindClose(find);
  return any ? total : -1;
}

// The NUL-separated fields of a Linux process's file under /proc.
std::vector<std::string> ProcFields(const std::string& pid, const char* file) {
  std::vector<std::string> fields;
  FILE* f = std::fopen(("Z:\\proc\\" + pid + "\\" + file).c_str(), "rb");
  if (!f) return fields;
  std::string text;
  char buffer[4096];
  for (size_t got; (got = std::fread(buffer, 1, sizeof(buffer), f)) > 0;) text.append(buffer, got);
  std::fclose(f);
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\0', at);
    if (end == std::string::npos) end = text.size();
    fields.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return fields;
}

// The first Linux process for which match(pid) holds, or empty. (Wine opens
// files in the wineserver, so /proc/self names the wineserver, not us.)
template <class Match>
std::string FindLinuxProcess(Match match) {
  WIN32_FIND_DATAA found;
  HANDLE find = ::FindFirstFileA("Z:\\proc\\*", &found);
  if (find == INVALID_HANDLE_VALUE) return std::string();
  std::string pid;
  do {
    if (found.cFileName[0] >= '0' && found.cFileName[0] <= '9' && match(std::string(found.cFileName)))
      pid = found.cFileName;
  } while (pid.empty() && ::FindNextFileA(find, &found));
  ::FindClose(find);
  return pid;
}

// The wineserver of this Wine prefix: the one whose environment names the
// same WINEPREFIX.
std::string WineserverPid() {
  static const std::string pid = [] {
    char prefix[MAX_PATH] = {};
    if (!::GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof(prefix))) return std::string();
    const std::string wanted = std::string("WINEPREFIX=") + prefix;
    return FindLinuxProcess([&](const std::string& pid) {
      std::vector<std::string> comm = ProcFields(pid, "comm");
      if (comm.empty() || comm[0].compare(0, 10, "wineserver") != 0) return false;
      for (const std::string& variable : ProcFields(pid, "environ"))
        if (variable == wanted) return true;
      return false;
    });
  }();
  return pid;
}

// This process (set by the measuring child): the one whose command line
// holds its unique result file.
std::string g_selfPid;

// Wall time and CPU time (console, wineserver) of one piece of work, in ms;
// a CPU figure is negative when it cannot be read.
struct Cost {
  double wall = 0, console = -1, server = -1;
};

template <class Work>
Cost Measure(Work work) {
  const std::string server = WineserverPid();
  const long long c0 = LinuxCpuNs(g_selfPid), s0 = LinuxCpuNs(server);
  const double t0 = NowMs();
  work();
  Cost cost;
  cost.wall = NowMs() - t0;
  const long long c1 = LinuxCpuNs(g_selfPid), s1 = LinuxCpuNs(server);
  if (c0 >= 0 && c1 >= 0) cost.console = (c1 - c0) / 1e6;
  if (s0 >= 0 && s1 >= 0) cost.server = (s1 - s0) / 1e6;
  return cost;
}

// Figures of one shape of N servers over the repeats.
struct ShapeFigures {
  int group = 0;
  bool failed = false;
  size_t roots = 0, listed = 0;
  Figures fill, baseline, ratio, passBaseline, passRatio;
  Figures fillConsole, fillServer, fillReading, fillRest, floor, readingRatio, floorRatio;
  Figures steady, steadyConsole, steadyServer;
  Figures changed, changedConsole, changedServer;
  std::map<std::string, int> calls;  // of one steady pass, first repeat
};

// Moves the distributed server SAN00002 to the primary of the second group
// (and back) and waits until the local table shows it.
bool MoveMember(int group, bool away) {
  const std::string member = kvlab::ScaleMachineName(2);
  const std::string primary = kvlab::ScalePrimaryName(away ? 2 + group : 2, static_cast<unsigned>(group));
  if (kvlab::SetRoleKeepingLists(member, primary, "Administrator", "scale-pw") != 0) return false;
  for (int waited = 0; !kvlab::LocalRecordNames(member, primary); waited += 20) {
    if (waited > 20000) return false;
    ::Sleep(20);
  }
  return true;
}

// One steady pass with every message to the tree, the list and the dialog
// counted, and the registry calls of the console and the product libraries:
// "calls WHAT COUNT" lines.
void WriteCalls(FILE* out, CRoleConsoleDlg& dlg) {
  static std::map<std::string, int> messages;
  static const std::map<UINT, const char*> kNames = {
      {TVM_INSERTITEMA, "TVM_INSERTITEM"},
      {TVM_DELETEITEM, "TVM_DELETEITEM"},
      {TVM_SETITEMA, "TVM_SETITEM"},
      {TVM_GETITEMA, "TVM_GETITEM"},
      {TVM_EXPAND, "TVM_EXPAND"},
      {TVM_GETNEXTITEM, "TVM_GETNEXTITEM"},
      {TVM_SORTCHILDREN, "TVM_SORTCHILDREN"},
      {TVM_GETCOUNT, "TVM_GETCOUNT"},
      {LVM_GETITEMCOUNT, "LVM_GETITEMCOUNT"},
      {LVM_INSERTITEMA, "LVM_INSERTITEM"},
      {LVM_DELETEITEM, "LVM_DELETEITEM"},
      {LVM_SETITEMA, "LVM_SETITEM"},
      {LVM_GETITEMA, "LVM_GETITEM"},
      {LVM_SETITEMSTATE, "LVM_SETITEMSTATE"},
      {WM_SETREDRAW, "WM_SETREDRAW"},
      {WM_NOTIFY, "WM_NOTIFY"},
      {WM_PAINT, "WM_PAINT"},
      {WM_ERASEBKGND, "WM_ERASEBKGND"},
  };
  SUBCLASSPROC count = [](HWND hwnd, UINT m, WPARAM w, LPARAM l, UINT_PTR id, DWORD_PTR) -> LRESULT {
    auto it = kNames.find(m);
    char other[16];
    std::snprintf(other, sizeof(other), "0x%04X", m);
    messages[std::string(id == 1   ? "tree "
                         : id == 2 ? "list "
                                   : "dialog ") +
             (it != kNames.end() ? it->second : other)]++;
    return ::DefSubclassProc(hwnd, m, w, l);
  };
  const HWND windows[3] = {dlg.m_treeServers.GetSafeHwnd(), dlg.m_listServers.GetSafeHwnd(), dlg.m_hWnd};
  for (UINT_PTR i = 0; i < 3; ++i) ::SetWindowSubclass(windows[i], count, i + 1, 0);
  messages.clear();
  std::map<std::string, int> registry;
  {
    kvtest::CRegistryCallCounter counter({nullptr, "Dunlin.dll", "Bellcast.dll", "Prodwick.dll"});
    dlg.RefreshServerViews();
    ::RedrawWindow(dlg.m_hWnd, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    registry = counter.Counts();
  }
  for (UINT_PTR i = 0; i < 3; ++i) ::RemoveWindowSubclass(windows[i], count, i + 1);
  auto write = [out](const std::string& what, int n) {
    std::string name = what;
    for (char& c : name)
      if (c == ' ') c = ':';
    std::fprintf(out, "calls %s %d\n", name.c_str(), n);
  };
  for (const auto& [what, n] : messages) write("message " + what, n);
  for (const auto& [what, n] : registry) write("registry " + what, n);
}

void WriteCost(FILE* out, const char* name, const Cost& c) {
  std::fprintf(out, "%s %f %f %f\n", name, c.wall, c.console, c.server);
}

// One repeat, in a process of its own (started by MeasureShape) so that the
// first fill finds the product libraries as a starting console does: the
// dialog's fill, three steady passes, with roles two passes that each find
// one record changed, and the two baselines, written to file one figure a
// line ("name wall console server", "name value").
int MeasureOnce(const char* file, int group) {
  if (!LoadDiscoveryTableRoot() || !LoadProductRoot()) return 1;
  g_selfPid = FindLinuxProcess([&](const std::string& pid) {
    for (const std::string& argument : ProcFields(pid, "cmdline"))
      if (argument == file) return true;
    return false;
  });
  FILE* out = std::fopen(file, "w");
  if (!out) return 1;
  CRoleConsoleDlg dlg;
  bool created = false;
  if (std::getenv("KV_COUNT_FILL")) {
    static std::map<std::string, int> sent;
    HHOOK hook = ::SetWindowsHookExA(
        WH_CALLWNDPROC,
        [](int code, WPARAM w, LPARAM l) -> LRESULT {
          auto* m = reinterpret_cast<CWPSTRUCT*>(l);
          char cls[32] = {};
          ::GetClassNameA(m->hwnd, cls, sizeof(cls));
          char name[64];
          std::snprintf(name, sizeof(name), "fill-message:%s:0x%04X", cls, m->message);
          ++sent[name];
          return ::CallNextHookEx(nullptr, code, w, l);
        },
        nullptr, ::GetCurrentThreadId());
    kvtest::CRegistryCallCounter counter({nullptr, "Dunlin.dll", "Bellcast.dll", "Prodwick.dll"});
    WriteCost(out, "fill", Measure([&] { created = dlg.Create(nullptr); }));
    ::UnhookWindowsHookEx(hook);
    for (const auto& [what, n] : sent)
      if (n >= 50) std::fprintf(out, "calls %s %d\n", what.c_str(), n);
    for (const auto& [what, n] : counter.Counts()) {
      std::string name = "fill-registry:" + what;
      for (char& c : name)
        if (c == ' ') c = ':';
      std::fprintf(out, "calls %s %d\n", name.c_str(), n);
    }
  } else {
    WriteCost(out, "fill", Measure([&] { created = dlg.Create(nullptr); }));
  }
  if (!created) return std::fclose(out), 1;
  std::fprintf(out, "fillReading %f\n", dlg.m_lastPassCost.readingMs);
  // The registry floor right after the fill, on the same table.
  std::fprintf(out, "floor %f\n", RegistryFloorMs());
  // The console shows its window: a pass is the pass and the paint it causes,
  // as a timer's pass in the running console.
  ::ShowWindow(dlg.m_hWnd, SW_SHOWNOACTIVATE);
  auto pass = [&] {
    dlg.RefreshServerViews();
    ::RedrawWindow(dlg.m_hWnd, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  };
  pass();
  for (int i = 0; i < 3; ++i) WriteCost(out, "steady", Measure(pass));
  WriteCalls(out, dlg);
  // Another primary exists from 2 + group on.
  if (group > 0 && dlg.m_serverEntries.size() >= 2u + static_cast<unsigned>(group)) {
    for (bool away : {true, false}) {
      if (!MoveMember(group, away)) return std::fclose(out), 1;
      WriteCost(out, "changed", Measure(pass));
    }
  }
  ViewItems items = ReadViews(dlg);
  double b0 = NowMs();
  FillBareControls(items, false);
  double b1 = NowMs();
  FillBareControls(items, true);
  double b2 = NowMs();
  std::fprintf(out, "baseline %f\npassBaseline %f\nroots %zu\nlisted %zu\n", b1 - b0, b2 - b1, items.roots.size(),
               items.list.size());
  std::fclose(out);
  return 0;
}

ShapeFigures MeasureShape(unsigned count, int group, int repeats) {
  ShapeFigures f;
  f.group = group;
  char folder[MAX_PATH], file[MAX_PATH];
  ::GetTempPathA(sizeof(folder), folder);
  ::GetTempFileNameA(folder, "kvb", 0, file);
  for (int r = 0; r < repeats; ++r) {
    FILE* in = nullptr;
    if (kvlab::RunBesideThisProgram("consolebench.exe",
                                    std::string("--measure \"") + file + "\" " + std::to_string(group)) != 0 ||
        !(in = std::fopen(file, "r"))) {
      std::printf("the main dialog could not be measured (N=%u, group %d)\n", count, group);
      f.failed = true;
      break;
    }
    char name[32];
    double fill = 0, baseline = 0, passBaseline = 0, reading = -1, floor = -1;
    while (std::fscanf(in, "%31s", name) == 1) {
      const std::string key = name;
      if (key == "fill" || key == "steady" || key == "changed") {
        Cost c;
        if (std::fscanf(in, "%lf %lf %lf", &c.wall, &c.console, &c.server) != 3) break;
        Figures* wall = key == "fill" ? &f.fill : key == "steady" ? &f.steady : &f.changed;
        wall->Add(c.wall);
        if (key == "fill") fill = c.wall;
        if (key == "fill" && c.console >= 0) f.fillConsole.Add(c.console);
        if (key == "fill" && c.server >= 0) f.fillServer.Add(c.server);
        if (key == "steady" && c.console >= 0) f.steadyConsole.Add(c.console);
        if (key == "steady" && c.server >= 0) f.steadyServer.Add(c.server);
        if (key == "changed" && c.console >= 0) f.changedConsole.Add(c.console);
        if (key == "changed" && c.server >= 0) f.changedServer.Add(c.server);
      } else if (key == "calls") {
        char what[96];
        int n = 0;
        if (std::fscanf(in, "%95s %d", what, &n) == 2 && r == 0) f.calls[what] = n;
      } else if (key == "fillReading") {
        std::fscanf(in, "%lf", &reading);
      } else if (key == "floor") {
        std::fscanf(in, "%lf", &floor);
      } else if (key == "baseline") {
        std::fscanf(in, "%lf", &baseline);
      } else if (key == "passBaseline") {
        std::fscanf(in, "%lf", &passBaseline);
      } else if (key == "roots") {
        std::fscanf(in, "%zu", &f.roots);
      } else if (key == "listed") {
        std::fscanf(in, "%zu", &f.listed);
      }
    }
    std::fclose(in);
    if (baseline > 0) f.baseline.Add(baseline), f.ratio.Add(fill / baseline);
    if (passBaseline > 0) f.passBaseline.Add(passBaseline), f.passRatio.Add(fill / passBaseline);
    if (reading >= 0) f.fillReading.Add(reading), f.fillRest.Add(fill - reading);
    if (floor > 0) f.floor.Add(floor);
    if (floor > 0 && reading >= 0) f.readingRatio.Add(reading / floor);
    if (floor > 0 && passBaseline > 0) f.floorRatio.Add(fill / (floor + passBaseline));
  }
  ::DeleteFileA(file);
  return f;
}

// Both shapes of N servers, side by side.
struct SizeFigures {
  unsigned count = 0;
  ShapeFigures free, roles;
};

void PrintRow(const char* what, const Figures& a, const Figures& b, const char* unit = "ms", int decimals = 1) {
  auto text = [&](const Figures& f) { return f.values.empty() ? std::string("-") : f.Text(unit, decimals); };
  std::printf("  %-34s %-26s %s\n", what, text(a).c_str(), text(b).c_str());
}

void PrintSize(const SizeFigures& s) {
  std::printf("N=%u: %zu roots and %zu list items without roles; %zu roots and %zu list items in groups of %d\n",
              s.count, s.free.roots, s.free.listed, s.roles.roots, s.roles.listed, s.roles.group);
  std::printf("  %-34s %-26s %s\n", "", "no roles", ("groups of " + std::to_string(s.roles.group)).c_str());
  PrintRow("first fill", s.free.fill, s.roles.fill, "ms", 0);
  PrintRow("first fill, CPU console", s.free.fillConsole, s.roles.fillConsole, "ms", 0);
  PrintRow("first fill, CPU wineserver", s.free.fillServer, s.roles.fillServer, "ms", 0);
  PrintRow("fill: reading", s.free.fillReading, s.roles.fillReading, "ms", 0);
  PrintRow("fill: the rest (dialog, views)", s.free.fillRest, s.roles.fillRest, "ms", 0);
  PrintRow("registry floor", s.free.floor, s.roles.floor, "ms", 0);
  PrintRow("reading / registry floor", s.free.readingRatio, s.roles.readingRatio, "x", 2);
  PrintRow("baseline, list order", s.free.baseline, s.roles.baseline, "ms", 0);
  PrintRow("fill / baseline, list order", s.free.ratio, s.roles.ratio, "x", 2);
  PrintRow("baseline, pass order", s.free.passBaseline, s.roles.passBaseline, "ms", 0);
  PrintRow("fill / baseline, pass order", s.free.passRatio, s.roles.passRatio, "x", 1);
  PrintRow("fill / (floor + pass order)", s.free.floorRatio, s.roles.floorRatio, "x", 2);
  PrintRow("steady pass, wall", s.free.steady, s.roles.steady);
  PrintRow("steady pass, CPU console", s.free.steadyConsole, s.roles.steadyConsole);
  PrintRow("steady pass, CPU wineserver", s.free.steadyServer, s.roles.steadyServer);
  PrintRow("one record changed, wall", s.free.changed, s.roles.changed);
  PrintRow("one record changed, CPU console", s.free.changedConsole, s.roles.changedConsole);
  PrintRow("one record changed, CPU wineserver", s.free.changedServer, s.roles.changedServer);
  std::map<std::string, std::pair<int, int>> calls;
  for (const auto& [what, n] : s.free.calls) calls[what].first = n;
  for (const auto& [what, n] : s.roles.calls) calls[what].second = n;
  std::printf(
      "  calls in one steady pass (messages by window, registry calls of the console and the product DLLs;\n"
      "  with KV_COUNT_FILL=1 also those of the first fill of the first repeat, which they slow)\n");
  for (const auto& [what, n] : calls) std::printf("    %-48s %8d %8d\n", what.c_str(), n.first, n.second);
  if (!s.free.fill.values.empty() && !s.roles.fill.values.empty())
    std::printf("  first fill with roles / without (medians): %.2f; CPU console + wineserver %.2f\n",
                s.roles.fill.Median() / s.free.fill.Median(),
                (s.roles.fillConsole.Median() + s.roles.fillServer.Median()) /
                    std::max(1e-9, s.free.fillConsole.Median() + s.free.fillServer.Median()));
  std::fflush(stdout);
}

// From starting the program to its painted, idle window: wall time, and the
// CPU time the program and the wineserver used meanwhile (negative where
// /proc cannot be read); wall -1 when no window came.
struct StartCost {
  double wall = -1, program = -1, server = -1;
};

StartCost StartToPainted(const std::string& program, const char* title) {
  char path[MAX_PATH];
  std::string exe(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
  exe = exe.substr(0, exe.find_last_of('\\') + 1) + program;
  std::string command = "\"" + exe + "\"";
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  StartCost cost;
  // A window of that title already up (a console left running) would be
  // taken for the new one's.
  if (::FindWindowA(nullptr, title)) return std::printf("a window \"%s\" is already up\n", title), cost;
  const std::string server = WineserverPid();
  const long long s0 = LinuxCpuNs(server);
  double t0 = NowMs();
  if (!::CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return cost;
  // Wait for the program's first idle moment (its window up and painted,
  // unless it waited for input before that) without asking the wineserver
  // anything meanwhile: a poll every millisecond made about 3000 requests
  // during one console start and took the wineserver from the program it
  // measured.
  ::WaitForInputIdle(pi.hProcess, 30000);
  for (int waited = 0; waited < 30000; ++waited) {
    HWND window = ::FindWindowA(nullptr, title);
    if (window && ::IsWindowVisible(window)) {
      ::WaitForInputIdle(pi.hProcess, 10000);
      // A message sent now is handled once the paint messages of the first
      // show have been dealt with (they come before the thread waits again).
      DWORD_PTR unused = 0;
      ::SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &unused);
      cost.wall = NowMs() - t0;
      const long long s1 = LinuxCpuNs(server);
      if (s0 >= 0 && s1 >= 0) cost.server = (s1 - s0) / 1e6;
      // The program is idle now: its CPU time no longer grows while it is found.
      const std::string pid = FindLinuxProcess([&](const std::string& candidate) {
        std::vector<std::string> arguments = ProcFields(candidate, "cmdline");
        return !arguments.empty() && _stricmp(arguments[0].c_str(), exe.c_str()) == 0;
      });
      const long long c = LinuxCpuNs(pid);
      if (c >= 0) cost.program = c / 1e6;
      break;
    }
    if (::WaitForSingleObject(pi.hProcess, 1) == WAIT_OBJECT_0) break;
  }
  ::TerminateProcess(pi.hProcess, 0);
  ::WaitForSingleObject(pi.hProcess, 10000);
  ::CloseHandle(pi.hProcess);
  ::CloseHandle(pi.hThread);
  return cost;
}

// Starts the console, the dialog of the console's controls and the empty
// dialog in turn, repeats times each, and prints their times to the painted
// window and the ratios; false when a program showed no window.
bool CompareStartUp(const char* what, int repeats) {
  struct Program {
    const char* exe;
    const char* title;
    Figures wall, cpu, server;
  } programs[] = {{"Quayside.exe", "SAN Option Configuration", {}, {}, {}},
                  {"ControlsDialog.exe", "Controls Dialog", {}, {}, {}},
                  {"EmptyDialog.exe", "Empty Dialog", {}, {}, {}}};
  for (int r = 0; r < repeats; ++r) {
    for (Program& p : programs) {
      StartCost c = StartToPainted(p.exe, p.title);
      if (c.wall < 0) return std::printf("%s did not show its window\n", p.exe), false;
      p.wall.Add(c.wall);
      if (c.program >= 0) p.cpu.Add(c.program);
      if (c.server >= 0) p.server.Add(c.server);
    }
  }
  const Program& console = programs[0];
  const Program& controls = programs[1];
  const Program& empty = programs[2];
  auto ratio = [](const Figures& a, const Figures& b) { return b.Median() > 0 ? a.Median() / b.Median() : 0; };
  std::printf(
      "%s start to painted window: console %s, dialog of its controls %s, empty dialog %s; ratio %.2f to the "
      "empty dialog, %.2f to the controls\n",
      what, console.wall.Text().c_str(), controls.wall.Text().c_str(), empty.wall.Text().c_str(),
      ratio(console.wall, empty.wall), ratio(console.wall, controls.wall));
  if (!console.cpu.values.empty() && !controls.cpu.values.empty() && !empty.cpu.values.empty())
    std::printf("  CPU of the program: console %s, controls %s, empty dialog %s; ratio %.2f, %.2f\n",
                console.cpu.Text().c_str(), controls.cpu.Text().c_str(), empty.cpu.Text().c_str(),
                ratio(console.cpu, empty.cpu), ratio(console.cpu, controls.cpu));
  if (!console.server.values.empty() && !controls.server.values.empty() && !empty.server.values.empty())
    std::printf("  CPU of the wineserver meanwhile: console %s, controls %s, empty dialog %s\n",
                console.server.Text().c_str(), controls.server.Text().c_str(), empty.server.Text().c_str());
  std::fflush(stdout);
  return true;
}

constexpr int kGroup = 16;

double RatioOfMedians(const Figures& large, const Figures& small) {
  return small.Median() > 0 ? large.Median() / small.Median() : 0;
}

}  // namespace

int main(int argc, char** argv) {
  ::InitCommonControls();
  if (argc == 4 && std::strcmp(argv[1], "--measure") == 0) return MeasureOnce(argv[2], std::atoi(argv[3]));
  // Only the start-up comparison, on the lab the environment names (the
  // default lab unless KV_LAB_ROOT says otherwise), as it stands.
  if (argc == 3 && std::strcmp(argv[1], "--startup") == 0) {
    int repeats = std::atoi(argv[2]);
    if (repeats < 1 || repeats > 200) return std::fprintf(stderr, "usage: consolebench --startup repeats\n"), 2;
    return CompareStartUp("start-up only:", repeats) ? 0 : 1;
  }
  int repeats = argc > 1 ? std::atoi(argv[1]) : 5;
  std::vector<unsigned> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(static_cast<unsigned>(std::strtoul(argv[i], nullptr, 10)));
  if (sizes.empty()) sizes = {64, 1024, 4096};
  std::sort(sizes.begin(), sizes.end());
  if (repeats < 1 || repeats > 50 || sizes.front() < 1 || sizes.back() > 8000)
    return std::fprintf(stderr, "usage: consolebench [repeats 1..50 [N 1..8000 ...]]\n"), 2;

  kvlab::CScopedLab lab("consolebench", 0);
  if (LONG rc = lab.StartLocalDiscovery()) return std::printf("local service: status %ld\n", rc), 1;
  if (!LoadDiscoveryTableRoot() || !LoadProductRoot()) return std::printf("no registry roots\n"), 1;
  std::printf("consolebench: lab %s, %d repeats, times in ms as median (min..max); CPU %s (wineserver %s)\n",
              lab.Root().c_str(), repeats, LinuxCpuNs(WineserverPid()) < 0 ? "not readable" : "from /proc",
              WineserverPid().empty() ? "not found" : WineserverPid().c_str());

  std::vector<SizeFigures> all;
  for (unsigned count : sizes) {
    SizeFigures size;
    size.count = count;
    for (int group : {0, kGroup}) {
      const std::string args = "scale " + std::to_string(count) + " --group " + std::to_string(group);
      if (DWORD rc = kvlab::RunBesideThisProgram("kvlab.exe", args))
        return std::printf("kvlab %s: exit %lu\n", args.c_str(), static_cast<unsigned long>(rc)), 1;
      ::Sleep(3000);  // the broadcasts of the changed records settle
      ShapeFigures f = MeasureShape(count, group, repeats);
      if (f.failed) return 1;
      (group ? size.roles : size.free) = f;
    }
    PrintSize(size);
    all.push_back(size);

    if (count == sizes.front()) {
      char what[64];
      std::snprintf(what, sizeof(what), "N=%u (groups of %d)", count, kGroup);
      if (!CompareStartUp(what, repeats)) return 1;
    }
  }
  const SizeFigures* small = nullptr;
  const SizeFigures* large = nullptr;
  for (const SizeFigures& f : all) {
    if (f.count == 1024) small = &f;
    if (f.count == 4096) large = &f;
  }
  if (small && large) {
    std::printf("ratio 4096/1024 of the medians (linear: 4.00)   no roles   groups of %d\n", kGroup);
    auto row = [](const char* what, double a, double b) { std::printf("  %-44s %5.2f   %5.2f\n", what, a, b); };
    row("steady pass, wall", RatioOfMedians(large->free.steady, small->free.steady),
        RatioOfMedians(large->roles.steady, small->roles.steady));
    row("steady pass, CPU console", RatioOfMedians(large->free.steadyConsole, small->free.steadyConsole),
        RatioOfMedians(large->roles.steadyConsole, small->roles.steadyConsole));
    row("first fill", RatioOfMedians(large->free.fill, small->free.fill),
        RatioOfMedians(large->roles.fill, small->roles.fill));
    row("baseline, pass order", RatioOfMedians(large->free.passBaseline, small->free.passBaseline),
        RatioOfMedians(large->roles.passBaseline, small->roles.passBaseline));
  }
  return 0;
}
