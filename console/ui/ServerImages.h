// The pictures of servers in the console's views and the Properties pages:
// each strip of three is drawn at 16 x 16 (bitmaps 131, 144) and again at
// 32 x 32 (231, 244); a view takes the larger where the screen's small icons
// are that large (192 DPI and up), so that nothing is stretched.
#pragma once

#include "App.h"
#include "Controls.h"
#include "resource.h"

inline bool LoadServerImages(kv::CImageList& list, UINT smallBitmap) {
  constexpr COLORREF kImageMask = RGB(128, 0, 0);
  const bool large = ::GetSystemMetrics(SM_CXSMICON) >= 32;
  return list.CreateFromBitmap(kv::ResourceInstance(), large ? smallBitmap + kLargeServerImages : smallBitmap,
                               large ? 32 : 16, 3, kImageMask);
}
