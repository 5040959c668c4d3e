#include "GearwisePages.h"

#include <mbstring.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "App.h"
#include "Dpi.h"
#include "GearwiseSheet.h"
#include "MessageBox.h"
#include "Strings.h"
#include "resource.h"

namespace {
// Shared by the three pages: made by the first that initialises, deleted by
// the first page destructor that finds it.
kv::CGdiObject g_sectionFont;

constexpr DWORD kNoHelp = PSP_HASHELP;
}  // namespace

BOOL LoadBitmapPalette(UINT bitmapId, kv::CGdiObject* bitmap, kv::CGdiObject* palette) {
  bitmap->Reset();
  palette->Reset();
  bitmap->Reset(::LoadImageA(kv::ResourceInstance(), MAKEINTRESOURCEA(bitmapId), IMAGE_BITMAP, 0, 0,
                             LR_CREATEDIBSECTION | LR_DEFAULTSIZE));
  if (!*bitmap) return FALSE;
  BITMAP info{};
  ::GetObjectA(bitmap->Get(), sizeof(info), &info);
  int depth = info.bmPlanes * info.bmBitsPixel;
  if (depth > 8) {
    kv::CWindowDC screen(nullptr);
    palette->Reset(::CreateHalftonePalette(screen.Get()));
    return TRUE;
  }
  kv::CWindowDC screen(nullptr);
  kv::CMemoryDC memory(screen.Get());
  RGBQUAD colours[256] = {};
  {
    kv::CSelectObject selected(memory.Get(), bitmap->Get());
    ::GetDIBColorTable(memory.Get(), 0, 256, colours);
  }
  // Entries past a shorter colour table stay black.
  std::vector<BYTE> storage(sizeof(LOGPALETTE) + 255 * sizeof(PALETTEENTRY));
  auto* logical = reinterpret_cast<LOGPALETTE*>(storage.data());
  logical->palVersion = 0x300;
  logical->palNumEntries = 256;
  for (int i = 0; i < 256; ++i) {
    logical->palPalEntry[i].peRed = colours[i].rgbRed;
    logical->palPalEntry[i].peGreen = colours[i].rgbGreen;
    logical->palPalEntry[i].peBlue = colours[i].rgbBlue;
    logical->palPalEntry[i].peFlags = 0;
  }
  palette->Reset(::CreatePalette(logical));
  return TRUE;
}

void CreateFontFromResource(kv::CGdiObject* font, UINT stringId) {
  LOGFONTA lf{};
  bool doubleByte = ::GetSystemMetrics(SM_DBCSENABLED) != 0;
  if (doubleByte) {
    lf.lfCharSet = SHIFTJIS_CHARSET;
    lf.lfOutPrecision = OUT_STROKE_PRECIS;
    lf.lfPitchAndFamily = FIXED_PITCH | FF_ROMAN;
  } else {
    lf.lfCharSet = ANSI_CHARSET;
    lf.lfOutPrecision = OUT_STRING_PRECIS;
    lf.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
  }
  lf.lfWeight = FW_NORMAL;
  lf.lfClipPrecision = CLIP_STROKE_PRECIS;
  lf.lfQuality = DRAFT_QUALITY;

  std::string text = kv::LoadStr(stringId);
  std::vector<unsigned char> fields(text.begin(), text.end());
  fields.push_back(0);
  const unsigned char tab[] = "\t";
  int index = 0;
  for (unsigned char* field = _mbstok(fields.data(), tab); field; field = _mbstok(nullptr, tab), ++index) {
    const char* value = reinterpret_cast<const char*>(field);
    if (index == 0) {
      ::lstrcpynA(lf.lfFaceName, value, LF_FACESIZE);
    } else if (index == 1) {
      kv::CWindowDC screen(nullptr);
      lf.lfHeight = -::MulDiv(std::atoi(value), ::GetDeviceCaps(screen.Get(), LOGPIXELSY), 72);
    } else if (index == 2) {
      lf.lfWeight = std::atol(value);
    }
  }
  font->Reset(::CreateFontIndirectA(&lf));
  // Deleting a stock object later does nothing, so the owner may hold it.
  if (!*font) font->Reset(::GetStockObject(doubleByte ? SYSTEM_FONT : ANSI_VAR_FONT));
}

