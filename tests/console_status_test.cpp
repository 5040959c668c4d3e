// The Discovery Service status dialog against a lab of the test's own whose
// simulated services take a few ticks to start and stop. The dialog runs
// modally on a thread of its own (the console's user-interface thread); the
// test records what every timer tick left on the screen and drives the
// dialog by posting what a user's clicks and keys post. The scripted user
// answers the stop question and the worker's credentials prompt and boxes.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AdminSession.h"
#include "DiscoveryService.h"
#include "DiscoveryStatusDlg.h"
#include "LabAdmin.h"
#include "Messages.h"
#include "RoleTables.h"
#include "ScriptedUser.h"
#include "TestLab.h"
#include "resource.h"
#include "rolestore_testkey.h"

namespace {

constexpr DWORD kWaitMs = 15000;

// What one timer tick left on the screen.
struct Tick {
  LONG state;
  std::string text, caption;
  bool enabled, barVisible;
  int barPos;
};

bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs = kWaitMs) {
  DWORD start = ::GetTickCount();
  for (;;) {
    if (condition()) return true;
    if (::GetTickCount() - start > timeoutMs) return false;
    ::Sleep(20);
  }
}

// The dialog with a recorder of its ticks and of the session at the end.
class CRecordingStatusDlg : public CDiscoveryStatusDlg {
 public:
  CRecordingStatusDlg(std::string server, std::function<void(HWND)> opened, std::function<void(const Tick&)> ticked,
                      std::function<void()> destroyed)
      : CDiscoveryStatusDlg(std::move(server)), m_opened(opened), m_ticked(ticked), m_destroyed(destroyed) {}

 protected:
  BOOL OnInitDialog() override {
    BOOL result = CDiscoveryStatusDlg::OnInitDialog();
    m_opened(m_hWnd);
    return result;
  }
  bool ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) override {
    bool handled = CDiscoveryStatusDlg::ProcessMessageTable(m, w, l, r);
    if (m == WM_TIMER && m_hWnd) {
      HWND button = GetDlgItem(IDC_SERVICE_ACTION), bar = GetDlgItem(IDC_STATUS_PROGRESS);
      m_ticked({State(), kv::GetText(GetDlgItem(IDC_SERVICE_STATE)), kv::GetText(button),
                ::IsWindowEnabled(button) != FALSE, ::IsWindowVisible(bar) != FALSE,
                static_cast<int>(::SendMessageA(bar, PBM_GETPOS, 0, 0))});
    }
    return handled;
  }
  void OnNcDestroy() override {
    CDiscoveryStatusDlg::OnNcDestroy();
    m_destroyed();
  }

 private:
  std::function<void(HWND)> m_opened;
  std::function<void(const Tick&)> m_ticked;
  std::function<void()> m_destroyed;
};

// Runs the dialog for server modally on a thread of its own.
class CDialogRun {
 public:
  explicit CDialogRun(const std::string& server) {
    m_thread = std::thread([this, server] {
      CRecordingStatusDlg dlg(
          server, [this](HWND hwnd) { m_hWnd = hwnd; },
          [this](const Tick& tick) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_ticks.push_back(tick);
          },
          [this, server] { m_bSessionAtEnd = kvlab::HasSession(server); });
      dlg.DoModal();
      m_bEnded = true;
    });
    WaitFor([this] { return m_hWnd.load() != nullptr || m_bEnded.load(); });
  }
  ~CDialogRun() {
    // A failed test may leave the dialog up: ask it to close until it does.
    WaitFor([this] {
      if (m_bEnded) return true;
      ::PostMessageA(m_hWnd, WM_CLOSE, 0, 0);
      ::Sleep(100);
      return m_bEnded.load();
    });
    m_thread.join();
  }

  HWND Hwnd() const { return m_hWnd; }
  bool Ended() const { return m_bEnded; }
  bool SessionAtEnd() const { return m_bSessionAtEnd; }
  std::vector<Tick> Ticks() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_ticks;
  }
  size_t TickCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_ticks.size();
  }
  Tick Last() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_ticks.empty() ? Tick{0, "", "", false, false, 0} : m_ticks.back();
  }
  // Waits until a tick shows text.
  bool WaitForText(const std::string& text) {
    return WaitFor([&] { return Last().text == text; });
  }
  // Waits until n more ticks have passed.
  bool WaitTicks(size_t n) {
    size_t target = TickCount() + n;
    return WaitFor([&] { return TickCount() >= target || m_bEnded; }) && !m_bEnded;
  }
  // The texts the ticks showed from tick from on, each run of equal texts
  // once, without a leading run of skip (the state before an action, which
  // the first tick after it may still show or not).
  std::vector<std::string> Texts(size_t from = 0, const std::string& skip = {}) const {
    std::vector<std::string> texts;
    std::vector<Tick> ticks = Ticks();
    for (size_t i = from; i < ticks.size(); ++i)
      if (texts.empty() || texts.back() != ticks[i].text) texts.push_back(ticks[i].text);
    if (!texts.empty() && texts.front() == skip) texts.erase(texts.begin());
    return texts;
  }
  void Post(UINT message, WPARAM wParam = 0) const { ::PostMessageA(m_hWnd, message, wParam, 0); }
  // What a click on the button posts (also when the button is disabled).
  void PostClick() const { Post(WM_COMMAND, MAKEWPARAM(IDC_SERVICE_ACTION, BN_CLICKED)); }
  bool WaitForEnd() {
    return WaitFor([this] { return m_bEnded.load(); });
  }

 private:
  std::atomic<HWND> m_hWnd{nullptr};
  std::atomic<bool> m_bEnded{false};
  std::atomic<bool> m_bSessionAtEnd{false};
  mutable std::mutex m_lock;
  std::vector<Tick> m_ticks;
  std::thread m_thread;
};

