// The three pages of the Device Configuration wizard and what they share:
// full-page backgrounds painted from 8-bit bitmaps with their own palettes,
// heading fonts described by string resources, and the Exit confirmation.
#pragma once

#include <windows.h>

#include <string>

#include "Controls.h"
#include "Handles.h"
#include "PropertySheet.h"

class CGearwiseSheet;

// A bitmap resource as a DIB section and a palette of its colours: its own
// colour table for 8 bits or less, the halftone palette above. FALSE when
// the bitmap cannot be loaded (both outputs are then empty).
BOOL LoadBitmapPalette(UINT bitmapId, kv::CGdiObject* bitmap, kv::CGdiObject* palette);

// A font from a string resource "face\tpoints\tweight"; falls back to a
// stock font when none can be made.
void CreateFontFromResource(kv::CGdiObject* font, UINT stringId);

// TRUE on the Windows NT family with major version 5 (Windows 2000 and XP),
// where the Removable Storage Manager option exists.
BOOL IsWindowsNt5();

class CGearwisePage : public kv::CPropertyPage {
 public:
  CGearwisePage(UINT templateId, UINT captionId, UINT titleId, UINT subtitleId);
  ~CGearwisePage() override;

  void SetOwnerSheet(CGearwiseSheet* sheet) { m_pOwnerSheet = sheet; }
  CGearwiseSheet* OwnerSheet() const { return m_pOwnerSheet; }
  HBRUSH GetBackgroundBrush() const { return static_cast<HBRUSH>(m_brush.Get()); }
  HPALETTE GetBackgroundPalette() const { return static_cast<HPALETTE>(m_palette.Get()); }

  // WM_CTLCOLOR*: realises the page's palette in the control's device
  // context and paints every control but edits and list boxes with the
  // page's background brush (static text transparently over it). Returns
  // null for the kinds left to the default colours.
  HBRUSH OnCtlColor(HDC dc, HWND control, UINT kind);

  // The shared section font (string 124), made by the first page that
  // initialises.
  static HFONT SectionFont();

 protected:
  BOOL OnInitDialog() override;
  void DoDataExchange(kv::CDataExchange&) override {}
  bool ProcessMessageTable(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  // The sheet's exit question; noticeShown: this page shows the restart notice.
  BOOL ConfirmExit(BOOL noticeShown = FALSE) const;

  CGearwiseSheet* m_pOwnerSheet = nullptr;

 private:
  LRESULT OnCtlColorMessage(UINT message, WPARAM wParam, LPARAM lParam);

  UINT m_nTemplate;
  kv::CGdiObject m_brush;
  kv::CGdiObject m_palette;
  UINT m_nTitleId;
  UINT m_nSubtitleId;
};

class CWelcomePage : public CGearwisePage {
 public:
  CWelcomePage();
  kv::CStatic m_heading;  // control 1011

 protected:
  void DoDataExchange(kv::CDataExchange& dx) override;
  BOOL OnInitDialog() override;
  BOOL OnSetActive() override;
  BOOL OnQueryCancel() override { return ConfirmExit(); }
};

class COptionsPage : public CGearwisePage {
 public:
  // Option buttons in their fixed order; also the order of the plug-in slots.
  static constexpr int kOptionCount = 6;
  static const int kOptionOrder[kOptionCount];

  COptionsPage();
  ~COptionsPage() override;

  // The first option in order whose button is checked, or -1.
  int GetSelectedOption() const;
  // Unchecks the selected option, then gives button id the check state.
  void SelectOption(int id, int check);
  // BM_GETCHECK of the button (0 when there is none).
  int IsOptionChecked(int id) const;
  HMODULE PluginModule(int slot) const { return m_plugins[slot].Get(); }

  // Next on this page: launches the selected option (see OptionLauncher.cpp).
  LRESULT LaunchOption();
  LRESULT LaunchTapeLibrary();
  LRESULT LaunchRemovableDrive();
  LRESULT LaunchRaidDevice();
  LRESULT LaunchVirtualLibrary();
  LRESULT LaunchRsmDevices();

  // While set, Next launches the selected option even though the page has
  // not been on screen yet: the option that the command line names.
  void AcceptNextUnseen(bool accept) { m_bAcceptUnseen = accept; }

  HWND m_hSheet = nullptr;  // the parent window, found at initialisation

 protected:
  BOOL OnInitDialog() override;
  BOOL OnSetActive() override;
  BOOL OnQueryCancel() override;
  // Launches the selected option, unless the Next was given before the page
  // was on screen (see NextSeesThePage): then the page stays, nothing runs.
  LRESULT OnWizardNext() override;
  bool ProcessMessageTable(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  // TRUE when the Next being handled was given while the page was on
  // screen: the page has been painted since it was shown, and the key or
  // click behind the Next came at least the double-click time after that.
  bool NextSeesThePage() const;

  // The option's library in its slot, loaded on first use. On failure shows
  // message 120 with the option's name (when the system gave an error) and
  // returns null.
  HMODULE LoadPlugin(int slot, const char* fileName, UINT nameId);

  kv::CModule m_plugins[kOptionCount];
  bool m_bPainted = false;      // painted since the page was last shown
  DWORD m_dwPaintedAt = 0;      // tick count of that paint
  bool m_bStaysOnView = false;  // the last launch kept the user on this page
  bool m_bAcceptUnseen = false;
};

class CCompletePage : public CGearwisePage {
 public:
  CCompletePage();
  kv::CStatic m_heading;  // control 1011
  // Set when a plug-in reports a change; never cleared.
  BOOL m_bConfigurationChanged = FALSE;

 protected:
  void DoDataExchange(kv::CDataExchange& dx) override;
  BOOL OnSetActive() override;
  // The page shows the restart notice whenever the engine was stopped.
  BOOL OnQueryCancel() override { return ConfirmExit(TRUE); }
};

// The option that a command line names: "tlo" or "olo" (tape and optical
// library, 1000) before "raid" (1002), in any letter case; -1 for none.
int OptionFromCommandLine(std::string commandLine);

// Starts the option that the command line names: Welcome -> Options, selects
// it and presses Next. FALSE (nothing done) without a main window or a key.
BOOL AutoSelectOption(COptionsPage& page, std::string commandLine);
