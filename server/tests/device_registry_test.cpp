// The device registry across restarts (what the writer thread left is what the next start reads),
// what it takes in from before it had a database, what it forgets, and the server's budget of new IDs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "device_registry.h"
#include "new_device_budget.h"

namespace qova::server {
namespace {

namespace fs = std::filesystem;
using Claim = DeviceRegistry::Claim;
constexpr std::int64_t kDay = 24 * 60 * 60;
const std::string kKey(64, 'a');
const std::string kOtherKey(64, 'b');

struct Folder {
  Folder() {
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~Folder() { fs::remove_all(path); }
  std::string database() const { return (path / "devices.sqlite").string(); }
  fs::path path = fs::temp_directory_path() / ("qova-registry-" + std::to_string(::getpid()));
};

TEST(DeviceRegistry, AClaimSurvivesAReopen) {
  Folder folder;
  EXPECT_EQ(DeviceRegistry(folder.database()).claim("1000001", kKey), Claim::Registered);
  DeviceRegistry registry(folder.database());
  EXPECT_EQ(registry.claim("1000001", kOtherKey), Claim::Conflict);
  EXPECT_EQ(registry.claim("1000001", kKey), Claim::Known);
}

TEST(DeviceRegistry, TakesInDevicesJsonOnceWhileTheDatabaseIsEmpty) {
  Folder folder;
  std::ofstream(folder.path / "devices.json") << R"({"devices": {"1000001": ")" + kKey + R"(", "x": "y"}})";
  EXPECT_EQ(DeviceRegistry(folder.database()).size(), 1u);
  EXPECT_TRUE(fs::exists(folder.path / "devices.json.imported"));
  std::ofstream(folder.path / "devices.json") << R"({"devices": {"1000002": ")" + kKey + R"("}})";
  DeviceRegistry registry(folder.database());
  EXPECT_EQ(registry.claim("1000001", kKey), Claim::Known);
  EXPECT_FALSE(registry.knows("1000002"));
}

TEST(DeviceRegistry, ForgetsOnlyDevicesUnseenSinceTheCutoffInMemoryAndOnDisk) {
  Folder folder;
  std::int64_t now = 1000 * kDay;
  const auto clock = [&now] { return now; };
  {
    DeviceRegistry registry(folder.database(), {}, clock);
    for (const auto* id : {"1000001", "1000002", "1000003", "1000005"}) registry.claim(id, kKey);
    ASSERT_TRUE(registry.flush());  // on disk before they are forgotten
    now += 30 * kDay;
    registry.claim("1000002", kKey);  // proves its key again
    registry.seen("1000003");         // online all along
    registry.claim("1000004", kKey);
    EXPECT_EQ(registry.forgetUnseen(now - kDay, 1), 1u);
    EXPECT_EQ(registry.forgetUnseen(now - kDay), 1u);
    EXPECT_FALSE(registry.knows("1000001"));
    EXPECT_EQ(registry.claim("1000001", kOtherKey), Claim::Registered);  // the ID is free again
  }
  DeviceRegistry registry(folder.database(), {}, clock);
  EXPECT_EQ(registry.forgetUnseen(now - kDay), 0u);  // the refreshed times were written too
  EXPECT_FALSE(registry.knows("1000005"));
  EXPECT_EQ(registry.size(), 4u);
  EXPECT_EQ(registry.claim("1000001", kOtherKey), Claim::Known);
}

TEST(DeviceRegistry, ADatabaseThatCannotBeOpenedIsReportedAndMemoryServes) {
  std::string reported;
  DeviceRegistry registry("/nonexistent/devices.sqlite", [&](const std::string& message) { reported = message; });
  EXPECT_NE(reported.find("cannot open"), std::string::npos);
  EXPECT_EQ(registry.claim("1000001", kKey), Claim::Registered);
}

TEST(NewDeviceBudget, GivesABurstThenTheRateAndNeverMoreThanTheBurst) {
  using std::chrono::seconds;
  NewDeviceBudget::Clock::time_point now{};
  NewDeviceBudget budget(2, 3, [&now] { return now; });  // 3 at once, then one every 30 s
  const struct {
    seconds later;
    bool admitted;
  } steps[] = {{seconds(0), true},   {seconds(0), true}, {seconds(0), true},  {seconds(0), false},
               {seconds(29), false}, {seconds(1), true}, {seconds(0), false}, {seconds(600), true},
               {seconds(0), true},   {seconds(0), true}, {seconds(0), false}};
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    now += steps[i].later;
    EXPECT_EQ(budget.admit(), steps[i].admitted) << "step " << i;
  }
}

}  // namespace
}  // namespace qova::server