// The screen agrees with the state on every tick: the bar shows exactly
// while the button is disabled and moves on every tick.
void ExpectConsistentTicks(const std::vector<Tick>& ticks) {
  for (size_t i = 0; i < ticks.size(); ++i) {
    const Tick& t = ticks[i];
    if (t.state == StDisconnected) continue;  // the closing tick leaves the screen alone
    EXPECT_EQ(t.barVisible, !t.enabled) << "tick " << i << " \"" << t.text << "\"";
    if (i > 0) {
      EXPECT_NE(t.barPos, ticks[i - 1].barPos) << "tick " << i;
    }
  }
}

DWORD LabServiceState(const std::string& machine) {
  SERVICE_STATUS status{};
  if (kvlab::ControlLabService(machine, kDiscoveryServiceName, kvlab::ServiceQuery, status) != 0) return 0;
  return status.dwCurrentState;
}

class StatusDialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES | ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&icc);
  }
  void SetUp() override {
    ASSERT_EQ(0, m_lab.Add("ALPHA", "alpha-pw"));
    ASSERT_TRUE(LoadDiscoveryTableRoot());
    ASSERT_TRUE(LoadProductRoot());
  }
  void TearDown() override {
    ConnectWorkerControl("CLOSE!");
    SetRegistryRootsForTest("", "");
  }

  static void StoreCredentials(const std::string& server, const std::string& user, const std::string& password) {
    RoleRecord record = rstest::MakeRecord("ALPHA", 0, user, password);
    rstest::WriteSlot(server, &record, sizeof(record));
  }

  // Services take four ticks to start or stop.
  kvlab::CScopedLab m_lab{"status", 1200};
};

