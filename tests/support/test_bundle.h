#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace qova::test {

// A throw-away folder laid out as an application bundle with the test agent as its agent, plus a
// record folder the agent writes its pid, argv, environment and input to. Removed when destroyed.
class TestBundle {
 public:
  TestBundle();
  ~TestBundle();
  TestBundle(const TestBundle&) = delete;
  TestBundle& operator=(const TestBundle&) = delete;

  const std::string& root() const { return root_; }      // a folder of its own
  const std::string& bundle() const { return bundle_; }  // <root>/QOVA Lumaro Agent.app
  std::string agentPath() const;
  // Writes the script the test agent follows (see test_agent.cpp) and points the environment at it.
  void setScript(const std::vector<std::string>& lines);
  std::string readRecord(const std::string& name) const;
  std::vector<std::string> recordLines(const std::string& name) const;
  void removeRecord(const std::string& name) const;

 private:
  std::string root_;
  std::string bundle_;
  std::string record_;
};

// Checks `done` until it holds or `timeout` has passed, running `step` in between (by default a
// short sleep; Qt tests pass one that runs the event loop). Returns done().
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               const std::function<void()>& step = {});

}  // namespace qova::test
