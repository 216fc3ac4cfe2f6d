#include "platform/linux/xtest_event_poster.h"

#include <X11/keysym.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/log.h"
#include "platform/linux/x_key_syms.h"
#include "platform/linux/xcb_connection.h"

namespace qova {

namespace {

const Log kLog("input");

constexpr auto kReconnectInterval = std::chrono::seconds(1);
constexpr auto kConnectRetryPause = std::chrono::milliseconds(10);
constexpr int kConnectAttempts = 5;

uint8_t xButton(MouseButton button) { return button == MouseButton::right ? 3 : 1; }

// Columns of the core keyboard mapping in the first group, by the shift levels they need: none,
// Shift, AltGr (ISO_Level3_Shift), AltGr with Shift. The columns between belong to a second group.
constexpr std::array<std::pair<int, unsigned>, 4> kLevelColumns = {
    {{0, 0}, {1, kShiftBit}, {4, kLevel3Bit}, {5, kLevel3Bit | kShiftBit}}};
// Keycodes with no keysym that may be lent a missing character at a time; the oldest is lent again.
constexpr size_t kMaxBorrowedKeys = 4;

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
  // The core mapping as a whole, fetched when a character is typed and dropped on every change.
  std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&free)> mapping{nullptr, &free};
  // Empty keycodes this poster has given a keysym, the least recently used first.
  std::vector<std::pair<xcb_keycode_t, xcb_keysym_t>> borrowed;

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

  // Where one of `syms` sits in the first group, with the fewest shift levels; none when nowhere.
  std::optional<std::pair<xcb_keycode_t, unsigned>> place(const std::array<uint32_t, 2>& syms) {
    const xcb_setup_t* setup = xcb_get_setup(x.get());
    if (!mapping) {
      mapping.reset(xcb_get_keyboard_mapping_reply(
          x.get(), xcb_get_keyboard_mapping(x.get(), setup->min_keycode, setup->max_keycode - setup->min_keycode + 1),
          nullptr));
    }
    if (!mapping) return std::nullopt;
    const int per = mapping->keysyms_per_keycode;
    const xcb_keysym_t* all = xcb_get_keyboard_mapping_keysyms(mapping.get());
    const int count = xcb_get_keyboard_mapping_keysyms_length(mapping.get()) / std::max(per, 1);
    for (const auto& [column, levels] : kLevelColumns) {
      if (column >= per || ((levels & kLevel3Bit) && keycode(XK_ISO_Level3_Shift) == 0)) continue;
      for (int i = 0; i < count; ++i) {
        const xcb_keysym_t sym = all[i * per + column];
        if (sym != XCB_NO_SYMBOL && (sym == syms[0] || sym == syms[1])) {
          return std::pair(static_cast<xcb_keycode_t>(setup->min_keycode + i), levels);
        }
      }
    }
    return std::nullopt;
  }

  // Lends an empty keycode the keysym, both levels of it, so that it is typed whatever Shift or Caps
  // Lock say. The loan outlives the press: clients look the new mapping up only when they read its
  // notice, which may be after a quick restore, and they would then see an empty key.
  xcb_keycode_t borrow(xcb_keysym_t sym) {
    const xcb_setup_t* setup = xcb_get_setup(x.get());
    xcb_keycode_t code = 0;
    if (borrowed.size() < kMaxBorrowedKeys && mapping) {
      const int per = mapping->keysyms_per_keycode;
      const xcb_keysym_t* all = xcb_get_keyboard_mapping_keysyms(mapping.get());
      const int count = xcb_get_keyboard_mapping_keysyms_length(mapping.get()) / std::max(per, 1);
      // From the top, where no physical key sends anything.
      for (int i = count - 1; i >= 0 && code == 0; --i) {
        const bool empty = std::all_of(all + i * per, all + (i + 1) * per, [](auto s) { return s == XCB_NO_SYMBOL; });
        const auto candidate = static_cast<xcb_keycode_t>(setup->min_keycode + i);
        const bool lent = std::any_of(borrowed.begin(), borrowed.end(), [&](auto& b) { return b.first == candidate; });
        if (empty && !lent) code = candidate;
      }
    }
    if (code == 0 && !borrowed.empty()) code = borrowed.front().first;
    if (code == 0 || !mapping) return 0;
    std::erase_if(borrowed, [&](auto& b) { return b.first == code; });
    borrowed.emplace_back(code, sym);
    mapKey(code, sym);
    return code;
  }

  // One group of two levels; the server leaves the key's other columns empty.
  void mapKey(xcb_keycode_t code, xcb_keysym_t sym) {
    const std::array<xcb_keysym_t, 2> syms = {sym, sym};
    xcb_change_keyboard_mapping(x.get(), 1, code, 2, syms.data());
    mapping.reset();
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
        mapping.reset();
      }
    }
  }
};

XTestEventPoster::XTestEventPoster() = default;

XTestEventPoster::~XTestEventPoster() {
  std::lock_guard lock(mutex_);
  if (connection_ && !connection_->x.broken()) {
    // A key sequence cut short must not leave a modifier held on the desktop, nor a lent key mapped.
    connection_->holdModifiers(0);
    for (const auto& [code, sym] : connection_->borrowed) connection_->mapKey(code, XCB_NO_SYMBOL);
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

void XTestEventPoster::postMouseEvent(MouseEventType type, double x, double y, MouseButton button) {
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

void XTestEventPoster::postKeyEvent(uint16_t keyCode, bool keyDown, ModifierFlags flags) {
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

bool XTestEventPoster::postCharacter(char32_t codePoint) {
  const auto syms = characterKeySyms(codePoint);
  bool typed = false;
  post([&](Connection& c) {
    c.holdModifiers(0);
    auto place = c.place(syms);
    if (!place) {
      const xcb_keycode_t lent = c.borrow(syms[0]);
      if (lent == 0) return;
      place = std::pair(lent, 0u);
    }
    const auto [code, levels] = *place;
    // A lent key typed again is kept longest.
    if (auto lent = std::find_if(c.borrowed.begin(), c.borrowed.end(), [key = code](auto& b) { return b.first == key; });
        lent != c.borrowed.end()) {
      std::rotate(lent, lent + 1, c.borrowed.end());
    }
    const xcb_keycode_t levelKeys[] = {c.modifierKeys[2], c.keycode(XK_ISO_Level3_Shift)};
    const bool held[] = {(levels & kShiftBit) != 0, (levels & kLevel3Bit) != 0};
    for (int i = 0; i < 2; ++i) {
      if (held[i]) c.key(levelKeys[i], true);
    }
    c.key(code, true);
    c.key(code, false);
    for (int i = 1; i >= 0; --i) {
      if (held[i]) c.key(levelKeys[i], false);
    }
    typed = true;
  });
  return typed;
}

void XTestEventPoster::sleepMs(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace qova
