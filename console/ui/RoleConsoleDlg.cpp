#include "RoleConsoleDlg.h"

#include "Dpi.h"
#include "Dunlin.h"
#include "MessageBox.h"
#include "Messages.h"
#include "ServerImages.h"
#include "ServerViews.h"
#include "StartupTrace.h"
#include "Toolwright.h"
#include "resource.h"

namespace {

constexpr char kSettingSection[] = "VODIdazur";
constexpr char kAutoRefreshKey[] = "AutoRefresh";
constexpr DWORD kStatusBarStyle = WS_CHILD | WS_VISIBLE | 0x8200;
constexpr UINT kCloseWarningFlags = MB_OKCANCEL | MB_ICONWARNING | MB_TASKMODAL | MB_TOPMOST;  // 0x42031
// SetTimer is retried with the next identifier while it fails, this often.
constexpr UINT_PTR kLastTimerId = 1000;

struct ControlTexts {
  int control;
  UINT tip;
  UINT hint;
};

constexpr ControlTexts kControlTexts[] = {
    {IDOK, IDS_TIP_CLOSE, IDS_HINT_CLOSE},
    {IDC_TREE_SERVERS, IDS_TIP_TREE, IDS_TIP_TREE},
    {IDC_LIST_SERVERS, IDS_TIP_LIST, IDS_HINT_LIST},
    {IDC_ASSIGN_DISTRIBUTED, IDS_TIP_ASSIGN_DISTRIBUTED, IDS_HINT_ASSIGN_DISTRIBUTED},
    {IDC_REMOVE_DISTRIBUTED, IDS_TIP_REMOVE_DISTRIBUTED, IDS_HINT_REMOVE_DISTRIBUTED},
    {IDC_MAKE_PRIMARY, IDS_TIP_MAKE_PRIMARY, IDS_HINT_MAKE_PRIMARY},
    {IDC_DELETE_PRIMARY, IDS_TIP_DELETE_PRIMARY, IDS_HINT_DELETE_PRIMARY},
    {IDC_REFRESH, IDS_TIP_REFRESH, IDS_HINT_REFRESH},
    {IDC_AUTO_REFRESH, IDS_TIP_AUTO_REFRESH, IDS_HINT_AUTO_REFRESH},
    {ID_HELP, IDS_TIP_HELP, IDS_HINT_HELP},
};

const ControlTexts* TextsOf(int control) {
  for (const ControlTexts& t : kControlTexts)
    if (t.control == control) return &t;
  return nullptr;
}

// Fills the tooltip's request (ANSI or wide: the same fields, other offsets)
// and returns the hint of the control, or null for a control without texts.
template <class DispInfo>
const ControlTexts* FillToolTip(DispInfo* info) {
  const ControlTexts* texts = TextsOf(::GetDlgCtrlID(reinterpret_cast<HWND>(info->hdr.idFrom)));
  if (texts) {
    info->hinst = kv::ResourceInstance();
    info->lpszText = reinterpret_cast<decltype(info->lpszText)>(static_cast<ULONG_PTR>(texts->tip));
  } else {
    info->hinst = nullptr;
    info->szText[0] = 0;
    info->lpszText = info->szText;
  }
  return texts;
}

}  // namespace

