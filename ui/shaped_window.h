// The main window's outline taken from its skin bitmap, and its children fitted to the design
// client size.
#pragma once

#include <windows.h>

// A region of every pixel that does not have the key colour (excludeKey) or that has it; null
// when the bitmap cannot be read. The caller owns the region.
HRGN CreateRegionFromBitmap(HBITMAP bitmap, COLORREF key, bool excludeKey);

// Moves and resizes every child window so that a layout made for the window's current client
// size fits a client of width x height pixels.
BOOL FitChildrenToClient(HWND window, int width, int height);
