#include "platform/linux/xshm_screen_capture.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "platform/linux/bgra_scaler.h"
#include "platform/linux/cursor_overlay.h"
#include "platform/linux/x_display.h"
#include "platform/linux/x_shm_image.h"
#include "platform/serial_queue.h"

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

// Outputs that are connected and show a picture, in the server's order; the whole screen as
// display 0 when RandR has none to offer.
std::vector<ListedDisplay> listDisplays(Display* display) {
  std::vector<ListedDisplay> listed;
  const Window root = DefaultRootWindow(display);
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  if (XRRQueryExtension(display, &eventBase, &errorBase) && XRRQueryVersion(display, &major, &minor) &&
      (major > 1 || (major == 1 && minor >= 3))) {
    if (XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root)) {
      for (int i = 0; i < resources->noutput; ++i) {
        XRROutputInfo* output = XRRGetOutputInfo(display, resources, resources->outputs[i]);
        if (!output) continue;
        if (output->connection == RR_Connected && output->crtc != 0) {
          if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, output->crtc)) {
            if (crtc->mode != 0 && crtc->width > 0 && crtc->height > 0) {
              listed.push_back({static_cast<uint32_t>(resources->outputs[i]),
                                {crtc->x, crtc->y, static_cast<int>(crtc->width), static_cast<int>(crtc->height)}});
            }
            XRRFreeCrtcInfo(crtc);
          }
        }
        XRRFreeOutputInfo(output);
      }
      XRRFreeScreenResources(resources);
    }
  }
  if (listed.empty()) {
    const int screen = DefaultScreen(display);
    listed.push_back({0, {0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)}});
  }
  return listed;
}

std::optional<Geometry> geometryOf(Display* display, uint32_t id) {
  for (const auto& listed : listDisplays(display)) {
    if (listed.id == id) return listed.geometry;
  }
  return std::nullopt;
}

// Xlib ends the process when a connection breaks unless the I/O error handler returns and the
// connection has an exit handler of its own. Capture connections get both: a display that goes away
// ends its stream, not the application. Every other connection keeps the handler it had.
std::mutex survivorsMutex;
std::set<Display*> survivors;
int (*previousIoHandler)(Display*) = nullptr;
std::once_flag ioHandlerOnce;

int survivableIoHandler(Display* display) {
  {
    std::lock_guard lock(survivorsMutex);
    if (survivors.count(display)) return 0;
  }
  return previousIoHandler ? previousIoHandler(display) : 0;
}

void markBroken(Display* /*display*/, void* flag) { static_cast<std::atomic<bool>*>(flag)->store(true); }

// A capture connection that survives its server going away.
class CaptureConnection {
 public:
  CaptureConnection() : display_(x11::openDisplay()) {
    if (!display_) return;
    std::call_once(ioHandlerOnce, [] { previousIoHandler = XSetIOErrorHandler(survivableIoHandler); });
    {
      std::lock_guard lock(survivorsMutex);
      survivors.insert(display_.get());
    }
    XSetIOErrorExitHandler(display_.get(), markBroken, &broken_);
  }
  ~CaptureConnection() {
    if (!display_) return;
    Display* raw = display_.get();
    display_.reset();
    std::lock_guard lock(survivorsMutex);
    survivors.erase(raw);
  }
  Display* get() const { return display_.get(); }
  bool broken() const { return broken_.load(); }

