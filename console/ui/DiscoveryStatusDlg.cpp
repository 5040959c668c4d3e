#include "DiscoveryStatusDlg.h"

#include <memory>

#include "AdminSession.h"
#include "DiscoveryService.h"
#include "Handles.h"
#include "MessageBox.h"
#include "Messages.h"
#include "resource.h"

namespace {

constexpr UINT kStopQuestionFlags = MB_OKCANCEL | MB_ICONWARNING | MB_TASKMODAL | MB_TOPMOST;  // 0x42031
// SetTimer is retried with the next identifier while it fails, this often.
constexpr UINT_PTR kLastTimerId = 1000;
constexpr DWORD kWorkerStackBytes = 1024;
constexpr char kStateCommand[] = "STATE!";
constexpr char kCloseCommand[] = "CLOSE!";

constexpr StatusRow kStatusRows[] = {
    {SERVICE_STOPPED, IDS_STATE_STOPPED, IDS_ACTION_START, ActStartService, true},
    {SERVICE_START_PENDING, IDS_STATE_STARTING, IDS_ACTION_WAIT, ActPoll, false},
    {SERVICE_STOP_PENDING, IDS_STATE_STOPPING, IDS_ACTION_WAIT, ActPoll, false},
    {SERVICE_RUNNING, IDS_STATE_RUNNING, IDS_ACTION_STOP, ActStopService, true},
    {SERVICE_CONTINUE_PENDING, IDS_STATE_CONTINUING, IDS_ACTION_WAIT, ActPoll, false},
    {SERVICE_PAUSE_PENDING, IDS_STATE_PAUSING, IDS_ACTION_WAIT, ActPoll, false},
    {SERVICE_PAUSED, IDS_STATE_PAUSED, IDS_ACTION_START, ActStartService, true},
    {StConnecting, IDS_STATE_CONNECTING, IDS_ACTION_WAIT, ActPoll, false},
    {StConnected, IDS_STATE_CONNECTED, IDS_ACTION_WAIT, ActPoll, false},
    {StConnectionFailed, IDS_STATE_CONNECTION_FAILED, IDS_ACTION_CANCEL, ActClose, true},
    {StStatusFailed, IDS_STATE_STATUS_FAILED, IDS_ACTION_CANCEL, ActClose, true},
    {StDisconnected, IDS_STATE_DISCONNECTED, IDS_ACTION_WAIT, ActPoll, false},
};

// The one connection worker of the process: the thread and the server it
// connects to (its own copy, so that releasing the slot never leaves the
// thread reading freed text).
struct CConnectWorker {
  std::string server;
  kv::CHandle thread;
};

std::unique_ptr<CConnectWorker>& WorkerSlot() {
  static std::unique_ptr<CConnectWorker> slot;
  return slot;
}

void StartWorker(const std::string& server) {
  std::unique_ptr<CConnectWorker>& slot = WorkerSlot();
  if (slot) return;
  auto worker = std::make_unique<CConnectWorker>();
  worker->server = server;
  // The thread owns its parameter and frees it when it ends.
  auto parameter = std::make_unique<std::string>(server);
  DWORD id = 0;
  worker->thread.Reset(
      ::CreateThread(nullptr, kWorkerStackBytes, &ConnectWorkerProc, parameter.get(), CREATE_SUSPENDED, &id));
  if (!worker->thread) return;
  parameter.release();
  slot = std::move(worker);
  ::ResumeThread(slot->thread.Get());
}

WorkerReport WorkerState() {
  const std::unique_ptr<CConnectWorker>& slot = WorkerSlot();
  if (!slot) return {WorkerProgress::NoWorker, 0};
  // Whether the thread has ended is asked of the thread itself, not read
  // from its exit code: a worker that ended with 259 (STILL_ACTIVE's value)
  // has finished too.
  if (::WaitForSingleObject(slot->thread.Get(), 0) != WAIT_OBJECT_0) return {WorkerProgress::Running, 0};
  DWORD status = 0;
  if (!::GetExitCodeThread(slot->thread.Get(), &status)) return {WorkerProgress::Running, 0};
  return {WorkerProgress::Finished, status};
}

void ReleaseWorker() {
  std::unique_ptr<CConnectWorker>& slot = WorkerSlot();
  if (!slot) return;
  std::string server = std::move(slot->server);
  slot.reset();
  CloseAdminSession(server.c_str());
}

}  // namespace

