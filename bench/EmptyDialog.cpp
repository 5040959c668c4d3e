// An empty dialog of the console's size, shown modally: what the console's
// start-up is measured against (the same process start, window creation and
// first paint, without the console's work).
#include <windows.h>

namespace {

INT_PTR CALLBACK EmptyProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    ::EndDialog(hwnd, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
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
  return static_cast<int>(::DialogBoxIndirectParamA(instance, &templ.head, nullptr, EmptyProc, 0));
}
