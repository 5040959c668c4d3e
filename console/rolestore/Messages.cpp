#include "Messages.h"

#include <atomic>
#include <memory>

#include "App.h"
#include "MessageBox.h"
#include "Strings.h"
#include "resource.h"

namespace {

constexpr UINT kErrorBoxFlags = MB_OKCANCEL | MB_ICONERROR | MB_TASKMODAL | MB_TOPMOST;  // 0x42011
constexpr DWORD kHelpContext = 858;

std::atomic<HelpFunction> g_helpFunction{nullptr};

struct LocalFreeDeleter {
  void operator()(char* p) const { ::LocalFree(p); }
};

}  // namespace

std::string LoadResString(UINT id) { return kv::LoadStr(id); }

std::string FormatResString(UINT id, const std::string& argument) {
  // The string table is not a printf format: only its one %s is replaced,
  // so no other % sequence can read arguments that are not there.
  std::string text = LoadResString(id);
  size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, argument);
  return text;
}

std::string SystemErrorText(DWORD status) {
  char* raw = nullptr;
  // Inserts are ignored: some system texts carry %1 placeholders and there
  // are no arguments to fill them.
  DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, status,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&raw), 0, nullptr);
  std::unique_ptr<char, LocalFreeDeleter> owned(raw);
  if (length == 0 || !raw) {
    return kv::Format("The operation failed with status %lu (0x%08lX).", static_cast<unsigned long>(status),
                      static_cast<unsigned long>(status));
  }
  return std::string(raw, length);
}

void ShowSystemError(const std::string& caption, DWORD status) {
  kv::ShowMessageBox(kv::QuestionOwner(), SystemErrorText(status), caption, kErrorBoxFlags);
}

std::string HelpFilePath() {
  char path[MAX_PATH + 1] = {};
  DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n >= MAX_PATH) n = MAX_PATH - 1;
  path[n] = '\0';
  // Walk by characters so that a trail byte equal to '\' is never taken for one.
  const char* cut = path;
  for (const char* p = path; *p; p = ::CharNextA(p)) {
    if (*p == '\\') cut = p + 1;
  }
  return std::string(static_cast<const char*>(path), cut) + "KVMGR.HLP";
}

void ShowHelpTopic(HWND owner) {
  HelpFunction help = g_helpFunction.load();
  if (!help) help = &::WinHelpA;
  help(owner, HelpFilePath().c_str(), HELP_CONTEXT, kHelpContext);
}

HelpFunction SetHelpFunctionForTest(HelpFunction function) { return g_helpFunction.exchange(function); }

void PassHelpKeyToMainWindow() {
  kv::CWinApp* app = kv::CWinApp::Current();
  if (app && app->m_hMainWnd && ::IsWindow(app->m_hMainWnd))
    ::SendMessageA(app->m_hMainWnd, WM_COMMAND, MAKEWPARAM(ID_HELP, 0), 0);
}
