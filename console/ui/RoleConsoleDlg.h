// The console's main window, dialog 147 "SAN Option Configuration": the tree
// of primaries with their distributed servers, the list of servers without a
// role, the refresh pass that builds both from the discovery data, button
// enablement, tooltips and hints, the auto-refresh timer, the close
// sequence, and the role commands that move servers between the views.
#pragma once

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "App.h"
#include "Controls.h"
#include "Dialog.h"
#include "Keyboard.h"
#include "ProductTypes.h"
#include "RoleTables.h"
#include "ServerViews.h"

class CRoleConsoleDlg : public kv::CDialog {
 public:
  CRoleConsoleDlg();
  ~CRoleConsoleDlg() override;

  // Runs the dialog modally as the application's main window.
  INT_PTR Run(kv::CWinApp& app);

  // The refresh pass: rebuilds both views from the discovery data.
  void RefreshServerViews();
  // Enables the four role buttons from the selections.
  void UpdateCommandButtons();

  // Lookups by exact, case-sensitive name; the first match wins.
  HTREEITEM FindPrimaryItem(const std::string& name);
  HTREEITEM FindDistributedItem(const std::string& primary, const std::string& name);
  HTREEITEM FindAnyDistributedItem(const std::string& name);
  HTREEITEM FindServerItem(const std::string& name);
  int FindListItem(const std::string& name);
  // Deletes list item index, moving the selection to the item before first.
  void DropListItem(int index);
  // Copies the entry of the last pass for name; 0, or -1 when there is none.
  int FindServerEntry(const std::string& name, DiscoveryEntry* out) const;

  // Code that inserts or deletes items of the two views outside a refresh
  // pass (the role commands) calls this afterwards: the pass keeps what it
  // put into the views in memory and reads them again at its next run.
  // Outside a pass the lookups above always read the controls themselves.
  void OnViewsChangedOutsidePass();

  // Status part 1: the name of the running operation (0 ends it: the part
  // then shows the damaged records of the last pass, if any).
  void ShowOperation(UINT stringId);

  // A role command as data and what it acts on (RoleCommands.cpp).
  struct RoleCommand;
  struct RoleTarget;