const kv::MessageEntry<CRoleConsoleDlg> CRoleConsoleDlg::kMessages[29] = {
    kv::OnCommand(IDC_REFRESH, BN_CLICKED, &CRoleConsoleDlg::OnRefresh),
    kv::OnCommand(IDC_AUTO_REFRESH, BN_CLICKED, &CRoleConsoleDlg::OnAutoRefresh),
    kv::OnCommand(ID_HELP, BN_CLICKED, &CRoleConsoleDlg::OnHelp),
    kv::OnNotify(IDC_LIST_SERVERS, NM_CLICK, &CRoleConsoleDlg::OnSelectionNotify),
    kv::OnNotify(IDC_TREE_SERVERS, NM_CLICK, &CRoleConsoleDlg::OnSelectionNotify),
    kv::OnNotify(IDC_TREE_SERVERS, TVN_SELCHANGEDA, &CRoleConsoleDlg::OnSelectionNotify),
    kv::OnNotify(IDC_TREE_SERVERS, NM_SETFOCUS, &CRoleConsoleDlg::OnSelectionNotify),
    kv::OnNotify(IDC_LIST_SERVERS, NM_SETFOCUS, &CRoleConsoleDlg::OnSelectionNotify),
    kv::OnNotifyEx(kv::kAnyId, TTN_NEEDTEXTA, &CRoleConsoleDlg::OnToolTipText),
    kv::OnNotifyEx(kv::kAnyId, TTN_NEEDTEXTW, &CRoleConsoleDlg::OnToolTipText),
    kv::OnMessage(WM_TIMER, &CRoleConsoleDlg::OnTimer),
    kv::OnMessage(WM_QUERYDRAGICON, &CRoleConsoleDlg::OnQueryDragIcon),
    kv::OnMessage(WM_DESTROY, &CRoleConsoleDlg::OnDestroy),
    kv::OnMessage(WM_ENABLE, &CRoleConsoleDlg::OnEnable),
    // Role commands and their context menus (RoleCommands.cpp).
    kv::OnCommand(IDC_ASSIGN_DISTRIBUTED, BN_CLICKED, &CRoleConsoleDlg::OnAssignDistributed),
    kv::OnCommand(IDC_REMOVE_DISTRIBUTED, BN_CLICKED, &CRoleConsoleDlg::OnRemoveDistributed),
    kv::OnCommand(IDC_MAKE_PRIMARY, BN_CLICKED, &CRoleConsoleDlg::OnMakePrimary),
    kv::OnCommand(IDC_DELETE_PRIMARY, BN_CLICKED, &CRoleConsoleDlg::OnDeletePrimary),
    kv::OnCommand(ID_FORCE_REMOVE, 0, &CRoleConsoleDlg::OnForceRemove),
    kv::OnNotify(IDC_TREE_SERVERS, NM_RCLICK, &CRoleConsoleDlg::OnTreeContextMenu),
    kv::OnNotify(IDC_LIST_SERVERS, NM_RCLICK, &CRoleConsoleDlg::OnListContextMenu),
    kv::OnCommand(ID_TREE_PROPERTIES, 0, &CRoleConsoleDlg::OnTreeServerProperties),
    kv::OnCommand(ID_LIST_PROPERTIES, 0, &CRoleConsoleDlg::OnListServerProperties),
    kv::OnCommand(ID_TREE_DS_STATUS, 0, &CRoleConsoleDlg::OnTreeDiscoveryStatus),
    kv::OnCommand(ID_LIST_DS_STATUS, 0, &CRoleConsoleDlg::OnListDiscoveryStatus),
    kv::OnCommand(ID_PRIMARY_SECURITY, 0, &CRoleConsoleDlg::OnSecurity),
    kv::OnCommand(ID_DISTRIBUTED_SECURITY, 0, &CRoleConsoleDlg::OnSecurity),
    // The keyboard (RoleCommands.cpp).
    kv::OnMessage(kv::WM_KV_SHORTCUT, &CRoleConsoleDlg::OnShortcut),
    kv::OnMessage(WM_HELP, &CRoleConsoleDlg::OnHelpKey),
};

CRoleConsoleDlg::CRoleConsoleDlg()
    : CDialog(IDD_MAIN),
      m_bAutoRefresh(FALSE),
      m_hIcon(::LoadIconA(kv::ResourceInstance(), MAKEINTRESOURCEA(IDI_QUAYSIDE))),
      m_bRefreshing(FALSE),
      m_bIdle(FALSE),
      m_nGeneration(0),
      m_nTimerId(0) {}

CRoleConsoleDlg::~CRoleConsoleDlg() {
  // A window still up (a modeless test run) goes while the image lists and
  // controls it refers to are still there.
  if (m_hWnd) ::DestroyWindow(m_hWnd);
}

INT_PTR CRoleConsoleDlg::Run(kv::CWinApp& app) {
  struct MainWindowScope {
    kv::CWinApp& app;
    ~MainWindowScope() { app.m_hMainWnd = nullptr; }
  } scope{app};
  return DoModal();
}

bool CRoleConsoleDlg::ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) {
  if (m == WM_PAINT && !m_bPainted) {
    m_bPainted = true;
    kv::StartupMark("first paint");
  }
  if (m == WM_PAINT && ::IsIconic(m_hWnd)) {
    PaintMinimized();
    r = 0;
    return true;
  }
  return kv::DispatchTable(this, kMessages, m, w, l, r) || CDialog::ProcessMessageTable(m, w, l, r);
}

void CRoleConsoleDlg::DoDataExchange(kv::CDataExchange& dx) { kv::DDX_Check(dx, IDC_AUTO_REFRESH, m_bAutoRefresh); }

