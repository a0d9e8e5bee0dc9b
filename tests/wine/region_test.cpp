// The window's shape taken from a bitmap, with the real GDI: the region is exactly the pixels
// that are not the key colour, whatever the source's depth and however many batches it takes.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "ui/shaped_window.h"

namespace {

// An 8-bit bitmap (like the skin) whose pixel (x, y) is magenta when isKey(x, y).
template <typename KeyTest>
HBITMAP PalettedBitmap(int width, int height, KeyTest isKey) {
  struct {
    BITMAPINFOHEADER header;
    RGBQUAD colours[256];
  } info = {};
  info.header.biSize = sizeof info.header;
  info.header.biWidth = width;
  info.header.biHeight = -height;  // top-down, so that row y is y
  info.header.biPlanes = 1;
  info.header.biBitCount = 8;
  info.header.biCompression = BI_RGB;
  info.colours[0] = RGBQUAD{0xF6, 0x4D, 0x02, 0};
  info.colours[1] = RGBQUAD{0xFF, 0x00, 0xFF, 0};
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS,
                                      &bits, nullptr, 0);
  const int stride = (width + 3) & ~3;
  auto* pixels = static_cast<unsigned char*>(bits);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) pixels[y * stride + x] = isKey(x, y) ? 1 : 0;
  }
  return bitmap;
}

TEST(WindowShape, RegionHoldsExactlyTheNonKeyPixelsOverManyBatches) {
  const int width = 203, height = 47;
  // Every third pixel is the key: 68 runs a row, 3196 in all, so more than one batch.
  auto isKey = [](int x, int y) { return (x + y) % 3 == 0; };
  HBITMAP bitmap = PalettedBitmap(width, height, isKey);
  ASSERT_NE(bitmap, nullptr);
  HRGN region = CreateRegionFromBitmap(bitmap, RGB(255, 0, 255), true);
  ASSERT_NE(region, nullptr);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      ASSERT_EQ(::PtInRegion(region, x, y) != FALSE, !isKey(x, y)) << x << "," << y;
    }
  }
  EXPECT_FALSE(::PtInRegion(region, width, 0));
  HRGN complement = CreateRegionFromBitmap(bitmap, RGB(255, 0, 255), false);
  ASSERT_NE(complement, nullptr);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) ASSERT_EQ(::PtInRegion(complement, x, y) != FALSE, isKey(x, y));
  }
  ::DeleteObject(region);
  ::DeleteObject(complement);
  ::DeleteObject(bitmap);
}

TEST(WindowShape, WholeAndEmptyBitmaps) {
  HBITMAP plain = PalettedBitmap(30, 20, [](int, int) { return false; });
  HRGN full = CreateRegionFromBitmap(plain, RGB(255, 0, 255), true);
  ASSERT_NE(full, nullptr);
  RECT box;
  EXPECT_EQ(::GetRgnBox(full, &box), SIMPLEREGION);
  EXPECT_EQ(box.right - box.left, 30);
  EXPECT_EQ(box.bottom - box.top, 20);
  HBITMAP key = PalettedBitmap(30, 20, [](int, int) { return true; });
  HRGN none = CreateRegionFromBitmap(key, RGB(255, 0, 255), true);
  if (none != nullptr) {
    EXPECT_EQ(::GetRgnBox(none, &box), NULLREGION);
  }
  EXPECT_EQ(CreateRegionFromBitmap(nullptr, RGB(255, 0, 255), true), nullptr);
  for (HGDIOBJ object : {static_cast<HGDIOBJ>(full), static_cast<HGDIOBJ>(none),
                         static_cast<HGDIOBJ>(plain), static_cast<HGDIOBJ>(key)}) {
    if (object) ::DeleteObject(object);
  }
}

}  // namespace
