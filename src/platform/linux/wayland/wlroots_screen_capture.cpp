#include "platform/linux/wayland/wlroots_screen_capture.h"

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/rotate_argb.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "base/log.h"
#include "base/serial_queue.h"
#include "platform/linux/bgra_scaler.h"
#include "platform/linux/buffer_pool.h"
#include "platform/linux/threaded_screen_stream.h"
#include "platform/linux/wayland/wayland_connection.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace qova {

namespace {

const Log kLog("capture");

using Clock = std::chrono::steady_clock;

std::chrono::nanoseconds intervalOf(const FrameInterval& interval) {
  if (interval.value <= 0 || interval.timescale <= 0) return std::chrono::milliseconds(16);
  return std::chrono::nanoseconds(interval.value * 1'000'000'000LL / interval.timescale);
}

// Formats whose memory order is B, G, R, X (or R, G, B, X, swapped once on the way).
bool isBgrx(uint32_t format) { return format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888; }
bool isRgbx(uint32_t format) { return format == WL_SHM_FORMAT_XBGR8888 || format == WL_SHM_FORMAT_ABGR8888; }

// A wl_shm buffer the compositor copies frames into, mapped here for reading.
class ShmBuffer {
 public:
  static std::unique_ptr<ShmBuffer> create(wl_shm* shm, uint32_t format, uint32_t width, uint32_t height,
                                           uint32_t stride) {
    const size_t bytes = static_cast<size_t>(stride) * height;
    if (width == 0 || height == 0 || stride < width * 4 || bytes > (size_t{1} << 31)) return nullptr;
    const int fd = wayland::sharedMemoryFile("qova-screencopy", bytes);
    if (fd < 0) return nullptr;
    void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
      close(fd);
      return nullptr;
    }
    std::unique_ptr<ShmBuffer> buffer(new ShmBuffer);
    buffer->data_ = static_cast<uint8_t*>(data);
    buffer->bytes_ = bytes;
    buffer->format = format, buffer->width = width, buffer->height = height, buffer->stride = stride;
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<int32_t>(bytes));
    buffer->buffer_ = wl_shm_pool_create_buffer(pool, 0, static_cast<int32_t>(width), static_cast<int32_t>(height),
                                                static_cast<int32_t>(stride), format);
    wl_shm_pool_destroy(pool);
    close(fd);  // the pool holds its own reference
    return buffer;
  }
  ~ShmBuffer() {
    if (buffer_) wl_buffer_destroy(buffer_);
    munmap(data_, bytes_);
  }
  bool fits(uint32_t f, uint32_t w, uint32_t h, uint32_t s) const {
    return f == format && w == width && h == height && s == stride;
  }
  wl_buffer* get() const { return buffer_; }
  const uint8_t* data() const { return data_; }

  uint32_t format = 0, width = 0, height = 0, stride = 0;

 private:
  ShmBuffer() = default;
  uint8_t* data_ = nullptr;
  size_t bytes_ = 0;
  wl_buffer* buffer_ = nullptr;
};

// One frame asked of the compositor and what it has said of it so far.
struct FrameRequest {
  zwlr_screencopy_frame_v1* frame = nullptr;
  bool offered = false;  // a wl_shm buffer was described
  uint32_t format = 0, width = 0, height = 0, stride = 0;
  bool offersDone = false;
  bool copyAsked = false;
  bool yInverted = false;
  enum class State { waiting, ready, failed } state = State::waiting;

  ~FrameRequest() {
    if (frame) zwlr_screencopy_frame_v1_destroy(frame);
  }
};

