#pragma once

#include <memory>
#include <optional>
#include <string>

namespace qova::test {

// A private X server: Xvfb on a free display number (or on `display`), with MIT-SHM, XTEST, RANDR,
// DAMAGE and XFIXES. Sets DISPLAY while it lives and restores it after.
class XvfbServer {
 public:
  XvfbServer(int width = 1440, int height = 900, int depth = 24, const std::string& display = "");
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;
  bool running() const;
  void stop();  // as a crash would end it for its clients
  // A new server on the same display number, as when a session's X server comes back; give a server
  // stopped for a while a high number, since other programs' servers take the lowest free one.
  bool restart() { return stop(), start(display_); }

 private:
  struct Server;
  bool start(const std::string& display);

  std::shared_ptr<Server> server_;
  std::string screen_;
  std::string display_;
  std::optional<std::string> previousDisplay_;
};

}  // namespace qova::test
