// The pictures of servers in the console's views and the Properties pages:
// each strip of three is drawn at 16 x 16 (bitmaps 131, 144) and again at
// 32 x 32 (231, 244); a view takes the larger where the screen's small icons
// are that large (192 DPI and up), so that nothing is stretched.
#pragma once

#include "App.h"
#include "Controls.h"
#include "resource.h"

// The size of the server pictures where the screen's small icons are
// smallIcon pixels: the largest drawn size that fits.
constexpr int ServerImageSize(int smallIcon) { return smallIcon >= 32 ? 32 : 16; }

inline bool LoadServerImages(kv::CImageList& list, UINT smallBitmap) {
  constexpr COLORREF kImageMask = RGB(128, 0, 0);
  const int size = ServerImageSize(::GetSystemMetrics(SM_CXSMICON));
  return list.CreateFromBitmap(kv::ResourceInstance(), size == 32 ? smallBitmap + kLargeServerImages : smallBitmap,
                               size, 3, kImageMask);
}