void onBuffer(void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width, uint32_t height,
              uint32_t stride) {
  auto* request = static_cast<FrameRequest*>(data);
  request->offered = true;
  request->format = format, request->width = width, request->height = height, request->stride = stride;
}
void onFlags(void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
  static_cast<FrameRequest*>(data)->yInverted = flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
}
void onReady(void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
  static_cast<FrameRequest*>(data)->state = FrameRequest::State::ready;
}
void onFailed(void* data, zwlr_screencopy_frame_v1*) {
  static_cast<FrameRequest*>(data)->state = FrameRequest::State::failed;
}
void onDamage(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {}
void onDmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {}
void onBufferDone(void* data, zwlr_screencopy_frame_v1*) { static_cast<FrameRequest*>(data)->offersDone = true; }

const zwlr_screencopy_frame_v1_listener kFrameListener = {onBuffer, onFlags,  onReady,     onFailed,
                                                          onDamage, onDmabuf, onBufferDone};

// The libyuv rotation that brings an output's buffer to the picture its user sees, and whether the
// buffer is mirrored first.
std::pair<libyuv::RotationMode, bool> uprightingOf(int32_t transform) {
  static constexpr libyuv::RotationMode kRotations[4] = {libyuv::kRotate0, libyuv::kRotate90, libyuv::kRotate180,
                                                         libyuv::kRotate270};
  const bool mirrored = transform >= WL_OUTPUT_TRANSFORM_FLIPPED;
  // Mirrored first, a quarter turn goes the other way round.
  const int quarter = transform % 4;
  return {kRotations[mirrored && quarter % 2 == 1 ? (quarter + 2) % 4 : quarter], mirrored};
}

// A stream's work on its capture thread, on a connection of its own.
class CaptureLoop {
 public:
  struct Step {
    std::optional<ScreenSample> sample;  // to deliver
    std::string stopReason;              // not empty: the stream cannot go on
  };

  // Null when the display cannot be captured; the log says why.
  static std::unique_ptr<CaptureLoop> open(const CaptureDisplay& display,
                                           const ScreenStreamConfiguration& configuration) {
    std::unique_ptr<CaptureLoop> loop(new CaptureLoop(configuration));
    loop->c_ = wayland::Connection::open();
    if (!loop->c_) {
      kLog.warning("no Wayland compositor answers: no capture");
      return nullptr;
    }
    if (!loop->c_->screencopy || !loop->c_->shm) {
      kLog.warning("the compositor offers no screen copy: no capture");
      return nullptr;
    }
    loop->output_ = loop->c_->output(display.displayId);
    if (!loop->output_ || loop->output_->removed) {
      kLog.warning("output " + std::to_string(display.displayId) + " is not there: no capture");
      return nullptr;
    }
    if (loop->c_->screencopyVersion < 2) {
      kLog.warning("the compositor's screen copy cannot wait for changes: every tick is copied as a complete frame");
    }
    return loop;
  }

  // Asks for the next frame when it is due and there is room for it, waits for the compositor (or a
  // wake-up on `wakeFd`) and takes what it said.
  Step step(bool roomInQueue, int wakeFd) {
    auto now = Clock::now();
    if (!request_ && roomInQueue && now >= nextRequest_) ask();
    // Without a frame to wait for, only the next request's time (or a wake-up) matters.
    auto timeout = std::chrono::milliseconds(1000);
    if (!request_ && roomInQueue) {
      timeout = std::chrono::ceil<std::chrono::milliseconds>(std::max(nextRequest_ - now, Clock::duration::zero()));
    }
    if (!c_->dispatch(timeout, wakeFd)) return {std::nullopt, "the compositor connection was lost"};
    if (output_->removed) return {std::nullopt, "output " + std::to_string(output_->name) + " is gone"};
    if (!request_) return {};
    if (request_->offered && !request_->copyAsked && (request_->offersDone || c_->screencopyVersion < 3)) {
      if (std::string failure = copy(); !failure.empty()) return {std::nullopt, failure};
    }
    if (request_->state == FrameRequest::State::waiting) return {};
    const bool ready = request_->state == FrameRequest::State::ready;
    const bool yInverted = request_->yInverted;
    request_.reset();
    now = Clock::now();
    nextRequest_ = now + interval_;
    if (!ready) {
      // An output being reconfigured fails a copy or two; one that fails for a second has failed.
      if (++failedCopies_ > copyFailuresAllowed_) return {std::nullopt, "the output could not be copied for a second"};
      return {};
    }
    failedCopies_ = 0;
    copiedOnce_ = true;
    return {picture(yInverted, now), {}};
  }

 private:
  explicit CaptureLoop(const ScreenStreamConfiguration& configuration)
      : width_(static_cast<int>(configuration.width)),
        height_(static_cast<int>(configuration.height)),
        showsCursor_(configuration.showsCursor),
        interval_(intervalOf(configuration.minimumFrameInterval)),
        copyFailuresAllowed_(static_cast<int>(std::max<int64_t>(1, std::chrono::seconds(1) / interval_))) {}

  void ask() {
    request_ = std::make_unique<FrameRequest>();
    request_->frame = zwlr_screencopy_manager_v1_capture_output(c_->screencopy, showsCursor_ ? 1 : 0, output_->proxy);
    zwlr_screencopy_frame_v1_add_listener(request_->frame, &kFrameListener, request_.get());
  }

  // Empty, or why the stream must stop.
  std::string copy() {
    const FrameRequest& r = *request_;
    if (!isBgrx(r.format) && !isRgbx(r.format)) return "the compositor offers no 32-bit RGB buffer to copy into";
    if (!buffer_ || !buffer_->fits(r.format, r.width, r.height, r.stride)) {
      buffer_.reset();
      buffer_ = ShmBuffer::create(c_->shm, r.format, r.width, r.height, r.stride);
      if (!buffer_) return "no shared-memory buffer of the output's size could be made";
    }
    // After the first frame the compositor answers only once something changed.
    if (copiedOnce_ && c_->screencopyVersion >= 2) {
      zwlr_screencopy_frame_v1_copy_with_damage(r.frame, buffer_->get());
    } else {
      zwlr_screencopy_frame_v1_copy(r.frame, buffer_->get());
    }
    request_->copyAsked = true;
    return {};
  }

  // The copied buffer upright, in blue-green-red order, at the configured size.
  std::optional<ScreenSample> picture(bool yInverted, Clock::time_point now) {
    const ShmBuffer& b = *buffer_;
    const int w = static_cast<int>(b.width), h = static_cast<int>(b.height);
    const uint8_t* source = b.data();
    int stride = static_cast<int>(b.stride);
    const auto [rotation, mirrored] = uprightingOf(output_->transform);
    if (yInverted || isRgbx(b.format)) {
      upright_.resize(static_cast<size_t>(w) * h * 4);
      // A negative height makes libyuv read the rows bottom to top.
      const int rows = yInverted ? -h : h;
      if (isRgbx(b.format)) {
        libyuv::ABGRToARGB(source, stride, upright_.data(), w * 4, w, rows);
      } else {
        libyuv::ARGBCopy(source, stride, upright_.data(), w * 4, w, rows);
      }
      source = upright_.data();
      stride = w * 4;
    }
    if (mirrored) {  // not in place: libyuv's mirror would read what it has already written
      mirrored_.resize(static_cast<size_t>(w) * h * 4);
      libyuv::ARGBMirror(source, stride, mirrored_.data(), w * 4, w, h);
      source = mirrored_.data();
      stride = w * 4;
    }
    int uprightWidth = w, uprightHeight = h;
    if (rotation != libyuv::kRotate0) {
      if (rotation != libyuv::kRotate180) std::swap(uprightWidth, uprightHeight);
      rotated_.resize(static_cast<size_t>(w) * h * 4);
      libyuv::ARGBRotate(source, stride, rotated_.data(), uprightWidth * 4, w, h, rotation);
      source = rotated_.data();
      stride = uprightWidth * 4;
    }
    auto sample = scaledSample(source, stride, uprightWidth, uprightHeight, width_, height_, *pool_, scratch_, now);
    // As listed, so that a new size tells the consumer to make a stream of that size.
    if (sample) sample->display = {output_->name, output_->width(), output_->height()};
    return sample;
  }

  const int width_;
  const int height_;
  const bool showsCursor_;
  const std::chrono::nanoseconds interval_;
  const int copyFailuresAllowed_;
  std::unique_ptr<wayland::Connection> c_;  // first made, last gone: everything below lives on it
  wayland::Output* output_ = nullptr;
  std::unique_ptr<ShmBuffer> buffer_;
  std::unique_ptr<FrameRequest> request_;
  Clock::time_point nextRequest_{};
  bool copiedOnce_ = false;
  int failedCopies_ = 0;
  std::vector<uint8_t> upright_;
  std::vector<uint8_t> mirrored_;
  std::vector<uint8_t> rotated_;
  std::shared_ptr<BufferPool> pool_ = std::make_shared<BufferPool>();
  ScaleScratch scratch_;
};

class WlrootsScreenStream : public ThreadedScreenStream {
 public:
  using ThreadedScreenStream::ThreadedScreenStream;
  ~WlrootsScreenStream() override { endThread(); }

 private:
  void run(std::promise<bool>& started) override {
    auto loop = CaptureLoop::open(display_, configuration_);
    started.set_value(loop != nullptr);
    if (!loop) return;
    while (!stopRequested()) {
      auto step = loop->step(roomInQueue(), wakeDescriptor());
      clearWake();
      if (!step.stopReason.empty()) {
        loop.reset();
        return stoppedByItself(step.stopReason);
      }
      if (step.sample) deliver(std::move(*step.sample));
    }
  }
};

}  // namespace

