#include "ScriptedUser.h"

#include "MessageBox.h"
#include "Strings.h"

namespace kvtest {
namespace {
constexpr int kMessageBoxTextId = 0xFFFF;
constexpr DWORD kPollMs = 15;

std::string ClassOf(HWND hwnd) {
  char name[64] = {};
  ::GetClassNameA(hwnd, name, sizeof(name));
  return name;
}

struct Collect {
  std::vector<HWND> windows;
};

BOOL CALLBACK CollectDialogs(HWND hwnd, LPARAM lParam) {
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  if (pid == ::GetCurrentProcessId() && ::IsWindowVisible(hwnd) && ClassOf(hwnd) == "#32770")
    reinterpret_cast<Collect*>(lParam)->windows.push_back(hwnd);
  return TRUE;
}

void PressButton(HWND dialog, int id) {
  HWND button = ::GetDlgItem(dialog, id);
  ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}
}  // namespace

bool ScriptedUser::RunAgain(const std::vector<HWND>& windows) {
  Step step;
  HWND target = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_steps.empty() || !m_steps.front().again) return false;
    for (HWND hwnd : windows)
      if (m_handled.count(hwnd) && ::IsWindowEnabled(hwnd) && kv::GetText(hwnd) == m_steps.front().caption)
        target = hwnd;
    if (!target) return false;
    step = std::move(m_steps.front());
    m_steps.pop_front();
    m_stepStarted = ::GetTickCount();
  }
  RunAction(target, step);
  return true;
}

void ScriptedUser::RunAction(HWND hwnd, Step& step) {
  std::vector<std::string> failures;
  DialogDriver driver(hwnd, failures);
  step.action(driver);
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_failures.insert(m_failures.end(), failures.begin(), failures.end());
  }
  m_changed.notify_all();
}

bool IsMessageBox(HWND hwnd) {
  HWND text = ::GetDlgItem(hwnd, kMessageBoxTextId);
  return text && ClassOf(text) == "Static";
}

std::string MessageBoxText(HWND hwnd) { return kv::GetText(::GetDlgItem(hwnd, kMessageBoxTextId)); }

std::string DialogDriver::Caption() const { return kv::GetText(m_hWnd); }
std::string DialogDriver::Text(int id) const { return kv::GetText(::GetDlgItem(m_hWnd, id)); }
bool DialogDriver::IsEnabled(int id) const {
  HWND item = ::GetDlgItem(m_hWnd, id);
  return item && ::IsWindowEnabled(item);
}
bool DialogDriver::IsVisible(int id) const {
  HWND item = ::GetDlgItem(m_hWnd, id);
  return item && ::IsWindowVisible(item);
}

int DialogDriver::FocusedId() const {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  if (!::GetGUIThreadInfo(::GetWindowThreadProcessId(m_hWnd, nullptr), &info) || !info.hwndFocus) return 0;
  return ::GetDlgCtrlID(info.hwndFocus);
}

