#pragma once
// Helpers of the capture tests on a real X server: put known pictures on the screen, decode what
// was sent, compare pictures. Test code only; Xlib is used directly to play the user's part.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/imaging.h"

namespace qova::test {

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgrx;  // 4 bytes a pixel, rows packed
  const uint8_t* at(int x, int y) const { return bgrx.data() + (static_cast<size_t>(y) * width + x) * 4; }
};

// A delivered image as packed rows, whatever its row stride.
inline Picture pictureOf(const PixelBuffer& buffer) {
  Picture p{buffer.width, buffer.height, {}};
  for (int y = 0; y < buffer.height; ++y) {
    const uint8_t* row = buffer.data + static_cast<size_t>(y) * buffer.bytesPerRow;
    p.bgrx.insert(p.bgrx.end(), row, row + buffer.width * 4);
  }
  return p;
}

// Large blocks of distinct colours: survives scaling and JPEG, so pixels can be checked one by one.
inline Picture blockPattern(int width, int height) {
  Picture p{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 4)};
  static const uint8_t colours[6][3] = {{0, 0, 255}, {0, 200, 0}, {255, 0, 0}, {255, 255, 255}, {0, 0, 0}, {40, 160, 230}};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const auto* c = colours[(y * 2 / height) * 3 + (x * 3 / width)];
      uint8_t* px = p.bgrx.data() + (static_cast<size_t>(y) * width + x) * 4;
      px[0] = c[0];
      px[1] = c[1];
      px[2] = c[2];
      px[3] = 0;
    }
  }
  return p;
}

// Checks the centre of each block of blockPattern in a picture of any size, within `tolerance`.
inline void expectBlocks(const Picture& got, int tolerance) {
  const Picture expected = blockPattern(got.width, got.height);
  for (int by = 0; by < 2; ++by) {
    for (int bx = 0; bx < 3; ++bx) {
      const int x = got.width * (2 * bx + 1) / 6, y = got.height * (2 * by + 1) / 4;
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(got.at(x, y)[c], expected.at(x, y)[c], tolerance) << x << "," << y;
    }
  }
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A document page: paragraphs of small black text on white, rendered by ImageMagick.
inline Picture textPage(int width, int height, const std::string& scratchDir) {
  std::string command = "convert -size " + std::to_string(width) + "x" + std::to_string(height) +
                        " xc:white -font DejaVu-Sans -pointsize 13 -fill black";
  int line = 0;
  for (int y = 40; y < height - 20; y += 20, ++line) {
    if (line % 7 == 6) continue;  // between paragraphs
    for (int x = 40; x + 620 < width; x += 1400) {
      command += " -annotate +" + std::to_string(x) + "+" + std::to_string(y) +
                 " 'The quick brown fox jumps over the lazy dog; sphinx of black quartz, judge my vow. "
                 "Pack my box with five dozen liquor jugs (" + std::to_string(line) + ")'";
    }
  }
  const std::string out = scratchDir + "/text.bgra";
  command += " -depth 8 BGRA:" + out;
  if (std::system(command.c_str()) != 0) return {};
  const std::string bytes = readFile(out);
  if (bytes.size() != static_cast<size_t>(width) * height * 4) return {};
  return {width, height, std::vector<uint8_t>(bytes.begin(), bytes.end())};
}

// An override-redirect window over the whole screen that shows what the test puts in it.
class ScreenPainter {
 public:
  ScreenPainter() : display_(XOpenDisplay(nullptr)) {
    if (!display_) return;
    const int screen = DefaultScreen(display_);
    width_ = DisplayWidth(display_, screen);
    height_ = DisplayHeight(display_, screen);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = WhitePixel(display_, screen);
    window_ = XCreateWindow(display_, RootWindow(display_, screen), 0, 0, static_cast<unsigned>(width_),
                            static_cast<unsigned>(height_), 0, CopyFromParent, InputOutput, CopyFromParent,
                            CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(display_, window_);
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    XSync(display_, False);
  }
  ~ScreenPainter() {
    if (!display_) return;
    XFreeGC(display_, gc_);
    XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
  }
  bool ok() const { return display_ != nullptr; }
  int width() const { return width_; }
  int height() const { return height_; }

  void show(const Picture& picture) {
    const int screen = DefaultScreen(display_);
    XImage* image = XCreateImage(display_, DefaultVisual(display_, screen), DefaultDepth(display_, screen), ZPixmap, 0,
                                 reinterpret_cast<char*>(const_cast<uint8_t*>(picture.bgrx.data())),
                                 static_cast<unsigned>(picture.width), static_cast<unsigned>(picture.height), 32,
                                 picture.width * 4);
    XPutImage(display_, window_, gc_, image, 0, 0, 0, 0, static_cast<unsigned>(picture.width),
              static_cast<unsigned>(picture.height));
    image->data = nullptr;
    XDestroyImage(image);
    XSync(display_, False);
  }
  void fill(int x, int y, int w, int h, unsigned long rgb) {
    XSetForeground(display_, gc_, rgb);
    XFillRectangle(display_, window_, gc_, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
    XSync(display_, False);
  }
  // A screen that changes all the time: recolours a square every `every` until `total` has passed.
  void keepChanging(int x, int y, int side, std::chrono::milliseconds every, std::chrono::milliseconds total) {
    const auto end = std::chrono::steady_clock::now() + total;
    for (unsigned long c = 0; std::chrono::steady_clock::now() < end; c += 0x030507) {
      fill(x, y, side, side, c & 0xFFFFFF);
      std::this_thread::sleep_for(every);
    }
  }
  void warpPointer(int x, int y) {
    XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
    XSync(display_, False);
  }

 private:
  Display* display_;
  ::Window window_ = 0;
  GC gc_{};
  int width_ = 0;
  int height_ = 0;
};

inline Picture decodeJpeg(const std::string& jpeg) {
  Picture p;
  tjhandle handle = tjInitDecompress();
  int subsampling = 0, colourspace = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(jpeg.data()));
  if (tjDecompressHeader3(handle, bytes, jpeg.size(), &p.width, &p.height, &subsampling, &colourspace) == 0) {
    p.bgrx.resize(static_cast<size_t>(p.width) * p.height * 4);
    if (tjDecompress2(handle, bytes, jpeg.size(), p.bgrx.data(), p.width, 0, p.height, TJPF_BGRX, 0) != 0) p = {};
  }
  tjDestroy(handle);
  return p;
}

// Peak signal-to-noise ratio over the colour channels, in dB.
inline double psnr(const Picture& a, const Picture& b) {
  if (a.width != b.width || a.height != b.height || a.bgrx.empty()) return 0;
  double sum = 0;
  for (size_t i = 0; i < a.bgrx.size(); ++i) {
    if (i % 4 == 3) continue;
    const double d = static_cast<double>(a.bgrx[i]) - b.bgrx[i];
    sum += d * d;
  }
  const double mse = sum / (static_cast<double>(a.bgrx.size()) * 3 / 4);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace qova::test