 private:
  std::atomic<bool> broken_{false};
  x11::DisplayPtr display_;
};

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
  CaptureConnection connection;
  Display* x = connection.get();
  if (!x) return started.set_value(false);
  const Window root = DefaultRootWindow(x);
  auto geometry = geometryOf(x, display_.displayId);
  if (!geometry) return started.set_value(false);
  auto image = x11::ShmImage::create(x, geometry->width, geometry->height);
  if (!image) return started.set_value(false);

  int damageEvent = 0, damageError = 0, fixesEvent = 0, fixesError = 0, randrEvent = 0, randrError = 0;
  Damage damage = 0;
  if (XDamageQueryExtension(x, &damageEvent, &damageError)) damage = XDamageCreate(x, root, XDamageReportNonEmpty);
  const bool fixes = configuration_.showsCursor && XFixesQueryExtension(x, &fixesEvent, &fixesError);
  if (fixes) XFixesSelectCursorInput(x, root, XFixesDisplayCursorNotifyMask);
  const bool randr = XRRQueryExtension(x, &randrEvent, &randrError);
  if (randr) XRRSelectInput(x, root, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
  XSync(x, False);
  started.set_value(true);

  const int width = static_cast<int>(configuration_.width);
  const int height = static_cast<int>(configuration_.height);
  const auto interval = intervalOf(configuration_.minimumFrameInterval);
  const intptr_t depth = std::max<intptr_t>(configuration_.queueDepth, 1);
  auto pool = std::make_shared<BufferPool>();
  ScaleScratch scratch;
  std::vector<uint32_t> cursorPixels;
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
    while (XPending(x) > 0) {
      XEvent event;
      XNextEvent(x, &event);
      if (damage && event.type == damageEvent + XDamageNotify) changed = true;
      if (fixes && event.type == fixesEvent + XFixesCursorNotify) changed = true;
      if (randr && (event.type == randrEvent + RRScreenChangeNotify || event.type == randrEvent + RRNotify)) {
        XRRUpdateConfiguration(&event);
        layoutChanged = true;
      }
    }
    if (connection.broken()) return reportStop();
    if (layoutChanged) {
      const auto current = geometryOf(x, display_.displayId);
      if (!current) return reportStop();  // the display is gone
      if (!(*current == *geometry)) {
        geometry = current;
        image = x11::ShmImage::create(x, geometry->width, geometry->height);
        if (!image) return reportStop();
      }
      changed = true;
    }
    if (configuration_.showsCursor) {
      Window rootReturn = 0, child = 0;
      int rootX = 0, rootY = 0, winX = 0, winY = 0;
      unsigned mask = 0;
      if (XQueryPointer(x, root, &rootReturn, &child, &rootX, &rootY, &winX, &winY, &mask) &&
          (rootX != lastPointerX || rootY != lastPointerY)) {
        lastPointerX = rootX;
        lastPointerY = rootY;
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
    if (damage) XDamageSubtract(x, damage, 0, 0);
    if (!image->grab(root, geometry->x, geometry->y)) {
      // The screen may be shrinking under us and its notification decides on the next tick; a
      // display that cannot be read for a second has failed.
      if (connection.broken() || ++failedGrabs > grabFailuresAllowed) return reportStop();
      continue;
    }
    failedGrabs = 0;
    if (fixes) {
      if (XFixesCursorImage* cursor = XFixesGetCursorImage(x)) {
        cursorPixels.assign(cursor->pixels, cursor->pixels + static_cast<size_t>(cursor->width) * cursor->height);
        drawCursor(image->data(), image->bytesPerRow(), image->width(), image->height(), cursorPixels.data(),
                   cursor->width, cursor->height, cursor->x - cursor->xhot - geometry->x,
                   cursor->y - cursor->yhot - geometry->y);
        XFree(cursor);
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
  if (damage && !connection.broken()) XDamageDestroy(x, damage);
}

}  // namespace

std::optional<ShareableContent> XShmScreenCapture::shareableContent() {
  auto display = x11::openDisplay();
  if (!display) return std::nullopt;
  ShareableContent content;
  for (const auto& listed : listDisplays(display.get())) {
    content.displays.push_back({listed.id, listed.geometry.width, listed.geometry.height});
  }
  return content;
}

uint32_t XShmScreenCapture::mainDisplayId() {
  auto display = x11::openDisplay();
  if (!display) return 0;
  int eventBase = 0, errorBase = 0;
  if (!XRRQueryExtension(display.get(), &eventBase, &errorBase)) return 0;
  return static_cast<uint32_t>(XRRGetOutputPrimary(display.get(), DefaultRootWindow(display.get())));
}

std::shared_ptr<ScreenStream> XShmScreenCapture::makeStream(const CaptureDisplay& display,
                                                            const ScreenStreamConfiguration& configuration,
                                                            std::shared_ptr<ScreenStreamDelegate> delegate) {
  return std::make_shared<XShmScreenStream>(display, configuration, std::move(delegate));
}

}  // namespace qova
