#pragma once

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
  bool running() const { return pid_ > 0; }
  const std::string& display() const { return display_; }

 private:
  int pid_ = -1;
  std::string display_;
  std::string previousDisplay_;
  bool hadDisplay_ = false;
};

}  // namespace qova::test
