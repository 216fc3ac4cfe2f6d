#pragma once

#include <chrono>
#include <functional>
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

}  // namespace qova::test
