#include "platform/linux/wayland/wlroots_input.h"

#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/log.h"
#include "platform/linux/clipboard_pipe.h"
#include "platform/linux/wayland/wayland_connection.h"
#include "platform/linux/x_key_syms.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace qova {

namespace {

const Log kLog("input");

constexpr auto kReconnectInterval = std::chrono::seconds(1);
// A compositor that takes longer than this over one event is treated as gone for that event.
constexpr auto kCallTimeout = std::chrono::seconds(2);
// A paste target that reads this slowly gets the text cut off rather than a thread held for ever.
constexpr auto kClipboardWriteTimeout = std::chrono::seconds(5);
constexpr int kWheelStep = 15;
constexpr size_t kMaxLentKeys = 8;  // the axis length of one wheel click, as libinput reports it

// A selection owner that has not written its text by then is not waited for any longer.
constexpr auto kClipboardReadTimeout = std::chrono::seconds(2);

template <class T, void (*destroy)(T*)>
struct Deleter {
  void operator()(T* p) const { destroy(p); }
};
template <class T, void (*destroy)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, destroy>>;

}  // namespace

// Everything of one connection, used only on its thread.
struct WlrootsInput::Session {
  std::unique_ptr<wayland::Connection> c;  // first made, last gone
  wayland::Output* output = nullptr;
  zwlr_virtual_pointer_v1* pointer = nullptr;
  zwp_virtual_keyboard_v1* keyboard = nullptr;
  zwlr_data_control_v1* dataControl = nullptr;
  zwlr_data_control_source_v1* source = nullptr;  // the selection this client serves
  std::shared_ptr<const std::string> sourceText;
  zwlr_data_control_offer_v1* offer = nullptr;  // another client's, destroyed when replaced
  std::vector<std::string> offerTypes;          // what `offer` offers
  std::shared_ptr<ClipboardWatch> watching;     // set once open, so the selection found then is not told
  Owned<xkb_context, xkb_context_unref> xkb;
  Owned<xkb_keymap, xkb_keymap_unref> keymap;
  Owned<xkb_state, xkb_state_unref> state;
  std::unordered_map<uint32_t, xkb_keycode_t> keycodes;
  std::vector<xkb_keycode_t> spareKeys;                  // empty in the US keymap, for keysyms it lacks
  std::vector<std::pair<xkb_keycode_t, uint32_t>> lent;  // spare keys given a keysym, oldest first
  std::array<xkb_keycode_t, 3> modifierKeys{};  // Control_L, Alt_L, Shift_L
  unsigned heldModifiers = 0;
  std::optional<std::pair<uint32_t, uint32_t>> lastPointer;
  const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

  ~Session() {
    if (!c) return;
    if (keyboard && !c->broken()) holdModifiers(0);
    if (offer) zwlr_data_control_offer_v1_destroy(offer);
    if (source) zwlr_data_control_source_v1_destroy(source);
    if (dataControl) zwlr_data_control_v1_destroy(dataControl);
    if (pointer) zwlr_virtual_pointer_v1_destroy(pointer);
    if (keyboard) zwp_virtual_keyboard_v1_destroy(keyboard);
    c->roundtrip();
  }

  uint32_t now() const {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
  }

