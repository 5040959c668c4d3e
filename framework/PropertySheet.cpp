#include "PropertySheet.h"

#include "App.h"
#include "Strings.h"

namespace kv {
namespace {
// The sheet being created on this thread: the sheet callback has no user data.
thread_local CPropertySheet* t_creating = nullptr;
const char kSheetProp[] = "kv.sheet";
}  // namespace

CPropertyPage::CPropertyPage(UINT templateId, UINT captionId, UINT headerTitleId, UINT headerSubTitleId)
    : CDialog(templateId) {
  ZeroMemory(&m_psp, sizeof(m_psp));
  m_psp.dwSize = sizeof(m_psp);
  m_psp.dwFlags = PSP_DEFAULT;
  m_psp.hInstance = ResourceInstance();
  m_psp.pszTemplate = MAKEINTRESOURCEA(templateId);
  m_psp.pfnDlgProc = &CDialog::PageProc;
  m_psp.lParam = reinterpret_cast<LPARAM>(this);
  if (captionId) {
    m_psp.dwFlags |= PSP_USETITLE;
    m_psp.pszTitle = MAKEINTRESOURCEA(captionId);
  }
  if (headerTitleId) {
    m_psp.dwFlags |= PSP_USEHEADERTITLE;
    m_psp.pszHeaderTitle = MAKEINTRESOURCEA(headerTitleId);
  }
  if (headerSubTitleId) {
    m_psp.dwFlags |= PSP_USEHEADERSUBTITLE;
    m_psp.pszHeaderSubTitle = MAKEINTRESOURCEA(headerSubTitleId);
  }
}

bool CPropertyPage::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  if (message == WM_NOTIFY) {
    const NMHDR* hdr = reinterpret_cast<const NMHDR*>(lParam);
    switch (hdr->code) {
      case PSN_SETACTIVE:
        result = OnSetActive() ? 0 : -1;
        return true;
      case PSN_KILLACTIVE:
        result = OnKillActive() ? FALSE : TRUE;
        return true;
      case PSN_WIZNEXT:
        result = OnWizardNext();
        return true;
      case PSN_WIZBACK:
        result = OnWizardBack();
        return true;
      case PSN_WIZFINISH:
        result = OnWizardFinish() ? FALSE : TRUE;
        return true;
      case PSN_QUERYCANCEL:
        result = OnQueryCancel() ? FALSE : TRUE;
        return true;
      default:
        break;
    }
  }
  // A page has no OK/Cancel of its own: the sheet owns them.
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) return false;
  return CDialog::HandleMessage(message, wParam, lParam, result);
}

CPropertySheet::CPropertySheet(UINT captionId, HWND parent, UINT startPage) {
  m_strCaption = LoadStr(captionId);
  ZeroMemory(&m_psh, sizeof(m_psh));
  m_psh.dwSize = sizeof(m_psh);
  m_psh.dwFlags = PSH_USECALLBACK;
  m_psh.hwndParent = parent;
  m_psh.hInstance = ResourceInstance();
  m_psh.nStartPage = startPage;
  m_psh.pfnCallback = &SheetCallback;
}

CPropertySheet::~CPropertySheet() = default;

void CPropertySheet::AddPage(CPropertyPage* page) { m_pages.push_back(page); }

INT_PTR CPropertySheet::DoModal() {
  std::vector<HPROPSHEETPAGE> handles;
  for (CPropertyPage* page : m_pages) {
    HPROPSHEETPAGE h = ::CreatePropertySheetPageA(&page->m_psp);
    if (!h) {
      for (HPROPSHEETPAGE made : handles) ::DestroyPropertySheetPage(made);
      return -1;
    }
    handles.push_back(h);
  }
  m_psh.pszCaption = m_strCaption.c_str();
  m_psh.nPages = static_cast<UINT>(handles.size());
  m_psh.phpage = handles.data();
  m_psh.dwFlags &= ~static_cast<DWORD>(PSH_PROPSHEETPAGE);
  m_psh.dwFlags |= PSH_USECALLBACK;
  m_psh.pfnCallback = &SheetCallback;

  CPropertySheet* outer = t_creating;
  t_creating = this;
  INT_PTR result = ::PropertySheetA(&m_psh);
  t_creating = outer;
  m_hWnd = nullptr;
  return result;
}

bool CPropertySheet::ProcessMessageTable(UINT, WPARAM, LPARAM, LRESULT&) { return false; }

int CALLBACK CPropertySheet::SheetCallback(HWND hwnd, UINT message, LPARAM lParam) {
  CPropertySheet* self = t_creating;
  if (!self) return 0;
  try {
    if (message == PSCB_PRECREATE) {
      self->OnPreCreate(reinterpret_cast<void*>(lParam));
    } else if (message == PSCB_INITIALIZED) {
      self->m_hWnd = hwnd;
      ::SetPropA(hwnd, kSheetProp, self);
      self->m_oldProc =
          reinterpret_cast<WNDPROC>(::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SheetWndProc)));
      self->OnInitDialog();
    }
  } catch (...) {
  }
  return 0;
}

LRESULT CALLBACK CPropertySheet::SheetWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CPropertySheet* self = static_cast<CPropertySheet*>(::GetPropA(hwnd, kSheetProp));
  if (!self) return ::DefWindowProcA(hwnd, message, wParam, lParam);
  WNDPROC old = self->m_oldProc;
  LRESULT result = 0;
  bool handled = false;
  try {
    handled = self->ProcessMessageTable(message, wParam, lParam, result);
  } catch (...) {
    handled = true;
    result = 0;
  }
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(old));
    ::RemovePropA(hwnd, kSheetProp);
    self->m_hWnd = nullptr;
    return ::CallWindowProcA(old, hwnd, message, wParam, lParam);
  }
  if (handled) return result;
  return ::CallWindowProcA(old, hwnd, message, wParam, lParam);
}

}  // namespace kv