BOOL CRoleConsoleDlg::OnInitDialog() {
  kv::StartupMark("dialog created");
  m_btnRemoveDistributed.AttachDlgItem(m_hWnd, IDC_REMOVE_DISTRIBUTED);
  m_btnMakePrimary.AttachDlgItem(m_hWnd, IDC_MAKE_PRIMARY);
  m_btnDeletePrimary.AttachDlgItem(m_hWnd, IDC_DELETE_PRIMARY);
  m_btnAssignDistributed.AttachDlgItem(m_hWnd, IDC_ASSIGN_DISTRIBUTED);
  m_listServers.AttachDlgItem(m_hWnd, IDC_LIST_SERVERS);
  m_treeServers.AttachDlgItem(m_hWnd, IDC_TREE_SERVERS);
  CDialog::OnInitDialog();
  if (m_bModal)
    if (kv::CWinApp* app = kv::CWinApp::Current()) app->m_hMainWnd = m_hWnd;

  kv::SetQuestionRoot(m_hWnd);
  m_shortcuts.Attach(m_hWnd, kShortcuts);
  AddToolTips();
  kv::StartupMark("tooltips");
  StartTimer();
  kv::StartupMark("timer");
  CreateStatusBar();
  kv::StartupMark("status bar");
  if (::DiscoveryAttach(0) != 0) return FALSE;
  kv::StartupMark("discovery attach");
  ::SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  ::SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  InitServerViews();
  kv::StartupMark("server views");
  m_bAutoRefresh = ::ReadToolSetting(0, kSettingSection, 0, kAutoRefreshKey, 0) != 0;
  UpdateData(FALSE);
  kv::StartupMark("settings");
  m_bRefreshing = FALSE;
  m_bIdle = TRUE;
  return TRUE;
}

void CRoleConsoleDlg::AddToolTips() {
  if (!m_tooltip.Create(m_hWnd, TTS_ALWAYSTIP)) return;
  m_tooltip.Activate(TRUE);
  // The tooltip's own subclass (TTF_SUBCLASS) looks up a window property for
  // every message the control gets, one wineserver round trip each under
  // Wine (a few hundred for the first paint alone, thousands for the tree
  // and the list in a refresh pass): every control relays its mouse messages
  // to the tooltip itself instead, so the tips and hints behave the same.
  size_t children = 0;
  for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) ++children;
  m_relays.assign(children, ToolTipRelay());  // not resized again: the controls hold pointers into it
  size_t slot = 0;
  for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child && slot < children; child = ::GetWindow(child, GW_HWNDNEXT)) {
    TOOLINFOA info{};
    info.cbSize = TTTOOLINFOA_V2_SIZE;
    info.uFlags = TTF_IDISHWND;
    info.hwnd = m_hWnd;
    info.uId = reinterpret_cast<UINT_PTR>(child);
    ::GetWindowRect(child, &info.rect);
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&info.rect), 2);
    info.lpszText = LPSTR_TEXTCALLBACKA;
    if (m_tooltip.AddTool(info)) RelayToolTips(child, slot++);
  }
}

void CRoleConsoleDlg::RelayToolTips(HWND control, size_t slot) {
  ToolTipRelay& relay = m_relays[slot];
  relay.control = control;
  relay.tooltip = m_tooltip.GetSafeHwnd();
  ::SetWindowLongPtrA(control, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&relay));
  relay.original = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrA(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CRoleConsoleDlg::ToolTipRelayProc)));
}

void CRoleConsoleDlg::RestoreToolTipRelays() {
  for (ToolTipRelay& relay : m_relays) {
    if (!relay.control || !relay.original) continue;
    ::SetWindowLongPtrA(relay.control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(relay.original));
    ::SetWindowLongPtrA(relay.control, GWLP_USERDATA, 0);
    relay = ToolTipRelay();
  }
}

LRESULT CALLBACK CRoleConsoleDlg::ToolTipRelayProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* relay = reinterpret_cast<ToolTipRelay*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!relay || !relay->original) return ::DefWindowProcA(hwnd, message, wParam, lParam);
  switch (message) {
    // The messages a tooltip takes from TTM_RELAYEVENT.
    case WM_MOUSEMOVE:
    case WM_NCMOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP: {
      MSG msg{hwnd, message, wParam, lParam, static_cast<DWORD>(::GetMessageTime()), {}};
      ::GetCursorPos(&msg.pt);
      ::SendMessageA(relay->tooltip, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
      break;
    }
    default:
      break;
  }
  return ::CallWindowProcA(relay->original, hwnd, message, wParam, lParam);
}

