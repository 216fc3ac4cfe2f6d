#include "agent_identity.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>

#include "temp_folder.h"

namespace qova::agent {
namespace {

namespace fs = std::filesystem;

TEST(ListenAddress, ParsesHostAndPortForms) {
  EXPECT_EQ(parseListenAddress("127.0.0.1:8080"), (ListenAddress{"127.0.0.1", 8080}));
  EXPECT_EQ(parseListenAddress(":9000"), (ListenAddress{"127.0.0.1", 9000}));
  EXPECT_EQ(parseListenAddress("[::1]:7000"), (ListenAddress{"::1", 7000}));
  EXPECT_EQ(parseListenAddress("0.0.0.0:0"), (ListenAddress{"0.0.0.0", 0}));
  for (const char* bad : {"", "8080", "host:", "host:99999", "host:12ab", "::1:80", "[::1]80", "[::1"}) {
    EXPECT_FALSE(parseListenAddress(bad)) << bad;
  }
}

TEST(ListenAddress, ViewerUrlIsSomethingABrowserOnThisMachineCanOpen) {
  EXPECT_EQ(viewerUrl({"127.0.0.1", 17380}), "http://127.0.0.1:17380/");
  EXPECT_EQ(viewerUrl({"::1", 80}), "http://[::1]:80/");
  EXPECT_EQ(viewerUrl({"0.0.0.0", 5000}), "http://127.0.0.1:5000/");
  for (const char* host : {"127.0.0.1", "127.9.8.7", "localhost", "[::1]"}) EXPECT_TRUE(isLoopbackHost(host)) << host;
  for (const char* host : {"127.evil.example", "192.168.1.2", "[::2]"}) EXPECT_FALSE(isLoopbackHost(host)) << host;
}

TEST(DeviceId, StableForOneUserOnOneMachineAndDistinctOtherwise) {
  const auto id = deviceIdFor("4f1c0a", 1000);
  EXPECT_EQ(id, deviceIdFor("4f1c0a", 1000));
  EXPECT_TRUE(std::regex_match(id, std::regex("[1-9][0-9]{8}"))) << id;
  EXPECT_NE(id, deviceIdFor("4f1c0a", 1001));
  EXPECT_NE(id, deviceIdFor("4f1c0b", 1000));
}

TEST(AccessCode, UsesTheUnambiguousAlphabetEvenly) {
  std::uint32_t state = 12345;
  auto random = [&state] { return state = state * 1664525u + 1013904223u; };
  std::set<std::string> codes;
  for (int i = 0; i < 200; ++i) {
    const auto code = makeAccessCode(random);
    EXPECT_TRUE(isWellFormedAccessCode(code)) << code;
    codes.insert(code);
  }
  EXPECT_EQ(codes.size(), 200u);
  EXPECT_FALSE(isWellFormedAccessCode("abc"));
  EXPECT_FALSE(isWellFormedAccessCode("abcdefg0"));  // 0 is left out: it reads like o
}

TEST(AccessCode, CreatedOnceKeptPrivateAndReusedAfterwards) {
  TempFolder folder;
  const auto file = folder.path() / "config" / "qova-lumaro-agent" / "state.json";
  std::uint32_t n = 0;
  const auto code = loadOrCreateAccessCode(file, [&n] { return n++ * 2654435761u; });
  EXPECT_TRUE(isWellFormedAccessCode(code));
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(modeOf(file.parent_path()) & 0077, 0u);
  EXPECT_EQ(loadOrCreateAccessCode(file, [] { return 7u; }), code);
  // No stray temporary file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), {}), 1);
}

TEST(AccessCode, AnUnusableStateFileIsReplaced) {
  TempFolder folder;
  const auto file = (folder.path() / "state.json").string();
  for (const char* content : {"not json", "{\"accessCode\":42}", "{\"accessCode\":\"short\"}", "[]"}) {
    std::ofstream(file) << content;
    ::chmod(file.c_str(), 0644);
    const auto code = loadOrCreateAccessCode(file, [] { return 3u; });
    EXPECT_TRUE(isWellFormedAccessCode(code)) << content;
    EXPECT_EQ(readAccessCode(file), code) << content;
    EXPECT_EQ(modeOf(file), 0600u) << content;
  }
}

}  // namespace
}  // namespace qova::agent