TEST_F(StatusDialogTest, StoredCredentialsConnectThenStopAndStartFollowTheService) {
  StoreCredentials("ALPHA", "Administrator", "alpha-pw");
  kvtest::ScriptedUser script;
  script.Ignore(" \\\\ALPHA");  // the dialog under test (also by handle: its caption is gone while it closes)
  script.AnswerBox(IDCANCEL).AnswerBox(IDOK);

  CDialogRun run("ALPHA");
  ASSERT_NE(run.Hwnd(), nullptr);
  script.IgnoreWindow(run.Hwnd());
  EXPECT_EQ(kv::GetText(run.Hwnd()), " \\\\ALPHA");

  ASSERT_TRUE(run.WaitForText("Running")) << run.Last().text;
  // A worker that connects before the first tick skips "Connecting...".
  EXPECT_EQ(run.Texts(0, "Connecting..."), (std::vector<std::string>{"Connected", "Running"}));
  EXPECT_EQ(run.Ticks().front().caption, "Wait");
  EXPECT_FALSE(run.Ticks().front().enabled);
  EXPECT_TRUE(kvlab::HasSession("ALPHA"));
  Tick running = run.Last();
  EXPECT_EQ(running.caption, "Stop");
  EXPECT_TRUE(running.enabled);
  EXPECT_FALSE(running.barVisible);

  // Stop, answered Cancel: the question is asked and the service left alone,
  // while the ticks go on.
  run.PostClick();
  ASSERT_TRUE(WaitFor([&] { return script.Boxes().size() == 1; }));
  ASSERT_TRUE(WaitFor([&] { return ::IsWindowEnabled(run.Hwnd()) != FALSE; }));
  ASSERT_TRUE(run.WaitTicks(3));
  auto boxes = script.Boxes();
  EXPECT_EQ(boxes[0].text, "Do you wish to stop Discovery Service on \\\\ALPHA ?");
  EXPECT_EQ(boxes[0].caption, "Warning");
  EXPECT_EQ(boxes[0].flags, 0x42031u);
  EXPECT_EQ(boxes[0].owner, run.Hwnd());  // in front of the status dialog
  EXPECT_EQ(run.Last().text, "Running");
  EXPECT_EQ(LabServiceState("ALPHA"), static_cast<DWORD>(SERVICE_RUNNING));

  // Stop, answered OK: "Stopping..." with a disabled "Wait" and the bar, then "Stopped".
  size_t fromStop = run.TickCount();
  run.PostClick();
  ASSERT_TRUE(run.WaitForText("Stopped")) << run.Last().text;
  ASSERT_EQ(script.Boxes().size(), 2u);
  EXPECT_EQ(script.Boxes()[1].text, boxes[0].text);
  EXPECT_EQ(run.Texts(fromStop, "Running"), (std::vector<std::string>{"Stopping...", "Stopped"}));
  for (const Tick& t : run.Ticks())
    if (t.text == "Stopping...") {
      EXPECT_EQ(t.caption, "Wait");
      EXPECT_FALSE(t.enabled);
      EXPECT_TRUE(t.barVisible);
    }
  EXPECT_EQ(run.Last().caption, "Start");
  EXPECT_TRUE(run.Last().enabled);
  EXPECT_FALSE(run.Last().barVisible);
  EXPECT_EQ(LabServiceState("ALPHA"), static_cast<DWORD>(SERVICE_STOPPED));

  // Start brings it back through "Starting...", without a question.
  size_t fromStart = run.TickCount();
  run.PostClick();
  ASSERT_TRUE(run.WaitForText("Running")) << run.Last().text;
  EXPECT_EQ(run.Texts(fromStart, "Stopped"), (std::vector<std::string>{"Starting...", "Running"}));
  EXPECT_EQ(LabServiceState("ALPHA"), static_cast<DWORD>(SERVICE_RUNNING));

  // The close box: disconnected on the next tick, then closed.
  run.Post(WM_CLOSE);
  ASSERT_TRUE(run.WaitForEnd());
  EXPECT_FALSE(run.SessionAtEnd());
  EXPECT_FALSE(kvlab::HasSession("ALPHA"));
  EXPECT_EQ(ConnectWorkerControl("STATE!").progress, WorkerProgress::NoWorker);
  EXPECT_TRUE(script.Finish()) << script.Report();
  EXPECT_EQ(script.Boxes().size(), 2u);
  ExpectConsistentTicks(run.Ticks());
}

TEST_F(StatusDialogTest, CloseRequestsWhileConnectingAreIgnoredAndAfterwardsCloseWithinATick) {
  // No stored record: the worker's credentials prompt holds the dialog in
  // "Connecting...". The close box, Escape, Enter and a click all do
  // nothing meanwhile.
  kvtest::ScriptedUser script;
  script.Ignore(" \\\\ALPHA");
  std::atomic<CDialogRun*> pRun{nullptr};
  std::atomic<bool> stillConnecting{false};
  std::atomic<DWORD> promptThread{0};
  script.Dialog("Security", [&](kvtest::DialogDriver& d) {
    promptThread = ::GetWindowThreadProcessId(d.Hwnd(), nullptr);
    if (!WaitFor([&] { return pRun.load() != nullptr; })) return d.Press(IDCANCEL);
    CDialogRun& run = *pRun.load();
    run.Post(WM_CLOSE);
    run.Post(WM_COMMAND, IDCANCEL);
    run.Post(WM_COMMAND, IDOK);
    run.PostClick();
    bool ticked = run.WaitTicks(3);
    stillConnecting = ticked && !run.Ended() && run.Last().text == "Connecting..." && run.Last().state == StConnecting;
    d.Type(IDC_USERNAME, "Administrator");
    d.Type(IDC_PASSWORD, "alpha-pw");
    d.Press(IDOK);
  });
  CDialogRun run("ALPHA");
  pRun = &run;
  ASSERT_NE(run.Hwnd(), nullptr);
  script.IgnoreWindow(run.Hwnd());
  ASSERT_TRUE(run.WaitForText("Running")) << run.Last().text;
  EXPECT_TRUE(stillConnecting);
  EXPECT_NE(promptThread, ::GetWindowThreadProcessId(run.Hwnd(), nullptr)) << "the prompt comes from the worker";
  EXPECT_EQ(kvlab::SessionUser("ALPHA"), "Administrator");

  // Escape after connecting is a close request: one tick later it is gone,
  // the session cancelled before the window went away.
  size_t before = run.TickCount();
  run.Post(WM_COMMAND, IDCANCEL);
  ASSERT_TRUE(run.WaitForEnd());
  EXPECT_LE(run.TickCount() - before, 2u);
  EXPECT_FALSE(run.SessionAtEnd());
  EXPECT_FALSE(kvlab::HasSession("ALPHA"));
  EXPECT_TRUE(script.Finish()) << script.Report();
  ExpectConsistentTicks(run.Ticks());
}