  // Null, with the reason logged, when the compositor cannot be reached at all. A compositor without
  // some of the protocols gives a session without those devices.
  static std::unique_ptr<Session> open(bool reportMissing) {
    auto s = std::make_unique<Session>();
    s->c = wayland::Connection::open();
    if (!s->c) {
      if (reportMissing) kLog.warning("no Wayland compositor answers; input is skipped until one does");
      return nullptr;
    }
    s->output = s->c->mainOutput();
    if (s->c->pointerManager && s->output) {
      s->pointer = s->c->pointerManagerVersion >= 2
                       ? zwlr_virtual_pointer_manager_v1_create_virtual_pointer_with_output(
                             s->c->pointerManager, s->c->seat, s->output->proxy)
                       : zwlr_virtual_pointer_manager_v1_create_virtual_pointer(s->c->pointerManager, s->c->seat);
    } else if (reportMissing) {
      kLog.warning("the compositor offers no virtual pointer (or no output); pointer input is unavailable");
    }
    const bool keyboard = s->c->keyboardManager && s->c->seat && s->makeKeyboard();
    if (!keyboard && reportMissing) {
      kLog.warning("the compositor offers no virtual keyboard; key input is unavailable");
    }
    if (s->c->dataControlManager && s->c->seat) {
      s->dataControl = zwlr_data_control_manager_v1_get_data_control(s->c->dataControlManager, s->c->seat);
      static const zwlr_data_control_v1_listener listener = {&Session::onDataOffer, &Session::onSelection,
                                                             &Session::onFinished};
      zwlr_data_control_v1_add_listener(s->dataControl, &listener, s.get());
    } else if (reportMissing) {
      kLog.warning("the compositor offers no data control; text cannot be put on the clipboard");
    }
    if (!s->c->roundtrip()) return nullptr;
    return s;
  }

