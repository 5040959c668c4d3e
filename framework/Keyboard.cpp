#include "Keyboard.h"

#include <algorithm>

namespace kv {
namespace {

struct Registration {
  HWND dialog;
  std::vector<KeyChord> chords;
};

// Hooks and registrations belong to one thread: the hook sees only the
// messages of the thread that set it.
struct ThreadShortcuts {
  HHOOK hook = nullptr;
  std::vector<Registration> dialogs;
  // Key-ups of the keys of chords that were taken: they go no further
  // either, so that no window sees the release of a key it never saw go
  // down.
  std::vector<UINT> pendingUps;
};
thread_local ThreadShortcuts t_shortcuts;

bool Down(int vk) { return (::GetKeyState(vk) & 0x8000) != 0; }

bool MenuOpen() {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  return ::GetGUIThreadInfo(::GetCurrentThreadId(), &info) &&
         (info.flags & (GUI_INMENUMODE | GUI_POPUPMENUMODE | GUI_SYSTEMMENUMODE)) != 0;
}

bool TakeKeyUp(MSG& msg) {
  std::vector<UINT>& ups = t_shortcuts.pendingUps;
  auto it = std::find(ups.begin(), ups.end(), static_cast<UINT>(msg.wParam));
  if (it == ups.end()) return false;
  ups.erase(it);
  return true;
}

bool TakeKeyDown(MSG& msg) {
  HWND root = ::GetAncestor(msg.hwnd, GA_ROOT);
  if (!root) return false;
  for (const Registration& r : t_shortcuts.dialogs) {
    if (r.dialog != root) continue;
    if (!::IsWindowEnabled(root) || MenuOpen()) return false;
    const UINT held = HeldModifiers();
    for (size_t i = 0; i < r.chords.size(); ++i) {
      if (r.chords[i].vk != msg.wParam || r.chords[i].modifiers != held) continue;
      ::PostMessageA(root, WM_KV_SHORTCUT, i, 0);
      t_shortcuts.pendingUps.push_back(r.chords[i].vk);
      return true;
    }
    return false;
  }
  return false;
}

LRESULT CALLBACK GetMessageHook(int code, WPARAM removal, LPARAM lParam) {
  if (code == HC_ACTION && removal == PM_REMOVE) {
    MSG* msg = reinterpret_cast<MSG*>(lParam);
    bool taken = false;
    if (msg->hwnd && (msg->message == WM_KEYDOWN || msg->message == WM_SYSKEYDOWN))
      taken = TakeKeyDown(*msg);
    else if (msg->message == WM_KEYUP || msg->message == WM_SYSKEYUP)
      taken = TakeKeyUp(*msg);
    if (taken) msg->message = WM_NULL;
  }
  return ::CallNextHookEx(nullptr, code, removal, lParam);
}

}  // namespace

UINT HeldModifiers() {
  return (Down(VK_SHIFT) ? kKeyShift : 0u) | (Down(VK_CONTROL) ? kKeyCtrl : 0u) | (Down(VK_MENU) ? kKeyAlt : 0u);
}

bool CShortcuts::Attach(HWND dialog, std::vector<KeyChord> chords) {
  Detach();
  if (!dialog) return false;
  ThreadShortcuts& t = t_shortcuts;
  if (!t.hook) {
    t.hook = ::SetWindowsHookExA(WH_GETMESSAGE, &GetMessageHook, nullptr, ::GetCurrentThreadId());
    if (!t.hook) return false;
  }
  t.dialogs.push_back({dialog, std::move(chords)});
  m_hWnd = dialog;
  return true;
}

void CShortcuts::Detach() {
  if (!m_hWnd) return;
  ThreadShortcuts& t = t_shortcuts;
  t.dialogs.erase(
      std::remove_if(t.dialogs.begin(), t.dialogs.end(), [this](const Registration& r) { return r.dialog == m_hWnd; }),
      t.dialogs.end());
  m_hWnd = nullptr;
  if (t.dialogs.empty() && t.hook) {
    ::UnhookWindowsHookEx(t.hook);
    t.hook = nullptr;
    t.pendingUps.clear();
  }
}

}  // namespace kv