const StatusRow* FindStatusRow(LONG state) {
  for (const StatusRow& row : kStatusRows)
    if (row.state == state) return &row;
  return nullptr;
}

WorkerReport ConnectWorkerControl(const std::string& command) {
  if (command == kStateCommand) return WorkerState();
  if (command == kCloseCommand) {
    ReleaseWorker();
    return {WorkerProgress::NoWorker, 0};
  }
  StartWorker(command);
  return WorkerState();
}

DWORD WINAPI ConnectWorkerProc(LPVOID parameter) {
  std::unique_ptr<std::string> server(static_cast<std::string*>(parameter));
  try {
    return OpenAdminSession(server->c_str(), "ipc$", nullptr, nullptr);
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;  // the only thing that can throw here is an allocation
  }
}

const kv::MessageEntry<CDiscoveryStatusDlg> CDiscoveryStatusDlg::kMessages[6] = {
    kv::OnMessage(WM_TIMER, &CDiscoveryStatusDlg::OnTimer),
    kv::OnMessage(WM_STATUS_REQUEST, &CDiscoveryStatusDlg::OnStatusRequest),
    kv::OnMessage(WM_CLOSE, &CDiscoveryStatusDlg::OnClose),
    kv::OnCommand(IDC_SERVICE_ACTION, BN_CLICKED, &CDiscoveryStatusDlg::OnButton),
    kv::OnMessage(kv::WM_KV_SHORTCUT, &CDiscoveryStatusDlg::OnShortcut),
    kv::OnMessage(WM_DESTROY, &CDiscoveryStatusDlg::OnDestroy),
};

const kv::Shortcut<CDiscoveryStatusDlg> CDiscoveryStatusDlg::kShortcuts[2] = {
    {VK_TAB, 0, &CDiscoveryStatusDlg::OnTabKey},
    {VK_TAB, kv::kKeyShift, &CDiscoveryStatusDlg::OnTabKey},
};

CDiscoveryStatusDlg::CDiscoveryStatusDlg(std::string server, HWND parent)
    : CDialog(IDD_DISCOVERY_STATUS, parent), m_strServer(std::move(server)) {}

bool CDiscoveryStatusDlg::ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) {
  return kv::DispatchTable(this, kMessages, m, w, l, r) || CDialog::ProcessMessageTable(m, w, l, r);
}

BOOL CDiscoveryStatusDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  m_progress.AttachDlgItem(m_hWnd, IDC_STATUS_PROGRESS);
  ::SetWindowTextA(m_hWnd, (" \\\\" + m_strServer).c_str());
  m_shortcuts.Attach(m_hWnd, kShortcuts);
  Request(ActConnect);
  for (UINT_PTR id = kFirstTimerId; id <= kLastTimerId && !m_nTimerId; ++id)
    m_nTimerId = ::SetTimer(m_hWnd, id, kTickMs, nullptr);
  return TRUE;
}

void CDiscoveryStatusDlg::OnOK() { OnClose(0, 0); }

void CDiscoveryStatusDlg::OnCancel() { OnClose(0, 0); }

void CDiscoveryStatusDlg::OnNcDestroy() {
  // The window went away other than through the close request (its owner
  // was destroyed): a worker that has finished is released with its
  // session. A running one stays in the slot; its thread owns what it reads.
  if (m_nState != StDisconnected && WorkerState().progress != WorkerProgress::Running) ReleaseWorker();
}

void CDiscoveryStatusDlg::Request(StatusAction action) const { ::PostMessageA(m_hWnd, WM_STATUS_REQUEST, action, 0); }

