// The Discovery Service status tool window (dialog 157, titled " \\server"):
// a connection worker thread opens the administrative session, then a
// 300 ms timer polls the service on the server and shows its state, with a
// button that starts or stops it and a progress bar that moves while the
// dialog waits. The dialog talks to itself through WM_STATUS_REQUEST.
#pragma once

#include <windows.h>

#include <string>

#include "Controls.h"
#include "Dialog.h"
#include "Keyboard.h"

// The dialog's private request: wParam is a StatusAction, lParam 0.
inline constexpr UINT WM_STATUS_REQUEST = WM_USER + 101;  // 0x0465

enum StatusAction : WPARAM {
  ActPoll = 0,          // advance the state machine by one poll
  ActStartService = 1,  // start the service on the server
  ActStopService = 2,   // confirm, then stop the service
  ActClose = 3,         // post WM_CLOSE
  ActConnect = 4,       // enter StConnecting and start the worker
  ActDisconnect = 5,    // release the worker and the session
};

// Dialog states besides the service states 1 (stopped) to 7 (paused).
inline constexpr LONG StConnecting = 0x1A81;
inline constexpr LONG StConnectionFailed = 0x1A83;
inline constexpr LONG StConnected = 0x1A84;
inline constexpr LONG StDisconnected = 0x1A85;
inline constexpr LONG StStatusFailed = 0x1A86;

// What the dialog shows in a state and what its button does there.
struct StatusRow {
  LONG state;
  UINT stateText;       // string shown in control 1056
  UINT buttonCaption;   // string shown on button 1061
  StatusAction action;  // requested by a press (when enabled)
  bool buttonEnabled;
};

// The row of state, or null for a state the table does not know.
const StatusRow* FindStatusRow(LONG state);

// The connection worker's progress as ConnectWorkerControl("STATE!") reports it.
enum class WorkerProgress { Running, NoWorker, Finished };
struct WorkerReport {
  WorkerProgress progress;
  DWORD status;  // OpenAdminSession's status, when Finished
};

// The process-wide worker slot (user-interface thread only). command:
// "STATE!" reports the worker's progress; "CLOSE!" releases the worker and
// cancels its session; anything else is a server name for which a worker is
// started when the slot is empty.
WorkerReport ConnectWorkerControl(const std::string& command);

// The worker thread: OpenAdminSession(server, "ipc$", none, none); the
// thread's exit status is its result. parameter: a heap std::string that the
// thread takes over.
DWORD WINAPI ConnectWorkerProc(LPVOID parameter);

class CDiscoveryStatusDlg : public kv::CDialog {
 public:
  explicit CDiscoveryStatusDlg(std::string server, HWND parent = nullptr);

  LONG State() const { return m_nState; }

  static constexpr UINT kTickMs = 300;
  static constexpr UINT_PTR kFirstTimerId = 2;

 protected:
  BOOL OnInitDialog() override;
  // Enter and Escape are close requests: the dialog must not end while the
  // worker runs or before the session is cancelled.
  void OnOK() override;
  void OnCancel() override;
  void OnNcDestroy() override;
  bool ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) override;

 private:
  LRESULT OnTimer(WPARAM, LPARAM);
  LRESULT OnStatusRequest(WPARAM action, LPARAM);
  LRESULT OnClose(WPARAM, LPARAM);
  void OnButton();
  void Poll();
  void ConfirmStop();
  void ShowRow();
  void Request(StatusAction action) const;
  // Tab and Shift+Tab give the button the focus whenever it can be pressed.
  // The dialog manager moves only a focus that some control holds, and the
  // button, the dialog's only control that takes it, loses it each time it
  // is disabled while the service or the connection is pending.
  void OnTabKey();
  LRESULT OnShortcut(WPARAM index, LPARAM);
  LRESULT OnDestroy(WPARAM, LPARAM);
  static const kv::Shortcut<CDiscoveryStatusDlg> kShortcuts[2];
  kv::CShortcuts m_shortcuts;

  std::string m_strServer;
  kv::CProgressCtrl m_progress;
  LONG m_nState = 0;
  UINT_PTR m_nTimerId = 0;

  static const kv::MessageEntry<CDiscoveryStatusDlg> kMessages[6];
};