void DialogDriver::SetText(int id, const std::string& text) {
  HWND item = ::GetDlgItem(m_hWnd, id);
  if (!item) return Fail(kv::Format("control %d not found in \"%s\"", id, Caption().c_str()));
  ::SendMessageA(item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void DialogDriver::Type(int id, const std::string& text) {
  HWND item = ::GetDlgItem(m_hWnd, id);
  if (!item) return Fail(kv::Format("control %d not found in \"%s\"", id, Caption().c_str()));
  ::SendMessageA(item, EM_SETSEL, 0, -1);
  if (text.empty()) {
    ::SendMessageA(item, WM_CHAR, VK_BACK, 0);
    return;
  }
  for (unsigned char c : text) ::SendMessageA(item, WM_CHAR, c, 1);
}

void DialogDriver::Press(int id) {
  HWND button = ::GetDlgItem(m_hWnd, id);
  if (!button) return Fail(kv::Format("button %d not found in \"%s\"", id, Caption().c_str()));
  if (!::IsWindowEnabled(button))
    return Fail(kv::Format("button %d of \"%s\" is disabled and cannot be pressed", id, Caption().c_str()));
  PressButton(m_hWnd, id);
}

void DialogDriver::Keys(const std::vector<WORD>& chord) const { PressKeys(chord); }

void PressKeys(const std::vector<WORD>& chord) {
  std::vector<INPUT> inputs;
  auto key = [&](WORD vk, DWORD up) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.wScan = static_cast<WORD>(::MapVirtualKeyA(vk, MAPVK_VK_TO_VSC));
    in.ki.dwFlags = up | (vk == VK_APPS || vk == VK_PRIOR || vk == VK_NEXT ? KEYEVENTF_EXTENDEDKEY : 0);
    inputs.push_back(in);
  };
  for (WORD vk : chord) key(vk, 0);
  for (auto it = chord.rbegin(); it != chord.rend(); ++it) key(*it, KEYEVENTF_KEYUP);
  ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

MenuPicker::MenuPicker(UINT pick, std::function<void()> whileOpen)
    : m_whileOpen(std::move(whileOpen)), m_thread([this, pick] { Watch(pick); }) {}

std::vector<UINT> MenuPicker::Stop() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
  return m_ids;
}

void MenuPicker::Watch(UINT pick) {
  for (int i = 0; i < 1000 && !m_stop; ++i) {
    HWND menu = ::FindWindowA("#32768", nullptr);
    HMENU handle =
        menu && ::IsWindowVisible(menu) ? reinterpret_cast<HMENU>(::SendMessageA(menu, MN_GETHMENU, 0, 0)) : nullptr;
    if (!handle) {
      ::Sleep(10);
      continue;
    }
    ::GetWindowRect(menu, &m_rect);
    int at = -1;
    for (int item = 0; item < ::GetMenuItemCount(handle); ++item) {
      m_ids.push_back(::GetMenuItemID(handle, item));
      if (m_ids.back() == pick) at = item;
    }
    if (m_whileOpen) m_whileOpen();
    // Home selects the first entry whatever the pointer, which the menu
    // opens under, has highlighted; then down to the entry.
    if (at >= 0) ::PostMessageA(menu, WM_KEYDOWN, VK_HOME, 0);
    for (int step = 0; step < at; ++step) ::PostMessageA(menu, WM_KEYDOWN, VK_DOWN, 0);
    ::PostMessageA(menu, WM_KEYDOWN, at >= 0 ? VK_RETURN : VK_ESCAPE, 0);
    return;
  }
}

ScriptedUser::ScriptedUser(DWORD stepTimeoutMs) : m_stepTimeoutMs(stepTimeoutMs), m_stepStarted(::GetTickCount()) {
  // Windows that are already up belong to the test, not to the script.
  Collect existing;
  ::EnumWindows(&CollectDialogs, reinterpret_cast<LPARAM>(&existing));
  m_ignoredWindows.insert(existing.windows.begin(), existing.windows.end());
  kv::SetMessageBoxHook([this](const kv::MessageBoxCall& call) -> std::optional<int> {
    std::lock_guard<std::mutex> lock(m_lock);
    m_calls.push_back({call.text, {call.caption, call.flags}});
    if (m_calls.size() > 64) m_calls.pop_front();
    return std::nullopt;
  });
  m_thread = std::thread([this] { Watch(); });
}

ScriptedUser::~ScriptedUser() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_stop = true;
  }
  m_changed.notify_all();
  m_thread.join();
  kv::SetMessageBoxHook({});
}

ScriptedUser& ScriptedUser::AnswerBox(int button) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_steps.empty()) m_stepStarted = ::GetTickCount();
  m_steps.push_back({true, false, button, {}, {}});
  return *this;
}

ScriptedUser& ScriptedUser::Dialog(const std::string& caption, std::function<void(DialogDriver&)> action) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_steps.empty()) m_stepStarted = ::GetTickCount();
  m_steps.push_back({false, false, 0, caption, std::move(action)});
  return *this;
}

ScriptedUser& ScriptedUser::Again(const std::string& caption, std::function<void(DialogDriver&)> action) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_steps.empty()) m_stepStarted = ::GetTickCount();
  m_steps.push_back({false, true, 0, caption, std::move(action)});
  return *this;
}

void ScriptedUser::Ignore(const std::string& caption) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_ignoredCaptions.insert(caption);
}

void ScriptedUser::IgnoreWindow(HWND hwnd) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_ignoredWindows.insert(hwnd);
}

bool ScriptedUser::Finish() {
  std::unique_lock<std::mutex> lock(m_lock);
  for (;;) {
    if (m_steps.empty()) break;
    if (::GetTickCount() - m_stepStarted > m_stepTimeoutMs) {
      for (const Step& s : m_steps)
        m_failures.push_back(s.isBox ? kv::Format("expected a message box (answer %d) that never came", s.button)
                                     : "expected dialog \"" + s.caption + "\" that never came");
      m_steps.clear();
      break;
    }
    m_changed.wait_for(lock, std::chrono::milliseconds(kPollMs));
  }
  return m_failures.empty();
}

std::string ScriptedUser::Report() const {
  std::lock_guard<std::mutex> lock(m_lock);
  std::string out;
  for (const std::string& f : m_failures) out += "scripted user: " + f + "\n";
  return out;
}

