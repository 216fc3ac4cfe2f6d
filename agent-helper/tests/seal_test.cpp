#include <sodium.h>

#include <gtest/gtest.h>

#include "pake.h"
#include "seal.h"

namespace {

using namespace qova::seal;

std::string unhex(std::string_view hex) {
  std::string out(hex.size() / 2, '\0');
  sodium_hex2bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), hex.data(), hex.size(), nullptr, nullptr,
                 nullptr);
  return out;
}

// The CPACE-RISTR255-SHA512 test vectors of the CPace draft.
const std::string kSid = unhex("7e4b4791d6a8ef019b936c79fb7f2c57");
const std::string kYa = unhex("1433dd19359992d4e06d740d3993d429af6338ffb4531ce175d22449853a790b");
const std::string kMsgA = unhex("20a8fc42c4d57b3c7346661011122a00563d0995fd72b62123ae244400e86d7b1a03414461");
const std::string kMsgB = unhex("20fc8e84ae4ab725909af05a56ef9714db6930e4a5589b3fee6cdd266236676d6303414462");

TEST(Cpace, MatchesThePublishedVectorsAndRefusesSharesThatAreNoPointOrMalformed) {
  EXPECT_EQ(
      cpaceIsk(kYa, kSid, kMsgA, kMsgB, true),
      unhex("0e33c5822bd495dea94ba7af161501f1b2d6a16d464b5d6e1a53dcbfb9244b9ba66c09c430fffdfe4fb4e99b4ea46f991a272"
            "de0431c132c2c79fd6de1a7e5e4"));
  const auto share = cpaceShare(unhex("021ca069484e890c9e494d8ed6bb0f66cbd9a8f0ef67168f36c51e0efeb8f347"), "",
                                unhex("7cd0e075fa7955ba52c02759a6c90dbbfc10e6d40aea8d283e407d88cf538a05"));
  EXPECT_EQ(share.message, '\x20' + unhex("62aaa018755dc881902097c2a993c0b7c0a4fe33bce2c0182b46a44c40b95119") + '\0');
  for (const auto& bad :
       {prefixFreeCat({unhex("011ca069484e890c9e494d8ed6bb0f66cbd9a8f0ef67168f36c51e0efeb8f347"), ""}),
        prefixFreeCat({std::string(32, '\0'), ""}), kMsgB.substr(0, 36), kMsgB + "x",
        std::string("\x21") + kMsgB.substr(1)}) {
    EXPECT_EQ(cpaceIsk(kYa, kSid, kMsgA, bad, true), std::nullopt);
  }
}

// What the server records of a login: both shares and both proofs. Each share is a valid point that
// is no identity, so in this prime-order group it is y·g for some y under every code's generator;
// the proofs depend on the shared point, which needs a secret scalar. A guesser holding the
// transcript can therefore only run the exchange anew, and that fails for every code alike.
TEST(Cpace, ARecordedLoginRulesOutNoCode) {
  const std::string sid(16, 's');
  const auto ci = prefixFreeCat({"local page"});
  const auto page = cpaceShare(cpaceGenerator("right-code", ci, sid), "");
  const auto agent = cpaceShare(cpaceGenerator("right-code", ci, sid), "");
  const auto isk = cpaceIsk(page.scalar, sid, page.message, agent.message, true);
  ASSERT_EQ(isk, cpaceIsk(agent.scalar, sid, page.message, agent.message, false));
  const auto recordedProof = confirmTag(deriveKeys(*isk, "local page").pageConfirm, page.message, agent.message);
  for (const auto& share : {page.message, agent.message}) {
    const auto point = *cpaceShareOf(share);
    EXPECT_TRUE(crypto_core_ristretto255_is_valid_point(reinterpret_cast<const unsigned char*>(point.data())));
  }
  for (const std::string candidate : {"right-code", "wrong-code"}) {
    const auto guess = cpaceShare(cpaceGenerator(candidate, ci, sid), "");
    const auto guessed = cpaceIsk(guess.scalar, sid, page.message, agent.message, false);
    ASSERT_TRUE(guessed) << candidate;
    EXPECT_NE(confirmTag(deriveKeys(*guessed, "local page").pageConfirm, page.message, agent.message), recordedProof)
        << candidate;
  }
}

TEST(Seal, EveryAlterationOfTheStreamEndsItAndNothingAfterOpens) {
  const auto key = std::string(32, 'k');
  struct Case {
    const char* name;
    std::vector<int> order;  // which of the sent messages arrive, in the order they arrive
    bool flip;               // the last arriving one has a bit flipped
    int failsAt;             // the first arriving message that must not open; -1: none
  };
  for (const auto aead : {Aead::ChaCha20Poly1305, Aead::Aes256Gcm}) {
    if (aead == Aead::Aes256Gcm && !aes256GcmAvailable()) continue;  // the agent never chooses it then
    for (const auto& [name, order, flip, failsAt] :
         {Case{"intact", {0, 1, 2}, false, -1}, Case{"flipped", {0, 1}, true, 1}, Case{"dropped", {0, 2}, false, 1},
          Case{"replayed", {0, 1, 1}, false, 2}, Case{"reordered", {1, 0}, false, 0},
          Case{"other direction", {}, false, 0}}) {
      SealedDirection sender(key, Direction::AgentToPage, aead), receiver(key, Direction::AgentToPage, aead);
      std::vector<std::string> sent{sender.seal("first", false), sender.seal(std::string(100 << 10, 'p'), true),
                                    sender.seal("third", false)};
      if (order.empty()) sent = {SealedDirection(key, Direction::PageToAgent, aead).seal("first", false)};
      std::vector<std::string> arriving;
      for (const int i : order) arriving.push_back(sent[i]);
      if (arriving.empty()) arriving = sent;
      if (flip) arriving.back()[7] ^= 1;
      for (int i = 0; i < int(arriving.size()); ++i) {
        const auto opened = receiver.open(arriving[i]);
        EXPECT_EQ(opened.has_value(), failsAt < 0 || i < failsAt) << name << " message " << i;
        if (opened && i == 1) {
          EXPECT_TRUE(opened->binary && opened->payload.size() == 100u << 10) << name;
        }
      }
      EXPECT_EQ(receiver.open(sent.back()).has_value(), false) << name << ": opens after the end";
    }
  }
}

}  // namespace
