#include "platform/linux/xshm_screen_capture.h"

#include <poll.h>
#include <unistd.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "base/log.h"
#include "base/serial_queue.h"
#include "platform/linux/bgra_scaler.h"
#include "platform/linux/buffer_pool.h"
#include "platform/linux/cursor_overlay.h"
#include "platform/linux/threaded_screen_stream.h"
#include "platform/linux/x_shm_image.h"
#include "platform/linux/xcb_connection.h"

namespace qova {

namespace {

struct Geometry {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const Geometry&, const Geometry&) = default;
};

struct ListedDisplay {
  uint32_t id;
  Geometry geometry;
  std::string name;
  bool primary = false;
};

// The RandR minor version (of major 1) the server speaks with us, asking for up to 1.5; -1 without RandR.
int randrMinorVersion(const XcbConnection& x) {
  if (x.eventBase(xcb_randr_id) < 0) return -1;
  auto version = reply(xcb_randr_query_version_reply(x.get(), xcb_randr_query_version(x.get(), 1, 5), nullptr));
  if (!version) return -1;
  return version->major_version > 1 ? 5 : static_cast<int>(version->minor_version);
}

bool hasRandr13(const XcbConnection& x) { return randrMinorVersion(x) >= 3; }

std::string atomName(const XcbConnection& x, xcb_atom_t atom) {
  auto name = reply(xcb_get_atom_name_reply(x.get(), xcb_get_atom_name(x.get(), atom), nullptr));
  if (!name) return {};
  return std::string(xcb_get_atom_name_name(name.get()), xcb_get_atom_name_name_length(name.get()));
}

// RandR 1.5 monitors, the screen's parts that desktops treat as displays, each known by its name's
// atom. Those made of outputs come first, in the server's order, then those a user defined; each is
// cut to the screen.
std::vector<ListedDisplay> listMonitors(const XcbConnection& x) {
  std::vector<ListedDisplay> automatic, defined;
  xcb_connection_t* c = x.get();
  auto monitors = reply(xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, x.root(), 1), nullptr));
  if (!monitors) return {};
  const int screenWidth = x.screen().width_in_pixels, screenHeight = x.screen().height_in_pixels;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem > 0; xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t& m = *it.data;
    const int left = std::max<int>(m.x, 0), top = std::max<int>(m.y, 0);
    const int right = std::min<int>(m.x + m.width, screenWidth), bottom = std::min<int>(m.y + m.height, screenHeight);
    if (right <= left || bottom <= top) continue;
    (m.automatic ? automatic : defined)
        .push_back({m.name, {left, top, right - left, bottom - top}, atomName(x, m.name), m.primary != 0});
  }
  automatic.insert(automatic.end(), defined.begin(), defined.end());
  return automatic;
}

// Where RandR has no monitors: outputs that are connected and show a picture, in the server's
// order; the whole screen as display 0 when RandR has none to offer.
std::vector<ListedDisplay> listDisplays(const XcbConnection& x) {
  std::vector<ListedDisplay> listed;
  xcb_connection_t* c = x.get();
  const int randr = randrMinorVersion(x);
  if (randr >= 5) listed = listMonitors(x);
  if (listed.empty() && randr >= 3) {
    auto resources = reply(
        xcb_randr_get_screen_resources_current_reply(c, xcb_randr_get_screen_resources_current(c, x.root()), nullptr));
    if (resources) {
      const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources.get());
      const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
      for (int i = 0; i < count; ++i) {
        auto output = reply(xcb_randr_get_output_info_reply(
            c, xcb_randr_get_output_info(c, outputs[i], resources->config_timestamp), nullptr));
        if (!output || output->connection != XCB_RANDR_CONNECTION_CONNECTED || output->crtc == 0) continue;
        auto crtc = reply(xcb_randr_get_crtc_info_reply(
            c, xcb_randr_get_crtc_info(c, output->crtc, resources->config_timestamp), nullptr));
        if (crtc && crtc->mode != 0 && crtc->width > 0 && crtc->height > 0) {
          const auto* name = reinterpret_cast<const char*>(xcb_randr_get_output_info_name(output.get()));
          listed.push_back({outputs[i],
                            {crtc->x, crtc->y, crtc->width, crtc->height},
                            std::string(name, xcb_randr_get_output_info_name_length(output.get()))});
        }
      }
    }
  }
  if (listed.empty() && !x.broken()) {
    listed.push_back({0, {0, 0, x.screen().width_in_pixels, x.screen().height_in_pixels}, "screen"});
  }
  return listed;
}

