#include "platform/linux/gnome/pipewire_screen_capture.h"

#include <libyuv/convert_argb.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "base/log.h"
#include "base/thread_check.h"
#include "base/serial_queue.h"
#include "platform/linux/bgra_scaler.h"
#include "platform/linux/buffer_pool.h"
#include "platform/linux/cursor_overlay.h"
#include "platform/linux/gnome/mutter_session.h"

// libspa's and libpipewire's macros are built of GNU statement expressions.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wgnu-statement-expression"
#endif

namespace qova {

namespace {

const Log kLog("capture");

constexpr uint32_t kDisplayId = 0;
constexpr auto kConnectTimeout = std::chrono::seconds(5);
// Each buffer goes back as soon as it is copied out, so a few do; the compositor would map 16 frames.
constexpr int kBuffers = 4;

void initPipeWire() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

int maxFramesPerSecond(const FrameInterval& interval) {
  if (interval.value <= 0 || interval.timescale <= 0) return 60;
  return static_cast<int>(std::clamp<int64_t>(interval.timescale / interval.value, 1, 60));
}

// The shared-memory formats the compositor may pick from; BGRx first, as the frame path wants it.
const spa_pod* formatParameters(spa_pod_builder& builder, int width, int height, int fps) {
  spa_rectangle size{static_cast<uint32_t>(width), static_cast<uint32_t>(height)}, smallest{1, 1},
      largest{16384, 16384};
  spa_fraction variable{0, 1}, most{static_cast<uint32_t>(fps), 1}, least{1, 1};
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest), SPA_FORMAT_VIDEO_framerate,
      SPA_POD_Fraction(&variable), SPA_FORMAT_VIDEO_maxFramerate,
      SPA_POD_CHOICE_RANGE_Fraction(&most, &least, &most)));
}

const spa_pod* bufferParameters(spa_pod_builder& builder) {
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(kBuffers, 2, kBuffers), SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
}

// Room for the cursor's metadata with a bitmap of width x height.
constexpr int cursorMetaSize(int width, int height) {
  return static_cast<int>(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + width * height * 4;
}

// The cursor as metadata of each buffer; compositors differ in the bitmap size they make room for.
const spa_pod* cursorMetaParameters(spa_pod_builder& builder) {
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
      SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64, 64), cursorMetaSize(1, 1), cursorMetaSize(384, 384))));
}

bool holdsPicture(const spa_buffer& buffer) {
  if (buffer.n_datas < 1) return false;
  const spa_data& data = buffer.datas[0];
  return data.data && data.chunk && data.chunk->size > 0 && !(data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED);
}

// The bitmap of a cursor's metadata, premultiplied RGBA or BGRA rows, as reported; nullopt when it
// does not fit the metadata's `size` bytes or has another format.
std::optional<CursorImage> cursorBitmap(const spa_meta_cursor& cursor, uint32_t size, uint64_t serial) {
  if (cursor.bitmap_offset < sizeof cursor || uint64_t{cursor.bitmap_offset} + sizeof(spa_meta_bitmap) > size) {
    return std::nullopt;
  }
  const auto* bitmap = SPA_PTROFF(&cursor, cursor.bitmap_offset, const spa_meta_bitmap);
  const uint64_t width = bitmap->size.width, height = bitmap->size.height;
  const bool bgra = bitmap->format == SPA_VIDEO_FORMAT_BGRA;
  if (width == 0 || height == 0) return CursorImage{serial, 0, 0, 0, 0, {}};  // no sprite: the cursor is hidden
  if ((!bgra && bitmap->format != SPA_VIDEO_FORMAT_RGBA) || width > 1024 || height > 1024 ||
      bitmap->stride < static_cast<int32_t>(width * 4) ||
      uint64_t{cursor.bitmap_offset} + bitmap->offset + uint64_t(bitmap->stride) * height > size) {
    return std::nullopt;
  }
  const auto* rows = SPA_PTROFF(bitmap, bitmap->offset, const uint8_t);
  std::vector<uint32_t> argb(width * height);
  for (uint64_t i = 0; i < argb.size(); ++i) {
    const uint8_t* p = rows + (i / width) * bitmap->stride + (i % width) * 4;
    const uint32_t red = bgra ? p[2] : p[0], blue = bgra ? p[0] : p[2];
    argb[i] = uint32_t{p[3]} << 24 | red << 16 | uint32_t{p[1]} << 8 | blue;
  }
  return unpremultipliedCursor(argb.data(), static_cast<int>(width), static_cast<int>(height), cursor.hotspot.x,
                               cursor.hotspot.y, serial);
}

