#pragma once

#include <optional>
#include <string>

namespace qova::test {

// A private sway: headless, drawn by pixman, with `config` as its configuration. sway refuses to run
// as root, so under root it runs as nobody with a runtime folder of its own, whose sockets root
// reaches all the same. Sets WAYLAND_DISPLAY and XDG_RUNTIME_DIR, and unsets DISPLAY, while it lives.
class SwaySession {
 public:
  explicit SwaySession(const std::string& config);
  ~SwaySession();
  SwaySession(const SwaySession&) = delete;
  SwaySession& operator=(const SwaySession&) = delete;
  bool running() const { return !ipcSocket_.empty(); }
  const std::string& folder() const { return folder_; }
  // What swaymsg prints for `arguments` (for example "-t get_outputs", or a command).
  std::string message(const std::string& arguments) const;

 private:
  std::string folder_;
  std::string ipcSocket_;
  int pid_ = -1;
  std::optional<std::string> saved_[3];
};

}  // namespace qova::test