std::optional<Geometry> geometryOf(const XcbConnection& x, uint32_t id) {
  for (const auto& listed : listDisplays(x)) {
    if (listed.id == id) return listed.geometry;
  }
  return std::nullopt;
}

const Log kLog("capture");

constexpr auto kCursorInterval = std::chrono::milliseconds(16);

std::chrono::nanoseconds intervalOf(const FrameInterval& interval) {
  if (interval.value <= 0 || interval.timescale <= 0) return std::chrono::milliseconds(16);
  return std::chrono::nanoseconds(interval.value * 1'000'000'000LL / interval.timescale);
}

// Asks for raw pointer motion of every master device on the root window. The extension's major
// opcode, which its events carry, or -1 when the server has no XInput 2.
int selectRawMotion(const XcbConnection& x) {
  const xcb_query_extension_reply_t* input = xcb_get_extension_data(x.get(), &xcb_input_id);
  if (!input || !input->present) return -1;
  auto version = reply(xcb_input_xi_query_version_reply(x.get(), xcb_input_xi_query_version(x.get(), 2, 0), nullptr));
  if (!version || version->major_version < 2) return -1;
  struct {
    xcb_input_event_mask_t head;
    uint32_t bits;
  } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_MOTION};
  xcb_input_xi_select_events(x.get(), x.root(), 1, &mask.head);
  return input->major_opcode;
}