// The thread of a PipeWire thread loop, for the thread checks.
struct LoopThread {
  pw_thread_loop* loop;
  bool isCurrent() const { return pw_thread_loop_in_thread(loop); }
};

// A stream's PipeWire side, on a thread loop of its own. Frames are copied out, scaled, in the
// process callback, so the compositor's buffer goes back at once.
class PipeWireScreenStream : public ScreenStream, public std::enable_shared_from_this<PipeWireScreenStream> {
 public:
  PipeWireScreenStream(std::shared_ptr<MutterSession> session, ScreenStreamConfiguration configuration,
                       std::shared_ptr<ScreenStreamClient> client, std::shared_ptr<SerialQueue> queue)
      : session_(std::move(session)),
        configuration_(configuration),
        reportsCursor_(configuration.reportsCursor && !configuration.showsCursor),
        client_(std::move(client)),
        queue_(std::move(queue)) {}

  ~PipeWireScreenStream() override { stopCapture(); }

  bool startCapture() override {
    std::lock_guard control(controlMutex_);
    if (loop_ || configuration_.width <= 0 || configuration_.height <= 0) return false;
    const auto info = session_->ensure();
    if (!info) return false;
    initPipeWire();
    {
      std::lock_guard lock(stateMutex_);
      state_ = State::connecting;
      stopRequested_ = false;
      reportedStop_ = false;
      pending_.reset();
    }
    if (!connect(reportsCursor_ && info->cursorPipeWireNode ? info->cursorPipeWireNode : info->pipeWireNode)) {
      disconnect();
      return false;
    }
    {
      std::unique_lock lock(stateMutex_);
      stateChanged_.wait_for(lock, kConnectTimeout, [this] { return state_ != State::connecting; });
      if (state_ != State::streaming) {
        lock.unlock();
        kLog.warning("the GNOME screen cast's PipeWire stream did not start: no capture");
        disconnect();
        return false;
      }
    }
    watch_ = session_->watchEnd(info->generation, [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->stoppedByItself("the GNOME remote-desktop session ended");
    });
    return true;
  }

  bool stopCapture() override {
    std::lock_guard control(controlMutex_);
    {
      std::lock_guard lock(stateMutex_);
      stopRequested_ = true;
      pending_.reset();
    }
    if (!loop_) return false;
    session_->unwatch(watch_);
    disconnect();
    return true;
  }

 private:
  enum class State { connecting, streaming, failed };

  bool connect(uint32_t node) {
    loop_ = pw_thread_loop_new("qova-pipewire", nullptr);
    if (!loop_ || pw_thread_loop_start(loop_) < 0) return false;
    pw_thread_loop_lock(loop_);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    core_ = context_ ? pw_context_connect(context_, nullptr, 0) : nullptr;
    if (!core_) {
      pw_thread_loop_unlock(loop_);
      kLog.warning("cannot reach the PipeWire daemon: no capture");
      return false;
    }
    pacingTimer_ = pw_loop_add_timer(
        pw_thread_loop_get_loop(loop_),
        [](void* self, uint64_t) { static_cast<PipeWireScreenStream*>(self)->pace(std::chrono::steady_clock::now()); },
        this);
    static const pw_core_events coreEvents = [] {
      pw_core_events events{};
      events.version = PW_VERSION_CORE_EVENTS;
      events.error = [](void* self, uint32_t id, int, int, const char* message) {
        if (id == PW_ID_CORE) static_cast<PipeWireScreenStream*>(self)->failed(std::string("PipeWire: ") + message);
      };
      return events;
    }();
    pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
    stream_ = pw_stream_new(core_, "qova-screen",
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                              PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    static const pw_stream_events streamEvents = [] {
      pw_stream_events events{};
      events.version = PW_VERSION_STREAM_EVENTS;
      events.state_changed = [](void* self, pw_stream_state, pw_stream_state state, const char* error) {
        static_cast<PipeWireScreenStream*>(self)->stateChanged(state, error);
      };
      events.param_changed = [](void* self, uint32_t id, const spa_pod* param) {
        static_cast<PipeWireScreenStream*>(self)->formatChanged(id, param);
      };
      events.process = [](void* self) { static_cast<PipeWireScreenStream*>(self)->process(); };
      return events;
    }();
    bool connected = false;
    if (stream_) {
      pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);
      uint8_t memory[1024];
      spa_pod_builder builder{};
      spa_pod_builder_init(&builder, memory, sizeof memory);
      const spa_pod* params[] = {formatParameters(builder, static_cast<int>(configuration_.width),
                                                  static_cast<int>(configuration_.height),
                                                  maxFramesPerSecond(configuration_.minimumFrameInterval))};
      connected = pw_stream_connect(stream_, PW_DIRECTION_INPUT, node,
                                    static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                                    params, 1) == 0;
    }
    pw_thread_loop_unlock(loop_);
    return connected;
  }