BOOL IsWindowsNt5() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof(info);  // 148 bytes
  if (!::GetVersionExA(&info)) return FALSE;
  return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion == 5;
}

// ---------------------------------------------------------------------------
// CGearwisePage

CGearwisePage::CGearwisePage(UINT templateId, UINT captionId, UINT titleId, UINT subtitleId)
    : CPropertyPage(templateId, captionId, titleId, subtitleId),
      m_nTemplate(templateId),
      m_nTitleId(titleId),
      m_nSubtitleId(subtitleId) {
  m_psp.dwFlags &= ~kNoHelp;
  // No page shows the Wizard97 header: each paints its own background.
  m_psp.dwFlags |= PSP_HIDEHEADER;
}

CGearwisePage::~CGearwisePage() {
  g_sectionFont.Reset();
  m_palette.Reset();
  m_brush.Reset();
}

namespace {

// The page background drawn for 96 DPI, stretched to the screen's DPI.
HBITMAP ScaledBackground(HINSTANCE module, UINT bitmapId) {
  kv::CGdiObject picture(::LoadImageA(module, MAKEINTRESOURCEA(bitmapId), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  BITMAP info{};
  if (!picture || ::GetObjectA(picture.Get(), sizeof(info), &info) != sizeof(info)) return nullptr;
  const int width = kv::ScaleToDpi(info.bmWidth), height = kv::ScaleToDpi(info.bmHeight);
  BITMAPINFO format{};
  format.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  kv::CGdiObject scaled(::CreateDIBSection(nullptr, &format, DIB_RGB_COLORS, &bits, nullptr, 0));
  HDC source = ::CreateCompatibleDC(nullptr), target = ::CreateCompatibleDC(nullptr);
  bool drawn = false;
  if (scaled && source && target) {
    HGDIOBJ oldSource = ::SelectObject(source, picture.Get()), oldTarget = ::SelectObject(target, scaled.Get());
    ::SetStretchBltMode(target, HALFTONE);
    ::SetBrushOrgEx(target, 0, 0, nullptr);
    drawn = ::StretchBlt(target, 0, 0, width, height, source, 0, 0, info.bmWidth, info.bmHeight, SRCCOPY) != FALSE;
    ::SelectObject(source, oldSource);
    ::SelectObject(target, oldTarget);
  }
  if (source) ::DeleteDC(source);
  if (target) ::DeleteDC(target);
  return drawn ? static_cast<HBITMAP>(scaled.Release()) : nullptr;
}

}  // namespace

HFONT CGearwisePage::SectionFont() { return static_cast<HFONT>(g_sectionFont.Get()); }

BOOL CGearwisePage::ConfirmExit(BOOL noticeShown) const {
  return m_pOwnerSheet ? m_pOwnerSheet->ConfirmExit(noticeShown) : TRUE;
}

BOOL CGearwisePage::OnInitDialog() {
  CPropertyPage::OnInitDialog();
  if (!g_sectionFont) CreateFontFromResource(&g_sectionFont, IDS_SECTION_FONT);

  UINT bitmapId =
      (m_nTemplate == IDD_WELCOME_PAGE || m_nTemplate == IDD_COMPLETE_PAGE) ? IDB_BACKGROUND : IDB_BACKGROUND_HEADER;
  kv::CGdiObject bitmap;
  LoadBitmapPalette(bitmapId, &bitmap, &m_palette);
  bitmap.Reset();  // it only served to derive the palette

  // The brush is made from the packed DIB of the resource itself; above
  // 96 DPI, where the page is larger by as much, from the picture stretched
  // by the same factor, so that it is not repeated across the page.
  HINSTANCE module = kv::ResourceInstance();
  if (kv::ScreenDpi() > USER_DEFAULT_SCREEN_DPI) {
    kv::CGdiObject scaled(ScaledBackground(module, bitmapId));
    if (scaled) m_brush.Reset(::CreatePatternBrush(static_cast<HBITMAP>(scaled.Get())));
  }
  if (!m_brush) {
    if (HRSRC found = ::FindResourceA(module, MAKEINTRESOURCEA(bitmapId), MAKEINTRESOURCEA(2))) {
      if (HGLOBAL loaded = ::LoadResource(module, found)) {
        if (const void* dib = ::LockResource(loaded)) m_brush.Reset(::CreateDIBPatternBrushPt(dib, DIB_RGB_COLORS));
      }
    }
  }

  if (m_nTitleId) {
    kv::CStatic title(GetDlgItem(IDC_HEADER_TITLE));
    if (title) {
      title.SetWindowText(kv::LoadStr(m_nTitleId));
      if (g_sectionFont) title.SetFont(SectionFont(), TRUE);
    }
  }
  if (m_nSubtitleId) {
    kv::CStatic subtitle(GetDlgItem(IDC_HEADER_SUBTITLE));
    if (subtitle) subtitle.SetWindowText(kv::LoadStr(m_nSubtitleId));
  }
  return TRUE;
}

HBRUSH CGearwisePage::OnCtlColor(HDC dc, HWND control, UINT kind) {
  if (HPALETTE palette = GetBackgroundPalette()) {
    ::SelectPalette(dc, palette, FALSE);
    ::RealizePalette(dc);
  }
  if (kind == CTLCOLOR_EDIT || kind == CTLCOLOR_LISTBOX) return nullptr;
  if (kind == CTLCOLOR_STATIC) ::SetBkMode(dc, TRANSPARENT);
  // A control paints the page's pattern from its own corner: line the
  // pattern up with the page's so that the picture runs on under it.
  if (control && control != m_hWnd && ::GetParent(control) == m_hWnd) {
    POINT origin{0, 0};
    ::MapWindowPoints(control, m_hWnd, &origin, 1);
    ::SetBrushOrgEx(dc, -origin.x, -origin.y, nullptr);
  }
  return GetBackgroundBrush();
}

LRESULT CGearwisePage::OnCtlColorMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  UINT kind = message - WM_CTLCOLORMSGBOX;  // CTLCOLOR_MSGBOX 0 ... CTLCOLOR_STATIC 6
  return reinterpret_cast<LRESULT>(OnCtlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam), kind));
}

