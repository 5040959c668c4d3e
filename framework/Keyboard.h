// Keyboard shortcuts of a dialog that work whatever message loop runs it:
// the dialog manager's modal loop, which hands every key to IsDialogMessage
// first (Ctrl+Tab would only move the focus there), a program's own loop, or
// a test's loop without IsDialogMessage. A WH_GETMESSAGE hook on the
// dialog's thread looks at each key as it is taken from the queue. A chord of
// a registered dialog, pressed in the dialog or one of its controls while the
// dialog takes input and no menu is open, goes no further and reaches the
// dialog as WM_KV_SHORTCUT (wParam: the chord's index in its table), posted,
// so that its handler runs from the dialog's own loop:
//
//   static constexpr kv::Shortcut<CMyDlg> kShortcuts[] = {
//       {VK_F5, 0, &CMyDlg::OnRefresh},
//       {VK_RETURN, kv::kKeyAlt, &CMyDlg::OnProperties},
//   };
//   OnInitDialog:   m_shortcuts.Attach(m_hWnd, kShortcuts);
//   message table:  kv::OnMessage(kv::WM_KV_SHORTCUT, &CMyDlg::OnShortcut)
//   OnShortcut:     return kv::RunShortcut(this, kShortcuts, wParam);
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

namespace kv {

inline constexpr UINT WM_KV_SHORTCUT = WM_APP + 0x2E0;

// Modifier keys of a chord; a chord matches only with exactly these down.
inline constexpr UINT kKeyShift = 1;
inline constexpr UINT kKeyCtrl = 2;
inline constexpr UINT kKeyAlt = 4;

struct KeyChord {
  UINT vk;
  UINT modifiers;
};

template <class T>
struct Shortcut {
  UINT vk;
  UINT modifiers;
  void (T::*handler)();
};

// The modifiers held down as the calling thread's key state has them.
UINT HeldModifiers();

// One dialog's registration with its thread's hook; the hook goes with the
// thread's last registration.
class CShortcuts {
 public:
  CShortcuts() = default;
  ~CShortcuts() { Detach(); }
  CShortcuts(const CShortcuts&) = delete;
  CShortcuts& operator=(const CShortcuts&) = delete;

  bool Attach(HWND dialog, std::vector<KeyChord> chords);
  template <class T, std::size_t N>
  bool Attach(HWND dialog, const Shortcut<T> (&table)[N]) {
    std::vector<KeyChord> chords;
    for (const Shortcut<T>& s : table) chords.push_back({s.vk, s.modifiers});
    return Attach(dialog, std::move(chords));
  }
  void Detach();

 private:
  HWND m_hWnd = nullptr;
};

template <class T, std::size_t N>
LRESULT RunShortcut(T* self, const Shortcut<T> (&table)[N], WPARAM index) {
  if (index < N) (self->*table[index].handler)();
  return 0;
}

}  // namespace kv
