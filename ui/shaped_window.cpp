#include "ui/shaped_window.h"

#include <cstring>
#include <vector>

#include "ui/framework/gdi.h"
#include "ui/ui_rules.h"

namespace {

// One batch of rectangles handed to the system as a region.
HRGN RegionFromBatch(const std::vector<PixelRect>& rects, size_t capacity, const PixelRect& bound) {
  const size_t size = sizeof(RGNDATAHEADER) + capacity * sizeof(RECT);
  std::vector<unsigned char> block(size, 0);
  auto* data = reinterpret_cast<RGNDATA*>(block.data());
  data->rdh.dwSize = sizeof(RGNDATAHEADER);
  data->rdh.iType = RDH_RECTANGLES;
  data->rdh.nCount = static_cast<DWORD>(rects.size());
  data->rdh.nRgnSize = 0;
  ::SetRect(&data->rdh.rcBound, bound.left, bound.top, bound.right, bound.bottom);
  auto* out = reinterpret_cast<RECT*>(data->Buffer);
  for (size_t i = 0; i < rects.size(); ++i)
    ::SetRect(&out[i], rects[i].left, rects[i].top, rects[i].right, rects[i].bottom);
  return ::ExtCreateRegion(nullptr, static_cast<DWORD>(size), data);
}

// The enumeration callback of FitChildrenToClient; scales is a pointer to two doubles.
BOOL CALLBACK ScaleChildWindow(HWND child, LPARAM scales) {
  const double* factor = reinterpret_cast<const double*>(scales);
  RECT r;
  ::GetWindowRect(child, &r);
  const PixelRect scaled =
      ScaleForDesign(PixelRect{r.left, r.top, r.right, r.bottom}, factor[0], factor[1]);
  POINT topLeft{scaled.left, scaled.top};
  ::ScreenToClient(::GetParent(child), &topLeft);
  ::MoveWindow(child, topLeft.x, topLeft.y, scaled.right - scaled.left, scaled.bottom - scaled.top,
               TRUE);
  return TRUE;
}

}  // namespace

HRGN CreateRegionFromBitmap(HBITMAP bitmap, COLORREF key, bool excludeKey) {
  if (bitmap == nullptr) return nullptr;
  CMemoryDC copyDc(nullptr);
  if (copyDc.get() == nullptr) return nullptr;
  BITMAP info;
  if (::GetObjectA(bitmap, sizeof info, &info) == 0) return nullptr;
  const int width = info.bmWidth;
  const int height = info.bmHeight;

  // A 32-bit working copy, whatever the source's depth; rows stored bottom-up.
  BITMAPINFOHEADER header = {};
  header.biSize = sizeof header;
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = 32;
  header.biCompression = BI_RGB;
  void* bits = nullptr;
  CBitmap copy(::CreateDIBSection(copyDc.get(), reinterpret_cast<BITMAPINFO*>(&header),
                                  DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!copy || bits == nullptr) return nullptr;
  {
    ScopedSelectObject selectCopy(copyDc.get(), copy.get());
    CMemoryDC sourceDc(copyDc.get());
    ScopedSelectObject selectSource(sourceDc.get(), bitmap);
    ::BitBlt(copyDc.get(), 0, 0, width, height, sourceDc.get(), 0, 0, SRCCOPY);
    ::GdiFlush();
  }

  const size_t stride = (static_cast<size_t>(width) * 4 + 3) / 4;  // in 32-bit pixels
  std::vector<const uint32_t*> rows(static_cast<size_t>(height));
  const auto* pixels = static_cast<const uint32_t*>(bits);
  for (int y = 0; y < height; ++y)
    rows[static_cast<size_t>(y)] = pixels + stride * static_cast<size_t>(height - 1 - y);

  // The key arrives as a COLORREF (0x00BBGGRR); pixels are 0x00RRGGBB.
  const uint32_t pixelKey = (GetRValue(key) << 16) | (GetGValue(key) << 8) | GetBValue(key);
  HRGN result = nullptr;
  RunBatcher batcher(
      [&](const std::vector<PixelRect>& rects, size_t capacity, const PixelRect& bound) {
        HRGN batch = RegionFromBatch(rects, capacity, bound);
        if (batch == nullptr) return;  // those rows are lost; the walk goes on
        if (result == nullptr) {
          result = batch;
        } else {
          ::CombineRgn(result, result, batch, RGN_OR);
          ::DeleteObject(batch);
        }
      });
  WalkRegionRuns(rows.data(), width, height, pixelKey, excludeKey,
                 [&](const PixelRect& run) { batcher.Add(run); });
  batcher.Flush();
  return result;
}

BOOL FitChildrenToClient(HWND window, int width, int height) {
  RECT client;
  ::GetClientRect(window, &client);
  double scales[2] = {static_cast<double>(client.right - client.left) / width,
                      static_cast<double>(client.bottom - client.top) / height};
  return ::EnumChildWindows(window, ScaleChildWindow, reinterpret_cast<LPARAM>(scales));
}
