#include "GearwiseSheet.h"

#include "App.h"
#include "MessageBox.h"
#include "SheetTemplate.h"
#include "Strings.h"
#include "resource.h"

namespace {
// Posted by the sheet's initialisation: starts the option that the command
// line names once the sheet is up and on screen.
constexpr UINT WM_GEARWISE_AUTOSTART = WM_APP + 0x58;
// Posted after a page's wizard buttons: moves the keyboard focus to a button.
constexpr UINT WM_GEARWISE_FOCUSBUTTON = WM_APP + 0x59;
}  // namespace

ATOM RegisterGearwiseClass(HINSTANCE instance) {
  WNDCLASSA existing{};
  if (ATOM atom = static_cast<ATOM>(::GetClassInfoA(instance, kGearwiseClassName, &existing))) return atom;
  WNDCLASSA wc{};
  wc.style = CS_DBLCLKS;
  // A dialog class: the dialog manager's window procedure and extra bytes,
  // the same as the sheet would have had as "#32770".
  wc.lpfnWndProc = &::DefDlgProcA;
  wc.cbWndExtra = DLGWINDOWEXTRA;
  wc.hInstance = instance;
  wc.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hIcon = ::LoadIconA(instance, MAKEINTRESOURCEA(IDI_GEARWISE));
  wc.hbrBackground = nullptr;
  wc.lpszClassName = kGearwiseClassName;
  return ::RegisterClassA(&wc);
}

CGearwiseSheet::CGearwiseSheet(UINT caption, HWND parent, UINT startPage, HBITMAP watermark, HPALETTE watermarkPalette,
                               HBITMAP header)
    : CPropertySheet(caption, parent, startPage) {
  m_psh.dwFlags &= ~static_cast<DWORD>(PSH_HASHELP);
  m_psh.dwFlags |= PSH_WIZARD | 0x2000;  // 0x2000: the Wizard97 style
  if (watermark) {
    m_psh.dwFlags |= PSH_WATERMARK | PSH_USEHBMWATERMARK;
    m_psh.hbmWatermark = watermark;
  }
  if (watermarkPalette) {
    m_psh.dwFlags |= PSH_USEHPLWATERMARK;
    m_psh.hplWatermark = watermarkPalette;
  }
  if (header) {
    m_psh.dwFlags |= PSH_HEADER | PSH_USEHBMHEADER;
    m_psh.hbmHeader = header;
  }
  m_hIcon = ::LoadIconA(kv::ResourceInstance(), MAKEINTRESOURCEA(IDI_GEARWISE));
  if (m_hIcon) {
    m_psh.dwFlags |= PSH_USEHICON;
    m_psh.hIcon = m_hIcon;
  }
  m_pWelcomePage = std::make_unique<CWelcomePage>();
  m_pOptionsPage = std::make_unique<COptionsPage>();
  m_pCompletePage = std::make_unique<CCompletePage>();
  for (CGearwisePage* page :
       {static_cast<CGearwisePage*>(m_pWelcomePage.get()), static_cast<CGearwisePage*>(m_pOptionsPage.get()),
        static_cast<CGearwisePage*>(m_pCompletePage.get())}) {
    page->SetOwnerSheet(this);
    AddPage(page);
  }
}

CGearwiseSheet::~CGearwiseSheet() {
  m_titleFont.Reset();
  m_pWelcomePage.reset();
  m_pOptionsPage.reset();
  m_pCompletePage.reset();
}

