#pragma once

#include <cstdint>

#include "platform/screen_capture.h"

namespace qova {

// Blends a cursor image onto a BGRX frame with its top-left corner at (left, top), clipped to the
// frame. `cursor` holds width x height premultiplied-alpha ARGB values, one per pixel, row by row,
// alpha in the top byte (the XFixes cursor image layout).
void drawCursor(uint8_t* frame, int frameStride, int frameWidth, int frameHeight, const uint32_t* cursor,
                int cursorWidth, int cursorHeight, int left, int top);

// The largest side of a reported pointer image; a bigger one keeps its top-left part.
constexpr int kMaxCursorSide = 256;

// A cursor image of that same layout as reported to the application: RGBA, not premultiplied, cut to
// kMaxCursorSide, the hot spot kept inside it.
CursorImage unpremultipliedCursor(const uint32_t* cursor, int width, int height, int hotX, int hotY, uint64_t serial);

}  // namespace qova
