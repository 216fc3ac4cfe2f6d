#include "platform/linux/xfixes_pasteboard_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>

#include "base/log.h"
#include "platform/linux/xcb_connection.h"

namespace qova {

namespace {

const Log kLog("clipboard");

using Clock = std::chrono::steady_clock;
// An owner that has not handed over its text by then is not waited for any longer.
constexpr auto kReadTimeout = std::chrono::seconds(2);

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  const auto answer =
      reply(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(strlen(name)), name), nullptr));
  return answer ? answer->atom : xcb_atom_t{XCB_ATOM_NONE};
}

using Event = Reply<xcb_generic_event_t>;

}  // namespace

class XFixesPasteboardWatcher::Watch {
 public:
  Watch(std::function<void(std::string)> changed, size_t maxBytes)
      : changed_(std::move(changed)), maxBytes_(maxBytes), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    thread_ = std::thread([this] { run(); });
  }
  ~Watch() {
    stopped_ = true;
    const uint64_t one = 1;
    [[maybe_unused]] auto n = write(wake_, &one, sizeof one);
    thread_.join();
    close(wake_);
  }

 private:
  void run() {
    if (!open()) return;
    while (!stopped_) {
      // Replies read meanwhile may have brought events along: those are looked at before waiting.
      while (auto event = reply(xcb_poll_for_event(x_.get()))) noteOwner(*event);
      if (x_.broken()) {
        kLog.warning("lost the X server; copied text is no longer passed on");
        return;
      }
      if (const auto time = std::exchange(pending_, std::nullopt)) {
        if (auto text = read(*time)) changed_(std::move(*text));
      } else {
        waitReadable(std::nullopt);
      }
    }
  }

  bool open() {
    if (!x_.usable()) {
      kLog.warning("no X server answers on " + x_.displayName() + "; copied text is not passed on");
      return false;
    }
    xcb_connection_t* c = x_.get();
    const auto version = reply(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
    xfixesEvent_ = x_.eventBase(xcb_xfixes_id);
    if (!version || xfixesEvent_ < 0) {
      kLog.warning("the X server lacks XFixes; copied text is not passed on");
      return false;
    }
    clipboard_ = atom(c, "CLIPBOARD");
    utf8_ = atom(c, "UTF8_STRING");
    incr_ = atom(c, "INCR");
    property_ = atom(c, "QOVA_PASTEBOARD");
    window_ = xcb_generate_id(c);
    const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, x_.root(), 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
    xcb_xfixes_select_selection_input(c, window_, clipboard_, XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER);
    return x_.sync();
  }

  // A new owner to ask, once the current question is over; only the newest one counts.
  void noteOwner(const xcb_generic_event_t& event) {
    if ((event.response_type & 0x7f) != xfixesEvent_ + XCB_XFIXES_SELECTION_NOTIFY) return;
    const auto& notify = reinterpret_cast<const xcb_xfixes_selection_notify_event_t&>(event);
    pending_ = notify.owner != XCB_NONE ? std::optional(notify.selection_timestamp) : std::nullopt;
  }

  // False when stopped, or the deadline passed, before the connection had something to read.
  bool waitReadable(std::optional<Clock::time_point> deadline) {
    xcb_flush(x_.get());
    pollfd watched[] = {{xcb_get_file_descriptor(x_.get()), POLLIN, 0}, {wake_, POLLIN, 0}};
    int timeout = -1;
    if (deadline) {
      timeout = static_cast<int>(
          std::max<int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count()));
    }
    return poll(watched, 2, timeout) > 0 && !stopped_ && (watched[0].revents != 0);
  }

  // The next event `wanted` takes, noting new owners meanwhile; null when stopped or out of time.
  template <class Wanted>
  Event waitFor(Clock::time_point deadline, Wanted wanted) {
    for (;;) {
      while (auto event = reply(xcb_poll_for_event(x_.get()))) {
        if (wanted(*event)) return event;
        noteOwner(*event);
      }
      if (x_.broken() || stopped_ || Clock::now() >= deadline || !waitReadable(deadline)) return Event(nullptr, &free);
    }
  }

  // The property's value, taken off the window; nullopt when it holds more than we take.
  struct Value {
    xcb_atom_t type;
    std::string bytes;
  };
  std::optional<Value> take() {
    xcb_connection_t* c = x_.get();
    const auto longs = static_cast<uint32_t>(maxBytes_ / 4 + 1);
    const auto answer = reply(xcb_get_property_reply(
        c, xcb_get_property(c, 1, window_, property_, XCB_GET_PROPERTY_TYPE_ANY, 0, longs), nullptr));
    if (!answer || answer->bytes_after > 0) return std::nullopt;
    const auto* data = static_cast<const char*>(xcb_get_property_value(answer.get()));
    return Value{answer->type, std::string(data, static_cast<size_t>(xcb_get_property_value_length(answer.get())))};
  }

  std::optional<std::string> read(xcb_timestamp_t time) {
    xcb_connection_t* c = x_.get();
    xcb_delete_property(c, window_, property_);
    xcb_convert_selection(c, window_, clipboard_, utf8_, property_, time);
    const auto deadline = Clock::now() + kReadTimeout;
    const auto notify = waitFor(deadline, [this](const xcb_generic_event_t& e) {
      return (e.response_type & 0x7f) == XCB_SELECTION_NOTIFY &&
             reinterpret_cast<const xcb_selection_notify_event_t&>(e).requestor == window_;
    });
    // No property: the owner has no text to give.
    if (!notify || reinterpret_cast<const xcb_selection_notify_event_t&>(*notify).property == XCB_ATOM_NONE) {
      return std::nullopt;
    }
    auto first = take();
    if (!first) return std::nullopt;
    if (first->type == incr_) return readIncrementally(deadline);
    if (first->type != utf8_ || first->bytes.size() > maxBytes_) return std::nullopt;
    return std::move(first->bytes);
  }

  // Deleting the announcement asked for the first piece; each piece taken asks for the next, and an
  // empty one ends the text.
  std::optional<std::string> readIncrementally(Clock::time_point deadline) {
    std::string text;
    for (;;) {
      const auto written = waitFor(deadline, [this](const xcb_generic_event_t& e) {
        const auto& p = reinterpret_cast<const xcb_property_notify_event_t&>(e);
        return (e.response_type & 0x7f) == XCB_PROPERTY_NOTIFY && p.window == window_ && p.atom == property_ &&
               p.state == XCB_PROPERTY_NEW_VALUE;
      });
      if (!written) return std::nullopt;
      auto piece = take();
      if (!piece || piece->type != utf8_ || text.size() + piece->bytes.size() > maxBytes_) return std::nullopt;
      if (piece->bytes.empty()) return text;
      text += piece->bytes;
    }
  }

  const std::function<void(std::string)> changed_;
  const size_t maxBytes_;
  const int wake_;
  std::atomic<bool> stopped_ = false;
  XcbConnection x_;
  int xfixesEvent_ = -1;
  xcb_atom_t clipboard_ = XCB_ATOM_NONE, utf8_ = XCB_ATOM_NONE, incr_ = XCB_ATOM_NONE, property_ = XCB_ATOM_NONE;
  xcb_window_t window_ = XCB_NONE;
  std::optional<xcb_timestamp_t> pending_;
  std::thread thread_;
};

XFixesPasteboardWatcher::XFixesPasteboardWatcher() = default;
XFixesPasteboardWatcher::~XFixesPasteboardWatcher() = default;

void XFixesPasteboardWatcher::watchPasteboard(std::function<void(std::string)> changed, size_t maxBytes) {
  watch_.reset();
  watch_ = std::make_unique<Watch>(std::move(changed), maxBytes);
}

void XFixesPasteboardWatcher::stopWatchingPasteboard() { watch_.reset(); }

}  // namespace qova