  // A US keymap of our own, uploaded through a memfd, and a state that tracks its modifiers.
  bool makeKeyboard() {
    xkb.reset(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
    if (!xkb || !compileKeymap()) return false;
    // Keys the US keymap leaves empty, from the top, where no physical key sends anything; the ones
    // past 255 would be lost on X clients.
    for (xkb_keycode_t k = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap.get()), 255);
         k > xkb_keymap_min_keycode(keymap.get()) && spareKeys.size() < kMaxLentKeys; --k) {
      const xkb_keysym_t* syms = nullptr;
      if (xkb_keymap_key_get_name(keymap.get(), k) &&
          xkb_keymap_key_get_syms_by_level(keymap.get(), k, 0, 0, &syms) == 0) {
        spareKeys.push_back(k);
      }
    }
    keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(c->keyboardManager, c->seat);
    if (!uploadKeymap()) {
      zwp_virtual_keyboard_v1_destroy(keyboard);
      keyboard = nullptr;
      return false;
    }
    modifierKeys = {keycode(XKB_KEY_Control_L), keycode(XKB_KEY_Alt_L), keycode(XKB_KEY_Shift_L)};
    return true;
  }

  // The US keymap, with the lent keysyms on spare keys, and a fresh state for it.
  bool compileKeymap() {
    if (lent.empty()) {
      const xkb_rule_names names = {"evdev", "pc105", "us", "", ""};
      keymap.reset(xkb_keymap_new_from_names(xkb.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
    } else {
      std::string text =
          "xkb_keymap { xkb_keycodes { include \"evdev+aliases(qwerty)\" }; xkb_types { include \"complete\" };"
          " xkb_compat { include \"complete\" }; xkb_symbols { include \"pc+us+inet(evdev)\"\n";
      for (const auto& [code, sym] : lent) {
        char name[64];
        xkb_keysym_get_name(sym, name, sizeof name);
        text += std::string("key <") + xkb_keymap_key_get_name(keymap.get(), code) + "> { [ " + name + ", " + name +
                " ] };\n";
      }
      text += "}; };";
      keymap.reset(
          xkb_keymap_new_from_string(xkb.get(), text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS));
    }
    if (keymap) state.reset(xkb_state_new(keymap.get()));
    keycodes.clear();
    return keymap && state;
  }

  bool uploadKeymap() {
    const std::unique_ptr<char, decltype(&free)> text(xkb_keymap_get_as_string(keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1),
                                                      &free);
    if (!text) return false;
    const size_t size = std::strlen(text.get()) + 1;
    const int fd = wayland::sharedMemoryFile("qova-keymap", size);
    if (fd < 0) return false;
    const bool written = pwrite(fd, text.get(), size, 0) == static_cast<ssize_t>(size);
    // The request takes a duplicate of the descriptor, so ours can go at once.
    if (written) {
      zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, static_cast<uint32_t>(size));
    }
    close(fd);
    return written;
  }

  // The key and shift level (none or Shift) whose first layout gives one of `syms`; for a keysym the
  // keymap lacks, a spare key lent it (the oldest loan goes first) in a keymap sent anew. Clients
  // take the new keymap before the key that follows it, so the loan needs no pause.
  std::optional<std::pair<xkb_keycode_t, bool>> place(const std::array<uint32_t, 2>& syms) {
    for (xkb_level_index_t level = 0; level < 2; ++level) {
      for (xkb_keycode_t k = xkb_keymap_min_keycode(keymap.get()); k <= xkb_keymap_max_keycode(keymap.get()); ++k) {
        const xkb_keysym_t* found = nullptr;
        const int count = xkb_keymap_key_get_syms_by_level(keymap.get(), k, 0, level, &found);
        if (count == 1 && (found[0] == syms[0] || found[0] == syms[1])) return std::pair(k, level == 1);
      }
    }
    if (spareKeys.empty()) return std::nullopt;
    const xkb_keycode_t code = lent.size() < spareKeys.size() ? spareKeys[lent.size()] : lent.front().first;
    std::erase_if(lent, [&](auto& l) { return l.first == code; });
    lent.emplace_back(code, syms[0]);
    if (!compileKeymap() || !uploadKeymap()) return std::nullopt;
    modifierKeys = {keycode(XKB_KEY_Control_L), keycode(XKB_KEY_Alt_L), keycode(XKB_KEY_Shift_L)};
    return std::pair(code, false);
  }

  // The first key whose first level holds `sym`, searched as the X11 backend searches its mapping; 0
  // for none.
  xkb_keycode_t keycode(uint32_t sym) {
    auto [known, added] = keycodes.try_emplace(sym, 0);
    if (!added) return known->second;
    for (xkb_keycode_t k = xkb_keymap_min_keycode(keymap.get()); k <= xkb_keymap_max_keycode(keymap.get()); ++k) {
      const xkb_keysym_t* syms = nullptr;
      const int count = xkb_keymap_key_get_syms_by_level(keymap.get(), k, 0, 0, &syms);
      if (count > 0 && syms[0] == sym) return known->second = k;
    }
    return 0;
  }

  void key(xkb_keycode_t code, bool press) {
    if (code < 8) return;
    // The compositor reads keys as evdev codes, 8 below the keymap's.
    zwp_virtual_keyboard_v1_key(keyboard, now(), code - 8,
                                press ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    xkb_state_update_key(state.get(), code, press ? XKB_KEY_DOWN : XKB_KEY_UP);
    zwp_virtual_keyboard_v1_modifiers(keyboard, xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_DEPRESSED),
                                      xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_LATCHED),
                                      xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_LOCKED),
                                      xkb_state_serialize_layout(state.get(), XKB_STATE_LAYOUT_EFFECTIVE));
  }

  // Presses and releases modifier keys so that exactly `wanted` are held by this client.
  void holdModifiers(unsigned wanted) {
    heldModifiers =
        changeHeldModifiers(heldModifiers, wanted, [this](unsigned i, bool press) { key(modifierKeys[i], press); });
  }

  // Binds the pointer to output `name` when that is another one still there, so that its points land there.
  void follow(uint32_t name) {
    wayland::Output* wanted = name ? c->output(name) : nullptr;
    if (!wanted || wanted == output || wanted->removed || !pointer || c->pointerManagerVersion < 2) return;
    zwlr_virtual_pointer_v1_destroy(pointer);
    pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer_with_output(c->pointerManager, c->seat,
                                                                                 wanted->proxy);
    output = wanted;
    lastPointer.reset();
  }

  // A point of the followed display in the pointer's extent (its size now): NaN gives 0, anything else is
  // floored and kept inside.
  void motionTo(double x, double y, bool onlyIfMoved) {
    const auto extentW = static_cast<uint32_t>(std::max(output->width(), 1));
    const auto extentH = static_cast<uint32_t>(std::max(output->height(), 1));
    const auto place = [](double v, uint32_t extent) {
      return std::isnan(v) ? 0u : static_cast<uint32_t>(std::clamp(std::floor(v), 0.0, extent - 1.0));
    };
    const std::pair<uint32_t, uint32_t> point{place(x, extentW), place(y, extentH)};
    if (onlyIfMoved && lastPointer == point) return;
    lastPointer = point;
    zwlr_virtual_pointer_v1_motion_absolute(pointer, now(), point.first, point.second, extentW, extentH);
    zwlr_virtual_pointer_v1_frame(pointer);
  }

  void button(MouseButton which, bool press) {
    zwlr_virtual_pointer_v1_button(pointer, now(), which == MouseButton::right ? BTN_RIGHT : BTN_LEFT,
                                   press ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
    zwlr_virtual_pointer_v1_frame(pointer);
  }

  bool setSelection(const std::string& text) {
    if (source) zwlr_data_control_source_v1_destroy(source);
    source = zwlr_data_control_manager_v1_create_data_source(c->dataControlManager);
    sourceText = std::make_shared<const std::string>(text);
    static const zwlr_data_control_source_v1_listener listener = {&Session::onSend, &Session::onCancelled};
    zwlr_data_control_source_v1_add_listener(source, &listener, this);
    for (const char* type : kTextMimeTypes) zwlr_data_control_source_v1_offer(source, type);
    zwlr_data_control_v1_set_selection(dataControl, source);
    return c->roundtrip();
  }

  static void onSend(void* data, zwlr_data_control_source_v1* which, const char*, int32_t fd) {
    auto* s = static_cast<Session*>(data);
    if (which == s->source && s->sourceText) {
      // On a short-lived thread of its own: a target that never reads holds neither this thread nor
      // the descriptor past the timeout.
      std::thread([text = s->sourceText, fd] { writeClipboardPipe(fd, *text, kClipboardWriteTimeout); }).detach();
    } else {
      close(fd);
    }
  }
  static void onCancelled(void* data, zwlr_data_control_source_v1* which) {
    auto* s = static_cast<Session*>(data);
    zwlr_data_control_source_v1_destroy(which);
    if (which == s->source) s->source = nullptr, s->sourceText.reset();
  }
  static void onDataOffer(void* data, zwlr_data_control_v1*, zwlr_data_control_offer_v1* offer) {
    auto* s = static_cast<Session*>(data);
    if (s->offer) zwlr_data_control_offer_v1_destroy(s->offer);
    s->offer = offer;
    s->offerTypes.clear();
    static const zwlr_data_control_offer_v1_listener listener = {&Session::onOfferType};
    zwlr_data_control_offer_v1_add_listener(offer, &listener, s);
  }
  static void onOfferType(void* data, zwlr_data_control_offer_v1* offer, const char* type) {
    auto* s = static_cast<Session*>(data);
    if (offer == s->offer && s->offerTypes.size() < 64) s->offerTypes.emplace_back(type);
  }
  static void onSelection(void* data, zwlr_data_control_v1*, zwlr_data_control_offer_v1* offer) {
    auto* s = static_cast<Session*>(data);
    if (offer && offer == s->offer && s->watching) s->readSelection();
  }
  // Asks the owner for its text and reads it on a thread of its own.
  void readSelection() {
    const char* type = preferredTextType([this](std::string_view wanted) {
      return std::find(offerTypes.begin(), offerTypes.end(), wanted) != offerTypes.end();
    });
    if (!type || !watching->active()) return;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    // The request carries a duplicate of the writing end.
    zwlr_data_control_offer_v1_receive(offer, type, fds[1]);
    wl_display_flush(c->display());
    close(fds[1]);
    ClipboardWatch::read(watching, fds[0], kClipboardReadTimeout);
  }
  static void onFinished(void* data, zwlr_data_control_v1* control) {
    auto* s = static_cast<Session*>(data);
    zwlr_data_control_v1_destroy(control);
    if (control == s->dataControl) s->dataControl = nullptr;
  }
};

