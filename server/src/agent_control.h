#pragma once

#include <memory>
#include <string>

#include "protocol.h"
#include "relay_socket.h"

namespace qova::server {

// A device's control connection: it names its device and key, signs the server's nonce, and is
// then the device's presence here, through which viewers' login attempts reach its agent and the
// agent's verdicts come back.
class AgentControl final : public RelaySocket {
 public:
  AgentControl(TlsStream&& stream, std::shared_ptr<AddressSlot> slot);

 private:
  bool handle(std::string data, bool binary) override;
  void finished() override;
  void registerDevice(const AgentProof& proof);
  bool spendNewDeviceBudget();
  void claimInCluster(bool budgetSpent);
  void admit();

  enum class Stage { Hello, Proof, Done };

  std::string publicKey_;
  std::string nonce_;
  Stage stage_ = Stage::Hello;
  bool registered_ = false;
};

}  // namespace qova::server
