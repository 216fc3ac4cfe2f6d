#include "agent_identity.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

namespace qova::agent {
namespace {

namespace fs = std::filesystem;

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "qova-agent-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempFolder() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

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
  EXPECT_TRUE(isLoopbackHost("127.0.0.1"));
  EXPECT_TRUE(isLoopbackHost("localhost"));
  EXPECT_TRUE(isLoopbackHost("[::1]"));
  EXPECT_FALSE(isLoopbackHost("127.evil.example"));
  EXPECT_FALSE(isLoopbackHost("192.168.1.2"));
}

TEST(DeviceId, StableForOneUserOnOneMachineAndDistinctOtherwise) {
  const auto id = deviceIdFor("4f1c0a", 1000);
  EXPECT_EQ(id, deviceIdFor("4f1c0a", 1000));
  EXPECT_EQ(id.size(), 9u);
  EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos);
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
  const auto file = (folder.path() / "config" / "qova-lumaro-agent" / "state.json").string();
  std::uint32_t n = 0;
  auto random = [&n] { return n++ * 2654435761u; };
  const auto code = loadOrCreateAccessCode(file, random);
  EXPECT_TRUE(isWellFormedAccessCode(code));
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(fs::path(file).parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0077, 0u);
  EXPECT_EQ(loadOrCreateAccessCode(file, [] { return 7u; }), code);
  // No stray temporary file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(file).parent_path()), fs::directory_iterator{}), 1);
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
    struct stat info {};
    ::stat(file.c_str(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
  }
}

TEST(IdentityLines, CarryTheExactPrefixesTheApplicationReads) {
  const auto lines = identityLines("123456789", "k7m2p9xa", "http://127.0.0.1:17380/");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "设备 ID: 123456789");
  EXPECT_EQ(lines[1], "验证码: k7m2p9xa");
  EXPECT_EQ(lines[2], "服务器: http://127.0.0.1:17380/");
}

}  // namespace
}  // namespace qova::agent
