#pragma once
// Helpers of the tests on a real X server: known pictures, decoded frames, pictures compared, and a
// window over the whole screen through which Xlib plays the user's part.

#include <gtest/gtest.h>

#include <QCoreApplication>  // Qt before Xlib: Xlib's macros (None, Status) clash with Qt's names
#include <QImage>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/imaging.h"
#include "support/painting_host.h"
#include "support/test_bundle.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

namespace qova::test {

inline bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  return waitUntil(done, timeout, [] {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  });
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
  for (int i = 0; i < 18; ++i) {
    const int x = got.width * (2 * (i / 3 % 3) + 1) / 6, y = got.height * (2 * (i / 9) + 1) / 4;
    EXPECT_NEAR(pixelAt(got, x, y)[i % 3], pixelAt(expected, x, y)[i % 3], tolerance) << x << "," << y;
  }
}

// Decoded by Qt's own reader, as B, G, R, X.
inline PixelBuffer decodeJpeg(const std::vector<uint8_t>& jpeg) {
  auto image = std::make_shared<QImage>(
      QImage::fromData(jpeg.data(), static_cast<int>(jpeg.size()), "JPEG").convertToFormat(QImage::Format_RGB32));
  return {image->width(), image->height(), static_cast<int>(image->bytesPerLine()), image->constBits(), image};
}

// A white override-redirect window over the whole screen with the keyboard focus: it shows what the
// test paints and writes down the input it receives.
class TestScreen {
 public:
  TestScreen() {
    for (int attempt = 0; attempt < 20 && !display_; ++attempt) {  // a busy server may refuse one
      if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      display_ = XOpenDisplay(nullptr);
    }
    if (!display_) return;
    const int screen = DefaultScreen(display_);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = WhitePixel(display_, screen);
    attributes.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask | KeyReleaseMask;
    window_ = XCreateWindow(display_, RootWindow(display_, screen), 0, 0, DisplayWidth(display_, screen),
                            DisplayHeight(display_, screen), 0, CopyFromParent, InputOutput, CopyFromParent,
                            CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    // Without a window manager the window is mapped once the server has read the request, and only a
    // mapped window can take the focus.
    XMapRaised(display_, window_);
    XSync(display_, False);
    XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
    XSync(display_, True);
  }
  ~TestScreen() {
    if (!display_) return;
    if (gc_) XFreeGC(display_, gc_);
    XCloseDisplay(display_);
  }
  bool ready() const { return display_ != nullptr; }
  Display* display() const { return display_; }

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
  void fillBlack(int x, int y, int width, int height) {
    XFillRectangle(display_, window_, gc_, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XSync(display_, False);
  }
  void warpPointer(int x, int y) {
    XWarpPointer(display_, 0, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
    XSync(display_, False);
  }

  // A 16x8 cursor on the window, its left half red and its right half transparent, its hot spot at
  // (hotX, hotY).
  void setHalfRedCursor(unsigned hotX, unsigned hotY) {
    char left[16] = {};
    for (int row = 0; row < 8; ++row) left[row * 2] = '\xff';
    const Pixmap bits = XCreateBitmapFromData(display_, window_, left, 16, 8);
    XColor red{0, 0xffff, 0, 0, DoRed | DoGreen | DoBlue, 0};
    const Cursor cursor = XCreatePixmapCursor(display_, bits, bits, &red, &red, hotX, hotY);
    XDefineCursor(display_, window_, cursor);
    XFreeCursor(display_, cursor);
    XFreePixmap(display_, bits);
    XSync(display_, False);
  }

  // The input received so far as "move 5,5 | down 1 | up 1 (B1)": keys by their unshifted keysym,
  // then the modifiers and buttons held before the event.
  std::string take() {
    std::string seen;
    XSync(display_, False);
    for (XEvent e; XPending(display_) > 0;) {
      XNextEvent(display_, &e);
      std::string line;
      if (e.type == MotionNotify) line = "move " + std::to_string(e.xmotion.x) + "," + std::to_string(e.xmotion.y);
      if (e.type == ButtonPress || e.type == ButtonRelease) line = std::to_string(e.xbutton.button);
      if (e.type == KeyPress || e.type == KeyRelease) {
        const char* name = XKeysymToString(XkbKeycodeToKeysym(display_, e.xkey.keycode, 0, 0));
        line = name ? name : "?";
      }
      if (line.empty()) continue;
      line = (e.type == ButtonPress || e.type == KeyPress ? "down " : e.type == MotionNotify ? "" : "up ") + line;
      std::string held;
      const std::pair<unsigned, const char*> masks[] = {
          {ShiftMask, "Shift"}, {ControlMask, "Control"}, {Mod1Mask, "Alt"},  {Button1Mask, "B1"},
          {Button3Mask, "B3"},  {Button4Mask, "B4"},      {Button5Mask, "B5"}};
      for (const auto& [mask, name] : masks) {  // the state sits at the same place in all three events
        if (e.xkey.state & mask) held += held.empty() ? name : std::string(" ") + name;
      }
      seen += (seen.empty() ? "" : " | ") + line + (held.empty() ? "" : " (" + held + ")");
    }
    return seen;
  }

  // The characters the key presses so far produce, as a text client reads them: "^" marks AltGr
  // (Mod5) held, "+" Shift, and a press with Control reads "<Ctrl+c>".
  std::string typed() {
    std::string typed;
    XSync(display_, False);
    for (XEvent e; XPending(display_) > 0;) {
      XNextEvent(display_, &e);
      if (e.type == MappingNotify) XRefreshKeyboardMapping(&e.xmapping);
      if (e.type != KeyPress) continue;
      KeySym sym = NoSymbol;
      XLookupString(&e.xkey, nullptr, 0, &sym, nullptr);
      char c[8] = {};
      if (xkb_keysym_to_utf8(static_cast<uint32_t>(sym), c, sizeof c) <= 1) continue;  // a modifier
      const unsigned s = e.xkey.state;
      typed += s & ControlMask ? std::string("<Ctrl+") + c + ">"
                               : std::string(s & Mod5Mask ? "^" : "") + (s & ShiftMask ? "+" : "") + c;
    }
    return typed;
  }

 private:
  Display* display_ = nullptr;
  ::Window window_ = 0;
  GC gc_{};
};

}  // namespace qova::test