  static constexpr UINT kTimerPeriodMs = 5000;
  static constexpr UINT kRefreshPauseMs = 1000;
  static constexpr int kListColumnWidth = 150;

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  void DoDataExchange(kv::CDataExchange& dx) override;
  bool ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) override;

 public:
  // Controls and state, in the order the dialog declares them.
  kv::CButton m_btnRemoveDistributed;
  kv::CButton m_btnMakePrimary;
  kv::CButton m_btnDeletePrimary;
  kv::CButton m_btnAssignDistributed;
  kv::CListCtrl m_listServers;
  kv::CTreeCtrl m_treeServers;
  BOOL m_bAutoRefresh;
  HICON m_hIcon;
  kv::CImageList m_imlList;
  kv::CImageList m_imlTree;
  BOOL m_bRefreshing;
  BOOL m_bIdle;
  std::list<DiscoveryEntry> m_serverEntries;  // newest first
  LONG m_nGeneration;
  UINT_PTR m_nTimerId;
  bool m_bPainted = false;  // the first WM_PAINT came (a start-up mark)
  kv::CToolTipCtrl m_tooltip;
  kv::CStatusBarCtrl m_statusBar;
  std::string m_strHint;
  // The servers whose records the last pass found damaged, as status part 1
  // shows them while no operation runs; empty when there are none.
  std::string m_strRecordNote;
  // What the last pass spent reading (entries, products, records) and then
  // building the views, in ms (for the benchmarks).
  struct PassCost {
    double readingMs = 0, buildingMs = 0;
  } m_lastPassCost;

 private:
  void AddToolTips();
  void StartTimer();
  void CreateStatusBar();
  void InitServerViews();
  void RunRefreshPass();
  void CollectServerEntries();
  void PlaceServerWithoutRole(const std::string& server, LONG generation, int image);
  void PlacePrimary(const std::string& server, LONG generation);
  void PlaceDistributed(const std::string& primary, const std::string& server, LONG generation);
  void SweepViews(LONG generation);
  void SetTreeImage(CServerViewModel::Row& row, int image, LONG generation);
  void ShowPendingImage(CServerViewModel::Row& row);
  void ExpandRoot(CServerViewModel::Root& root);
  void SuspendTreeRedraw();
  void SuspendListRedraw();
  CServerViewModel::Row* PassChild(CServerViewModel::Root& root, const std::string& name);
  CServerViewModel::Root* InsertRoot(const std::string& name, int image, LONG generation);
  void DeleteRoot(CServerViewModel::Root& root);
  void DropListedServer(const std::string& name);
  void RelayToolTips(HWND control, size_t slot);
  void RestoreToolTipRelays();
  static LRESULT CALLBACK ToolTipRelayProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  void SetHint(const std::string& hint);
  void CloseConsole(bool ok);
  void ClearServerViews();

  void OnRefresh();
  void OnAutoRefresh();
  void OnHelp();
  LRESULT OnHelpKey(WPARAM, LPARAM);
  LRESULT OnSelectionNotify(NMHDR*);
  bool OnToolTipText(NMHDR* hdr, LRESULT& result);
  LRESULT OnTimer(WPARAM, LPARAM);
  LRESULT OnQueryDragIcon(WPARAM, LPARAM);
  LRESULT OnDestroy(WPARAM, LPARAM);
  LRESULT OnEnable(WPARAM enabled, LPARAM);
  void PaintMinimized();

  // Role commands (RoleCommands.cpp): each validates the selection, runs one
  // role transaction, waits until the local table shows the change and then
  // moves the server between the views itself.
  static const RoleCommand kAssignDistributed, kRemoveDistributed, kMakePrimary, kDeletePrimary, kForceRemove;
  void OnAssignDistributed();
  void OnRemoveDistributed();
  void OnMakePrimary();
  void OnDeletePrimary();
  void OnForceRemove();
  // given: the names a context menu captured; null takes the selections.
  void RunRoleCommand(const RoleCommand& command, const RoleTarget* given = nullptr);
  bool TakeRoleTarget(const RoleCommand& command, RoleTarget& target);
  bool LocateRoleTarget(const RoleCommand& command, RoleTarget& target);
  bool ConfirmForceRemove(const RoleTarget& target);
  void MoveToDistributed(const RoleCommand& command, const RoleTarget& target);
  void MoveToPrimary(const RoleCommand& command, const RoleTarget& target);
  void MoveTreeServerToList(const RoleCommand& command, const RoleTarget& target);
  void MoveFromListToTree(int listIndex);
  LRESULT OnTreeContextMenu(NMHDR*);
  LRESULT OnListContextMenu(NMHDR*);
  // The menu of a tree item or a list item, shown at screen; a menu opened
  // from the keyboard keeps clear of the item's rectangle (item, in screen
  // coordinates).
  void ShowTreeMenu(HTREEITEM item, POINT screen, const RECT* itemRect);
  void ShowListMenu(int index, POINT screen, const RECT* itemRect);
  // Shows the popup and returns the command picked (0: none).
  UINT TrackContextMenu(UINT menuId, int popup, POINT screen, const RECT* itemRect);

  // The keyboard (RoleCommands.cpp): Shift+F10 and the Menu key open the
  // menu of the selected item of the view that has the focus, at the item;
  // Alt+Enter opens that item's Properties; F5 refreshes. F1 comes as
  // WM_HELP, from the system, and is Help.
  static const kv::Shortcut<CRoleConsoleDlg> kShortcuts[4];
  kv::CShortcuts m_shortcuts;
  LRESULT OnShortcut(WPARAM index, LPARAM);
  void OnKeyContextMenu();
  void ShowKeyboardMenu(HWND view);
  void OnKeyProperties();
  // Runs a context-menu command on the server the menu was opened for,
  // whatever a refresh pass did to the selections while it was open.
  void RunMenuCommand(UINT command, const std::string& server, const std::string& primary);
  // Every change a role command makes to the views goes through these.
  int InsertListServer(const std::string& name, LPARAM data, UINT state = 0);
  void DeleteListServer(int index);
  HTREEITEM InsertTreeServer(const std::string& name, int image, LPARAM data, HTREEITEM parent, HTREEITEM after);
  void DeleteTreeServer(HTREEITEM item);
  void SelectListServer(int index);

  // Set while a command (role or server) runs. Its dialogs and questions
  // run nested message loops: no second command, no Close and no Refresh
  // may start inside it, and this window stays disabled until it ends.
  bool m_bCommandRunning = false;
  // Held by a command while it runs (RoleCommands.cpp).
  class CCommandScope {
   public:
    explicit CCommandScope(CRoleConsoleDlg& dlg);
    ~CCommandScope();
    CCommandScope(const CCommandScope&) = delete;
    CCommandScope& operator=(const CCommandScope&) = delete;
    // False when another command runs: this one must not start.
    explicit operator bool() const { return m_bActive; }

   private:
    CRoleConsoleDlg& m_dlg;
    bool m_bActive = false;
    HWND m_hFocus = nullptr;
  };
  // The clicks of a double-click (or of a burst of clicks) on a role button
  // that come after the command the first one started: they are dropped as
  // long as the selections are still those the command left and the clicks
  // come less than a double-click time apart.
  bool IsStaleClick();
  struct Selections {
    HTREEITEM tree = nullptr;
    int list = -1;
    bool operator==(const Selections& o) const { return tree == o.tree && list == o.list; }
  };
  Selections CurrentSelections() const;
  Selections m_selectionsLeft;
  DWORD m_nLastCommandTick = 0;
  bool m_bStaleClickWatch = false;

  // Server commands of the context menus (ServerCommands.cpp).
  void OnTreeServerProperties();
  void OnListServerProperties();
  void OnServerProperties(const std::string& server);
  void OnTreeDiscoveryStatus();
  void OnListDiscoveryStatus();
  void OnDiscoveryStatus(const std::string& server);
  void OnSecurity();
  void OnSecurity(const std::string& server);
  bool ReadRoleBytes(const std::string& server, RoleRecord& record, bool& haveLocal, std::string& user,
                     std::string& password);

  // What the passes put into the views (stale once they were changed
  // outside a pass), and the same model while a pass runs, else null: the
  // lookups use it only then.
  std::unique_ptr<CServerViewModel> m_model = std::make_unique<CServerViewModel>();
  bool m_bModelStale = true;
  CServerViewModel* m_pPassModel = nullptr;
  // The running pass turned the redraw of the tree, the list off.
  bool m_bTreeRedrawOff = false;
  bool m_bListRedrawOff = false;
  CLocalRoleRecordReader m_roleRecords;

  // The controls relay their mouse messages to the tooltip themselves (see
  // AddToolTips): one for each child that is a tool.
  struct ToolTipRelay {
    WNDPROC original = nullptr;
    HWND control = nullptr;
    HWND tooltip = nullptr;
  };
  std::vector<ToolTipRelay> m_relays;

  static const kv::MessageEntry<CRoleConsoleDlg> kMessages[29];
};
