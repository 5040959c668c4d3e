// Every message box of both programs goes through ShowMessageBox, so tests
// can read the exact text, caption and flags of each one.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

namespace kv {

struct MessageBoxCall {
  HWND owner;
  std::string text;
  std::string caption;
  UINT flags;
  DWORD threadId;
};

// MessageBoxA underneath; returns its answer.
int ShowMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT flags);

// Box with the application's name as caption and its main window as owner
// (what an MFC program's AfxMessageBox shows).
int AppMessageBox(const std::string& text, UINT flags);
int AppMessageBox(UINT stringId, UINT flags);

// Test seam. The hook sees every call before the box shows (on the calling
// thread); returning an answer replaces the box, returning nullopt lets the
// real box show. Pass an empty function to remove the hook.
using MessageBoxHook = std::function<std::optional<int>(const MessageBoxCall&)>;
void SetMessageBoxHook(MessageBoxHook hook);

}  // namespace kv
