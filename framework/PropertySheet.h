// Property sheet in wizard mode with pages (comctl32 PropertySheetA).
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <vector>

#include "Dialog.h"

namespace kv {

class CPropertySheet;

class CPropertyPage : public CDialog {
 public:
  // Strings are string-table ids (0 = none).
  CPropertyPage(UINT templateId, UINT captionId = 0, UINT headerTitleId = 0, UINT headerSubTitleId = 0);

  PROPSHEETPAGEA m_psp;

  HWND GetSheetHwnd() const { return m_hWnd ? ::GetParent(m_hWnd) : nullptr; }

  // PSN_SETACTIVE: TRUE accepts the activation.
  virtual BOOL OnSetActive() { return TRUE; }
  // PSN_KILLACTIVE: TRUE lets the page be left.
  virtual BOOL OnKillActive() { return TRUE; }
  // PSN_WIZNEXT / PSN_WIZBACK: 0 = next/previous page, -1 = stay, or the
  // template id of the page to go to.
  virtual LRESULT OnWizardNext() { return 0; }
  virtual LRESULT OnWizardBack() { return 0; }
  // PSN_WIZFINISH: TRUE lets the sheet close.
  virtual BOOL OnWizardFinish() { return TRUE; }
  // PSN_QUERYCANCEL: TRUE lets the sheet close.
  virtual BOOL OnQueryCancel() { return TRUE; }

 protected:
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
};

class CPropertySheet {
 public:
  CPropertySheet(UINT captionId, HWND parent = nullptr, UINT startPage = 0);
  virtual ~CPropertySheet();
  CPropertySheet(const CPropertySheet&) = delete;
  CPropertySheet& operator=(const CPropertySheet&) = delete;

  void AddPage(CPropertyPage* page);
  // Runs the sheet modally; returns PropertySheetA's result.
  INT_PTR DoModal();

  HWND GetSafeHwnd() const { return m_hWnd; }
  int GetPageCount() const { return static_cast<int>(m_pages.size()); }
  CPropertyPage* GetPage(int index) const { return m_pages[static_cast<size_t>(index)]; }

  // Wizard buttons (posted, as the sheet expects while a page is activating).
  void SetWizardButtons(DWORD flags) const { ::PostMessageA(m_hWnd, PSM_SETWIZBUTTONS, 0, flags); }
  // Presses a sheet button synchronously.
  void PressButton(int button) const { ::SendMessageA(m_hWnd, PSM_PRESSBUTTON, static_cast<WPARAM>(button), 0); }

  PROPSHEETHEADERA m_psh;
  HWND m_hWnd = nullptr;

 protected:
  // Called with the sheet's dialog template before the window is created.
  virtual void OnPreCreate(void* dialogTemplate) { (void)dialogTemplate; }
  // Called once the sheet window and its first page exist.
  virtual BOOL OnInitDialog() { return TRUE; }
  // The sheet window's own message table (the window is subclassed).
  virtual bool ProcessMessageTable(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

 private:
  static int CALLBACK SheetCallback(HWND hwnd, UINT message, LPARAM lParam);
  static LRESULT CALLBACK SheetWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  std::vector<CPropertyPage*> m_pages;
  WNDPROC m_oldProc = nullptr;
  std::string m_strCaption;
};

}  // namespace kv
