#include "platform/linux/xshm_screen_capture.h"

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "platform/linux/bgra_scaler.h"
#include "platform/linux/cursor_overlay.h"
#include "platform/linux/x_shm_image.h"
#include "platform/linux/xcb_connection.h"
#include "base/serial_queue.h"

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
};

bool hasRandr13(const XcbConnection& x) {
  if (x.eventBase(xcb_randr_id) < 0) return false;
  auto version = reply(xcb_randr_query_version_reply(x.get(), xcb_randr_query_version(x.get(), 1, 3), nullptr));
  return version && (version->major_version > 1 || version->minor_version >= 3);
}

// Outputs that are connected and show a picture, in the server's order; the whole screen as
// display 0 when RandR has none to offer.
std::vector<ListedDisplay> listDisplays(const XcbConnection& x) {
  std::vector<ListedDisplay> listed;
  xcb_connection_t* c = x.get();
  if (hasRandr13(x)) {
    auto resources = reply(xcb_randr_get_screen_resources_current_reply(
        c, xcb_randr_get_screen_resources_current(c, x.root()), nullptr));
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
          listed.push_back({outputs[i], {crtc->x, crtc->y, crtc->width, crtc->height}});
        }
      }
    }
  }
  if (listed.empty() && !x.broken()) {
    listed.push_back({0, {0, 0, x.screen().width_in_pixels, x.screen().height_in_pixels}});
  }
  return listed;
}

std::optional<Geometry> geometryOf(const XcbConnection& x, uint32_t id) {
  for (const auto& listed : listDisplays(x)) {
    if (listed.id == id) return listed.geometry;
  }
  return std::nullopt;
}