  void disconnect() {
    if (!loop_) return;
    pw_thread_loop_lock(loop_);
    if (stream_) {
      spa_hook_remove(&streamListener_);
      pw_stream_destroy(stream_);
    }
    if (core_) {
      spa_hook_remove(&coreListener_);
      pw_core_disconnect(core_);
    }
    if (context_) pw_context_destroy(context_);
    if (pacingTimer_) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), pacingTimer_);
    held_.reset();
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    pw_thread_loop_destroy(loop_);
    loop_ = nullptr;
    pacingTimer_ = nullptr;
    stream_ = nullptr;
    core_ = nullptr;
    context_ = nullptr;
  }

  // The callbacks below run with the loop's lock held: on the PipeWire thread, and for state changes
  // also on the thread that connects or disconnects the stream.
  void stateChanged(pw_stream_state state, const char* error) {
    if (state == PW_STREAM_STATE_STREAMING) {
      std::lock_guard lock(stateMutex_);
      if (state_ == State::connecting) state_ = State::streaming;
      stateChanged_.notify_all();
    } else if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
      failed(error ? std::string("PipeWire stream: ") + error : "the PipeWire stream was disconnected");
    }
  }

  void failed(const std::string& why) {
    bool wasStreaming = false;
    {
      std::lock_guard lock(stateMutex_);
      wasStreaming = state_ == State::streaming;
      state_ = State::failed;
      stateChanged_.notify_all();
    }
    if (wasStreaming) stoppedByItself(why);
  }

  void formatChanged(uint32_t id, const spa_pod* param) {
    QOVA_ASSERT_ON(LoopThread{loop_});
    if (id != SPA_PARAM_Format || !param) return;
    spa_video_info_raw raw{};
    if (spa_format_video_raw_parse(param, &raw) < 0) return;
    format_ = raw.format;
    sourceWidth_ = static_cast<int>(raw.size.width);
    sourceHeight_ = static_cast<int>(raw.size.height);
    uint8_t memory[512];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, memory, sizeof memory);
    const spa_pod* params[] = {bufferParameters(builder), cursorMetaParameters(builder)};
    pw_stream_update_params(stream_, params, reportsCursor_ ? 2 : 1);
  }

  void process() {
    QOVA_ASSERT_ON(LoopThread{loop_});
    // Only the newest picture matters; older ones, and buffers that only tell of the cursor, go
    // straight back once their cursor is read.
    pw_buffer* newest = nullptr;
    bool cursorChanged = false;
    while (pw_buffer* next = pw_stream_dequeue_buffer(stream_)) {
      cursorChanged = readCursor(*next->buffer) || cursorChanged;
      if (!holdsPicture(*next->buffer)) {
        pw_stream_queue_buffer(stream_, next);
        continue;
      }
      if (newest) pw_stream_queue_buffer(stream_, newest);
      newest = next;
    }
    auto sample = newest ? copyOut(*newest->buffer) : std::nullopt;
    if (newest) pw_stream_queue_buffer(stream_, newest);
    if (!sample) {
      if (cursorChanged) tellCursor();
      return;
    }
    // Every frame the compositor sends is a change; the pacing says when it becomes a sample.
    const auto now = std::chrono::steady_clock::now();
    configuration_.pacing->changed(now);
    held_ = std::move(sample);
    if (reportsCursor_ && cursor_.image) held_->cursor = cursor_;
    pace(now);
  }

  // Takes the cursor's metadata of a buffer; true when the reported state is not what it was.
  bool readCursor(const spa_buffer& buffer) {
    if (!reportsCursor_) return false;
    const spa_meta* meta = spa_buffer_find_meta(&buffer, SPA_META_Cursor);
    if (!meta || meta->size < sizeof(spa_meta_cursor)) return false;
    const auto& cursor = *static_cast<const spa_meta_cursor*>(meta->data);
    const CursorState before = cursor_;
    if (!spa_meta_cursor_is_valid(&cursor)) {
      cursor_.visible = false;  // not over the monitor
    } else {
      if (auto image = cursorBitmap(cursor, meta->size, cursorSerial_ + 1)) {
        hidden_ = image->width == 0;
        if (!hidden_ && (!cursor_.image || cursor_.image->width != image->width ||
                         cursor_.image->height != image->height || cursor_.image->hotX != image->hotX ||
                         cursor_.image->hotY != image->hotY || cursor_.image->rgba != image->rgba)) {
          cursor_.image = std::make_shared<const CursorImage>(std::move(*image));
          ++cursorSerial_;
        }
      }
      cursor_.x = cursor.position.x;
      cursor_.y = cursor.position.y;
      cursor_.visible = !hidden_;
    }
    return cursor_.image && (cursor_.image != before.image || cursor_.x != before.x || cursor_.y != before.y ||
                             cursor_.visible != before.visible);
  }

  // A move or a new shape alone: it rides with the frame waiting for its time, else goes as an
  // idle sample of its own.
  void tellCursor() {
    if (held_) {
      held_->cursor = cursor_;
      return;
    }
    std::lock_guard lock(stateMutex_);
    if (stopRequested_) return;
    if (pending_) {
      pending_->cursor = cursor_;
    } else if (inFlight_ >= std::max<intptr_t>(configuration_.queueDepth, 1)) {
      pending_ = ScreenSample{FrameStatus::idle, std::nullopt, std::chrono::steady_clock::now(), {}, cursor_};
    } else {
      deliverLocked({FrameStatus::idle, std::nullopt, std::chrono::steady_clock::now(), {}, cursor_});
    }
  }

  // Hands over the newest frame once the pacing says so, else wakes up then.
  void pace(std::chrono::steady_clock::time_point now) {
    QOVA_ASSERT_ON(LoopThread{loop_});
    const auto due = configuration_.pacing->due();
    if (!held_ || !due) return;
    if (*due > now) {
      const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(*due - now).count();
      timespec value{static_cast<time_t>(wait / 1'000'000'000), static_cast<long>(wait % 1'000'000'000)};
      pw_loop_update_timer(pw_thread_loop_get_loop(loop_), pacingTimer_, &value, nullptr, false);
      return;
    }
    ScreenSample sample = std::move(*held_);
    held_.reset();
    sample.presentationTime = now;
    configuration_.pacing->sampled(now);
    offer(std::move(sample));
  }

  // The frame at the configured size, as BGRX in memory of its own; nothing for a buffer that holds
  // no picture (the compositor sends some that carry only cursor or damage facts) or lies about its
  // size.
  std::optional<ScreenSample> copyOut(const spa_buffer& buffer) {
    if (!holdsPicture(buffer) || sourceWidth_ <= 0 || sourceHeight_ <= 0) return std::nullopt;
    const spa_data& data = buffer.datas[0];
    const int64_t stride = data.chunk->stride > 0 ? data.chunk->stride : int64_t{sourceWidth_} * 4;
    const uint64_t offset = data.chunk->offset % std::max<uint32_t>(data.maxsize, 1);
    if (stride < int64_t{sourceWidth_} * 4 || offset + uint64_t(stride) * sourceHeight_ > data.maxsize) {
      if (!reportedBadBuffer_) kLog.warning("the compositor sent a frame smaller than its format says; skipped");
      reportedBadBuffer_ = true;
      return std::nullopt;
    }
    const auto* pixels = static_cast<const uint8_t*>(data.data) + offset;
    int sourceStride = static_cast<int>(stride);
    if (format_ == SPA_VIDEO_FORMAT_RGBx || format_ == SPA_VIDEO_FORMAT_RGBA) {
      swapped_.resize(size_t(sourceWidth_) * sourceHeight_ * 4);
      libyuv::ABGRToARGB(pixels, sourceStride, swapped_.data(), sourceWidth_ * 4, sourceWidth_, sourceHeight_);
      pixels = swapped_.data();
      sourceStride = sourceWidth_ * 4;
    }
    return scaledSample(pixels, sourceStride, sourceWidth_, sourceHeight_, static_cast<int>(configuration_.width),
                        static_cast<int>(configuration_.height), *pool_, scratch_, std::chrono::steady_clock::now());
  }

  // Hands the sample over when the queue has room, else keeps it as the one to hand over next.
  void offer(ScreenSample sample) {
    std::lock_guard lock(stateMutex_);
    if (stopRequested_) return;
    if (inFlight_ >= std::max<intptr_t>(configuration_.queueDepth, 1)) {
      pending_ = std::move(sample);
      return;
    }
    deliverLocked(std::move(sample));
  }

  void deliverLocked(ScreenSample sample) {
    ++inFlight_;
    const bool queued = queue_->async([weak = weak_from_this(), client = client_, sample = std::move(sample)] {
      auto self = weak.lock();
      if (self) client->didOutputSample(sample);
      if (self) self->handled();
    });
    if (!queued) --inFlight_;
  }

  // On the sample queue: one sample is done with; a kept one may follow.
  void handled() {
    std::lock_guard lock(stateMutex_);
    --inFlight_;
    if (pending_ && !stopRequested_) {
      auto next = std::move(*pending_);
      pending_.reset();
      deliverLocked(std::move(next));
    }
  }

  void stoppedByItself(const std::string& why) {
    {
      std::lock_guard lock(stateMutex_);
      if (stopRequested_ || reportedStop_) return;
      reportedStop_ = true;
      pending_.reset();
    }
    kLog.warning("the screen stream stopped by itself: " + why);
    client_->didStopWithError();
  }

  const std::shared_ptr<MutterSession> session_;
  const ScreenStreamConfiguration configuration_;
  const bool reportsCursor_;  // and does not draw it
  const std::shared_ptr<ScreenStreamClient> client_;
  const std::shared_ptr<SerialQueue> queue_;

  std::mutex controlMutex_;  // start and stop
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_hook coreListener_{};
  spa_hook streamListener_{};
  int watch_ = 0;

  // The PipeWire thread's own.
  uint32_t format_ = SPA_VIDEO_FORMAT_UNKNOWN;
  int sourceWidth_ = 0;
  int sourceHeight_ = 0;
  std::vector<uint8_t> swapped_;
  ScaleScratch scratch_;
  std::shared_ptr<BufferPool> pool_ = std::make_shared<BufferPool>();
  bool reportedBadBuffer_ = false;
  spa_source* pacingTimer_ = nullptr;
  std::optional<ScreenSample> held_;  // the newest frame, until the pacing lets it go
  CursorState cursor_;                // as last reported; no image until the compositor sent one
  uint64_t cursorSerial_ = 0;
  bool hidden_ = false;  // the compositor said there is no sprite

  std::mutex stateMutex_;
  std::condition_variable stateChanged_;
  State state_ = State::connecting;
  bool stopRequested_ = false;
  bool reportedStop_ = false;
  intptr_t inFlight_ = 0;  // samples handed to the queue and not yet handled there
  std::optional<ScreenSample> pending_;
};

}  // namespace

