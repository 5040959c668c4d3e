// pagebench: how long the Properties dialog's Distributed Servers page takes
// to fill for a primary with N members, in a lab of its own (removed at the
// end) with the real local Discovery Service. The dialog is shown, as a user
// sees it; each repeat opens a new dialog and times the selection of the
// second tab, which opens the page's session, reads the primary's list and
// fills the page.
// Usage: pagebench [repeats [N]]   (default 5 repeats, 500 members)
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "DiscoveryService.h"
#include "RoleTables.h"
#include "ServerPropertiesDlg.h"
#include "BenchClock.h"
#include "TestLab.h"
#include "resource.h"

namespace {

DiscoveryEntry TableEntry(const std::string& server) {
  DiscoveryEntry found{};
  for (const DiscoveryEntry& entry : ReadServerEntries())
    if (server == entry.serverName) found = entry;
  return found;
}

void Pump() {
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::atoi(argv[1]) : 5;
  const int members = argc > 2 ? std::atoi(argv[2]) : 500;
  ::InitCommonControls();
  kvlab::CScopedLab lab("pagebench", 0);
  if (lab.Add("PRIMARY", "pw") != 0 || kvlab::SetRole("PRIMARY", "PRIMARY", "Administrator", "pw") != 0) {
    std::fprintf(stderr, "pagebench: the lab could not be made\n");
    return 1;
  }
  {
    kv::CRegKey root, list;
    kvlab::OpenMachineRoot("PRIMARY", root);
    kvlab::CreateKey(root.Get(), kvlab::ProductRoot() + "\\ELODistributedServers", list);
    for (int i = 1; i <= members; ++i) {
      char name[16];
      std::snprintf(name, sizeof(name), "MEMBER%05d", i);
      ::RegSetValueExA(list.Get(), name, 0, REG_SZ, nullptr, 0);
    }
  }
  bool ready = lab.StartLocalDiscovery() == 0 && kvlab::WaitForTable({"PRIMARY"}, 20000);
  for (int waited = 0; ready && !kvlab::LocalRecordNames("PRIMARY", "PRIMARY") && waited < 20000; waited += 50)
    ::Sleep(50);
  if (!ready || !kvlab::LocalRecordNames("PRIMARY", "PRIMARY") || !LoadDiscoveryTableRoot() || !LoadProductRoot()) {
    std::fprintf(stderr, "pagebench: the local table does not show the primary\n");
    return 1;
  }
  const DiscoveryEntry entry = TableEntry("PRIMARY");
  std::vector<double> times;
  for (int r = 0; r < repeats; ++r) {
    CServerPropertiesDlg dlg(&entry);
    if (!dlg.Create(nullptr)) return 1;
    ::ShowWindow(dlg.m_hWnd, SW_SHOW);
    Pump();
    HWND tab = dlg.m_tab.GetSafeHwnd();
    const double start = NowMs();
    TabCtrl_SetCurSel(tab, 1);
    NMHDR hdr{tab, IDC_PROPERTIES_TAB, static_cast<UINT>(TCN_SELCHANGE)};
    ::SendMessageA(dlg.m_hWnd, WM_NOTIFY, IDC_PROPERTIES_TAB, reinterpret_cast<LPARAM>(&hdr));
    ::UpdateWindow(dlg.m_pageDistributed.m_listServers.GetSafeHwnd());
    Pump();
    times.push_back(NowMs() - start);
    const int shown = dlg.m_pageDistributed.m_listServers.GetItemCount();
    if (shown != members) std::fprintf(stderr, "pagebench: the page shows %d of %d members\n", shown, members);
    dlg.DestroyWindow();
  }
  std::sort(times.begin(), times.end());
  std::printf("Distributed Servers page, %d members, shown: median %.0f ms (%.0f..%.0f) over %d fills\n", members,
              times[times.size() / 2], times.front(), times.back(), repeats);
  return 0;
}
