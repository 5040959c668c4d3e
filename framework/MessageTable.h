// A message table per class, written as data next to the class:
//
//   static constexpr kv::MessageEntry<CMyDlg> kMessages[] = {
//       kv::OnCommand(1039, BN_CLICKED, &CMyDlg::OnRefresh),
//       kv::OnNotify(1000, TVN_SELCHANGEDA, &CMyDlg::OnSelChanged),
//       kv::OnMessage(WM_TIMER, &CMyDlg::OnTimer),
//   };
//   bool ProcessMessageTable(UINT m, WPARAM w, LPARAM l, LRESULT& r) override {
//     return kv::DispatchTable(this, kMessages, m, w, l, r) || CDialog::ProcessMessageTable(m, w, l, r);
//   }
//
// WM_COMMAND is cracked into (control id, notification code) and WM_NOTIFY
// into (idFrom, code) once, here.
#pragma once

#include <windows.h>

#include <cstddef>

namespace kv {

inline constexpr UINT kAnyId = 0xFFFFFFFFu;

template <class T>
struct MessageEntry {
  enum class Kind { Command, Notify, NotifyEx, Message };
  UINT message;
  UINT id;
  UINT code;
  Kind kind;
  void (T::*onCommand)();
  LRESULT (T::*onNotify)(NMHDR*);
  bool (T::*onNotifyEx)(NMHDR*, LRESULT&);  // may decline: returns false
  LRESULT (T::*onMessage)(WPARAM, LPARAM);
};

// WM_COMMAND from control id with notification code (BN_CLICKED = 0 also
// matches menu and accelerator commands).
template <class T>
constexpr MessageEntry<T> OnCommand(UINT id, UINT code, void (T::*fn)()) {
  return {WM_COMMAND, id, code, MessageEntry<T>::Kind::Command, fn, nullptr, nullptr, nullptr};
}
// WM_NOTIFY from idFrom with code; the handler's value is the result.
template <class T>
constexpr MessageEntry<T> OnNotify(UINT id, UINT code, LRESULT (T::*fn)(NMHDR*)) {
  return {WM_NOTIFY, id, code, MessageEntry<T>::Kind::Notify, nullptr, fn, nullptr, nullptr};
}
// WM_NOTIFY that the handler may leave unhandled (returns false).
template <class T>
constexpr MessageEntry<T> OnNotifyEx(UINT id, UINT code, bool (T::*fn)(NMHDR*, LRESULT&)) {
  return {WM_NOTIFY, id, code, MessageEntry<T>::Kind::NotifyEx, nullptr, nullptr, fn, nullptr};
}
// Any other window message.
template <class T>
constexpr MessageEntry<T> OnMessage(UINT message, LRESULT (T::*fn)(WPARAM, LPARAM)) {
  return {message, kAnyId, 0, MessageEntry<T>::Kind::Message, nullptr, nullptr, nullptr, fn};
}

template <class T, std::size_t N>
bool DispatchTable(T* self, const MessageEntry<T> (&table)[N], UINT message, WPARAM wParam, LPARAM lParam,
                   LRESULT& result) {
  for (const MessageEntry<T>& e : table) {
    if (e.message != message) continue;
    switch (e.kind) {
      case MessageEntry<T>::Kind::Command: {
        UINT id = LOWORD(wParam), code = HIWORD(wParam);
        if ((e.id == kAnyId || e.id == id) && e.code == code) {
          (self->*e.onCommand)();
          result = 0;
          return true;
        }
        break;
      }
      case MessageEntry<T>::Kind::Notify:
      case MessageEntry<T>::Kind::NotifyEx: {
        NMHDR* hdr = reinterpret_cast<NMHDR*>(lParam);
        if (!hdr) break;
        if ((e.id == kAnyId || e.id == static_cast<UINT>(hdr->idFrom)) && e.code == hdr->code) {
          if (e.kind == MessageEntry<T>::Kind::Notify) {
            result = (self->*e.onNotify)(hdr);
            return true;
          }
          LRESULT r = 0;
          if ((self->*e.onNotifyEx)(hdr, r)) {
            result = r;
            return true;
          }
        }
        break;
      }
      case MessageEntry<T>::Kind::Message:
        result = (self->*e.onMessage)(wParam, lParam);
        return true;
    }
  }
  return false;
}

}  // namespace kv
