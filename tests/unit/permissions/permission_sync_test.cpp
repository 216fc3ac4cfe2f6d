#include <gtest/gtest.h>

#include "support/controller_fixture.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

class PermissionSyncTest : public ControllerTest {
 protected:
  void SetUp() override {
    launchApp();
    delegate->startAgent();
  }
  std::string sent() { return sentTo(launches().back()); }
};

constexpr const char* kBoth = "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n";

TEST_F(PermissionSyncTest, UnchangedStatesAreSentOnceHoweverLongTheAgentRuns) {
  main().advance(60s);
  EXPECT_EQ(sent(), kBoth);
}

TEST_F(PermissionSyncTest, ChangesAreSentAtTheNextTick) {
  fakes.permissions->input = false;
  main().advance(1499ms);
  EXPECT_EQ(sent(), kBoth);
  main().advance(1ms);
  EXPECT_EQ(sent(), std::string(kBoth) + "__QOVA_PERMISSION__{\"input\":false,\"screen\":true}\n");
  fakes.permissions->screen = false;
  fakes.permissions->input = true;
  main().advance(1500ms);
  EXPECT_EQ(sent(), std::string(kBoth) + "__QOVA_PERMISSION__{\"input\":false,\"screen\":true}\n" +
                        "__QOVA_PERMISSION__{\"input\":true,\"screen\":false}\n");
  EXPECT_EQ(launches().size(), 1u);  // a change restarts nothing
}

TEST_F(PermissionSyncTest, EveryNewAgentGetsOneForcedMessage) {
  sent();
  delegate->stopClicked();
  fakes.permissions->input = false;
  main().advance(5s);
  delegate->startAgent();
  EXPECT_EQ(sent(), "__QOVA_PERMISSION__{\"input\":false,\"screen\":true}\n");
  delegate->stopClicked();
  delegate->startAgent();  // same states as last reported: sent again anyway
  EXPECT_EQ(sent(), "__QOVA_PERMISSION__{\"input\":false,\"screen\":true}\n");
  EXPECT_EQ(main().activeTimerCount(), 2);  // the file refresh and one permission poll
}

TEST_F(PermissionSyncTest, NothingIsSentAfterStop) {
  auto& first = launches()[0];
  sentTo(first);
  delegate->stopClicked();
  fakes.permissions->screen = false;
  main().advance(10s);
  EXPECT_EQ(sentTo(first), kBoth);
  EXPECT_EQ(delegate->lastScreenTrusted, true);  // remembered until the next start
}

}  // namespace
}  // namespace qova::test