// The thread that owns a session's connection: it dispatches the compositor's events (paste
// requests among them) and runs the tasks it is handed, woken by an eventfd.
class WlrootsInput::Worker {
 public:
  // Null when no session could be opened.
  static std::unique_ptr<Worker> start(bool reportMissing, std::shared_ptr<ClipboardWatch> watching) {
    std::unique_ptr<Worker> worker(new Worker);
    worker->watching_ = std::move(watching);
    if (worker->wake_ < 0) return nullptr;
    std::promise<bool> opened;
    auto result = opened.get_future();
    worker->thread_ = std::thread(
        [w = worker.get(), reportMissing, opened = std::move(opened)]() mutable { w->run(reportMissing, opened); });
    if (result.get()) return worker;
    return nullptr;
  }
  ~Worker() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    signal();
    if (thread_.joinable()) thread_.join();
    if (wake_ >= 0) close(wake_);
  }

  bool alive() const { return alive_; }

  // The task's answer, or false when the session ended or did not answer in time.
  bool run(std::function<bool(Session&)> task) {
    auto done = std::make_shared<std::promise<bool>>();
    auto answer = done->get_future();
    {
      std::lock_guard lock(mutex_);
      if (!alive_) return false;
      tasks_.push_back({std::move(task), std::move(done)});
    }
    signal();
    return answer.wait_for(kCallTimeout) == std::future_status::ready && answer.get();
  }

 private:
  struct Task {
    std::function<bool(Session&)> work;
    std::shared_ptr<std::promise<bool>> done;  // always given a value, so no caller sees a broken promise
  };

  Worker() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  void signal() const {
    const uint64_t one = 1;
    [[maybe_unused]] auto n = write(wake_, &one, sizeof one);
  }

  void run(bool reportMissing, std::promise<bool>& opened) {
    auto session = Session::open(reportMissing);
    if (session) session->watching = watching_;
    alive_ = session != nullptr;
    opened.set_value(alive_);
    for (bool connected = session != nullptr; connected;) {
      // The output the pointer covers going away ends the session as the compositor's going would.
      connected =
          session->c->dispatch(std::chrono::seconds(1), wake_) && (!session->output || !session->output->removed);
      uint64_t count;
      [[maybe_unused]] auto n = read(wake_, &count, sizeof count);
      std::deque<Task> tasks;
      {
        std::lock_guard lock(mutex_);
        if (stop_) break;
        tasks.swap(tasks_);
      }
      for (auto& task : tasks) task.done->set_value(connected && task.work(*session));
    }
    std::lock_guard lock(mutex_);
    alive_ = false;
    for (auto& task : tasks_) task.done->set_value(false);
    tasks_.clear();
  }

  const int wake_;
  std::thread thread_;
  std::mutex mutex_;
  bool stop_ = false;  // under mutex_
  std::atomic<bool> alive_ = false;
  std::deque<Task> tasks_;  // under mutex_
  std::shared_ptr<ClipboardWatch> watching_;
};