TEST_F(StatusDialogTest, UnreachableServerEndsInConnectionFailedWhoseCancelCloses) {
  StoreCredentials("ALPHA", "Administrator", "alpha-pw");
  ASSERT_EQ(0, kvlab::SetOnline("ALPHA", false));
  kvtest::ScriptedUser script;
  script.Ignore(" \\\\ALPHA");
  // The worker's retry box and prompt: try once more, in vain.
  script.AnswerBox(IDOK);
  script.Dialog("Security", [](kvtest::DialogDriver& d) { d.Press(IDOK); });

  CDialogRun run("ALPHA");
  ASSERT_NE(run.Hwnd(), nullptr);
  script.IgnoreWindow(run.Hwnd());
  ASSERT_TRUE(run.WaitForText("Connection failed")) << run.Last().text;
  EXPECT_EQ(run.Texts(0, "Connecting..."), (std::vector<std::string>{"Connection failed"}));
  Tick failed = run.Last();
  EXPECT_EQ(failed.caption, "Cancel");
  EXPECT_TRUE(failed.enabled);
  EXPECT_FALSE(failed.barVisible);
  ASSERT_TRUE(script.Finish()) << script.Report();
  EXPECT_EQ(script.Boxes()[0].text, "Failed to connect to \\\\ALPHA\nPress OK to try again");

  // The state stays put; "Cancel" closes through the close request.
  ASSERT_TRUE(run.WaitTicks(2));
  EXPECT_EQ(run.Last().text, "Connection failed");
  run.PostClick();
  ASSERT_TRUE(run.WaitForEnd());
  EXPECT_FALSE(kvlab::HasSession("ALPHA"));
  EXPECT_EQ(ConnectWorkerControl("STATE!").progress, WorkerProgress::NoWorker);
  ExpectConsistentTicks(run.Ticks());
}

TEST_F(StatusDialogTest, CancelledPromptEndsInConnectionFailedAndTheCloseBoxCloses) {
  kvtest::ScriptedUser script;
  script.Ignore(" \\\\ALPHA");
  script.Dialog("Security", [](kvtest::DialogDriver& d) { d.Press(IDCANCEL); });

  CDialogRun run("ALPHA");
  ASSERT_NE(run.Hwnd(), nullptr);
  script.IgnoreWindow(run.Hwnd());
  ASSERT_TRUE(run.WaitForText("Connection failed")) << run.Last().text;
  EXPECT_EQ(run.Last().caption, "Cancel");
  EXPECT_TRUE(run.Last().enabled);
  EXPECT_TRUE(script.Finish()) << script.Report();
  EXPECT_TRUE(script.Boxes().empty());
  EXPECT_FALSE(kvlab::HasSession("ALPHA"));

  run.Post(WM_CLOSE);
  ASSERT_TRUE(run.WaitForEnd());
  ExpectConsistentTicks(run.Ticks());
}

TEST_F(StatusDialogTest, AFailedQueryShowsFailedToGetTheStatusAndRecovers) {
  StoreCredentials("ALPHA", "Administrator", "alpha-pw");
  kvtest::ScriptedUser script;
  script.Ignore(" \\\\ALPHA");

  CDialogRun run("ALPHA");
  ASSERT_NE(run.Hwnd(), nullptr);
  script.IgnoreWindow(run.Hwnd());
  ASSERT_TRUE(run.WaitForText("Running")) << run.Last().text;

  ASSERT_EQ(0, kvlab::SetOnline("ALPHA", false));
  ASSERT_TRUE(run.WaitForText("Failed to get the status")) << run.Last().text;
  EXPECT_EQ(run.Last().state, StStatusFailed);
  EXPECT_EQ(run.Last().caption, "Cancel");
  EXPECT_TRUE(run.Last().enabled);
  EXPECT_FALSE(run.Last().barVisible);

  ASSERT_EQ(0, kvlab::SetOnline("ALPHA", true));
  ASSERT_TRUE(run.WaitForText("Running")) << run.Last().text;
  EXPECT_EQ(run.Last().caption, "Stop");

  run.Post(WM_CLOSE);
  ASSERT_TRUE(run.WaitForEnd());
  EXPECT_FALSE(kvlab::HasSession("ALPHA"));
  EXPECT_TRUE(script.Finish()) << script.Report();
  ExpectConsistentTicks(run.Ticks());
}