void CRoleConsoleDlg::StartTimer() {
  UINT_PTR id = 1;
  while ((m_nTimerId = ::SetTimer(m_hWnd, id, kTimerPeriodMs, nullptr)) == 0 && id < kLastTimerId) ++id;
}

void CRoleConsoleDlg::CreateStatusBar() {
  RECT place{};
  ::GetWindowRect(GetDlgItem(IDC_STATUS_PLACE), &place);
  ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&place), 2);
  if (!m_statusBar.Create(kStatusBarStyle, place, m_hWnd, IDC_STATUS_BAR)) return;
  RECT client{};
  ::GetClientRect(m_hWnd, &client);
  const int width = client.right - client.left;
  const int edges[2] = {(width / 3) * 2, width};
  m_statusBar.SetParts(2, edges);
}

void CRoleConsoleDlg::InitServerViews() {
  LoadServerImages(m_imlTree, IDB_TREE_IMAGES);
  LoadServerImages(m_imlList, IDB_LIST_IMAGES);
  kv::StartupMark("image lists");
  m_treeServers.SetImageList(m_imlTree.GetSafeHandle(), TVSIL_NORMAL);
  m_listServers.SetImageList(m_imlList.GetSafeHandle(), LVSIL_SMALL);
  m_listServers.InsertColumn(0, "", LVCFMT_LEFT, kv::ScaleToDpi(kListColumnWidth));

  m_bRefreshing = TRUE;
  RunRefreshPass();
  m_bRefreshing = FALSE;

  m_listServers.SetItemState(0, LVIS_SELECTED, LVIS_SELECTED);
  if (HTREEITEM root = m_treeServers.GetRootItem()) m_treeServers.SelectItem(root);
  UpdateCommandButtons();
}

void CRoleConsoleDlg::UpdateCommandButtons() {
  const bool listSelected = m_listServers.GetItemCount() > 0 && m_listServers.GetSelectedItem() >= 0;
  const bool treeHasItems = m_treeServers.GetCount() > 0;
  HTREEITEM selected = m_treeServers.GetSelectedItem();
  const bool hasParent = selected && m_treeServers.GetParentItem(selected);
  const bool hasChildren = selected && m_treeServers.ItemHasChildren(selected);

  m_btnMakePrimary.EnableWindow(listSelected);
  m_btnDeletePrimary.EnableWindow(treeHasItems && selected && !hasParent && !hasChildren);
  m_btnAssignDistributed.EnableWindow(listSelected && selected && !hasParent);
  m_btnRemoveDistributed.EnableWindow(treeHasItems && hasParent);
}

LRESULT CRoleConsoleDlg::OnSelectionNotify(NMHDR* hdr) {
  // A click in a view, or a selection moved by the mouse or the keys, is the
  // user's own choice: the next click on a role button is the user's too.
  if (hdr->code == NM_CLICK ||
      (hdr->code == TVN_SELCHANGEDA && reinterpret_cast<NMTREEVIEWA*>(hdr)->action != TVC_UNKNOWN))
    m_bStaleClickWatch = false;
  UpdateCommandButtons();
  return 0;
}

bool CRoleConsoleDlg::OnToolTipText(NMHDR* hdr, LRESULT& result) {
  const ControlTexts* texts = nullptr;
  if (hdr->code == TTN_NEEDTEXTA) {
    auto* info = reinterpret_cast<NMTTDISPINFOA*>(hdr);
    if (!(info->uFlags & TTF_IDISHWND)) return false;
    texts = FillToolTip(info);
  } else {
    auto* info = reinterpret_cast<NMTTDISPINFOW*>(hdr);
    if (!(info->uFlags & TTF_IDISHWND)) return false;
    texts = FillToolTip(info);
  }
  if (texts) m_strHint = LoadResString(texts->hint);
  SetHint(m_strHint);
  result = 0;
  return true;
}

void CRoleConsoleDlg::SetHint(const std::string& hint) {
  if (m_statusBar) m_statusBar.SetText(hint, 0, 0);
}