WlrootsInput::WlrootsInput() : watching_(std::make_shared<ClipboardWatch>()) {}
WlrootsInput::~WlrootsInput() = default;

bool WlrootsInput::call(std::function<bool(Session&)> task) {
  std::lock_guard lock(mutex_);
  if (worker_ && !worker_->alive()) {
    // The compositor went away (or our output did); a new one may already be there.
    kLog.warning("lost the Wayland compositor's input connection; reconnecting");
    worker_.reset();
    lastFailure_.reset();
  }
  if (!worker_) {
    const auto now = std::chrono::steady_clock::now();
    if (lastFailure_ && now - *lastFailure_ < kReconnectInterval) return false;
    worker_ = Worker::start(!lastFailure_, watching_);
    if (!worker_) {
      lastFailure_ = now;
      return false;
    }
    lastFailure_.reset();
  }
  return worker_->run(std::move(task));
}

void WlrootsInput::moveCursor(double x, double y) {
  call([x, y, followed = followed_.load()](Session& s) {
    if (!s.pointer) return false;
    s.follow(followed);
    s.motionTo(x, y, false);
    return s.c->roundtrip();
  });
}

void WlrootsInput::postMouseEvent(MouseEventType type, double x, double y, MouseButton button) {
  call([=, followed = followed_.load()](Session& s) {
    if (!s.pointer) return false;
    s.follow(followed);
    switch (type) {
      case MouseEventType::leftMouseDown:
      case MouseEventType::rightMouseDown:
        s.motionTo(x, y, true);
        s.button(button, true);
        break;
      case MouseEventType::leftMouseUp:
      case MouseEventType::rightMouseUp:
        s.motionTo(x, y, true);
        s.button(button, false);
        break;
      case MouseEventType::leftMouseDragged:
      case MouseEventType::rightMouseDragged:
        s.motionTo(x, y, false);
        break;
    }
    return s.c->roundtrip();
  });
}

