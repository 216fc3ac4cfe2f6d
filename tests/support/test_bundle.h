#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qova::test {

// A throw-away folder laid out as an application bundle whose agent is the test agent, with a record
// folder the agent writes what it saw to (see test_agent.cpp). Removed when destroyed.
class TestBundle {
 public:
  TestBundle();
  ~TestBundle();
  TestBundle(const TestBundle&) = delete;
  TestBundle& operator=(const TestBundle&) = delete;
  const std::string& root() const { return root_; }
  std::string bundle() const { return root_ + "/QOVA Lumaro Agent.app"; }
  std::string agentPath() const { return bundle() + "/Contents/Resources/agent-bin/qova-agent-helper"; }
  void setScript(const std::vector<std::string>& lines);  // the test agent's commands
  std::string readRecord(const std::string& name) const;
  std::vector<std::string> recordLines(const std::string& name) const;

 private:
  std::string root_;
};

// Checks `done` until it holds or `timeout` has passed, running `step` (a short sleep unless given)
// in between. Returns done().
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               const std::function<void()>& step = {});

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