// The display table for every state, including those the lab's services
// never reach (the paused and pausing states): text, button and its action.
TEST(StatusRows, EveryStateShowsItsTextAndOffersItsAction) {
  struct Expected {
    LONG state;
    const char* text;
    const char* caption;
    bool enabled;
    StatusAction action;
  };
  const Expected rows[] = {
      {SERVICE_STOPPED, "Stopped", "Start", true, ActStartService},
      {SERVICE_START_PENDING, "Starting...", "Wait", false, ActPoll},
      {SERVICE_STOP_PENDING, "Stopping...", "Wait", false, ActPoll},
      {SERVICE_RUNNING, "Running", "Stop", true, ActStopService},
      {SERVICE_CONTINUE_PENDING, "Continue...", "Wait", false, ActPoll},
      {SERVICE_PAUSE_PENDING, "Pause...", "Wait", false, ActPoll},
      {SERVICE_PAUSED, "Paused", "Start", true, ActStartService},
      {StConnecting, "Connecting...", "Wait", false, ActPoll},
      {StConnected, "Connected", "Wait", false, ActPoll},
      {StConnectionFailed, "Connection failed", "Cancel", true, ActClose},
      {StStatusFailed, "Failed to get the status", "Cancel", true, ActClose},
      {StDisconnected, "Disconnected", "Wait", false, ActPoll},
  };
  for (const Expected& e : rows) {
    SCOPED_TRACE("state " + std::to_string(e.state));
    const StatusRow* row = FindStatusRow(e.state);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->state, e.state);
    EXPECT_EQ(LoadResString(row->stateText), e.text);
    EXPECT_EQ(LoadResString(row->buttonCaption), e.caption);
    EXPECT_EQ(row->buttonEnabled, e.enabled);
    if (e.enabled) {
      EXPECT_EQ(row->action, e.action);  // a disabled button requests nothing
    }
  }
  for (LONG unknown : {0L, 8L, 0x1A80L, 0x1A82L, 0x1A87L}) EXPECT_EQ(FindStatusRow(unknown), nullptr) << unknown;
}

TEST_F(StatusDialogTest, TheWorkerSlotHoldsOneWorkerAndKeepsItsAnswersApart) {
  StoreCredentials("ALPHA", "Administrator", "alpha-pw");
  kvtest::ScriptedUser script;  // a stored record: no window
  EXPECT_EQ(ConnectWorkerControl("STATE!").progress, WorkerProgress::NoWorker);
  ConnectWorkerControl("ALPHA");
  ASSERT_TRUE(WaitFor([] { return ConnectWorkerControl("STATE!").progress == WorkerProgress::Finished; }));
  EXPECT_EQ(ConnectWorkerControl("STATE!").status, 0u);
  EXPECT_TRUE(kvlab::HasSession("ALPHA"));

  // The slot is taken: a second start does nothing (no prompt for an unknown server).
  ConnectWorkerControl("NOWHERE");
  WorkerReport report = ConnectWorkerControl("STATE!");
  EXPECT_EQ(report.progress, WorkerProgress::Finished);
  EXPECT_EQ(report.status, 0u);

  ConnectWorkerControl("CLOSE!");
  EXPECT_EQ(ConnectWorkerControl("STATE!").progress, WorkerProgress::NoWorker);
  EXPECT_FALSE(kvlab::HasSession("ALPHA"));
  ConnectWorkerControl("CLOSE!");  // an empty slot: nothing to do

  // A cancelled prompt finishes with its own status.
  ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, (std::string(DiscoveryTableRoot) + "\\ALPHA").c_str());
  script.Dialog("Security", [](kvtest::DialogDriver& d) { d.Press(IDCANCEL); });
  ConnectWorkerControl("ALPHA");
  ASSERT_TRUE(WaitFor([] { return ConnectWorkerControl("STATE!").progress == WorkerProgress::Finished; }));
  EXPECT_EQ(ConnectWorkerControl("STATE!").status, SessionCancelled);
  ConnectWorkerControl("CLOSE!");
  EXPECT_TRUE(script.Finish()) << script.Report();
}

}  // namespace
