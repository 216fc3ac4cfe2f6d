#include "platform/linux/xtest_event_poster.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "platform/linux/x_display.h"

namespace qova {

namespace {

// ANSI virtual key codes of the key-name table and the X keysym of the same key on a US layout.
// Codes absent here (the table has 51 distinct ones) have no keysym and are skipped.
constexpr std::array<std::pair<uint16_t, KeySym>, 51> kKeySyms = {{
    {0, XK_a},  {11, XK_b}, {8, XK_c},  {2, XK_d},  {14, XK_e}, {3, XK_f},  {5, XK_g},  {4, XK_h},
    {34, XK_i}, {38, XK_j}, {40, XK_k}, {37, XK_l}, {46, XK_m}, {45, XK_n}, {31, XK_o}, {35, XK_p},
    {12, XK_q}, {15, XK_r}, {1, XK_s},  {17, XK_t}, {32, XK_u}, {9, XK_v},  {13, XK_w}, {7, XK_x},
    {16, XK_y}, {6, XK_z},  {29, XK_0}, {18, XK_1}, {19, XK_2}, {20, XK_3}, {21, XK_4}, {23, XK_5},
    {22, XK_6}, {26, XK_7}, {28, XK_8}, {25, XK_9},
    {24, XK_equal}, {27, XK_minus}, {30, XK_bracketright}, {33, XK_bracketleft}, {39, XK_apostrophe},
    {41, XK_semicolon}, {42, XK_backslash}, {43, XK_comma}, {44, XK_slash}, {47, XK_period},
    {36, XK_Return}, {48, XK_Tab}, {49, XK_space}, {51, XK_BackSpace}, {53, XK_Escape},
}};

constexpr std::array<std::pair<uint16_t, KeySym>, 4> kArrowKeySyms = {{
    {123, XK_Left}, {124, XK_Right}, {125, XK_Down}, {126, XK_Up},
}};

KeySym keySymFor(uint16_t code) {
  for (const auto& [mac, sym] : kKeySyms) {
    if (mac == code) return sym;
  }
  for (const auto& [mac, sym] : kArrowKeySyms) {
    if (mac == code) return sym;
  }
  return NoSymbol;
}

// The modifier keys this poster presses, as bits of its own.
enum ModifierBit : unsigned { kControlBit = 1, kAltBit = 2, kShiftBit = 4 };

unsigned modifierBits(CGEventFlags flags) {
  unsigned bits = 0;
  if (flags & (kCGEventFlagMaskCommand | kCGEventFlagMaskControl)) bits |= kControlBit;
  if (flags & kCGEventFlagMaskAlternate) bits |= kAltBit;
  if (flags & kCGEventFlagMaskShift) bits |= kShiftBit;
  return bits;
}

constexpr auto kReconnectInterval = std::chrono::seconds(1);
constexpr auto kConnectRetryPause = std::chrono::milliseconds(10);
constexpr int kConnectAttempts = 5;

unsigned xButton(CGMouseButton button) { return button == CGMouseButton::right ? 3 : 1; }

}  // namespace

int toXCoordinate(double value) {
  if (std::isnan(value)) return 0;
  return static_cast<int>(std::floor(std::clamp(value, -32768.0, 32767.0)));
}

struct XTestEventPoster::Connection {
  x11::DisplayPtr display;
  std::array<KeyCode, 3> modifierKeys{};  // Control_L, Alt_L, Shift_L
  unsigned heldModifiers = 0;

  Display* d() const { return display.get(); }

  void motion(double x, double y) { XTestFakeMotionEvent(d(), -1, toXCoordinate(x), toXCoordinate(y), CurrentTime); }

  // Moves the pointer only if it is elsewhere: the server reports even a move onto the same spot,
  // and a press or release must not look like a drag step.
  void motionIfMoved(double x, double y) {
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned mask = 0;
    if (XQueryPointer(d(), DefaultRootWindow(d()), &root, &child, &rootX, &rootY, &winX, &winY, &mask) &&
        rootX == toXCoordinate(x) && rootY == toXCoordinate(y)) {
      return;
    }
    motion(x, y);
  }

  void key(KeyCode code, bool press) {
    if (code != 0) XTestFakeKeyEvent(d(), code, press ? True : False, CurrentTime);
  }

