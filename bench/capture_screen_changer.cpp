// Puts a picture on the whole screen and, every `period` milliseconds, repaints a small square of it
// in another colour, so that every capture tick finds a changed screen. Runs until killed.
// Usage: capture_screen_changer <picture.bgra> <width> <height> <period-ms, 0 for a still screen>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s picture.bgra width height period-ms\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<char> pixels{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const int width = std::atoi(argv[2]);
  const int height = std::atoi(argv[3]);
  const int period = std::atoi(argv[4]);
  if (pixels.size() != static_cast<size_t>(width) * height * 4) return 2;
  Display* display = XOpenDisplay(nullptr);
  if (!display) return 1;
  const int screen = DefaultScreen(display);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  const Window window = XCreateWindow(display, RootWindow(display, screen), 0, 0, static_cast<unsigned>(width),
                                      static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                                      CWOverrideRedirect, &attributes);
  XMapRaised(display, window);
  GC gc = XCreateGC(display, window, 0, nullptr);
  XImage* image = XCreateImage(display, DefaultVisual(display, screen), DefaultDepth(display, screen), ZPixmap, 0,
                               pixels.data(), static_cast<unsigned>(width), static_cast<unsigned>(height), 32,
                               width * 4);
  XPutImage(display, window, gc, image, 0, 0, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
  XSync(display, False);
  std::printf("ready\n");
  std::fflush(stdout);
  for (unsigned long colour = 0;; colour += 0x0F0B07) {
    if (period <= 0) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      continue;
    }
    XSetForeground(display, gc, colour & 0xFFFFFF);
    XFillRectangle(display, window, gc, width / 2, height / 2, 48, 48);
    XSync(display, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(period));
  }
}
