// Dialog base: modal (DoModal) and modeless child dialogs from templates. The
// C++ object is found through the window's user data, set at WM_INITDIALOG
// and cleared at WM_NCDESTROY. No exception crosses the dialog procedure.
#pragma once

#include <windows.h>

#include <string>

#include "MessageTable.h"

namespace kv {

// Data exchange between controls and members, MFC style: one pass either
// loads the controls (m_bSave false) or saves and validates them.
class CDataExchange {
 public:
  CDataExchange(HWND dialog, bool save) : m_hDlg(dialog), m_bSave(save) {}
  HWND Dialog() const { return m_hDlg; }
  bool Saving() const { return m_bSave; }
  bool Failed() const { return m_bFailed; }
  int LastControl() const { return m_nLastControl; }
  void Fail() { m_bFailed = true; }
  void SetLastControl(int id) { m_nLastControl = id; }

 private:
  HWND m_hDlg;
  bool m_bSave;
  bool m_bFailed = false;
  int m_nLastControl = 0;
};

// Edit text <-> string. On load the text is set only when it differs.
void DDX_Text(CDataExchange& dx, int id, std::string& value);
// Load: limits the edit to maxChars. Save: refuses a longer text with the
// standard message, moves the focus to the edit and fails the exchange.
void DDV_MaxChars(CDataExchange& dx, const std::string& value, int maxChars);
// Check box <-> BOOL.
void DDX_Check(CDataExchange& dx, int id, BOOL& value);

// The standard refusal text for an over-long entry.
std::string MaxCharsMessage(int maxChars);

class CDialog {
 public:
  CDialog(UINT templateId, HWND parent = nullptr);
  virtual ~CDialog();
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Modal run; returns the EndDialog value, or -1 when the dialog could not be made.
  INT_PTR DoModal();
  // Modeless child (or popup) window; returns false on failure.
  bool Create(HWND parent);
  void DestroyWindow();
  void EndDialog(INT_PTR result);

  HWND GetSafeHwnd() const { return m_hWnd; }
  HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
  UINT TemplateId() const { return m_nTemplateId; }

  // Runs DoDataExchange; on a failed validation returns FALSE.
  BOOL UpdateData(BOOL saveAndValidate = TRUE);

  HWND m_hWnd = nullptr;

 protected:
  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  virtual void DoDataExchange(CDataExchange&) {}
  // Last message the window gets; the object may no longer touch the window.
  virtual void OnNcDestroy() {}

  // The class's message table; chain to the base class's when overriding.
  virtual bool ProcessMessageTable(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
  // Built-in handling after the table (WM_INITDIALOG, IDOK, IDCANCEL).
  virtual bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  // Property pages get their object from PROPSHEETPAGE::lParam.
  static INT_PTR CALLBACK PageProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR Dispatch(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, CDialog* initSelf);

  UINT m_nTemplateId;
  HWND m_hParent;
  bool m_bModal = false;
};

// Centres a top-level window on its owner (on the work area when it has no
// visible owner), kept inside the work area.
void CenterOnOwner(HWND window);

// Sets DWLP_MSGRESULT for a dialog message result.
void SetMessageResult(HWND dialog, LRESULT result);

}  // namespace kv