// What tells a stream that its picture changed: XDamage for the screen's content, XFixes for the
// cursor's shape, XInput 2 for its moves, RandR for the layout. Each is optional; a missing one is
// said once, with what is done instead. The cursor is watched only for a stream that draws or reports it.
class ScreenWatch {
 public:
  ScreenWatch(const XcbConnection& x, bool showsCursor, bool reportsCursor) : x_(x) {
    const bool watchesCursor = showsCursor || reportsCursor;
    xcb_connection_t* c = x.get();
    damageEvents_ = x.eventBase(xcb_damage_id);
    if (damageEvents_ >= 0 && reply(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr))) {
      damage_ = xcb_generate_id(c);
      xcb_damage_create(c, damage_, x.root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
      // XDamage stands on XFixes 2, whose regions say where the damage was.
      if (reply(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr))) {
        region_ = xcb_generate_id(c);
        xcb_xfixes_create_region(c, region_, 0, nullptr);
      }
    } else {
      kLog.warning("the X server has no XDamage: every frame interval is grabbed as a complete frame");
    }
    fixesEvents_ = watchesCursor ? x.eventBase(xcb_xfixes_id) : -1;
    if (fixesEvents_ >= 0 && !reply(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr))) {
      fixesEvents_ = -1;
    }
    if (fixesEvents_ >= 0) {
      xcb_xfixes_select_cursor_input(c, x.root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    } else if (watchesCursor) {
      kLog.warning(showsCursor ? "the X server has no XFixes 4: no cursor is drawn into frames"
                               : "the X server has no XFixes 4: the cursor is not reported");
    }
    inputOpcode_ = watchesCursor ? selectRawMotion(x) : -1;
    if (watchesCursor && inputOpcode_ < 0) {
      kLog.info("the X server has no XInput 2: pointer moves are looked for once a frame interval");
    }
    randrEvents_ = hasRandr13(x) ? x.eventBase(xcb_randr_id) : -1;
    if (randrEvents_ >= 0) {
      xcb_randr_select_input(c, x.root(),
                             XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                 XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    } else {
      kLog.warning("the X server has no RandR 1.3: the whole root window is captured and layout changes go unnoticed");
    }
  }
  ~ScreenWatch() {
    if (damage_ && !x_.broken()) {
      if (region_) xcb_xfixes_destroy_region(x_.get(), region_);
      xcb_damage_destroy(x_.get(), damage_);
      xcb_flush(x_.get());
    }
  }
  ScreenWatch(const ScreenWatch&) = delete;
  ScreenWatch& operator=(const ScreenWatch&) = delete;

  struct Changes {
    bool content = false;
    bool pointerMoved = false;
    bool shapeChanged = false;
    bool layout = false;
  };
  // Takes every event that has arrived.
  Changes poll() {
    Changes changes;
    while (xcb_generic_event_t* event = xcb_poll_for_event(x_.get())) {
      const int type = event->response_type & 0x7F;
      if (damage_ && type == damageEvents_ + XCB_DAMAGE_NOTIFY) changes.content = true;
      if (fixesEvents_ >= 0 && type == fixesEvents_ + XCB_XFIXES_CURSOR_NOTIFY) changes.shapeChanged = true;
      if (type == XCB_GE_GENERIC && inputOpcode_ >= 0) {
        const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
        if (generic->extension == inputOpcode_ && generic->event_type == XCB_INPUT_RAW_MOTION) {
          changes.pointerMoved = true;
        }
      }
      if (randrEvents_ >= 0 &&
          (type == randrEvents_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrEvents_ + XCB_RANDR_NOTIFY)) {
        changes.layout = true;
      }
      std::free(event);
    }
    return changes;
  }
  // Without XDamage nothing is known to be unchanged.
  bool tracksContent() const { return damage_ != 0; }
  bool tracksCursorShape() const { return fixesEvents_ >= 0; }
  // Changes from here on are reported again. Returns where the screen changed since the last take, in
  // root window pixels; nullopt when the server cannot say.
  std::optional<std::vector<PixelRect>> takeDamage() {
    if (!damage_) return std::nullopt;
    xcb_connection_t* c = x_.get();
    xcb_damage_subtract(c, damage_, XCB_NONE, region_ ? region_ : XCB_NONE);
    if (!region_) return std::nullopt;
    auto fetched = reply(xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, region_), nullptr));
    if (!fetched) return std::nullopt;
    const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(fetched.get());
    std::vector<PixelRect> damage;
    for (int i = 0, n = xcb_xfixes_fetch_region_rectangles_length(fetched.get()); i < n; ++i) {
      damage.push_back({rects[i].x, rects[i].y, rects[i].width, rects[i].height});
    }
    return damage;
  }

 private:
  const XcbConnection& x_;
  xcb_damage_damage_t damage_ = 0;
  xcb_xfixes_region_t region_ = 0;
  int damageEvents_ = -1;
  int fixesEvents_ = -1;
  int inputOpcode_ = -1;
  int randrEvents_ = -1;
};

// A stream's work on its capture thread, on a connection of its own: following the display and its
// changes, and grabbing frames of it.
class CaptureLoop {
 public:
  struct Tick {
    std::optional<ScreenSample> sample;  // to deliver
    std::string stopReason;              // not empty: the stream cannot go on
  };

  // Null when the display cannot be captured; the log says why.
  static std::unique_ptr<CaptureLoop> open(const CaptureDisplay& display,
                                           const ScreenStreamConfiguration& configuration);

