// What the agent decides alone about reaching a server: the address it accepts, how long it waits
// between tries, and its key, kept beside the access code and bound to what it signs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "agent_identity.h"
#include "device_key.h"
#include "server_link.h"

namespace qova::agent {
namespace {

TEST(ServerLink, AcceptsOnlyTlsServerAddresses) {
  const struct {
    const char* url;
    const char* host;  // nullptr: refused
    const char* port;
  } cases[] = {
      {"wss://relay.example.org", "relay.example.org", "443"}, {"wss://10.0.0.2:8443/", "10.0.0.2", "8443"},
      {"wss://[::1]:9000", "::1", "9000"},  {"ws://relay.example.org", nullptr, nullptr},
      {"wss://host:0", nullptr, nullptr},   {"wss://host:70000", nullptr, nullptr},
      {"wss://a@b:1", nullptr, nullptr},    {"wss://:443", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    const auto address = parseServerUrl(c.url);
    ASSERT_EQ(address.has_value(), c.host != nullptr) << c.url;
    if (address) {
      EXPECT_EQ(address->host + " " + address->port, std::string(c.host) + " " + c.port);
    }
  }
}

TEST(ServerLink, RetriesBackOffExponentiallyWithJitterUpToTheCap) {
  using std::chrono::milliseconds;
  EXPECT_EQ(retryDelay(0, 1.0), milliseconds(1000));
  EXPECT_EQ(retryDelay(0, 0.0), milliseconds(500));
  EXPECT_EQ(retryDelay(3, 1.0), milliseconds(8000));
  EXPECT_EQ(retryDelay(40, 1.0), milliseconds(60000));
  EXPECT_EQ(retryDelay(40, 0.0), milliseconds(30000));
}

TEST(DeviceKey, IsKeptBesideTheAccessCodeAndSignsOnlyWhatItSigned) {
  const auto folder = std::filesystem::temp_directory_path() / ("qova-key-" + std::to_string(::getpid()));
  const auto state = (folder / "state.json").string();
  const auto key = DeviceKey::loadOrCreate(state);
  ASSERT_TRUE(key);
  ASSERT_TRUE(writeAccessCode(state, "abcdefgh"));  // rewriting the code must not lose the key
  EXPECT_EQ(DeviceKey::loadOrCreate(state)->publicHex(), key->publicHex());
  EXPECT_EQ(std::filesystem::status(state).permissions(), std::filesystem::perms(0600));
  std::filesystem::remove_all(folder);

  const auto proof = key->signHex(deviceProofText("123456789", "nonce"));
  EXPECT_TRUE(verifyDeviceSignature(key->publicHex(), deviceProofText("123456789", "nonce"), proof));
  EXPECT_FALSE(verifyDeviceSignature(key->publicHex(), deviceProofText("123456780", "nonce"), proof));
  EXPECT_FALSE(verifyDeviceSignature(key->publicHex(), deviceProofText("123456789", "other"), proof));
}

}  // namespace
}  // namespace qova::agent
