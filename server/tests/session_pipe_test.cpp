// The session pipe's flow into real outboxes over sockets whose writes end when the test says.
#include <gtest/gtest.h>

#include "message_outbox.h"
#include "session_pipe.h"

namespace qova::server {
namespace {

using namespace std::chrono_literals;
using Verdict = SessionPipe::Verdict;

struct HeldSocket {
  std::vector<std::string> written;
  std::function<void(boost::system::error_code, std::size_t)> writing;
  void binary(bool) {}
  template <class Buffer, class Handler>
  void async_write(const Buffer& buffer, Handler&& handler) {
    written.emplace_back(static_cast<const char*>(buffer.data()), buffer.size());
    writing = std::forward<Handler>(handler);
  }
  void finishWrite() { std::exchange(writing, nullptr)({}, 0); }
};

using Outbox = common::MessageOutbox<HeldSocket>;

struct Viewer {
  HeldSocket socket;
  Outbox outbox{socket, [] {}};
  std::shared_ptr<int> owner = std::make_shared<int>();
};

TEST(SessionPipe, AViewerThatDoesNotReadIsLetGoPastTheBoundAndOversizedTextEndsTheDevice) {
  const struct {
    std::size_t size;
    std::size_t passed;
    Verdict last;
  } cases[] = {
      {100, 1 + Outbox::kMaxQueued, Verdict::CloseViewer},                           // the count bound
      {60 * 1024, 1 + Outbox::kMaxQueuedBytes / (60 * 1024), Verdict::CloseViewer},  // the byte bound
      {SessionPipe::kMaxSessionText + 1, 0, Verdict::CloseDevice},
  };
  for (const auto& c : cases) {
    Viewer viewer;
    SessionPipe pipe(30s);
    const auto send = [&] { return pipe.fromDevice(viewer.outbox, std::string(c.size, 'x'), false, viewer.owner); };
    std::size_t passed = 0;
    auto verdict = send();
    for (; verdict == Verdict::Passed && passed < 1000; verdict = send()) ++passed;
    EXPECT_EQ(passed, c.passed) << c.size;
    EXPECT_EQ(verdict, c.last) << c.size;
  }
}

// Sealed messages are opened in order, so none may be dropped or overtaken: the device waits instead.
TEST(SessionPipe, ASlowViewerGetsTextFirstThenOnlyTheNewestFrameUnlessTheSessionIsSealed) {
  for (const bool sealed : {false, true}) {
    Viewer viewer;
    SessionPipe pipe(30s, sealed);
    int readOn = 0;
    const auto send = [&](const char* data, bool binary) {
      EXPECT_EQ(pipe.fromDevice(viewer.outbox, data, binary, viewer.owner, [&] { ++readOn; }),
                sealed ? Verdict::Waits : Verdict::Passed);
    };
    for (const auto* frame : {"f1", "f2", "f3"}) send(frame, true);
    send("status", false);
    for (int i = 0; i < 4 && viewer.socket.writing; ++i) viewer.socket.finishWrite();
    const std::vector<std::string> expected =
        sealed ? std::vector<std::string>{"f1", "f2", "f3", "status"} : std::vector<std::string>{"f1", "status", "f3"};
    EXPECT_EQ(viewer.socket.written, expected);
    EXPECT_EQ(readOn, sealed ? 4 : 0);
  }
}

}  // namespace
}  // namespace qova::server
