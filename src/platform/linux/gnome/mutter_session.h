#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qova {

class ClipboardWatch;
class GlibThread;

// What the backends need of a running session: the screen-cast stream of the primary monitor that
// input is mapped onto and frames come from.
struct MutterSessionInfo {
  uint64_t generation = 0;  // a new number for every session made
  std::string streamPath;   // the screen-cast stream's object path
  uint32_t pipeWireNode = 0;
  // A second stream of the same monitor that leaves the cursor out and tells it as metadata of its
  // buffers; 0 when the compositor would not make one.
  uint32_t cursorPipeWireNode = 0;
  int x = 0;  // the monitor in the global layout, physical pixels
  int y = 0;
  int width = 0;
  int height = 0;
  uint32_t deviceTypes = 0;  // what the remote-desktop service may emulate (1 keyboard, 2 pointer, 4 touch)
};

// A monitor of the compositor's layout, in physical pixels.
struct MutterMonitor {
  std::string connector;  // "DP-1", "Meta-0"
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool primary = false;
};

// One remote-desktop session of GNOME's compositor with a screen-cast session tied to it, recording
// the primary monitor twice, with the cursor drawn in and with it as metadata (the compositor only
// works for a stream somebody reads), on the session bus. Made on first need and made
// again after the compositor closed it (or restarted). One thread of its own owns the bus connection
// and every call on it; every public method may be called from any thread but that one. Input
// methods return at once and their calls go out in the order made, without waiting for replies.
class MutterSession : public std::enable_shared_from_this<MutterSession> {
 public:
  static std::shared_ptr<MutterSession> create();
  ~MutterSession();
  MutterSession(const MutterSession&) = delete;
  MutterSession& operator=(const MutterSession&) = delete;

  // How long ensure waits for a session being made: until it runs or fails (a few seconds at most),
  // or, for callers on the main thread, a second at most and not at all while making one fails, so
  // a hung compositor cannot stall them.
  enum class Wait { untilMade, briefly };
  // The running session's facts, made first if need be; nullopt when none could be made (asked again
  // at most once a second, so a missing compositor costs nothing per event).
  std::optional<MutterSessionInfo> ensure(Wait wait = Wait::untilMade);
  // Calls `ended` once, on the bus thread or at once, when the session of `generation` has ended.
  // It must not block. Returns an id for unwatch.
  int watchEnd(uint64_t generation, std::function<void()> ended);
  void unwatch(int id);

  // The compositor's monitors now, in its order; empty when it could not be asked.
  std::vector<MutterMonitor> monitors();
  // Which monitor sessions record from now on: a connector, or empty for the primary. A change ends
  // the running session (its watchers are told), and the next ensure makes one on that monitor.
  void record(const std::string& connector);

  // Fire and forget, in order; skipped when no session of `generation` runs any more.
  void pointerMotion(uint64_t generation, double x, double y);
  void pointerButton(uint64_t generation, int32_t evdevButton, bool pressed);
  void pointerAxisDiscrete(uint64_t generation, int32_t steps);  // vertical axis, positive is down
  void keysym(uint64_t generation, uint32_t keysym, bool pressed);

  // Offers `text` as the session's clipboard content. Blocks until the compositor took the offer;
  // paste requests are answered on the bus thread from then on.
  bool setClipboardText(uint64_t generation, const std::string& text);
  // From the running session on (or the next one made), each time a program other than this
  // session takes the clipboard with text, `changed` is called with it, on a thread of its own, one
  // call at a time, the newest only; more than `maxBytes` is passed over. An empty `changed` stops.
  void watchClipboard(std::function<void(std::string)> changed, size_t maxBytes);

 private:
  struct Bus;
  MutterSession();
  void open();
  void started(uint32_t node, bool cursorStream);
  void ended(const std::string& why);
  void startFailed(const std::string& why);
  void answerTransfer(const std::string& mimeType, uint32_t serial);
  void enableClipboard();
  void readClipboard(const std::string& mimeType);
  void notify(uint64_t generation, const char* method, void* arguments);

  std::unique_ptr<Bus> bus_;  // the bus thread's own
  const std::unique_ptr<GlibThread> glib_;  // the bus thread

  std::mutex mutex_;  // what other threads read of the session
  std::condition_variable changed_;
  enum class Phase { idle, starting, running } phase_ = Phase::idle;
  MutterSessionInfo info_;
  std::string connector_;  // recorded; empty: the primary monitor
  uint64_t nextGeneration_ = 1;
  std::optional<std::chrono::steady_clock::time_point> lastFailure_;
  std::map<int, std::pair<uint64_t, std::function<void()>>> watchers_;
  int nextWatcher_ = 1;
  std::shared_ptr<std::atomic<int>> clipboardWriters_ = std::make_shared<std::atomic<int>>(0);
  const std::shared_ptr<ClipboardWatch> clipboardWatch_;
};

// True when GNOME's remote-desktop and screen-cast services are on the session bus. Asks the bus only
// whether the names have owners: starts nothing and makes no session. Any thread.
bool mutterRemoteDesktopAvailable();

}  // namespace qova
