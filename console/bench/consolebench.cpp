// consolebench: figures of the console's main dialog at SAN scale, in a lab
// of its own (removed at the end), with the real local Discovery Service.
// For each N (servers added with `kvlab scale N`) and over R repeats:
//  - first fill: creating the (hidden) main dialog, whose first refresh pass
//    fills both views, against two baselines in the same run: creating a
//    hidden window with bare tree and list controls and inserting the same
//    items with redraw off, once in the order the list shows them and once in
//    the order the pass meets them (Wine's sorted list view places an item by
//    walking the items before it, so the order alone makes the first many
//    times dearer than the second); console and baselines alternate;
//  - steady pass: RefreshServerViews on the filled dialog, nothing changed
//    but what the Discovery Service itself rewrites;
// then the ratio of the medians 4096/1024, and, at the smallest N, the time
// from starting Quayside.exe to its painted, idle window against an empty
// dialog program started the same way.
// Each repeat runs in a child process (consolebench --measure FILE) on the
// same lab, so that every first fill starts as cold as a console does.
// Usage: consolebench [repeats [N ...]]   (default 5 repeats; 64 1024 4096)
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "RoleConsoleDlg.h"
#include "RoleTables.h"
#include "TestLab.h"

namespace {

double NowMs() {
  LARGE_INTEGER f, t;
  ::QueryPerformanceFrequency(&f);
  ::QueryPerformanceCounter(&t);
  return t.QuadPart * 1000.0 / f.QuadPart;
}

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

struct SizeFigures {
  unsigned count = 0;
  bool failed = false;
  Figures fill, baseline, ratio, passBaseline, passRatio, steady;
};

// One repeat, in a process of its own (started by MeasureSize) so that the
// first fill finds the product libraries as a starting console does: the
// dialog's fill, three steady passes and the two baselines, written to file
// as "fill pass pass pass baseline passBaseline roots listItems".
int MeasureOnce(const char* file) {
  if (!LoadDiscoveryTableRoot() || !LoadProductRoot()) return 1;
  double t0 = NowMs();
  CRoleConsoleDlg dlg;
  if (!dlg.Create(nullptr)) return 1;
  double fill = NowMs() - t0;
  double passes[3];
  for (double& pass : passes) {
    double p0 = NowMs();
    dlg.RefreshServerViews();
    pass = NowMs() - p0;
  }
  ViewItems items = ReadViews(dlg);
  double b0 = NowMs();
  FillBareControls(items, false);
  double b1 = NowMs();
  FillBareControls(items, true);
  double b2 = NowMs();
  FILE* out = std::fopen(file, "w");
  if (!out) return 1;
  std::fprintf(out, "%f %f %f %f %f %f %zu %zu\n", fill, passes[0], passes[1], passes[2], b1 - b0, b2 - b1,
               items.roots.size(), items.list.size());
  std::fclose(out);
  return 0;
}

SizeFigures MeasureSize(unsigned count, int repeats) {
  SizeFigures f;
  f.count = count;
  char folder[MAX_PATH], file[MAX_PATH];
  ::GetTempPathA(sizeof(folder), folder);
  ::GetTempFileNameA(folder, "kvb", 0, file);
  for (int r = 0; r < repeats; ++r) {
    double v[6] = {};
    size_t roots = 0, listed = 0;
    FILE* in = nullptr;
    if (kvlab::RunBesideThisProgram("consolebench.exe", std::string("--measure \"") + file + "\"") != 0 ||
        !(in = std::fopen(file, "r")) ||
        std::fscanf(in, "%lf %lf %lf %lf %lf %lf %zu %zu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &roots, &listed) !=
            8) {
      if (in) std::fclose(in);
      std::printf("the main dialog could not be measured\n");
      f.failed = true;
      break;
    }
    std::fclose(in);
    f.fill.Add(v[0]);
    for (int pass = 1; pass <= 3; ++pass) f.steady.Add(v[pass]);
    f.baseline.Add(v[4]);
    f.ratio.Add(v[0] / v[4]);
    f.passBaseline.Add(v[5]);
    f.passRatio.Add(v[0] / v[5]);
    if (r == 0) std::printf("  N=%u: views hold %zu roots, %zu list items\n", count, roots, listed);
  }
  ::DeleteFileA(file);
  return f;
}

// From CreateProcess to the program's window shown and its thread idle (the
// first paint done), then the process is ended.
double StartToPaintedMs(const std::string& program, const char* title) {
  char path[MAX_PATH];
  std::string exe(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
  exe = exe.substr(0, exe.find_last_of('\\') + 1) + program;
  std::string command = "\"" + exe + "\"";
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  double t0 = NowMs();
  if (!::CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
  double shown = -1;
  for (int waited = 0; waited < 30000; ++waited) {
    HWND window = ::FindWindowA(nullptr, title);
    if (window && ::IsWindowVisible(window)) {
      ::WaitForInputIdle(pi.hProcess, 10000);
      // A message sent now is handled once the paint messages of the first
      // show have been dealt with (they come before the thread waits again).
      DWORD_PTR unused = 0;
      ::SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &unused);
      shown = NowMs() - t0;
      break;
    }
    if (::WaitForSingleObject(pi.hProcess, 1) == WAIT_OBJECT_0) break;
  }
  ::TerminateProcess(pi.hProcess, 0);
  ::WaitForSingleObject(pi.hProcess, 10000);
  ::CloseHandle(pi.hProcess);
  ::CloseHandle(pi.hThread);
  return shown;
}

}  // namespace

int main(int argc, char** argv) {
  ::InitCommonControls();
  if (argc == 3 && std::strcmp(argv[1], "--measure") == 0) return MeasureOnce(argv[2]);
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
  std::printf("consolebench: lab %s, %d repeats, times in ms as median (min..max)\n", lab.Root().c_str(), repeats);

  std::vector<SizeFigures> all;
  for (unsigned count : sizes) {
    DWORD rc = kvlab::RunBesideThisProgram("kvlab.exe", "scale " + std::to_string(count));
    if (rc) return std::printf("kvlab scale %u: exit %lu\n", count, static_cast<unsigned long>(rc)), 1;
    ::Sleep(1000);
    SizeFigures f = MeasureSize(count, repeats);
    if (f.failed) return 1;
    std::printf("N=%u first fill %s; baseline in list order %s, fill/baseline %s; in pass order %s, fill/baseline %s\n",
                count, f.fill.Text().c_str(), f.baseline.Text().c_str(), f.ratio.Text("x", 2).c_str(),
                f.passBaseline.Text().c_str(), f.passRatio.Text("x", 2).c_str());
    std::printf("N=%u steady pass %s over %zu passes\n", count, f.steady.Text("ms", 1).c_str(), f.steady.values.size());
    std::fflush(stdout);
    all.push_back(f);

    if (count == sizes.front()) {
      Figures console, empty, difference;
      for (int r = 0; r < repeats; ++r) {
        double a = StartToPaintedMs("Quayside.exe", "SAN Option Configuration");
        double b = StartToPaintedMs("EmptyDialog.exe", "Empty Dialog");
        if (a < 0 || b < 0) return std::printf("a program did not show its window\n"), 1;
        console.Add(a);
        empty.Add(b);
        difference.Add(a - b);
      }
      std::printf("N=%u start to painted window: console %s, empty dialog %s, difference %s\n", count,
                  console.Text().c_str(), empty.Text().c_str(), difference.Text().c_str());
      std::fflush(stdout);
    }
  }
  const SizeFigures* small = nullptr;
  const SizeFigures* large = nullptr;
  for (const SizeFigures& f : all) {
    if (f.count == 1024) small = &f;
    if (f.count == 4096) large = &f;
  }
  if (small && large)
    std::printf(
        "ratio 4096/1024 of the medians: steady pass %.2f, first fill %.2f, baselines %.2f and %.2f (linear: 4.00)\n",
        large->steady.Median() / small->steady.Median(), large->fill.Median() / small->fill.Median(),
        large->baseline.Median() / small->baseline.Median(),
        large->passBaseline.Median() / small->passBaseline.Median());
  return 0;
}
