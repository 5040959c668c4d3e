#include "Dialog.h"

#include <commctrl.h>
#include <prsht.h>

#include "App.h"
#include "MessageBox.h"
#include "Strings.h"

namespace kv {

void SetMessageResult(HWND dialog, LRESULT result) { ::SetWindowLongPtrA(dialog, DWLP_MSGRESULT, result); }

void CenterOnOwner(HWND window) {
  HWND owner = ::GetWindow(window, GW_OWNER);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  if (!::GetMonitorInfoA(::MonitorFromWindow(owner ? owner : window, MONITOR_DEFAULTTOPRIMARY), &monitor)) return;
  const RECT area = monitor.rcWork;
  RECT around = area;
  if (owner && ::IsWindowVisible(owner) && !::IsIconic(owner)) ::GetWindowRect(owner, &around);
  RECT self{};
  ::GetWindowRect(window, &self);
  const int width = self.right - self.left, height = self.bottom - self.top;
  int x = around.left + (around.right - around.left - width) / 2;
  int y = around.top + (around.bottom - around.top - height) / 2;
  if (x + width > area.right) x = area.right - width;
  if (y + height > area.bottom) y = area.bottom - height;
  if (x < area.left) x = area.left;
  if (y < area.top) y = area.top;
  ::SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::string MaxCharsMessage(int maxChars) { return Format("Please enter no more than %d characters.", maxChars); }

void DDX_Text(CDataExchange& dx, int id, std::string& value) {
  HWND control = ::GetDlgItem(dx.Dialog(), id);
  dx.SetLastControl(id);
  if (!control) return;
  if (dx.Saving()) {
    value = GetText(control);
  } else if (GetText(control) != value) {
    ::SetWindowTextA(control, value.c_str());
  }
}

void DDV_MaxChars(CDataExchange& dx, const std::string& value, int maxChars) {
  HWND control = ::GetDlgItem(dx.Dialog(), dx.LastControl());
  if (!dx.Saving()) {
    if (control) ::SendMessageA(control, EM_LIMITTEXT, static_cast<WPARAM>(maxChars), 0);
    return;
  }
  if (static_cast<int>(value.size()) > maxChars) {
    AppMessageBox(MaxCharsMessage(maxChars), MB_ICONEXCLAMATION);
    if (control) {
      ::SetFocus(control);
      ::SendMessageA(control, EM_SETSEL, 0, -1);
    }
    dx.Fail();
  }
}

void DDX_Check(CDataExchange& dx, int id, BOOL& value) {
  HWND control = ::GetDlgItem(dx.Dialog(), id);
  dx.SetLastControl(id);
  if (!control) return;
  if (dx.Saving()) {
    value = static_cast<BOOL>(::SendMessageA(control, BM_GETCHECK, 0, 0));
  } else {
    ::SendMessageA(control, BM_SETCHECK, value ? BST_CHECKED : BST_UNCHECKED, 0);
  }
}

CDialog::CDialog(UINT templateId, HWND parent) : m_nTemplateId(templateId), m_hParent(parent) {}

CDialog::~CDialog() {
  // A modeless window must not outlive its object.
  if (m_hWnd && !m_bModal) DestroyWindow();
}

INT_PTR CDialog::DoModal() {
  m_bModal = true;
  INT_PTR result = ::DialogBoxParamA(ResourceInstance(), MAKEINTRESOURCEA(m_nTemplateId), m_hParent, &DialogProc,
                                     reinterpret_cast<LPARAM>(this));
  m_bModal = false;
  return result;
}

bool CDialog::Create(HWND parent) {
  m_hParent = parent;
  m_bModal = false;
  HWND hwnd = ::CreateDialogParamA(ResourceInstance(), MAKEINTRESOURCEA(m_nTemplateId), parent, &DialogProc,
                                   reinterpret_cast<LPARAM>(this));
  return hwnd != nullptr;
}

void CDialog::DestroyWindow() {
  if (m_hWnd) ::DestroyWindow(m_hWnd);
}

void CDialog::EndDialog(INT_PTR result) {
  if (m_hWnd) ::EndDialog(m_hWnd, result);
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
  if (!m_hWnd) return FALSE;
  CDataExchange dx(m_hWnd, saveAndValidate != FALSE);
  DoDataExchange(dx);
  return dx.Failed() ? FALSE : TRUE;
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  if (!UpdateData(TRUE)) return;
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

bool CDialog::ProcessMessageTable(UINT, WPARAM, LPARAM, LRESULT&) { return false; }

bool CDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
  switch (message) {
    case WM_INITDIALOG:
      result = OnInitDialog();
      return true;
    case WM_COMMAND:
      // Buttons and the dialog manager's Enter/Escape (code 0 or BN_CLICKED).
      if (HIWORD(wParam) == BN_CLICKED || HIWORD(wParam) == 0) {
        if (LOWORD(wParam) == IDOK) {
          OnOK();
          result = 0;
          return true;
        }
        if (LOWORD(wParam) == IDCANCEL) {
          OnCancel();
          result = 0;
          return true;
        }
      }
      return false;
    default:
      return false;
  }
}

namespace {
// Messages whose dialog-procedure return value is the result itself.
bool ReturnsDirectly(UINT message) {
  switch (message) {
    case WM_INITDIALOG:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
      return true;
    default:
      return false;
  }
}

}  // namespace

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return Dispatch(hwnd, message, wParam, lParam,
                  message == WM_INITDIALOG ? reinterpret_cast<CDialog*>(lParam) : nullptr);
}

INT_PTR CALLBACK CDialog::PageProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CDialog* initSelf = nullptr;
  if (message == WM_INITDIALOG && lParam)
    initSelf = reinterpret_cast<CDialog*>(reinterpret_cast<const PROPSHEETPAGEA*>(lParam)->lParam);
  return Dispatch(hwnd, message, wParam, lParam, initSelf);
}

INT_PTR CDialog::Dispatch(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, CDialog* initSelf) {
  CDialog* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = initSelf;
    if (!self) return FALSE;
    self->m_hWnd = hwnd;
    ::SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hwnd, DWLP_USER));
  }
  if (!self) return FALSE;

  LRESULT result = 0;
  bool handled = false;
  try {
    handled = self->ProcessMessageTable(message, wParam, lParam, result);
    if (!handled) handled = self->HandleMessage(message, wParam, lParam, result);
  } catch (...) {
    // Nothing escapes into the dialog manager.
    handled = true;
    result = 0;
  }

  // A dialog of its own (not a page or a child) opens centred on the window
  // that opened it, not at the screen's corner.
  if (message == WM_INITDIALOG && !(::GetWindowLongPtrA(hwnd, GWL_STYLE) & WS_CHILD)) CenterOnOwner(hwnd);

  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrA(hwnd, DWLP_USER, 0);
    self->m_hWnd = nullptr;
    try {
      self->OnNcDestroy();
    } catch (...) {
    }
    return FALSE;
  }
  if (!handled) return FALSE;
  if (ReturnsDirectly(message)) return static_cast<INT_PTR>(result);
  SetMessageResult(hwnd, result);
  return TRUE;
}

}  // namespace kv
