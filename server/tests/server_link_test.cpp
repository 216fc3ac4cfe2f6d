// What the agent decides alone about reaching a server: the address it accepts, how long it waits
// between tries, and its key, kept beside the access code and bound to what it signs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "agent_identity.h"
#include "device_key.h"
#include "protocol.h"
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

  const std::string a(64, 'a'), b(64, 'b');
  const auto proof = key->signHex(deviceProofText("123456789", "nonce", "a.example", a));
  EXPECT_TRUE(verifyDeviceSignature(key->publicHex(), deviceProofText("123456789", "nonce", "a.example", a), proof));
  for (const auto& other : {deviceProofText("123456780", "nonce", "a.example", a),
                            deviceProofText("123456789", "other", "a.example", a),
                            deviceProofText("123456789", "nonce", "b.example", a),
                            deviceProofText("123456789", "nonce", "a.example", b)}) {
    EXPECT_FALSE(verifyDeviceSignature(key->publicHex(), other, proof)) << other;
  }
}

TEST(DeviceKey, ProofCountsOnlyAtTheServerItNames) {
  const std::string own(64, 'a'), proxy(64, 'c');
  const std::vector<std::string> names{"relay.example.org"};
  EXPECT_TRUE(server::proofNamesServer({"127.0.0.1", own, {}}, own, names));
  EXPECT_TRUE(server::proofNamesServer({"Relay.Example.ORG", proxy, {}}, own, names));
  EXPECT_FALSE(server::proofNamesServer({"relay.example.org.evil", proxy, {}}, own, names));
}

// Keys and signatures a forger can make without a private key, and ones encoded twice over: none
// may stand for a device. The last row is RFC 8032's first test vector, which must still pass.
TEST(DeviceKey, AcceptsOnlyCanonicalSignaturesByKeysOfLargeOrder) {
  const std::string identity = "01" + std::string(62, '0');
  const std::string trivialSignature = identity + std::string(64, '0');  // R = identity, S = 0
  const std::string rfcKey = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
  const std::string rfcR = "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155";
  const struct {
    std::string key, message, signature;
    bool valid;
  } cases[] = {
      {identity, "any message", trivialSignature, false},
      // Of order 8, with a message whose hash makes the trivial signature add up.
      {"c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a", "qova 45", trivialSignature, false},
      // The identity again, its y written as p + 1.
      {"eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", "any message", trivialSignature, false},
      // S + L in place of S.
      {rfcKey, "", rfcR + "4c8c7872aa064e049dbb3013fbf29380d25bf5f0595bbe24655141438e7a101b", false},
      {rfcKey, "", rfcR + "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b", true},
  };
  for (const auto& c : cases) EXPECT_EQ(verifyDeviceSignature(c.key, c.message, c.signature), c.valid) << c.key;
}

}  // namespace
}  // namespace qova::agent