PipeWireScreenCapture::PipeWireScreenCapture(std::shared_ptr<MutterSession> session) : session_(std::move(session)) {}

std::optional<ShareableContent> PipeWireScreenCapture::shareableContent() {
  const auto info = session_->ensure();
  if (!info) return std::nullopt;
  const auto monitors = session_->monitors();
  ShareableContent content;
  std::lock_guard lock(mutex_);
  connectors_.clear();
  // The primary monitor keeps the one id there ever was; the others are known by their connectors,
  // which stay while the monitor is plugged in.
  for (const auto& monitor : monitors) {
    uint32_t id = kDisplayId;
    if (!monitor.primary) {
      id = 2166136261u;  // FNV-1a
      for (const unsigned char c : monitor.connector) id = (id ^ c) * 16777619u;
      id = std::max(id, kDisplayId + 1);
    }
    connectors_[id] = monitor.primary ? "" : monitor.connector;
    content.displays.push_back({id, monitor.width, monitor.height, monitor.x, monitor.y, monitor.connector});
  }
  if (content.displays.empty()) {
    connectors_[kDisplayId] = "";
    content.displays.push_back({kDisplayId, info->width, info->height, info->x, info->y});
  }
  return content;
}

uint32_t PipeWireScreenCapture::mainDisplayId() { return kDisplayId; }

bool PipeWireScreenCapture::canReportCursor() const {
  const auto info = session_->ensure(MutterSession::Wait::briefly);
  return info && info->cursorPipeWireNode != 0;
}

std::shared_ptr<ScreenStream> PipeWireScreenCapture::makeStream(const CaptureDisplay& display,
                                                                const ScreenStreamConfiguration& configuration,
                                                                std::shared_ptr<ScreenStreamClient> client,
                                                                std::shared_ptr<SerialQueue> queue) {
  if (!client || !queue || !configuration.pacing) return nullptr;
  std::string connector;
  {
    std::lock_guard lock(mutex_);
    const auto listed = connectors_.find(display.displayId);
    if (listed == connectors_.end() && display.displayId != kDisplayId) return nullptr;
    if (listed != connectors_.end()) connector = listed->second;
  }
  session_->record(connector);
  return std::make_shared<PipeWireScreenStream>(session_, configuration, std::move(client), std::move(queue));
}

}  // namespace qova
