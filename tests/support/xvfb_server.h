#pragma once

#include <memory>
#include <optional>
#include <string>

namespace qova::test {

// A private X server for one test program: Xvfb on a free display number, with MIT-SHM, XTEST,
// RANDR, DAMAGE and XFIXES. Sets DISPLAY while it lives and restores it after.
class XvfbServer {
 public:
  XvfbServer(int width = 1440, int height = 900, int depth = 24);
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;
  bool running() const { return !display_.empty(); }
  const std::string& display() const { return display_; }

 private:
  struct Server;
  std::shared_ptr<Server> server_;
  std::string display_;
  std::optional<std::string> previousDisplay_;
};

}  // namespace qova::test