std::vector<SeenBox> ScriptedUser::Boxes() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_boxes;
}

std::vector<std::string> ScriptedUser::Failures() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_failures;
}

UINT ScriptedUser::FlagsFor(const std::string& text, const std::string& caption) {
  // Newest matching call first: the box on screen is the latest one shown.
  for (auto it = m_calls.rbegin(); it != m_calls.rend(); ++it) {
    if (it->first == text && it->second.first == caption) {
      UINT flags = it->second.second;
      m_calls.erase(std::next(it).base());
      return flags;
    }
  }
  return 0xFFFFFFFFu;  // shown without the program's message-box function
}

void ScriptedUser::Watch() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(m_lock);
      m_changed.wait_for(lock, std::chrono::milliseconds(kPollMs), [this] { return m_stop; });
      if (m_stop) return;
    }
    Collect now;
    ::EnumWindows(&CollectDialogs, reinterpret_cast<LPARAM>(&now));
    if (!RunAgain(now.windows))
      for (HWND hwnd : now.windows) Handle(hwnd);
    // Forget windows that are gone (handles can be reused).
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto it = m_handled.begin(); it != m_handled.end();)
      it = ::IsWindow(*it) ? std::next(it) : m_handled.erase(it);
  }
}

void ScriptedUser::CloseUnexpected(HWND hwnd, const std::string& why) {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_failures.push_back(why);
  }
  for (int id : {IDCANCEL, IDNO, IDOK}) {
    HWND button = ::GetDlgItem(hwnd, id);
    if (button && ::IsWindowEnabled(button)) return PressButton(hwnd, id);
  }
  ::PostMessageA(hwnd, WM_CLOSE, 0, 0);
}

void ScriptedUser::Handle(HWND hwnd) {
  {
    // Windows under test or already handled are not read at all: reading a
    // caption sends WM_GETTEXT to the window's thread, which may be the test
    // thread itself waiting in Finish or for this thread to end.
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_handled.count(hwnd) || m_ignoredWindows.count(hwnd)) return;
  }
  std::string caption = kv::GetText(hwnd);
  if (caption.empty()) {
    // A window that is closing can read as captionless for a moment: look
    // again before taking it for a new, unexpected one.
    ::Sleep(50);
    caption = kv::GetText(hwnd);
  }
  if (!::IsWindow(hwnd) || !::IsWindowVisible(hwnd)) return;  // gone meanwhile
  bool isBox = IsMessageBox(hwnd);
  Step step;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_handled.count(hwnd) || m_ignoredWindows.count(hwnd) || m_ignoredCaptions.count(caption)) return;
    // A child dialog of a window under test (a property page) is not a step.
    if (::GetWindowLongA(hwnd, GWL_STYLE) & WS_CHILD) return;
    m_handled.insert(hwnd);
    if (m_steps.empty() || m_steps.front().again) {
      step.isBox = false;
      step.caption = "\x01";  // nothing expected
    } else {
      step = std::move(m_steps.front());
      m_steps.pop_front();
      m_stepStarted = ::GetTickCount();
    }
  }
  std::string what = isBox ? "message box \"" + caption + "\": " + MessageBoxText(hwnd) : "dialog \"" + caption + "\"";
  if (step.caption == "\x01") return CloseUnexpected(hwnd, "unexpected " + what);

  if (step.isBox) {
    if (!isBox) return CloseUnexpected(hwnd, "expected a message box, got " + what);
    SeenBox seen;
    seen.text = MessageBoxText(hwnd);
    seen.caption = caption;
    seen.owner = ::GetWindow(hwnd, GW_OWNER);
    seen.answer = step.button;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      seen.flags = FlagsFor(seen.text, seen.caption);
      m_boxes.push_back(seen);
    }
    if (step.button == kCloseByTitleBar) {
      ::PostMessageA(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (step.button == kCloseByAltF4) {
      // F4 with Alt held (context code, bit 29), as the keyboard gives it.
      ::PostMessageA(hwnd, WM_SYSKEYDOWN, VK_F4, (1 << 29) | 1);
      ::PostMessageA(hwnd, WM_SYSKEYUP, VK_F4, (1u << 31) | (1 << 30) | (1 << 29) | 1);
    } else if (!::GetDlgItem(hwnd, step.button)) {
      return CloseUnexpected(hwnd, kv::Format("message box has no button %d: ", step.button) + what);
    } else {
      PressButton(hwnd, step.button);
    }
  } else {
    if (isBox || caption != step.caption)
      return CloseUnexpected(hwnd, "expected dialog \"" + step.caption + "\", got " + what);
    RunAction(hwnd, step);
    return;
  }
  m_changed.notify_all();
}

}  // namespace kvtest
