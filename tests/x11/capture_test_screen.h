#pragma once
// Helpers of the capture tests on a real X server: known pictures on the screen, decoded frames,
// pictures compared. Xlib plays the user's part.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/imaging.h"

namespace qova::test {

// A picture of the test's own: 4 bytes a pixel (B, G, R, X), rows packed, all bytes `fill`.
inline PixelBuffer picture(int width, int height, uint8_t fill = 0) {
  auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(width) * height * 4, fill);
  return {width, height, width * 4, bytes->data(), bytes};
}

// The pixel at (x, y), writable in a picture of the test's own.
inline uint8_t* pixelAt(const PixelBuffer& p, int x, int y) {
  return const_cast<uint8_t*>(p.data) + static_cast<size_t>(y) * p.bytesPerRow + static_cast<size_t>(x) * 4;
}

// Two rows of three blocks of distinct colours (white bottom left): survives scaling and JPEG.
inline PixelBuffer blockPattern(int width, int height) {
  static const uint8_t colours[6][3] = {{0, 0, 255},     {0, 200, 0}, {255, 0, 0},
                                        {255, 255, 255}, {0, 0, 0},   {40, 160, 230}};
  const PixelBuffer p = picture(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) std::copy_n(colours[(y * 2 / height) * 3 + (x * 3 / width)], 3, pixelAt(p, x, y));
  }
  return p;
}

// The centre of each block of blockPattern, in a picture of any size, within `tolerance`.
inline void expectBlocks(const PixelBuffer& got, int tolerance) {
  const PixelBuffer expected = blockPattern(got.width, got.height);
  for (int by = 0; by < 2; ++by) {
    for (int bx = 0; bx < 3; ++bx) {
      const int x = got.width * (2 * bx + 1) / 6, y = got.height * (2 * by + 1) / 4;
      for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(pixelAt(got, x, y)[c], pixelAt(expected, x, y)[c], tolerance) << x << "," << y;
    }
  }
}

inline PixelBuffer decodeJpeg(const std::vector<uint8_t>& jpeg) {
  PixelBuffer p;
  tjhandle handle = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  if (tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &width, &height, &subsampling, &colourspace) == 0) {
    p = picture(width, height);
    if (tjDecompress2(handle, jpeg.data(), jpeg.size(), pixelAt(p, 0, 0), width, 0, height, TJPF_BGRX, 0) != 0) p = {};
  }
  tjDestroy(handle);
  return p;
}

// An override-redirect window over the whole screen of the test's X server, showing what the test
// puts in it.
class ScreenPainter {
 public:
  ScreenPainter() : display_(XOpenDisplay(nullptr)) {
    const int screen = DefaultScreen(display_);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = WhitePixel(display_, screen);
    window_ = XCreateWindow(display_, RootWindow(display_, screen), 0, 0, DisplayWidth(display_, screen),
                            DisplayHeight(display_, screen), 0, CopyFromParent, InputOutput, CopyFromParent,
                            CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(display_, window_);
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    XSync(display_, False);
  }
  ~ScreenPainter() {
    XFreeGC(display_, gc_);
    XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
  }
  void show(const PixelBuffer& picture) {
    const int screen = DefaultScreen(display_);
    XImage* image = XCreateImage(display_, DefaultVisual(display_, screen), DefaultDepth(display_, screen), ZPixmap, 0,
                                 reinterpret_cast<char*>(pixelAt(picture, 0, 0)), static_cast<unsigned>(picture.width),
                                 static_cast<unsigned>(picture.height), 32, picture.bytesPerRow);
    XPutImage(display_, window_, gc_, image, 0, 0, 0, 0, static_cast<unsigned>(picture.width),
              static_cast<unsigned>(picture.height));
    image->data = nullptr;  // the picture's own
    XDestroyImage(image);
    XSync(display_, False);
  }
  void fill(int x, int y, int w, int h, unsigned long rgb) {
    XSetForeground(display_, gc_, rgb);
    XFillRectangle(display_, window_, gc_, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
    XSync(display_, False);
  }
  void warpPointer(int x, int y) {
    XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
    XSync(display_, False);
  }

 private:
  Display* display_;
  ::Window window_ = 0;
  GC gc_{};
};

}  // namespace qova::test