  // Takes the events that have arrived and, when `look`, checks what no event reports (where the
  // pointer is; everything, without XDamage). Empty, or why the stream must stop.
  std::string follow(bool look) {
    if (std::string failure = followDisplay(); !failure.empty()) return failure;
    if (look && ((showsCursor_ && pointerMoved()) || !watch_->tracksContent())) changed_ = true;
    // Warps send no raw motion, so a reported pointer is looked for as well.
    if (look && reportsCursor_) pointerDirty_ = true;
    return {};
  }
  // Whether the picture changed since the last frame.
  bool changed() const { return changed_; }
  // Whether the reported pointer may have moved or changed its shape since it was last looked at.
  bool cursorDirty() const { return reportsCursor_ && (pointerDirty_ || shapeDirty_); }
  // The display as it is now.
  CaptureDisplay display() const { return {displayId_, geometry_.width, geometry_.height, geometry_.x, geometry_.y}; }
  // Says that nothing changed on the display by `now`, and where the pointer is when it is reported.
  ScreenSample idleSample(std::chrono::steady_clock::time_point now) const {
    ScreenSample sample{FrameStatus::idle, std::nullopt, now, display(), std::nullopt};
    withCursor(sample);
    return sample;
  }
  // Asks the server where the pointer is, and its image when the shape changed, if either may have
  // changed since the last look. True when the reported state is not what it was.
  bool refreshCursor() {
    if (!reportsCursor_ || !watch_->tracksCursorShape()) return false;
    if (!cursor_.image) shapeDirty_ = true;
    int64_t rootX = 0, rootY = 0;
    bool sameScreen = true;
    xcb_connection_t* c = x_.get();
    if (shapeDirty_) {
      auto cursor = reply(xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
      if (!cursor) return false;
      if (!cursor_.image || cursor_.image->serial != cursor->cursor_serial) {
        cursor_.image = std::make_shared<const CursorImage>(
            unpremultipliedCursor(xcb_xfixes_get_cursor_image_cursor_image(cursor.get()), cursor->width, cursor->height,
                                  cursor->xhot, cursor->yhot, cursor->cursor_serial));
      }
      rootX = cursor->x;
      rootY = cursor->y;
    } else if (pointerDirty_) {
      auto pointer = reply(xcb_query_pointer_reply(c, xcb_query_pointer(c, x_.root()), nullptr));
      if (!pointer) return false;
      rootX = pointer->root_x;
      rootY = pointer->root_y;
      sameScreen = pointer->same_screen;
    } else {
      return false;
    }
    const bool shapeChanged = shapeDirty_;
    pointerDirty_ = shapeDirty_ = false;
    const int64_t x = rootX - geometry_.x, y = rootY - geometry_.y;
    const bool visible = sameScreen && x >= 0 && y >= 0 && x < geometry_.width && y < geometry_.height;
    const bool changed = shapeChanged || x != cursor_.x || y != cursor_.y || visible != cursor_.visible;
    cursor_.x = x;
    cursor_.y = y;
    cursor_.visible = visible;
    return changed;
  }
  // Sends the requests still queued (the rearm) and returns the descriptor that becomes readable
  // when events come.
  int flushedEventDescriptor() {
    xcb_flush(x_.get());
    return xcb_get_file_descriptor(x_.get());
  }

  // A frame of the display as it is at `now`; no sample when it could not be made this time.
  Tick grab(std::chrono::steady_clock::time_point now) {
    // Changes from here on are caught by the next notification and the next frame.
    const auto damage = watch_->takeDamage();
    if (!image_->grab(x_.root(), geometry_.x, geometry_.y)) {
      wholeNext_ = true;  // what the damage said is not delivered
      // The screen may be shrinking under us and its notification decides next time; a display
      // that cannot be read for a second has failed.
      if (x_.broken()) return {std::nullopt, "the X connection was lost"};
      if (++failedGrabs_ > grabFailuresAllowed_) return {std::nullopt, "the screen could not be read for a second"};
      return {};
    }
    failedGrabs_ = 0;
    if (showsCursor_) drawCursorIntoImage();
    refreshCursor();
    auto sample = scaled(now);
    if (sample) {
      withCursor(*sample);
      changed_ = false;
      // A drawn cursor changes pixels that no damage reports.
      if (damage && !wholeNext_ && !showsCursor_) sample->damage = damageIn(*damage, *sample->imageBuffer);
      wholeNext_ = false;
    } else {
      wholeNext_ = true;
    }
    return {std::move(sample), {}};
  }

 private:
  CaptureLoop(const CaptureDisplay& display, const ScreenStreamConfiguration& configuration)
      : displayId_(display.displayId),
        width_(static_cast<int>(configuration.width)),
        height_(static_cast<int>(configuration.height)),
        showsCursor_(configuration.showsCursor),
        reportsCursor_(configuration.reportsCursor && !configuration.showsCursor),
        grabFailuresAllowed_(static_cast<int>(std::max<int64_t>(
            1, std::chrono::seconds(1) /
                   std::max(intervalOf(configuration.minimumFrameInterval), std::chrono::nanoseconds(1))))) {}

  // Takes the events that arrived; a new layout brings a new image of the display. Empty, or why
  // the stream must stop.
  std::string followDisplay() {
    const auto changes = watch_->poll();
    if (x_.broken()) return "the X connection was lost";
    if (changes.content || (showsCursor_ && (changes.pointerMoved || changes.shapeChanged))) changed_ = true;
    pointerDirty_ = pointerDirty_ || changes.pointerMoved || changes.layout;
    shapeDirty_ = shapeDirty_ || changes.shapeChanged;
    if (!changes.layout) return {};
    changed_ = true;
    wholeNext_ = true;
    const auto current = geometryOf(x_, displayId_);
    if (!current) return "display " + std::to_string(displayId_) + " is gone";
    if (*current == geometry_) return {};
    geometry_ = *current;
    image_ = x11::ShmImage::create(x_.get(), x_.screen(), geometry_.width, geometry_.height);
    if (!image_) return "no shared-memory image of the new display size could be made";
    return {};
  }

  bool pointerMoved() {
    auto pointer = reply(xcb_query_pointer_reply(x_.get(), xcb_query_pointer(x_.get(), x_.root()), nullptr));
    if (!pointer || (pointer->root_x == lastPointerX_ && pointer->root_y == lastPointerY_)) return false;
    lastPointerX_ = pointer->root_x;
    lastPointerY_ = pointer->root_y;
    return true;
  }

  void drawCursorIntoImage() {
    if (!watch_->tracksCursorShape()) return;
    xcb_connection_t* c = x_.get();
    auto cursor = reply(xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
    if (!cursor) return;
    // A move already drawn is not a change the next look should report again.
    lastPointerX_ = cursor->x;
    lastPointerY_ = cursor->y;
    drawCursor(image_->data(), image_->bytesPerRow(), image_->width(), image_->height(),
               xcb_xfixes_get_cursor_image_cursor_image(cursor.get()), cursor->width, cursor->height,
               cursor->x - cursor->xhot - geometry_.x, cursor->y - cursor->yhot - geometry_.y);
  }

  void withCursor(ScreenSample& sample) const {
    if (reportsCursor_ && cursor_.image) sample.cursor = cursor_;
  }

  // Damage in root window pixels carried onto a sample of the display.
  std::vector<PixelRect> damageIn(std::vector<PixelRect> damage, const PixelBuffer& image) const {
    for (PixelRect& r : damage) r.x -= geometry_.x, r.y -= geometry_.y;
    const bool scaled = image.width != geometry_.width || image.height != geometry_.height;
    return scaledRects(damage, geometry_.width, geometry_.height, image.width, image.height, scaled ? 2 : 0);
  }

  // The grabbed image at the configured size, in pixel memory of its own.
  std::optional<ScreenSample> scaled(std::chrono::steady_clock::time_point now) {
    auto sample = scaledSample(image_->data(), image_->bytesPerRow(), image_->width(), image_->height(), width_,
                               height_, *pool_, scratch_, now);
    if (sample) sample->display = display();
    return sample;
  }

  XcbConnection x_;  // first made, last gone: everything below lives on it
  const uint32_t displayId_;
  const int width_;
  const int height_;
  const bool showsCursor_;
  const bool reportsCursor_;  // and does not draw it
  const int grabFailuresAllowed_;
  Geometry geometry_;
  std::unique_ptr<x11::ShmImage> image_;
  std::optional<ScreenWatch> watch_;
  std::shared_ptr<BufferPool> pool_ = std::make_shared<BufferPool>();
  ScaleScratch scratch_;
  bool changed_ = true;  // the first frame after a start is always complete
  bool wholeNext_ = true;  // the next sample's damage is unknown (a start, a new layout, a lost grab)
  CursorState cursor_;   // as last reported
  bool pointerDirty_ = false;
  bool shapeDirty_ = false;
  int lastPointerX_ = -1;
  int lastPointerY_ = -1;
  int failedGrabs_ = 0;
};

std::unique_ptr<CaptureLoop> CaptureLoop::open(const CaptureDisplay& display,
                                               const ScreenStreamConfiguration& configuration) {
  std::unique_ptr<CaptureLoop> loop(new CaptureLoop(display, configuration));
  XcbConnection& x = loop->x_;
  if (!x.usable()) {
    kLog.warning("the X display cannot be opened: no capture");
    return nullptr;
  }
  const auto geometry = geometryOf(x, display.displayId);
  if (!geometry) {
    kLog.warning("display " + std::to_string(display.displayId) + " is not there: no capture");
    return nullptr;
  }
  loop->geometry_ = *geometry;
  loop->image_ = x11::ShmImage::create(x.get(), x.screen(), geometry->width, geometry->height);
  if (!loop->image_) {
    kLog.warning(x.has(xcb_shm_id) ? "the screen cannot be read through shared memory (not 32-bit BGRX, or the "
                                     "segment was refused): no capture"
                                   : "the X server has no MIT-SHM: no capture");
    return nullptr;
  }
  loop->watch_.emplace(x, configuration.showsCursor, configuration.reportsCursor);
  xcb_flush(x.get());
  if (x.broken()) {
    kLog.warning("the X connection was lost while the stream started");
    return nullptr;
  }
  return loop;
}

class XShmScreenStream : public ThreadedScreenStream {
 public:
  using ThreadedScreenStream::ThreadedScreenStream;
  ~XShmScreenStream() override { endThread(); }

 private:
  // Waits until `until`, a stop or, when `forEvents`, an X event; true when asked to stop.
  bool waitForChange(std::chrono::steady_clock::time_point until, CaptureLoop& loop, bool forEvents) {
    const auto left = std::max(until - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const timespec timeout{static_cast<time_t>(seconds.count()),
                           static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
    const int events = loop.flushedEventDescriptor();
    pollfd watched[] = {{forEvents ? events : -1, POLLIN, 0}, {wakeDescriptor(), POLLIN, 0}};
    ppoll(watched, 2, &timeout, nullptr);
    clearWake();
    return stopRequested();
  }

  // The capture thread: opens the display, reports whether that worked, then samples each change
  // when the pacing says, until stopped. Every interval it looks at what sends no event, and tells
  // the client with an idle sample that nothing changed. A reported pointer that moved or changed its
  // shape is told at once by an idle sample, no more often than kCursorInterval or the frame interval.
  void run(std::promise<bool>& started) override {
    const auto loop = CaptureLoop::open(display_, configuration_);
    started.set_value(loop != nullptr);
    if (!loop) return;
    SamplePacing& pacing = *configuration_.pacing;
    const auto interval = intervalOf(configuration_.minimumFrameInterval);
    // A pointer's moves cost a few bytes: they keep up with a hand even when frames come seldom.
    const auto cursorInterval = std::min<std::chrono::nanoseconds>(interval, kCursorInterval);
    auto nextLook = std::chrono::steady_clock::now();
    auto noGrabBefore = nextLook;
    auto noCursorBefore = nextLook;
    for (;;) {
      const auto now = std::chrono::steady_clock::now();
      const bool look = now >= nextLook;
      // Measured from this look, so that a late wake-up is never followed by a short interval.
      if (look) nextLook = now + interval;
      if (std::string failure = loop->follow(look); !failure.empty()) return stoppedByItself(failure);
      if (loop->changed()) pacing.changed(now);
      const auto due = pacing.due();
      const bool room = roomInQueue();
      if (due && *due <= now && now >= noGrabBefore && room) {
        auto grabbed = loop->grab(now);
        if (!grabbed.stopReason.empty()) return stoppedByItself(grabbed.stopReason);
        if (grabbed.sample) {
          pacing.sampled(now);
          noCursorBefore = now + cursorInterval;
          deliver(std::move(*grabbed.sample));
        } else {
          noGrabBefore = now + interval;
        }
        continue;  // events read while grabbing are taken before waiting
      }
      if (!due && room && (look || (loop->cursorDirty() && now >= noCursorBefore))) {
        // Looked at no more often than it is told, even when it turns out not to have moved.
        noCursorBefore = now + cursorInterval;
        if (loop->refreshCursor() || look) deliver(loop->idleSample(now));
      }
      // A kept change waits for its time; events meanwhile would only join it, and a moving pointer
      // sends hundreds a second, so they are left for then. So does a reported pointer's move.
      const bool kept = due && room;
      const bool cursorKept = !due && room && loop->cursorDirty();
      auto until = nextLook;
      if (kept) until = std::min(std::max(*due, noGrabBefore), nextLook);
      if (cursorKept) until = std::min(noCursorBefore, nextLook);
      if (waitForChange(until, *loop, !kept && !cursorKept)) return;
    }
  }
};

}  // namespace

std::optional<ShareableContent> XShmScreenCapture::shareableContent() {
  XcbConnection x;
  if (!x.usable()) {
    kLog.warning("the X display cannot be opened: no displays to capture");
    return std::nullopt;
  }
  ShareableContent content;
  for (const auto& listed : listDisplays(x)) {
    const Geometry& g = listed.geometry;
    content.displays.push_back({listed.id, g.width, g.height, g.x, g.y, listed.name});
  }
  if (x.broken()) return std::nullopt;
  return content;
}

uint32_t XShmScreenCapture::mainDisplayId() {
  XcbConnection x;
  if (!x.usable()) return 0;
  const auto listed = listDisplays(x);
  const auto primary = std::find_if(listed.begin(), listed.end(), [](const ListedDisplay& d) { return d.primary; });
  if (primary != listed.end()) return primary->id;
  // Monitors are known by their names, never by an output's identifier.
  if (randrMinorVersion(x) >= 5 && !listMonitors(x).empty()) return 0;
  if (!hasRandr13(x)) return 0;
  auto output =
      reply(xcb_randr_get_output_primary_reply(x.get(), xcb_randr_get_output_primary(x.get(), x.root()), nullptr));
  return output ? output->output : 0;
}

bool XShmScreenCapture::canReportCursor() const {
  if (const int known = cursorReports_.load(); known >= 0) return known == 1;
  XcbConnection x;
  if (!x.usable()) return false;
  const auto version =
      x.has(xcb_xfixes_id)
          ? reply(xcb_xfixes_query_version_reply(x.get(), xcb_xfixes_query_version(x.get(), 4, 0), nullptr))
          : reply<xcb_xfixes_query_version_reply_t>(nullptr);
  const bool fixes4 = version && version->major_version >= 4;
  cursorReports_ = fixes4 ? 1 : 0;
  return fixes4;
}

std::shared_ptr<ScreenStream> XShmScreenCapture::makeStream(const CaptureDisplay& display,
                                                            const ScreenStreamConfiguration& configuration,
                                                            std::shared_ptr<ScreenStreamClient> client,
                                                            std::shared_ptr<SerialQueue> queue) {
  if (!client || !queue || !configuration.pacing) return nullptr;
  auto stream = std::make_shared<XShmScreenStream>(display, configuration, std::move(client), std::move(queue));
  return stream->usable() ? stream : nullptr;
}

}  // namespace qova