bool CGearwisePage::ProcessMessageTable(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  if (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC) {
    result = OnCtlColorMessage(message, wParam, lParam);
    return result != 0;  // null: the default colours
  }
  return CPropertyPage::ProcessMessageTable(message, wParam, lParam, result);
}

// ---------------------------------------------------------------------------
// CWelcomePage

CWelcomePage::CWelcomePage() : CGearwisePage(IDD_WELCOME_PAGE, 0, 0, 0) {}

void CWelcomePage::DoDataExchange(kv::CDataExchange& dx) { m_heading.AttachDlgItem(dx.Dialog(), IDC_PAGE_HEADING); }

BOOL CWelcomePage::OnInitDialog() {
  if (m_pOwnerSheet) CreateFontFromResource(&m_pOwnerSheet->m_titleFont, IDS_TITLE_FONT);
  return CGearwisePage::OnInitDialog();
}

BOOL CWelcomePage::OnSetActive() {
  ::PostMessageA(GetSheetHwnd(), PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
  if (m_heading && m_pOwnerSheet) m_heading.SetFont(m_pOwnerSheet->TitleFont(), TRUE);
  return CGearwisePage::OnSetActive();
}

// ---------------------------------------------------------------------------
// COptionsPage

const int COptionsPage::kOptionOrder[kOptionCount] = {IDC_OPTION_TAPE_LIBRARY,    IDC_OPTION_REMOVABLE_DRIVE,
                                                      IDC_OPTION_RAID_DEVICE,     IDC_OPTION_NETWORKED_LIBRARY,
                                                      IDC_OPTION_VIRTUAL_LIBRARY, IDC_OPTION_RSM_DEVICES};

COptionsPage::COptionsPage() : CGearwisePage(IDD_OPTIONS_PAGE, 0, IDS_OPTIONS_TITLE, IDS_OPTIONS_SUBTITLE) {}

COptionsPage::~COptionsPage() {
  // Libraries are freed in the option order.
  for (kv::CModule& plugin : m_plugins) plugin.Reset();
}

BOOL COptionsPage::OnInitDialog() {
  CGearwisePage::OnInitDialog();
  m_hSheet = GetSheetHwnd();
  kv::CButton(GetDlgItem(IDC_OPTION_TAPE_LIBRARY)).SetCheck(BST_CHECKED);
  kv::CButton(GetDlgItem(IDC_OPTION_NETWORKED_LIBRARY)).EnableWindow(FALSE);
  if (!IsWindowsNt5()) kv::CButton(GetDlgItem(IDC_OPTION_RSM_DEVICES)).EnableWindow(FALSE);
  return TRUE;
}

BOOL COptionsPage::OnSetActive() {
  // Shown anew, not kept on view after a launch that stays here (comctl32
  // then activates the page again): a Next counts once it has been painted.
  if (!m_bStaysOnView) m_bPainted = false;
  m_bStaysOnView = false;
  kv::CWnd(GetDlgItem(IDC_STOP_STATUS)).ShowWindow(SW_HIDE);
  kv::CWnd(GetDlgItem(IDC_NOTICE_ICON)).ShowWindow(SW_HIDE);
  ::PostMessageA(GetSheetHwnd(), PSM_SETWIZBUTTONS, 0, PSWIZB_BACK | PSWIZB_NEXT);
  return CGearwisePage::OnSetActive();
}

BOOL COptionsPage::OnQueryCancel() { return ConfirmExit() && CGearwisePage::OnQueryCancel(); }

bool COptionsPage::NextSeesThePage() const {
  if (!m_bPainted) return false;
  // Pressed from another thread (a test or an accessibility tool), not with
  // this thread's keyboard or mouse: it came after the paint.
  if (::InSendMessage()) return true;
  // The time of the click or key behind the Next. One given before the
  // paint waited in the queue while the previous page was left; one given
  // within the double-click time after it belongs to the action that brought
  // the page (the second click of a double-click on the Welcome page's Next,
  // Enter pressed twice): nobody has read the options by then.
  LONG sincePaint = static_cast<LONG>(static_cast<DWORD>(::GetMessageTime()) - m_dwPaintedAt);
  return sincePaint >= static_cast<LONG>(::GetDoubleClickTime());
}

LRESULT COptionsPage::OnWizardNext() {
  bool accept = m_bAcceptUnseen || NextSeesThePage();
  // The user has not seen which option is selected: nothing is launched.
  if (!accept) return -1;
  LRESULT result = LaunchOption();
  m_bStaysOnView = result == IDD_OPTIONS_PAGE;
  return result;
}

bool COptionsPage::ProcessMessageTable(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  if (message == WM_PAINT && !m_bPainted) {
    m_bPainted = true;
    m_dwPaintedAt = ::GetTickCount();
  }
  return CGearwisePage::ProcessMessageTable(message, wParam, lParam, result);
}

int COptionsPage::IsOptionChecked(int id) const {
  HWND button = GetDlgItem(id);
  return button ? static_cast<int>(::SendMessageA(button, BM_GETCHECK, 0, 0)) : 0;
}

int COptionsPage::GetSelectedOption() const {
  for (int id : kOptionOrder)
    if (IsOptionChecked(id)) return id;
  return -1;
}

void COptionsPage::SelectOption(int id, int check) {
  int selected = GetSelectedOption();
  if (selected != -1) kv::CButton(GetDlgItem(selected)).SetCheck(BST_UNCHECKED);
  kv::CButton(GetDlgItem(id)).SetCheck(check);
}

// ---------------------------------------------------------------------------
// CCompletePage

CCompletePage::CCompletePage() : CGearwisePage(IDD_COMPLETE_PAGE, 0, 0, 0) {}

void CCompletePage::DoDataExchange(kv::CDataExchange& dx) { m_heading.AttachDlgItem(dx.Dialog(), IDC_PAGE_HEADING); }

BOOL CCompletePage::OnSetActive() {
  HWND sheet = GetSheetHwnd();
  ::PostMessageA(sheet, PSM_SETWIZBUTTONS, 0, PSWIZB_BACK);
  if (m_heading && m_pOwnerSheet) m_heading.SetFont(m_pOwnerSheet->TitleFont(), TRUE);

  // The notice comes after a reported change, and whenever the wizard has
  // stopped the engine: it stays stopped until someone starts it.
  kv::CWnd icon(GetDlgItem(IDC_NOTICE_ICON)), notice(GetDlgItem(IDC_RESTART_NOTICE));
  if (m_bConfigurationChanged || (m_pOwnerSheet && m_pOwnerSheet->m_bEngineStopped)) {
    icon.ShowWindow(SW_SHOW);
    icon.UpdateWindow();
    notice.ShowWindow(SW_SHOW);
  } else {
    icon.ShowWindow(SW_HIDE);
    notice.ShowWindow(SW_HIDE);
  }
  ::InvalidateRect(sheet, nullptr, TRUE);
  ::UpdateWindow(sheet);

  // After a change through the virtual library or the RSM option the user
  // can only leave.
  kv::CWnd backHint(GetDlgItem(IDC_BACK_HINT));
  COptionsPage* options = m_pOwnerSheet ? m_pOwnerSheet->OptionsPage() : nullptr;
  int option = options ? options->GetSelectedOption() : -1;
  if (options && m_bConfigurationChanged &&
      (option == IDC_OPTION_RSM_DEVICES || option == IDC_OPTION_VIRTUAL_LIBRARY)) {
    ::PostMessageA(sheet, PSM_SETWIZBUTTONS, 0, 0);
    backHint.ShowWindow(SW_HIDE);
  } else {
    backHint.ShowWindow(SW_SHOW);
  }
  // Next, which had the focus, is disabled now: a button takes the focus.
  if (m_pOwnerSheet) m_pOwnerSheet->FocusDefaultButtonLater();
  return CGearwisePage::OnSetActive();
}

// ---------------------------------------------------------------------------
// Command line

int OptionFromCommandLine(std::string commandLine) {
  std::transform(commandLine.begin(), commandLine.end(), commandLine.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  struct Key {
    char text[10];
    int option;
  };
  static constexpr Key kKeys[] = {
      {"tlo", IDC_OPTION_TAPE_LIBRARY}, {"olo", IDC_OPTION_TAPE_LIBRARY}, {"raid", IDC_OPTION_RAID_DEVICE}};
  for (const Key& key : kKeys)
    if (commandLine.find(key.text) != std::string::npos) return key.option;
  return -1;
}

BOOL AutoSelectOption(COptionsPage& page, std::string commandLine) {
  kv::CWinApp* app = kv::CWinApp::Current();
  HWND sheet = app ? app->m_hMainWnd : nullptr;
  if (!sheet || !::IsWindow(sheet)) return FALSE;
  int option = OptionFromCommandLine(std::move(commandLine));
  if (option == -1) return FALSE;
  ::SendMessageA(sheet, PSM_PRESSBUTTON, PSBTN_NEXT, 0);  // Welcome -> Options
  page.SelectOption(option, BST_CHECKED);
  page.AcceptNextUnseen(true);                            // the command line chose it, not a click on an unseen page
  ::SendMessageA(sheet, PSM_PRESSBUTTON, PSBTN_NEXT, 0);  // runs the option
  page.AcceptNextUnseen(false);
  return TRUE;
}
