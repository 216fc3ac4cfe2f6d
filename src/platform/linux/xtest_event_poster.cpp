#include "platform/linux/xtest_event_poster.h"

#include <X11/keysym.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <unordered_map>
#include <utility>

#include "base/log.h"
#include "platform/linux/x_key_syms.h"
#include "platform/linux/xcb_connection.h"

namespace qova {

namespace {

const Log kLog("input");

constexpr auto kReconnectInterval = std::chrono::seconds(1);
constexpr auto kConnectRetryPause = std::chrono::milliseconds(10);
constexpr int kConnectAttempts = 5;

uint8_t xButton(CGMouseButton button) { return button == CGMouseButton::right ? 3 : 1; }

struct KeySymbolsFree {
  void operator()(xcb_key_symbols_t* symbols) const { xcb_key_symbols_free(symbols); }
};

}  // namespace

int toXCoordinate(double value) {
  if (std::isnan(value)) return 0;
  return static_cast<int>(std::floor(std::clamp(value, -32768.0, 32767.0)));
}

struct XTestEventPoster::Connection {
  XcbConnection x;
  // The server's keyboard mapping, fetched once and refreshed when the server announces a change.
  std::unique_ptr<xcb_key_symbols_t, KeySymbolsFree> symbols;
  // A search of the mapping visits every keycode in every column, so each keysym is looked up once.
  std::unordered_map<xcb_keysym_t, xcb_keycode_t> keycodes;
  std::array<xcb_keycode_t, 3> modifierKeys{};  // Control_L, Alt_L, Shift_L
  unsigned heldModifiers = 0;

  // The first keycode whose mapping holds `sym`, searched column by column as Xlib does; 0 for none.
  xcb_keycode_t keycode(xcb_keysym_t sym) {
    auto [known, added] = keycodes.try_emplace(sym, 0);
    if (added) {
      const auto codes = reply(xcb_key_symbols_get_keycode(symbols.get(), sym));
      known->second = codes ? codes.get()[0] : 0;
    }
    return known->second;
  }

  void fake(uint8_t type, uint8_t detail, int rootX = 0, int rootY = 0) {
    xcb_test_fake_input(x.get(), type, detail, XCB_CURRENT_TIME, XCB_NONE, static_cast<int16_t>(rootX),
                        static_cast<int16_t>(rootY), 0);
  }

  void motion(double px, double py) { fake(XCB_MOTION_NOTIFY, 0, toXCoordinate(px), toXCoordinate(py)); }

  // Moves the pointer only if it is elsewhere: the server reports even a move onto the same spot,
  // and a press or release must not look like a drag step.
  void motionIfMoved(double px, double py) {
    const auto where = reply(xcb_query_pointer_reply(x.get(), xcb_query_pointer(x.get(), x.root()), nullptr));
    if (where && where->same_screen && where->root_x == toXCoordinate(px) && where->root_y == toXCoordinate(py)) return;
    motion(px, py);
  }

  void key(xcb_keycode_t code, bool press) {
    if (code != 0) fake(press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code);
  }

  // Presses and releases modifier keys so that exactly `wanted` are held by this poster.
  void holdModifiers(unsigned wanted) {
    heldModifiers =
        changeHeldModifiers(heldModifiers, wanted, [this](unsigned i, bool press) { key(modifierKeys[i], press); });
  }

