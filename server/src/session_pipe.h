#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace qova::server {

// The flow of one session, the viewer spliced to its device's session connection, without sockets:
// what each side's outbox is given and when a side that does not read is let go, and when the
// session has gone idle. Each side's outbox bounds what waits for it; here is which way each
// message goes into it. Time comes from `now`, so tests run it at a virtual clock. Network thread.
class SessionPipe {
 public:
  using Clock = std::chrono::steady_clock;

  // Text from a device to its viewer is status and answers: far below a frame, so a device that
  // sends text its viewer does not read parks little (the outbox bounds the bytes as well).
  static constexpr std::size_t kMaxSessionText = 64 * 1024;

  // Waits: passed, and the sender's next message is to be read only once `written` runs.
  enum class Verdict { Passed, Waits, CloseDevice, CloseViewer };

  // `sealed`: the page and the agent seal every message end to end, which only they can open.
  SessionPipe(Clock::duration idleLimit, bool sealed = false, std::function<Clock::time_point()> now = Clock::now)
      : idleLimit_(idleLimit), sealed_(sealed), now_(std::move(now)), lastInput_(now_()) {}

  // From the device to the viewer's outbox. Frames: only the newest waits for a slow viewer.
  // Text: in order, bounded; a viewer that does not read is let go, an oversized text ends the device's side.
  // Sealed, each message counts for the order the page opens them in, so none may be replaced or
  // overtaken: every one waits its turn and the device's next is read only once it is written. A slow
  // viewer then slows its device's connection, and the agent drops frames before it seals them.
  template <class Outbox>
  Verdict fromDevice(Outbox& viewer, std::string data, bool binary, std::shared_ptr<void> viewerOwner,
                     std::function<void()> written = {}) {
    if (sealed_) {
      return viewer.push(std::move(data), binary, std::move(viewerOwner), std::move(written)) ? Verdict::Waits
                                                                                            : Verdict::CloseViewer;
    }
    if (binary) {
      viewer.frame(std::make_shared<const std::string>(std::move(data)), std::move(viewerOwner));
      return Verdict::Passed;
    }
    if (data.size() > kMaxSessionText) return Verdict::CloseDevice;
    return viewer.push(std::move(data), false, std::move(viewerOwner)) ? Verdict::Passed : Verdict::CloseViewer;
  }

  // From the viewer to the device's outbox. `written` runs once the message is written: the viewer's
  // next message is read only then, so a viewer faster than its device's connection is slowed,
  // never buffered.
  template <class Outbox>
  Verdict fromViewer(Outbox& device, std::string data, bool binary, std::shared_ptr<void> deviceOwner,
                     std::function<void()> written) {
    lastInput_ = now_();
    return device.push(std::move(data), binary, std::move(deviceOwner), std::move(written)) ? Verdict::Passed
                                                                                          : Verdict::CloseDevice;
  }

  // When the session goes idle unless the viewer sends something first.
  Clock::time_point idleAt() const { return lastInput_ + idleLimit_; }
  bool idle() const { return now_() >= idleAt(); }

 private:
  Clock::duration idleLimit_;
  bool sealed_;
  std::function<Clock::time_point()> now_;
  Clock::time_point lastInput_;
};

}  // namespace qova::server
