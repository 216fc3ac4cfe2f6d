#pragma once

#include <string>

namespace qova::test {

// A private X server for one test program: Xvfb on a free display number (or on `display`), with
// MIT-SHM, XTEST, RANDR, DAMAGE and XFIXES. Sets DISPLAY while it lives and restores it after.
class XvfbServer {
 public:
  XvfbServer(int width = 1440, int height = 900, int depth = 24, const std::string& display = "");
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;
  bool running() const { return pid_ > 0; }
  const std::string& display() const { return display_; }
  // Ends the server as a crash would end it for its clients.
  void stop();
  // A new server on the same display number, as when a session's X server comes back. Other
  // programs' servers take the lowest free number, so one that is stopped for a while should have
  // been given a high one.
  bool restart();

 private:
  bool start(const std::string& display);

  int pid_ = -1;
  std::string screen_;
  std::string display_;
  std::string previousDisplay_;
  bool hadDisplay_ = false;
};

}  // namespace qova::test
