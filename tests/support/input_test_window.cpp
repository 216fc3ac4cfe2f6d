#include "support/input_test_window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <thread>

namespace qova::test {

namespace {

constexpr long kInputMask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask | KeyReleaseMask;

std::string keysymName(XKeyEvent& event) {
  char text[16];
  KeySym sym = NoSymbol;
  XLookupString(&event, text, sizeof text, &sym, nullptr);
  const char* name = XKeysymToString(sym);
  return name ? name : "";
}

}  // namespace

InputTestWindow::InputTestWindow() {
  // A busy server now and then refuses a connection outright; try a few times.
  for (int attempt = 0; attempt < 20 && !display_; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    display_ = XOpenDisplay(nullptr);
  }
  if (!display_) return;
  const int screen = DefaultScreen(display_);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.event_mask = kInputMask | StructureNotifyMask | PropertyChangeMask;
  attributes.background_pixel = WhitePixel(display_, screen);
  const Window window = XCreateWindow(
      display_, RootWindow(display_, screen), 0, 0, static_cast<unsigned>(DisplayWidth(display_, screen)),
      static_cast<unsigned>(DisplayHeight(display_, screen)), 0, CopyFromParent, InputOutput, CopyFromParent,
      CWOverrideRedirect | CWEventMask | CWBackPixel, &attributes);
  XMapRaised(display_, window);
  for (XEvent event;;) {
    XNextEvent(display_, &event);
    if (event.type == MapNotify && event.xmap.window == window) break;
  }
  XSetInputFocus(display_, window, RevertToParent, CurrentTime);
  XSync(display_, True);  // drop whatever mapping produced
  window_ = window;
}

InputTestWindow::~InputTestWindow() {
  if (!display_) return;
  if (window_) XDestroyWindow(display_, window_);
  XCloseDisplay(display_);
}

std::vector<ReceivedInput> InputTestWindow::takeEvents() {
  std::vector<ReceivedInput> events;
  XSync(display_, False);
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    ReceivedInput input{};
    switch (event.type) {
      case ButtonPress:
      case ButtonRelease:
        input.type = event.type == ButtonPress ? ReceivedInput::Type::buttonPress : ReceivedInput::Type::buttonRelease;
        input.x = event.xbutton.x;
        input.y = event.xbutton.y;
        input.button = event.xbutton.button;
        input.state = event.xbutton.state;
        break;
      case MotionNotify:
        input.type = ReceivedInput::Type::motion;
        input.x = event.xmotion.x;
        input.y = event.xmotion.y;
        input.state = event.xmotion.state;
        break;
      case KeyPress:
      case KeyRelease:
        input.type = event.type == KeyPress ? ReceivedInput::Type::keyPress : ReceivedInput::Type::keyRelease;
        input.state = event.xkey.state;
        input.keysym = keysymName(event.xkey);
        break;
      default:
        continue;
    }
    events.push_back(input);
  }
  return events;
}

std::pair<int, int> InputTestWindow::pointer() {
  Window root = 0, child = 0;
  int rootX = 0, rootY = 0, winX = 0, winY = 0;
  unsigned mask = 0;
  XQueryPointer(display_, window_, &root, &child, &rootX, &rootY, &winX, &winY, &mask);
  return {rootX, rootY};
}

std::optional<std::string> InputTestWindow::clipboardText(const std::function<void()>& pump) {
  const Atom clipboard = XInternAtom(display_, "CLIPBOARD", False);
  const Atom utf8 = XInternAtom(display_, "UTF8_STRING", False);
  const Atom property = XInternAtom(display_, "QOVA_TEST_PASTE", False);
  XConvertSelection(display_, clipboard, utf8, property, window_, CurrentTime);
  XFlush(display_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    pump();
    XEvent event;
    if (XCheckTypedWindowEvent(display_, window_, SelectionNotify, &event)) {
      if (event.xselection.property == None) return std::nullopt;
      Atom type = 0;
      int format = 0;
      unsigned long count = 0, remaining = 0;
      unsigned char* data = nullptr;
      XGetWindowProperty(display_, window_, property, 0, 1 << 24, True, AnyPropertyType, &type, &format, &count,
                         &remaining, &data);
      std::optional<std::string> text;
      if (data && type == utf8 && format == 8) text = std::string(reinterpret_cast<char*>(data), count);
      if (data) XFree(data);
      return text;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return std::nullopt;
}

}  // namespace qova::test
