#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "seal.h"

namespace qova::agent {

// The agent's end of a page's sealed login. The page opens with its share of the exchange on the
// access code; the agent answers with its own; the page then proves it derived the same key. A wrong
// code shows up only there, as a wrong proof, so the agent judges it and spends its guess budget as
// for a code typed in the clear. Afterwards every message of the session is sealed.
class ViewerSeal {
 public:
  // Where the exchange takes place: bound into it, so a share made for one place is of no use at another.
  static constexpr std::string_view kLocalChannel = "local page";
  static constexpr std::string_view kLocalBinding = "local page";

  // The agent's answer to the page's opening {"type":"seal","version":1,"sid":hex,"share":hex} (and
  // optionally "aead":[names] it can seal with) in `reply`, which names the cipher unless it is the
  // first; nullopt when the opening is malformed or its share is no valid point (not our page).
  static std::optional<ViewerSeal> answer(const nlohmann::json& opening, std::string_view code,
                                          std::string_view channel, std::string_view binding, std::string& reply);

  struct Confirmed {
    std::shared_ptr<seal::SealedDirection> toPage;
    std::shared_ptr<seal::SealedDirection> fromPage;
    std::string confirmation;  // the agent's own proof: the first message it sends sealed
  };
  // The page's proof {"type":"seal","confirm":hex}; nullopt when it does not hold (a wrong code).
  std::optional<Confirmed> confirm(const nlohmann::json& message) const;

 private:
  seal::Aead aead_ = seal::Aead::ChaCha20Poly1305;
  seal::SessionKeys keys_;
  std::string pageMessage_;
  std::string agentMessage_;
};

}  // namespace qova::agent