BOOL CGearwiseSheet::ConfirmExit(BOOL noticeShown) const {
  std::string question = kv::LoadStr(IDS_CONFIRM_EXIT);
  if (m_bEngineStopped && !noticeShown) question = kv::LoadStr(IDS_RESTART_NOTICE) + "\n\n" + question;
  return kv::ShowMessageBox(m_hWnd, question, kv::LoadStr(IDS_WIZARD_CAPTION), MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void CGearwiseSheet::FocusDefaultButtonLater() const {
  // Posted after the page's PSM_SETWIZBUTTONS, so it runs once those are set.
  if (m_hWnd) ::PostMessageA(m_hWnd, WM_GEARWISE_FOCUSBUTTON, 0, 0);
}

void CGearwiseSheet::OnPreCreate(void* dialogTemplate) {
  // comctl32 makes the sheet window from its own template; the copy handed
  // over here is what it creates the window from. Writing the class into it
  // gives the window the class "Device Configuration". The name needs room
  // beyond the template (comctl32 copies it into a larger heap block on
  // Wine); without that room the class atom is written in place instead.
  HINSTANCE instance = m_psh.hInstance ? m_psh.hInstance : ::GetModuleHandleA(nullptr);
  ATOM atom = RegisterGearwiseClass(instance);
  if (!atom) return;
  gearwise::ClassEdit edit = gearwise::SetDialogTemplateClass(dialogTemplate, gearwise::HeapBlockRoom(dialogTemplate),
                                                              kGearwiseClassName, atom);
  m_nClassEdit = static_cast<int>(edit);
}

BOOL CGearwiseSheet::OnInitDialog() {
  if (m_bMainWindow) {
    if (kv::CWinApp* app = kv::CWinApp::Current()) app->m_hMainWnd = m_hWnd;
  }
  LONG style = ::GetWindowLongA(m_hWnd, GWL_STYLE);
  ::SetWindowLongA(m_hWnd, GWL_STYLE, style | WS_SYSMENU | WS_MINIMIZEBOX);

  // Without Maximize (position 4) and Size (position 2).
  if (HMENU menu = ::GetSystemMenu(m_hWnd, FALSE)) {
    ::DeleteMenu(menu, 4, MF_BYPOSITION);
    ::DeleteMenu(menu, 2, MF_BYPOSITION);
  }
  std::string exitText = kv::LoadStr(IDS_EXIT);
  HWND cancel = ::GetDlgItem(m_hWnd, IDCANCEL);
  if (!exitText.empty() && cancel) ::SetWindowTextA(cancel, exitText.c_str());

  kv::CWinApp* app = kv::CWinApp::Current();
  if (app && !app->m_strCmdLine.empty() && m_pOptionsPage) ::PostMessageA(m_hWnd, WM_GEARWISE_AUTOSTART, 0, 0);
  return TRUE;
}

LRESULT CGearwiseSheet::OnConfigurationChanged(WPARAM, LPARAM) {
  if (m_pCompletePage) m_pCompletePage->m_bConfigurationChanged = TRUE;
  return 0;
}

LRESULT CGearwiseSheet::OnAutoStart(WPARAM, LPARAM) {
  kv::CWinApp* app = kv::CWinApp::Current();
  if (app && m_pOptionsPage) AutoSelectOption(*m_pOptionsPage, app->m_strCmdLine);
  return 0;
}

LRESULT CGearwiseSheet::OnFocusDefaultButton(WPARAM, LPARAM) {
  // A button that is disabled while it has the focus takes the focus with it
  // (Next, after it was pressed), and a plug-in's dialog that closes may
  // leave the sheet inactive: then no key reaches the sheet but Alt with a
  // mnemonic. WM_NEXTDLGCTL activates the sheet, gives the button the focus
  // and makes it the default push button, so Enter presses it, Escape is
  // Exit and Tab moves on from it.
  LRESULT id = ::SendMessageA(m_hWnd, DM_GETDEFID, 0, 0);
  HWND button = HIWORD(id) == DC_HASDEFID ? ::GetDlgItem(m_hWnd, LOWORD(id)) : nullptr;
  if (!button || !::IsWindowEnabled(button) || !::IsWindowVisible(button)) button = ::GetDlgItem(m_hWnd, IDCANCEL);
  if (button) ::SendMessageA(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE);
  return 0;
}

LRESULT CGearwiseSheet::OnNcDestroy(WPARAM, LPARAM) {
  kv::CWinApp* app = kv::CWinApp::Current();
  if (app && app->m_hMainWnd == m_hWnd) app->m_hMainWnd = nullptr;
  return 0;
}

bool CGearwiseSheet::ProcessMessageTable(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  static constexpr kv::MessageEntry<CGearwiseSheet> kMessages[] = {
      kv::OnMessage(WM_GEARWISE_CHANGED, &CGearwiseSheet::OnConfigurationChanged),
      kv::OnMessage(WM_GEARWISE_AUTOSTART, &CGearwiseSheet::OnAutoStart),
      kv::OnMessage(WM_GEARWISE_FOCUSBUTTON, &CGearwiseSheet::OnFocusDefaultButton),
  };
  if (message == WM_CLOSE) {
    // The window's Close is the Exit button: one confirmation. (Left to
    // comctl32, Wine's sheet asks once for WM_CLOSE and once more for the
    // IDCANCEL that the dialog manager then posts.)
    ::SendMessageA(m_hWnd, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    result = 0;
    return true;
  }
  if (message == WM_NCDESTROY) {
    OnNcDestroy(wParam, lParam);
    return false;  // comctl32 still needs it
  }
  return kv::DispatchTable(this, kMessages, message, wParam, lParam, result);
}
