#include "agent/device_identity.h"

#include <gtest/gtest.h>

namespace qova {
namespace {

TEST(DeviceIdentity, ReadsTheThreeLinesTrimmed) {
  const auto identity = parseDeviceIdentity("设备 ID:  123 456 789\n验证码:\tab12\t\n服务器: relay.example:21116  \n");
  EXPECT_EQ(identity.deviceId, "123 456 789");
  EXPECT_EQ(identity.accessCode, "ab12");
  EXPECT_EQ(identity.server, "relay.example:21116");
}

TEST(DeviceIdentity, CrLfAndUnicodeLineSeparatorsSplitLines) {
  const auto identity = parseDeviceIdentity("设备 ID:1\r\n验证码:2\u2028服务器:3\u0085other");
  EXPECT_EQ(identity.deviceId, "1");
  EXPECT_EQ(identity.accessCode, "2");
  EXPECT_EQ(identity.server, "3");
}

TEST(DeviceIdentity, RepeatedPrefixesAreAllRemovedAndLaterLinesWin) {
  const auto identity = parseDeviceIdentity("服务器:a服务器:b\n验证码:first\n验证码:second\n");
  EXPECT_EQ(identity.server, "ab");
  EXPECT_EQ(identity.accessCode, "second");
}

TEST(DeviceIdentity, OnlyLeadingPrefixesCountAndOnlyTheFirstMatchingPrefix) {
  const auto identity = parseDeviceIdentity("note 设备 ID:9\n设备 ID:x 验证码:y\n");
  EXPECT_EQ(identity.deviceId, "x 验证码:y");
  EXPECT_EQ(identity.accessCode, std::nullopt);
}

TEST(DeviceIdentity, UnicodeSpacesAreTrimmedAndEmptyValuesKept) {
  const auto identity = parseDeviceIdentity("设备 ID:\u3000\u00a0value\u2003\n验证码:\n");
  EXPECT_EQ(identity.deviceId, "value");
  EXPECT_EQ(identity.accessCode, "");
}

TEST(DeviceIdentity, NothingMatchesInForeignOrInvalidOutput) {
  EXPECT_EQ(parseDeviceIdentity("设备ID:1\nID:2\n").deviceId, std::nullopt);
  EXPECT_EQ(parseDeviceIdentity("设备 ID:1\n\xff\n").deviceId, std::nullopt);
  EXPECT_EQ(parseDeviceIdentity("").server, std::nullopt);
}

}  // namespace
}  // namespace qova
