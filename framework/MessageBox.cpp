#include "MessageBox.h"

#include <mutex>

#include "App.h"
#include "Strings.h"

namespace kv {
namespace {
std::mutex g_hookLock;
MessageBoxHook g_hook;
}  // namespace

void SetMessageBoxHook(MessageBoxHook hook) {
  std::lock_guard<std::mutex> lock(g_hookLock);
  g_hook = std::move(hook);
}

int ShowMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT flags) {
  MessageBoxHook hook;
  {
    std::lock_guard<std::mutex> lock(g_hookLock);
    hook = g_hook;
  }
  if (hook) {
    MessageBoxCall call{owner, text, caption, flags, ::GetCurrentThreadId()};
    if (std::optional<int> answer = hook(call)) return *answer;
  }
  return ::MessageBoxA(owner, text.c_str(), caption.c_str(), flags);
}

int AppMessageBox(const std::string& text, UINT flags) {
  CWinApp* app = CWinApp::Current();
  HWND owner = app ? app->m_hMainWnd : nullptr;
  if (owner && !::IsWindow(owner)) owner = nullptr;
  std::string caption = app ? app->m_strAppName : std::string();
  return ShowMessageBox(owner, text, caption, flags);
}

int AppMessageBox(UINT stringId, UINT flags) { return AppMessageBox(LoadStr(stringId), flags); }

}  // namespace kv