  // Nothing is asked for but keyboard-mapping changes and the errors of requests, which would
  // otherwise pile up unread. Reading is also how a server that went away is noticed (end of file).
  void readEvents() {
    while (auto event = reply(xcb_poll_for_event(x.get()))) {
      if ((event->response_type & 0x7f) == XCB_MAPPING_NOTIFY && !x.broken()) {
        xcb_refresh_keyboard_mapping(symbols.get(), reinterpret_cast<xcb_mapping_notify_event_t*>(event.get()));
        keycodes.clear();
      }
    }
  }
};

XTestEventPoster::XTestEventPoster() = default;

XTestEventPoster::~XTestEventPoster() {
  std::lock_guard lock(mutex_);
  if (connection_ && !connection_->x.broken()) {
    // A key sequence cut short must not leave a modifier held on the desktop.
    connection_->holdModifiers(0);
    connection_->x.sync();
  }
}

std::unique_ptr<XTestEventPoster::Connection> XTestEventPoster::connect() {
  // A busy server refuses connections now and then (its listen queue is full), and one refusal must
  // not drop input for the rest of the run: a few quick tries, then again at most once a second.
  auto c = std::make_unique<Connection>();
  for (int attempt = 1; attempt < kConnectAttempts && !c->x.usable(); ++attempt) {
    std::this_thread::sleep_for(kConnectRetryPause);
    c = std::make_unique<Connection>();
  }
  if (!c->x.usable()) {
    if (!std::exchange(reportedNoDisplay_, true)) {
      kLog.warning("cannot connect to the X display (" + c->x.displayName() + "); input is skipped until it can");
    }
    return nullptr;
  }
  reportedNoDisplay_ = false;
  if (!c->x.has(xcb_test_id)) {
    if (!std::exchange(reportedNoXTest_, true)) {
      kLog.warning("the X server (" + c->x.displayName() + ") has no XTest extension; input is unavailable");
    }
    return nullptr;
  }
  reportedNoXTest_ = false;
  c->symbols.reset(xcb_key_symbols_alloc(c->x.get()));
  if (!c->symbols) return nullptr;
  c->modifierKeys = {c->keycode(XK_Control_L), c->keycode(XK_Alt_L), c->keycode(XK_Shift_L)};
  return c->x.broken() ? nullptr : std::move(c);
}

XTestEventPoster::Connection* XTestEventPoster::connection() {
  if (connection_) {
    connection_->readEvents();
    if (!connection_->x.broken()) return connection_.get();
    // The server went away (or was restarted); a new one may already be listening.
    kLog.warning("lost the X server (" + connection_->x.displayName() + "); reconnecting");
    connection_.reset();
    lastFailure_.reset();
  }
  const auto now = std::chrono::steady_clock::now();
  if (lastFailure_ && now - *lastFailure_ < kReconnectInterval) return nullptr;
  connection_ = connect();
  if (connection_) {
    lastFailure_.reset();
  } else {
    lastFailure_ = now;
  }
  return connection_.get();
}

template <class Events>
void XTestEventPoster::post(Events&& events) {
  std::lock_guard lock(mutex_);
  Connection* c = connection();
  if (!c) return;
  events(*c);
  c->x.sync();
}

bool XTestEventPoster::available() {
  std::lock_guard lock(mutex_);
  return connection() != nullptr;
}

void XTestEventPoster::moveCursor(double x, double y) {
  post([&](Connection& c) { c.motion(x, y); });
}

void XTestEventPoster::postMouseEvent(MouseEventType type, double x, double y, CGMouseButton button) {
  // Every mouse event carries its location, so the pointer goes there first; with a button held the
  // motion is the drag.
  post([&](Connection& c) {
    switch (type) {
      case MouseEventType::leftMouseDown:
      case MouseEventType::rightMouseDown:
        c.motionIfMoved(x, y);
        c.fake(XCB_BUTTON_PRESS, xButton(button));
        break;
      case MouseEventType::leftMouseUp:
      case MouseEventType::rightMouseUp:
        c.motionIfMoved(x, y);
        c.fake(XCB_BUTTON_RELEASE, xButton(button));
        break;
      case MouseEventType::leftMouseDragged:
      case MouseEventType::rightMouseDragged:
        c.motion(x, y);
        break;
    }
  });
}

void XTestEventPoster::postScrollWheel(int32_t lines) {
  post([&](Connection& c) {
    const uint8_t wheelButton = lines > 0 ? 4 : 5;
    // Widen before negating: the most negative value has no positive twin in 32 bits.
    const int64_t clicks = std::min<int64_t>(std::llabs(static_cast<int64_t>(lines)), 100);
    for (int64_t i = 0; i < clicks; ++i) {
      c.fake(XCB_BUTTON_PRESS, wheelButton);
      c.fake(XCB_BUTTON_RELEASE, wheelButton);
    }
  });
}

void XTestEventPoster::postKeyEvent(uint16_t keyCode, bool keyDown, CGEventFlags flags) {
  const xcb_keysym_t sym = keySymFor(keyCode);
  if (sym == XCB_NO_SYMBOL) return;
  post([&](Connection& c) {
    const xcb_keycode_t code = c.keycode(sym);
    if (code == 0) return;
    c.holdModifiers(modifierBits(flags));
    c.key(code, keyDown);
    // The flags belong to this key alone; nothing stays held once it is released.
    if (!keyDown) c.holdModifiers(0);
  });
}

void XTestEventPoster::sleepMs(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace qova
