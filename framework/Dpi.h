// The screen's DPI as this program sees it (96 unless its manifest declares it
// DPI-aware), and sizes chosen for 96 DPI scaled to it.
#pragma once

#include <windows.h>

namespace kv {

inline int ScreenDpi() {
  HDC screen = ::GetDC(nullptr);
  const int dpi = screen ? ::GetDeviceCaps(screen, LOGPIXELSX) : 0;
  if (screen) ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : USER_DEFAULT_SCREEN_DPI;
}

inline int ScaleToDpi(int pixelsAt96) { return ::MulDiv(pixelsAt96, ScreenDpi(), USER_DEFAULT_SCREEN_DPI); }

}  // namespace kv