LRESULT CDiscoveryStatusDlg::OnTimer(WPARAM, LPARAM) {
  ::SendMessageA(m_hWnd, WM_STATUS_REQUEST, ActPoll, 0);
  if (m_nState == StDisconnected) {
    Request(ActClose);
    return 0;
  }
  ShowRow();
  m_progress.StepIt();
  return 0;
}

void CDiscoveryStatusDlg::ShowRow() {
  const StatusRow* row = FindStatusRow(m_nState);
  if (!row) return;
  ::SetDlgItemTextA(m_hWnd, IDC_SERVICE_STATE, LoadResString(row->stateText).c_str());
  HWND button = GetDlgItem(IDC_SERVICE_ACTION);
  ::SetWindowTextA(button, LoadResString(row->buttonCaption).c_str());
  ::EnableWindow(button, row->buttonEnabled ? TRUE : FALSE);
  // The bar moves exactly while there is nothing to press.
  m_progress.ShowWindow(row->buttonEnabled ? SW_HIDE : SW_SHOW);
}

LRESULT CDiscoveryStatusDlg::OnStatusRequest(WPARAM action, LPARAM) {
  switch (action) {
    case ActPoll:
      Poll();
      break;
    case ActStartService:
      StartDiscoveryService(m_strServer.c_str());
      break;
    case ActStopService:
      ConfirmStop();
      break;
    case ActClose:
      ::PostMessageA(m_hWnd, WM_CLOSE, 0, 0);
      break;
    case ActConnect:
      m_nState = StConnecting;
      ConnectWorkerControl(m_strServer);
      break;
    case ActDisconnect:
      ConnectWorkerControl(kCloseCommand);
      m_nState = StDisconnected;
      break;
    default:
      break;
  }
  return 0;
}

void CDiscoveryStatusDlg::Poll() {
  switch (m_nState) {
    case StConnecting: {
      WorkerReport report = ConnectWorkerControl(kStateCommand);
      if (report.progress == WorkerProgress::Running) return;
      m_nState = report.progress == WorkerProgress::Finished && report.status == 0 ? StConnected : StConnectionFailed;
      return;
    }
    case StConnectionFailed:
    case StDisconnected:
      return;
    default: {
      DWORD state = static_cast<DWORD>(m_nState);
      if (QueryDiscoveryService(m_strServer.c_str(), &state) == 0)
        m_nState = static_cast<LONG>(state);
      else
        m_nState = StStatusFailed;
      return;
    }
  }
}

void CDiscoveryStatusDlg::ConfirmStop() {
  std::string question = FormatResString(IDS_STOP_SERVICE_QUESTION, m_strServer);
  if (kv::ShowMessageBox(m_hWnd, question, LoadResString(IDS_WARNING), kStopQuestionFlags) == IDOK)
    StopDiscoveryService(m_strServer.c_str());
}

LRESULT CDiscoveryStatusDlg::OnShortcut(WPARAM index, LPARAM) { return kv::RunShortcut(this, kShortcuts, index); }

void CDiscoveryStatusDlg::OnTabKey() {
  HWND button = GetDlgItem(IDC_SERVICE_ACTION);
  if (::IsWindowEnabled(button)) ::SendMessageA(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE);
}

LRESULT CDiscoveryStatusDlg::OnDestroy(WPARAM, LPARAM) {
  m_shortcuts.Detach();
  return 0;
}

void CDiscoveryStatusDlg::OnButton() {
  // The state may have moved since the button was last drawn.
  const StatusRow* row = FindStatusRow(m_nState);
  if (row && row->buttonEnabled) Request(row->action);
}

LRESULT CDiscoveryStatusDlg::OnClose(WPARAM, LPARAM) {
  switch (m_nState) {
    case StDisconnected:
      if (m_nTimerId) ::KillTimer(m_hWnd, m_nTimerId);
      m_nTimerId = 0;
      EndDialog(IDCANCEL);
      break;
    case StConnecting:
      break;  // the session being opened can only be released once the worker has ended
    default:
      Request(ActDisconnect);
      break;
  }
  return 0;
}
