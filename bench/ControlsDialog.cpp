// The console's main dialog from its own template (the same controls, visual
// styles, DPI awareness and font), shown modally with nothing behind it: no
// servers read, no image lists, tooltips or status bar. Between the empty
// dialog and the console, it tells Wine's cost of the controls themselves
// from the console's own work.
#include <windows.h>
#include <commctrl.h>

#include "resource.h"

namespace {

INT_PTR CALLBACK ControlsProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    // Not the console's caption, so that the two are never taken for each other.
    ::SetWindowTextA(hwnd, "Controls Dialog");
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
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
  ::InitCommonControlsEx(&controls);
  return static_cast<int>(::DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, ControlsProc, 0));
}
