// What a relay connection may hold for a reader that does not read.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "message_outbox.h"

namespace qova::common {
namespace {

// A socket whose writes never complete: the peer stopped reading.
struct StuckSocket {
  void binary(bool) {}
  template <class Buffer, class Handler>
  void async_write(const Buffer&, Handler&&) {}
};

TEST(MessageOutbox, AReaderThatDoesNotReadParksABoundedNumberOfBytesNotOnlyOfMessages) {
  StuckSocket ws;
  MessageOutbox<StuckSocket> outbox(ws, [] {});
  const auto owner = std::make_shared<int>();
  constexpr std::size_t kSize = 64 * 1024;
  std::size_t accepted = 0;
  while (accepted < 1000 && outbox.push(std::string(kSize, 'x'), false, owner)) ++accepted;
  // The first is being written; the others wait within the byte budget.
  EXPECT_EQ(accepted - 1, MessageOutbox<StuckSocket>::kMaxQueuedBytes / kSize);
}

}  // namespace
}  // namespace qova::common