  // Presses and releases modifier keys so that exactly `wanted` are held by this poster.
  void holdModifiers(unsigned wanted) {
    for (unsigned i = 0; i < modifierKeys.size(); ++i) {
      const unsigned bit = 1u << i;
      if ((wanted & bit) && !(heldModifiers & bit)) key(modifierKeys[i], true);
      if (!(wanted & bit) && (heldModifiers & bit)) key(modifierKeys[i], false);
    }
    heldModifiers = wanted;
  }
};

XTestEventPoster::XTestEventPoster() = default;

XTestEventPoster::~XTestEventPoster() {
  std::lock_guard lock(mutex_);
  if (connection_) {
    // A key sequence cut short must not leave a modifier held on the desktop.
    x11::ErrorTrap trap(connection_->d());
    connection_->holdModifiers(0);
  }
}

XTestEventPoster::Connection* XTestEventPoster::connection() {
  if (connection_) return connection_.get();
  // A busy server refuses connections now and then (its listen queue is full), and one refusal must
  // not drop input for the rest of the run: a few quick tries, then again at most once a second.
  const auto now = std::chrono::steady_clock::now();
  if (lastAttempt_ && now - *lastAttempt_ < kReconnectInterval) return nullptr;
  lastAttempt_ = now;
  x11::DisplayPtr display;
  for (int attempt = 0; attempt < kConnectAttempts && !display; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(kConnectRetryPause);
    display = x11::openDisplay();
  }
  if (!display) return nullptr;
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(display.get(), &eventBase, &errorBase, &major, &minor)) return nullptr;
  auto connection = std::make_unique<Connection>();
  connection->modifierKeys = {XKeysymToKeycode(display.get(), XK_Control_L), XKeysymToKeycode(display.get(), XK_Alt_L),
                              XKeysymToKeycode(display.get(), XK_Shift_L)};
  connection->display = std::move(display);
  connection_ = std::move(connection);
  return connection_.get();
}

bool XTestEventPoster::available() {
  std::lock_guard lock(mutex_);
  return connection() != nullptr;
}

void XTestEventPoster::moveCursor(double x, double y) {
  std::lock_guard lock(mutex_);
  Connection* c = connection();
  if (!c) return;
  x11::ErrorTrap trap(c->d());
  c->motion(x, y);
}

void XTestEventPoster::postMouseEvent(MouseEventType type, double x, double y, CGMouseButton button) {
  std::lock_guard lock(mutex_);
  Connection* c = connection();
  if (!c) return;
  x11::ErrorTrap trap(c->d());
  // Every mouse event carries its location, so the pointer goes there first; with a button held the
  // motion is the drag.
  switch (type) {
    case MouseEventType::leftMouseDown:
    case MouseEventType::rightMouseDown:
      c->motionIfMoved(x, y);
      XTestFakeButtonEvent(c->d(), xButton(button), True, CurrentTime);
      break;
    case MouseEventType::leftMouseUp:
    case MouseEventType::rightMouseUp:
      c->motionIfMoved(x, y);
      XTestFakeButtonEvent(c->d(), xButton(button), False, CurrentTime);
      break;
    case MouseEventType::leftMouseDragged:
    case MouseEventType::rightMouseDragged:
      c->motion(x, y);
      break;
  }
}

void XTestEventPoster::postScrollWheel(int32_t lines) {
  std::lock_guard lock(mutex_);
  Connection* c = connection();
  if (!c) return;
  x11::ErrorTrap trap(c->d());
  const unsigned wheelButton = lines > 0 ? 4 : 5;
  // Widen before negating: the most negative value has no positive twin in 32 bits.
  const int64_t clicks = std::min<int64_t>(std::llabs(static_cast<int64_t>(lines)), 100);
  for (int64_t i = 0; i < clicks; ++i) {
    XTestFakeButtonEvent(c->d(), wheelButton, True, CurrentTime);
    XTestFakeButtonEvent(c->d(), wheelButton, False, CurrentTime);
  }
}

void XTestEventPoster::postKeyEvent(uint16_t keyCode, bool keyDown, CGEventFlags flags) {
  std::lock_guard lock(mutex_);
  Connection* c = connection();
  if (!c) return;
  const KeySym sym = keySymFor(keyCode);
  if (sym == NoSymbol) return;
  const KeyCode code = XKeysymToKeycode(c->d(), sym);
  if (code == 0) return;
  x11::ErrorTrap trap(c->d());
  c->holdModifiers(modifierBits(flags));
  c->key(code, keyDown);
  // The flags belong to this key alone; nothing stays held once it is released.
  if (!keyDown) c->holdModifiers(0);
}

void XTestEventPoster::sleepMs(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace qova