// Reuses pixel memory once every sample holding it is done with it.
class BufferPool : public std::enable_shared_from_this<BufferPool> {
 public:
  std::shared_ptr<std::vector<uint8_t>> take(size_t bytes) {
    std::unique_ptr<std::vector<uint8_t>> buffer;
    {
      std::lock_guard lock(mutex_);
      if (!free_.empty()) {
        buffer = std::move(free_.back());
        free_.pop_back();
      }
    }
    if (!buffer) buffer = std::make_unique<std::vector<uint8_t>>();
    buffer->resize(bytes);
    return {buffer.release(), [weak = weak_from_this()](std::vector<uint8_t>* returned) {
              if (auto pool = weak.lock()) {
                std::lock_guard lock(pool->mutex_);
                pool->free_.emplace_back(returned);
              } else {
                delete returned;
              }
            }};
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<std::vector<uint8_t>>> free_;
};

ScreenSample idleSample(std::chrono::steady_clock::time_point time) {
  ScreenSample sample;
  sample.attachments = std::vector<FrameInfo>{FrameInfo{{kFrameInfoStatus, static_cast<int64_t>(FrameStatus::idle)}}};
  sample.presentationTime = time;
  return sample;
}

std::chrono::nanoseconds intervalOf(const FrameInterval& interval) {
  if (interval.value <= 0 || interval.timescale <= 0) return std::chrono::milliseconds(16);
  return std::chrono::nanoseconds(interval.value * 1'000'000'000LL / interval.timescale);
}

class XShmScreenStream : public ScreenStream, public std::enable_shared_from_this<XShmScreenStream> {
 public:
  XShmScreenStream(CaptureDisplay display, ScreenStreamConfiguration configuration,
                   std::shared_ptr<ScreenStreamDelegate> delegate)
      : display_(display), configuration_(configuration), delegate_(std::move(delegate)) {}

  ~XShmScreenStream() override {
    requestStop();
    std::lock_guard lock(controlMutex_);
    if (!thread_.joinable()) return;
    // The capture thread may hold the last reference for a moment; it must not wait for itself.
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

  bool addStreamOutput(std::shared_ptr<ScreenStreamOutput> output, SampleType type,
                       std::shared_ptr<SerialQueue> queue) override {
    std::lock_guard lock(controlMutex_);
    if (!output || !queue || thread_.joinable()) return false;
    output_ = std::move(output);
    queue_ = std::move(queue);
    type_ = type;
    return true;
  }

  bool startCapture() override {
    std::lock_guard lock(controlMutex_);
    if (thread_.joinable() || configuration_.width <= 0 || configuration_.height <= 0 ||
        configuration_.pixelFormat != kPixelFormatBGRA) {
      return false;
    }
    {
      std::lock_guard stateLock(stateMutex_);
      stopRequested_ = false;
    }
    std::promise<bool> started;
    auto result = started.get_future();
    thread_ = std::thread([this, started = std::move(started)]() mutable { run(started); });
    if (result.get()) return true;
    thread_.join();
    return false;
  }

  bool stopCapture() override {
    requestStop();
    std::lock_guard lock(controlMutex_);
    if (!thread_.joinable()) return false;
    thread_.join();
    return true;
  }

 private:
  void requestStop() {
    std::lock_guard lock(stateMutex_);
    stopRequested_ = true;
    wake_.notify_all();
  }

  // Waits until `until` or a stop request; true when stopping.
  bool waitUntil(std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(stateMutex_);
    return wake_.wait_until(lock, until, [this] { return stopRequested_; });
  }

  void run(std::promise<bool>& started);
  void deliver(ScreenSample sample);
  void reportStop();

  const CaptureDisplay display_;
  const ScreenStreamConfiguration configuration_;
  const std::shared_ptr<ScreenStreamDelegate> delegate_;
  std::shared_ptr<ScreenStreamOutput> output_;
  std::shared_ptr<SerialQueue> queue_;
  SampleType type_ = SampleType::screen;

  std::mutex controlMutex_;  // start, stop and the thread handle
  std::thread thread_;
  std::mutex stateMutex_;
  std::condition_variable wake_;
  bool stopRequested_ = false;
  // Samples handed to the queue and not yet handled there.
  std::shared_ptr<std::atomic<intptr_t>> inFlight_ = std::make_shared<std::atomic<intptr_t>>(0);
};

void XShmScreenStream::deliver(ScreenSample sample) {
  if (!output_ || type_ != SampleType::screen) return;
  inFlight_->fetch_add(1);
  const bool queued = queue_->async([weak = weak_from_this(), output = output_, inFlight = inFlight_,
                                     sample = std::move(sample)] {
    if (auto stream = weak.lock()) output->didOutputSample(*stream, sample, SampleType::screen);
    inFlight->fetch_sub(1);
  });
  if (!queued) inFlight_->fetch_sub(1);
}

void XShmScreenStream::reportStop() {
  {
    std::lock_guard lock(stateMutex_);
    if (stopRequested_) return;  // asked to stop: nothing to report
  }
  if (auto self = weak_from_this().lock()) delegate_->didStopWithError(*self);
}

void XShmScreenStream::run(std::promise<bool>& started) {
  XcbConnection x;
  if (!x.usable()) return started.set_value(false);
  xcb_connection_t* c = x.get();
  const xcb_window_t root = x.root();
  auto geometry = geometryOf(x, display_.displayId);
  if (!geometry) return started.set_value(false);
  auto image = x11::ShmImage::create(c, x.screen(), geometry->width, geometry->height);
  if (!image) return started.set_value(false);

  // Optional extensions: without XDamage every tick is a complete frame, without XFixes no cursor,
  // without RandR no layout changes are noticed.
  const int damageEvents = x.eventBase(xcb_damage_id);
  xcb_damage_damage_t damage = 0;
  if (damageEvents >= 0 && reply(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr))) {
    damage = xcb_generate_id(c);
    xcb_damage_create(c, damage, root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  }
  int fixesEvents = configuration_.showsCursor ? x.eventBase(xcb_xfixes_id) : -1;
  if (fixesEvents >= 0 && !reply(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr))) {
    fixesEvents = -1;
  }
  if (fixesEvents >= 0) xcb_xfixes_select_cursor_input(c, root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
  const int randrEvents = hasRandr13(x) ? x.eventBase(xcb_randr_id) : -1;
  if (randrEvents >= 0) {
    xcb_randr_select_input(c, root,
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
  }
  xcb_flush(c);
  if (x.broken()) return started.set_value(false);
  started.set_value(true);

  const int width = static_cast<int>(configuration_.width);
  const int height = static_cast<int>(configuration_.height);
  const auto interval = intervalOf(configuration_.minimumFrameInterval);
  const intptr_t depth = std::max<intptr_t>(configuration_.queueDepth, 1);
  auto pool = std::make_shared<BufferPool>();
  ScaleScratch scratch;
  bool changed = true;  // the first frame after a start is always complete
  int lastPointerX = -1, lastPointerY = -1;
  int failedGrabs = 0;
  const int grabFailuresAllowed =
      static_cast<int>(std::max<int64_t>(1, std::chrono::seconds(1) / std::max(interval, std::chrono::nanoseconds(1))));
  auto next = std::chrono::steady_clock::now();

  for (;;) {
    if (waitUntil(next)) break;
    const auto now = std::chrono::steady_clock::now();
    // Measured from this tick, so that a late wake-up is never followed by a short interval.
    next = now + interval;

    bool layoutChanged = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
      const int type = event->response_type & 0x7F;
      if (damage && type == damageEvents + XCB_DAMAGE_NOTIFY) changed = true;
      if (fixesEvents >= 0 && type == fixesEvents + XCB_XFIXES_CURSOR_NOTIFY) changed = true;
      if (randrEvents >= 0 &&
          (type == randrEvents + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrEvents + XCB_RANDR_NOTIFY)) {
        layoutChanged = true;
      }
      std::free(event);
    }
    if (x.broken()) return reportStop();
    if (layoutChanged) {
      const auto current = geometryOf(x, display_.displayId);
      if (!current) return reportStop();  // the display is gone
      if (!(*current == *geometry)) {
        geometry = current;
        image = x11::ShmImage::create(c, x.screen(), geometry->width, geometry->height);
        if (!image) return reportStop();
      }
      changed = true;
    }
    if (configuration_.showsCursor) {
      auto pointer = reply(xcb_query_pointer_reply(c, xcb_query_pointer(c, root), nullptr));
      if (pointer && (pointer->root_x != lastPointerX || pointer->root_y != lastPointerY)) {
        lastPointerX = pointer->root_x;
        lastPointerY = pointer->root_y;
        changed = true;
      }
    }
    // The queue still holds as many samples as it may: this tick is skipped, the change kept.
    if (inFlight_->load() >= depth) continue;
    if (!changed && damage) {
      deliver(idleSample(now));
      continue;
    }
    // Changes from here on are caught by the next notification and the next frame.
    if (damage) xcb_damage_subtract(c, damage, XCB_NONE, XCB_NONE);
    if (!image->grab(root, geometry->x, geometry->y)) {
      // The screen may be shrinking under us and its notification decides on the next tick; a
      // display that cannot be read for a second has failed.
      if (x.broken() || ++failedGrabs > grabFailuresAllowed) return reportStop();
      continue;
    }
    failedGrabs = 0;
    if (fixesEvents >= 0) {
      if (auto cursor = reply(xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr))) {
        drawCursor(image->data(), image->bytesPerRow(), image->width(), image->height(),
                   xcb_xfixes_get_cursor_image_cursor_image(cursor.get()), cursor->width, cursor->height,
                   cursor->x - cursor->xhot - geometry->x, cursor->y - cursor->yhot - geometry->y);
      }
    }
    auto pixels = pool->take(static_cast<size_t>(width) * height * 4);
    if (!scaleBgra(image->data(), image->bytesPerRow(), image->width(), image->height(), pixels->data(), width * 4,
                   width, height, scratch)) {
      continue;
    }
    ScreenSample sample;
    sample.attachments =
        std::vector<FrameInfo>{FrameInfo{{kFrameInfoStatus, static_cast<int64_t>(FrameStatus::complete)}}};
    sample.imageBuffer = PixelBuffer{width, height, width * 4, pixels->data(), pixels};
    sample.presentationTime = now;
    deliver(std::move(sample));
    changed = false;
  }
  if (damage && !x.broken()) {
    xcb_damage_destroy(c, damage);
    xcb_flush(c);
  }
}

}  // namespace

std::optional<ShareableContent> XShmScreenCapture::shareableContent() {
  XcbConnection x;
  if (!x.usable()) return std::nullopt;
  ShareableContent content;
  for (const auto& listed : listDisplays(x)) {
    content.displays.push_back({listed.id, listed.geometry.width, listed.geometry.height});
  }
  if (x.broken()) return std::nullopt;
  return content;
}

uint32_t XShmScreenCapture::mainDisplayId() {
  XcbConnection x;
  if (!x.usable() || !hasRandr13(x)) return 0;
  auto primary =
      reply(xcb_randr_get_output_primary_reply(x.get(), xcb_randr_get_output_primary(x.get(), x.root()), nullptr));
  return primary ? primary->output : 0;
}

std::shared_ptr<ScreenStream> XShmScreenCapture::makeStream(const CaptureDisplay& display,
                                                            const ScreenStreamConfiguration& configuration,
                                                            std::shared_ptr<ScreenStreamDelegate> delegate) {
  return std::make_shared<XShmScreenStream>(display, configuration, std::move(delegate));
}

}  // namespace qova
