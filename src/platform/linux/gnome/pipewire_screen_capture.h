#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/screen_capture.h"

namespace qova {

class MutterSession;

// Screen capture on GNOME: the displays are the compositor's monitors, the primary one the main.
// The session's screen cast records the one a stream is made for, cursor drawn in, or, for a stream
// that reports the pointer, the session's second stream, which tells the cursor as metadata of its
// buffers (a move alone makes an idle sample, or a frame where the compositor repaints for it). A
// stream takes the compositor's frames over PipeWire in shared memory (BGRx, BGRA, RGBx or RGBA,
// whichever the compositor picks) and hands over a sample only when the compositor sent one, which
// it does on change, and when the stream's pacing lets it go; until then, and while the queue is
// full, only the newest frame is kept. A session the compositor closed, or a PipeWire daemon gone,
// stops the stream by itself.
class PipeWireScreenCapture : public ScreenCapture {
 public:
  explicit PipeWireScreenCapture(std::shared_ptr<MutterSession> session);
  std::optional<ShareableContent> shareableContent() override;
  uint32_t mainDisplayId() override;
  // When the session records the monitor with the cursor apart too. Waits briefly for a session.
  bool canReportCursor() const override;
  std::shared_ptr<ScreenStream> makeStream(const CaptureDisplay& display,
                                           const ScreenStreamConfiguration& configuration,
                                           std::shared_ptr<ScreenStreamClient> client,
                                           std::shared_ptr<SerialQueue> queue) override;

 private:
  std::shared_ptr<MutterSession> session_;
  std::mutex mutex_;
  std::map<uint32_t, std::string> connectors_;  // of the displays last listed; "" the primary
};

}  // namespace qova