std::optional<ShareableContent> WlrootsScreenCapture::shareableContent() {
  const auto c = wayland::Connection::open();
  if (!c) {
    kLog.warning("no Wayland compositor answers: no displays to capture");
    return std::nullopt;
  }
  ShareableContent content;
  for (const auto& output : c->outputs()) {
    if (output->removed || output->width() <= 0 || output->height() <= 0) continue;
    // Placed at 0, 0: the input of this backend takes points relative to the output it follows.
    content.displays.push_back({output->name, output->width(), output->height(), 0, 0, output->connector});
  }
  return content;
}

uint32_t WlrootsScreenCapture::mainDisplayId() {
  const auto c = wayland::Connection::open();
  const wayland::Output* main = c ? c->mainOutput() : nullptr;
  return main ? main->name : 0;
}

std::shared_ptr<ScreenStream> WlrootsScreenCapture::makeStream(const CaptureDisplay& display,
                                                               const ScreenStreamConfiguration& configuration,
                                                               std::shared_ptr<ScreenStreamClient> client,
                                                               std::shared_ptr<SerialQueue> queue) {
  if (!client || !queue) return nullptr;
  auto stream = std::make_shared<WlrootsScreenStream>(display, configuration, std::move(client), std::move(queue));
  return stream->usable() ? stream : nullptr;
}

}  // namespace qova