void WlrootsInput::postScrollWheel(int32_t lines) {
  call([lines](Session& s) {
    if (!s.pointer) return false;
    // Widen before negating: the most negative value has no positive twin in 32 bits. The vertical
    // axis grows downwards, and positive lines scroll up.
    const int64_t clicks = std::min<int64_t>(std::llabs(static_cast<int64_t>(lines)), 100);
    const int direction = lines > 0 ? -1 : 1;
    for (int64_t i = 0; i < clicks; ++i) {
      zwlr_virtual_pointer_v1_axis_source(s.pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
      zwlr_virtual_pointer_v1_axis_discrete(s.pointer, s.now(), WL_POINTER_AXIS_VERTICAL_SCROLL,
                                            wl_fixed_from_int(direction * kWheelStep), direction);
      zwlr_virtual_pointer_v1_frame(s.pointer);
    }
    return s.c->roundtrip();
  });
}

void WlrootsInput::postKeyEvent(uint16_t keyCode, bool keyDown, ModifierFlags flags) {
  const uint32_t sym = keySymFor(keyCode);
  if (sym == 0) return;
  call([=](Session& s) {
    if (!s.keyboard) return false;
    const xkb_keycode_t code = s.keycode(sym);
    if (code == 0) return false;
    s.holdModifiers(modifierBits(flags));
    s.key(code, keyDown);
    // The flags belong to this key alone; nothing stays held once it is released.
    if (!keyDown) s.holdModifiers(0);
    return s.c->roundtrip();
  });
}

bool WlrootsInput::postCharacter(char32_t codePoint) {
  const auto syms = characterKeySyms(codePoint);
  return call([=](Session& s) {
    if (!s.keyboard) return false;
    s.holdModifiers(0);
    const auto place = s.place(syms);
    if (!place) return false;
    if (place->second) s.key(s.modifierKeys[2], true);
    s.key(place->first, true);
    s.key(place->first, false);
    if (place->second) s.key(s.modifierKeys[2], false);
    return s.c->roundtrip();
  });
}

void WlrootsInput::sleepMs(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool WlrootsInput::setString(const std::string& text) {
  return call([text](Session& s) { return s.dataControl && s.setSelection(text); });
}

void WlrootsInput::watchPasteboard(std::function<void(std::string)> changed, size_t maxBytes) {
  watching_->set(std::move(changed), maxBytes);
  call([](Session&) { return true; });
}

void WlrootsInput::stopWatchingPasteboard() { watching_->set(nullptr, 0); }

}  // namespace qova
