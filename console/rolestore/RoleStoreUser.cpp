#include "RoleStoreUser.h"

#include <atomic>

#include "App.h"
#include "LogonPromptDlg.h"
#include "MessageBox.h"
#include "Messages.h"

namespace {

constexpr UINT kConfirmFlags = MB_OKCANCEL | MB_ICONWARNING | MB_TASKMODAL | MB_TOPMOST;  // 0x42031
constexpr UINT kRetryFlags = MB_OKCANCEL | MB_ICONERROR | MB_TASKMODAL | MB_TOPMOST;      // 0x42011
constexpr UINT kWarningFlags = MB_OK | MB_ICONWARNING | MB_TASKMODAL | MB_TOPMOST;        // 0x42030

CConsoleRoleStoreUser g_console;
std::atomic<CRoleStoreUser*> g_installed{nullptr};

}  // namespace

bool CConsoleRoleStoreUser::Confirm(const std::string& text, const std::string& caption) {
  return kv::ShowMessageBox(kv::QuestionOwner(), text, caption, kConfirmFlags) == IDOK;
}

bool CConsoleRoleStoreUser::AskCredentials(const char* host, std::string& user, std::string& password) {
  CLogonPromptDlg dlg(user, password, host ? host : "", kv::QuestionOwner());
  return dlg.DoModal() != IDCANCEL;
}

bool CConsoleRoleStoreUser::AskRetry(const char*, DWORD, const std::string& text, const std::string& caption) {
  return kv::ShowMessageBox(kv::QuestionOwner(), text, caption, kRetryFlags) == IDOK;
}

void CConsoleRoleStoreUser::ReportFailure(const std::string& caption, DWORD status) {
  ShowSystemError(caption, status);
}

void CConsoleRoleStoreUser::Warn(HWND owner, const std::string& text, const std::string& caption) {
  kv::ShowMessageBox(owner ? owner : kv::QuestionOwner(), text, caption, kWarningFlags);
}

CRoleStoreUser& RoleStoreUser() {
  CRoleStoreUser* user = g_installed.load();
  return user ? *user : g_console;
}

CRoleStoreUser* SetRoleStoreUser(CRoleStoreUser* user) { return g_installed.exchange(user); }
