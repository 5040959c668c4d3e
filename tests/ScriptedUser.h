// A scripted user for UI tests: answers the next message box or drives the
// next dialog, in order, from a watcher thread, so it works inside nested
// modal loops and for windows shown by any thread of the process.
//
//   kvtest::ScriptedUser user;
//   user.AnswerBox(IDOK);
//   user.Dialog("Security", [](kvtest::DialogDriver& d) { d.Type(1034, "admin"); d.Press(IDOK); });
//   RunCodeUnderTest();
//   EXPECT_TRUE(user.Finish()) << user.Report();
//   EXPECT_EQ(user.Boxes()[0].flags, 0x42011u);
//
// A dialog window that appears when no step expects it is an unexpected
// window: it is recorded as a failure and closed (Cancel, No or OK), so a
// test fails instead of hanging. A step whose window never comes fails
// Finish after its bounded wait.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kvtest {

// What a message box showed. flags come from the program's message-box
// function; owner is the box's owner window.
struct SeenBox {
  std::string text;
  std::string caption;
  UINT flags = 0;
  HWND owner = nullptr;
  int answer = 0;
};

class DialogDriver {
 public:
  DialogDriver(HWND dialog, std::vector<std::string>& failures) : m_hWnd(dialog), m_failures(failures) {}
  HWND Hwnd() const { return m_hWnd; }
  std::string Caption() const;
  std::string Text(int id) const;
  bool Exists(int id) const { return ::GetDlgItem(m_hWnd, id) != nullptr; }
  bool IsEnabled(int id) const;
  bool IsVisible(int id) const;
  // The control that has the keyboard focus in the dialog's thread (its id, or 0).
  int FocusedId() const;
  // Replaces the text at once (WM_SETTEXT: edit limits do not apply).
  void SetText(int id, const std::string& text);
  // Selects all and types the text character by character (limits apply).
  void Type(int id, const std::string& text);
  // Clicks a button; a missing or disabled button is a failure.
  void Press(int id);
  // Presses keys as the keyboard does (see PressKeys), for the window that
  // has the keyboard focus: the dialog must be the active window.
  void Keys(const std::vector<WORD>& chord) const;
  void Fail(const std::string& what) { m_failures.push_back(what); }

 private:
  HWND m_hWnd;
  std::vector<std::string>& m_failures;
};

// Answers for AnswerBox that close the box without a button, where the
// window allows it: its title bar's close button, or Alt+F4.
inline constexpr int kCloseByTitleBar = -1;
inline constexpr int kCloseByAltF4 = -2;

class ScriptedUser {
 public:
  explicit ScriptedUser(DWORD stepTimeoutMs = 10000);
  ~ScriptedUser();
  ScriptedUser(const ScriptedUser&) = delete;
  ScriptedUser& operator=(const ScriptedUser&) = delete;

  // The next window must be a message box: press the button with this id
  // (or close the box: kCloseByTitleBar, kCloseByAltF4).
  ScriptedUser& AnswerBox(int button);
  // The next window must be a dialog with this caption: run action on it
  // (on the watcher thread; the action presses a button to close it).
  ScriptedUser& Dialog(const std::string& caption, std::function<void(DialogDriver&)> action);
  // The next step acts again on a dialog that is already up (one that an
  // earlier step handled), once it is enabled (no modal box over it).
  ScriptedUser& Again(const std::string& caption, std::function<void(DialogDriver&)> action);
  // Windows with this caption are under test: never unexpected, never touched.
  void Ignore(const std::string& caption);
  void IgnoreWindow(HWND hwnd);

  // Waits until every step has been done (each with its bounded wait) and
  // returns true when nothing went wrong.
  bool Finish();
  std::string Report() const;
  std::vector<SeenBox> Boxes() const;
  std::vector<std::string> Failures() const;

 private:
  struct Step {
    bool isBox;
    bool again;
    int button;
    std::string caption;
    std::function<void(DialogDriver&)> action;
  };
  void Watch();
  void Handle(HWND hwnd);
  bool RunAgain(const std::vector<HWND>& windows);
  void RunAction(HWND hwnd, Step& step);
  void CloseUnexpected(HWND hwnd, const std::string& why);
  UINT FlagsFor(const std::string& text, const std::string& caption);

  mutable std::mutex m_lock;
  std::condition_variable m_changed;
  std::deque<Step> m_steps;
  std::vector<SeenBox> m_boxes;
  std::vector<std::string> m_failures;
  std::set<HWND> m_handled;
  std::set<HWND> m_ignoredWindows;
  std::set<std::string> m_ignoredCaptions;
  std::deque<std::pair<std::string, std::pair<std::string, UINT>>> m_calls;  // text, caption, flags
  DWORD m_stepTimeoutMs;
  DWORD m_stepStarted;
  bool m_stop = false;
  std::thread m_thread;
};

// Real keys, through the system's input queue (SendInput): the keys of
// chord go down in order and come up in reverse order, e.g. {VK_SHIFT,
// VK_F10}. They reach the focus window of the foreground window, with the key
// state (GetKeyState) that real keys give; the window's thread must be
// taking messages for them to be seen.
void PressKeys(const std::vector<WORD>& chord);

// Watches, from a thread of its own, for the next popup menu (class #32768);
// records its command ids and where it showed, then picks the entry with
// command pick by keyboard, or closes the menu with Esc.
class MenuPicker {
 public:
  // whileOpen runs on the watching thread once the menu shows, before the pick.
  explicit MenuPicker(UINT pick = 0, std::function<void()> whileOpen = {});
  ~MenuPicker() { Stop(); }
  MenuPicker(const MenuPicker&) = delete;
  MenuPicker& operator=(const MenuPicker&) = delete;
  // Stops watching; the ids of the menu that showed (empty: none showed).
  std::vector<UINT> Stop();
  // The menu's window rectangle on the screen (empty when none showed).
  RECT Rect() const { return m_rect; }

 private:
  void Watch(UINT pick);
  std::atomic<bool> m_stop{false};
  std::vector<UINT> m_ids;
  RECT m_rect{};
  std::function<void()> m_whileOpen;
  std::thread m_thread;
};

// True when hwnd is a message box (its text static has id 0xFFFF).
bool IsMessageBox(HWND hwnd);
// The text of a message box.
std::string MessageBoxText(HWND hwnd);

}  // namespace kvtest