void CRoleConsoleDlg::ShowOperation(UINT stringId) {
  if (!m_statusBar) return;
  m_statusBar.SetText(stringId ? LoadResString(stringId) : m_strRecordNote, 1, SBT_POPOUT);
  m_statusBar.UpdateWindow();
}

LRESULT CRoleConsoleDlg::OnTimer(WPARAM, LPARAM) {
  if (m_bAutoRefresh && m_bIdle) RefreshServerViews();
  m_strHint.clear();
  SetHint(m_strHint);
  return 0;
}

void CRoleConsoleDlg::OnRefresh() {
  if (m_bCommandRunning) return;
  kv::BeginWaitCursor();
  ShowOperation(IDS_OP_REFRESH);
  ::Sleep(kRefreshPauseMs);
  ::RefreshDiscoveryTable(0, 0);
  RefreshServerViews();
  kv::EndWaitCursor();
  ShowOperation(0);
}

void CRoleConsoleDlg::OnAutoRefresh() { UpdateData(TRUE); }

void CRoleConsoleDlg::OnHelp() { ShowHelpTopic(m_hWnd); }

LRESULT CRoleConsoleDlg::OnHelpKey(WPARAM, LPARAM) {
  OnHelp();
  return TRUE;
}

void CRoleConsoleDlg::OnOK() { CloseConsole(true); }

void CRoleConsoleDlg::OnCancel() { CloseConsole(false); }

void CRoleConsoleDlg::CloseConsole(bool ok) {
  // A command still runs inside a dialog or question of its own: the
  // console stays until it ends.
  if (m_bCommandRunning) return;
  m_treeServers.SetRedraw(FALSE);
  m_listServers.SetRedraw(FALSE);
  ShowOperation(IDS_OP_CLOSE);

  char computer[512] = {};
  DWORD length = sizeof(computer);
  ::GetComputerNameA(computer, &length);
  unsigned char record[sizeof(RoleRecord)] = {};
  DWORD size = sizeof(record);
  if (::ReadRoleRecord(computer, kSanProductCode, record, &size) != 0) {
    int answer = kv::ShowMessageBox(m_hWnd, LoadResString(IDS_LOCAL_ROLE_MISSING), LoadResString(IDS_WARNING),
                                    kCloseWarningFlags);
    if (answer != IDOK) {
      ShowOperation(0);
      m_treeServers.SetRedraw(TRUE);
      m_listServers.SetRedraw(TRUE);
      m_treeServers.Invalidate();
      m_listServers.Invalidate();
      return;
    }
  }
  ::WriteToolSetting(0, kSettingSection, 0, kAutoRefreshKey, m_bAutoRefresh);
  ClearServerViews();
  ::DiscoveryDetach();
  ::KillTimer(m_hWnd, m_nTimerId);
  if (ok)
    CDialog::OnOK();
  else
    CDialog::OnCancel();
}

void CRoleConsoleDlg::PaintMinimized() {
  PAINTSTRUCT paint{};
  HDC dc = ::BeginPaint(m_hWnd, &paint);
  ::SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client{};
  ::GetClientRect(m_hWnd, &client);
  const int x = (client.right - client.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
  ::DrawIcon(dc, x, y, m_hIcon);
  ::EndPaint(m_hWnd, &paint);
}

LRESULT CRoleConsoleDlg::OnQueryDragIcon(WPARAM, LPARAM) { return reinterpret_cast<LRESULT>(m_hIcon); }

// A dialog or question owned by this window disables it while it is up: a
// tooltip showing then goes, and no other shows until the window is back.
LRESULT CRoleConsoleDlg::OnEnable(WPARAM enabled, LPARAM) {
  if (!m_tooltip) return 0;
  m_tooltip.Activate(enabled ? TRUE : FALSE);
  if (!enabled) {
    m_tooltip.Send(TTM_POP, 0, 0);
    // A tip the tooltip control no longer tracks as its current one is
    // left up by TTM_POP: it goes all the same.
    ::ShowWindow(m_tooltip.GetSafeHwnd(), SW_HIDE);
  }
  return 0;
}

LRESULT CRoleConsoleDlg::OnDestroy(WPARAM, LPARAM) {
  kv::SetQuestionRoot(nullptr);
  m_shortcuts.Detach();
  RestoreToolTipRelays();
  // The list view would destroy its image list with itself; m_imlList owns it.
  m_listServers.SetImageList(nullptr, LVSIL_SMALL);
  m_treeServers.SetImageList(nullptr, TVSIL_NORMAL);
  return 0;
}
