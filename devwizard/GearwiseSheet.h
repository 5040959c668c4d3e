// The Device Configuration wizard: a wizard-mode property sheet whose window
// has the class "Device Configuration", so that a second start and the
// option plug-ins find it, and whose Cancel button reads "Exit".
#pragma once

#include <windows.h>

#include <memory>

#include "GearwisePages.h"
#include "Handles.h"
#include "PropertySheet.h"

// Sent by an option plug-in to the sheet window when it changed the device
// configuration (wParam and lParam ignored, result 0).
inline constexpr UINT WM_GEARWISE_CHANGED = WM_USER + 600;  // 0x658
inline constexpr char kGearwiseClassName[] = "Device Configuration";

class CGearwiseSheet : public kv::CPropertySheet {
 public:
  CGearwiseSheet(UINT caption, HWND parent, UINT startPage, HBITMAP watermark, HPALETTE watermarkPalette,
                 HBITMAP header);
  ~CGearwiseSheet() override;

  // Asks "Exit Device Configuration?"; TRUE when the user says Yes. When the
  // wizard has stopped the tape engine and the page on view does not say so
  // (noticeShown), the question first says that the engine has to be
  // restarted.
  BOOL ConfirmExit(BOOL noticeShown = FALSE) const;
  // The keyboard focus to the sheet's default button, or to Exit when that
  // one is disabled (see OnFocusDefaultButton).
  void FocusDefaultButtonLater() const;

  CWelcomePage* WelcomePage() const { return m_pWelcomePage.get(); }
  COptionsPage* OptionsPage() const { return m_pOptionsPage.get(); }
  CCompletePage* CompletePage() const { return m_pCompletePage.get(); }
  HFONT TitleFont() const { return static_cast<HFONT>(m_titleFont.Get()); }

  // Built by the Welcome page (string 112), deleted with the sheet.
  kv::CGdiObject m_titleFont;
  // Set when the wizard has stopped the tape engine; never cleared: the
  // engine stays stopped after the wizard.
  BOOL m_bEngineStopped = FALSE;
  // Set before DoModal when the sheet is the application's main window.
  bool m_bMainWindow = false;
  // How the sheet's class got into its window template (for diagnostics).
  int m_nClassEdit = -1;

 protected:
  // At PSCB_PRECREATE: registers the window class and writes it into the
  // template (the work of PreCreateWindow for a sheet made by comctl32).
  void OnPreCreate(void* dialogTemplate) override;
  BOOL OnInitDialog() override;
  bool ProcessMessageTable(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  LRESULT OnConfigurationChanged(WPARAM, LPARAM);
  LRESULT OnAutoStart(WPARAM, LPARAM);
  LRESULT OnFocusDefaultButton(WPARAM, LPARAM);
  LRESULT OnNcDestroy(WPARAM, LPARAM);

  HICON m_hIcon = nullptr;  // shared resource icon: never destroyed
  std::unique_ptr<CWelcomePage> m_pWelcomePage;
  std::unique_ptr<COptionsPage> m_pOptionsPage;
  std::unique_ptr<CCompletePage> m_pCompletePage;
};

// Registers the sheet's window class: a dialog class (DefDlgProc, the
// dialog's extra bytes) named "Device Configuration" with icon 101. Returns
// its atom, or 0.
ATOM RegisterGearwiseClass(HINSTANCE instance);
