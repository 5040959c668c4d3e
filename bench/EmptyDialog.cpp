// The two programs the console's start-up is measured against, started the
// same way and shown modally:
//  - EmptyDialog.exe: an empty dialog of the console's size (the same process
//    start, window creation and first paint, without the console's work);
//  - ControlsDialog.exe (built with KV_CONTROLS_DIALOG, with the console's
//    resources): the console's own dialog template, with its manifest
//    (visual styles, DPI awareness) and font, and nothing behind it: no
//    servers read, no image lists, tooltips or status bar. Between the two,
//    it tells Wine's cost of the controls themselves from the console's work.
#include <windows.h>
#ifdef KV_CONTROLS_DIALOG
#include <commctrl.h>

#include "resource.h"
#endif

namespace {

INT_PTR CALLBACK BaselineProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
#ifdef KV_CONTROLS_DIALOG
    // Not the console's caption, so that the two are never taken for each other.
    ::SetWindowTextA(hwnd, "Controls Dialog");
#endif
    return TRUE;
  }
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    ::EndDialog(hwnd, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
#ifdef KV_CONTROLS_DIALOG
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
  ::InitCommonControlsEx(&controls);
  return static_cast<int>(::DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, BaselineProc, 0));
#else
  // DLGTEMPLATE of a visible popup with a caption, no controls; dialog units
  // as large as the console's main dialog.
  struct {
    DLGTEMPLATE head;
    WORD menu, windowClass;
    wchar_t title[13];
    WORD pointSize;
    wchar_t font[14];
  } templ = {};
  templ.head.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE | DS_MODALFRAME | DS_SETFONT;
  templ.head.cx = 438;
  templ.head.cy = 226;
  const wchar_t title[] = L"Empty Dialog";
  const wchar_t font[] = L"MS Sans Serif";
  for (int i = 0; title[i]; ++i) templ.title[i] = title[i];
  templ.pointSize = 8;
  for (int i = 0; font[i]; ++i) templ.font[i] = font[i];
  return static_cast<int>(::DialogBoxIndirectParamA(instance, &templ.head, nullptr, BaselineProc, 0));
#endif
}
