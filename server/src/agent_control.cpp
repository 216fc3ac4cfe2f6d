#include "agent_control.h"

#include <nlohmann/json.hpp>

#include "device_key.h"
#include "random_bytes.h"
#include "viewer_connection.h"

namespace qova::server {

namespace {

using Json = nlohmann::json;

constexpr std::size_t kMaxAgentMessage = 4 * 1024;
constexpr std::size_t kNonceBytes = 32;

}  // namespace

AgentControl::AgentControl(TlsStream&& stream, std::shared_ptr<AddressSlot> slot)
    : RelaySocket(std::move(stream), std::move(slot), kMaxAgentMessage) {}

bool AgentControl::handle(std::string data, bool binary) {
  const auto message = binary ? std::nullopt : parseAgentMessage(data);
  if (!message) return finish(), false;
  if (const auto* hello = std::get_if<AgentHello>(&*message); hello && stage_ == Stage::Hello) {
    deviceId_ = hello->deviceId;
    publicKey_ = hello->publicKey;
    nonce_ = common::randomHex(kNonceBytes);
    stage_ = Stage::Proof;
    push(Json{{"type", "challenge"}, {"nonce", nonce_}}.dump());
    return true;
  }
  if (const auto* proof = std::get_if<AgentProof>(&*message); proof && stage_ == Stage::Proof) {
    registerDevice(*proof);
    return true;
  }
  if (const auto* answer = std::get_if<LoginSeal>(&*message); answer && registered_) {
    const auto* ticket = state_.gate.find(answer->ticket);
    if (!ticket || ticket->deviceId != deviceId_) return true;
    // A share nobody asked for now is out of order.
    if (auto viewer = ticket->viewer.lock(); viewer && !viewer->sealAnswered(*answer)) return finish(), false;
    return true;
  }
  if (const auto* result = std::get_if<LoginResult>(&*message); result && registered_) {
    // A late answer for an attempt already given up is not an error of the agent's.
    const auto* ticket = state_.gate.find(result->ticket);
    if (!ticket || ticket->deviceId != deviceId_) return true;
    if (auto viewer = ticket->viewer.lock()) viewer->loginAnswered(*result);
    return true;
  }
  return finish(), false;
}

void AgentControl::registerDevice(const AgentProof& proof) {
  stage_ = Stage::Done;
  const auto text = common::deviceProofText(deviceId_, nonce_, proof.host, proof.fingerprint);
  if (!common::verifyDeviceSignature(publicKey_, text, proof.signature)) {
    refusal(deviceFrom() + " refused: bad signature");
    return closeWith({{"type", "refused"}, {"reason", "the key did not sign"}});
  }
  // A proof for another server reaches us when that server passed our challenge on to the agent:
  // accepting it would let that server log in here in the device's name.
  if (!proofNamesServer(proof, state_.options.fingerprint, state_.options.names)) {
    refusal(deviceFrom() + " refused: the proof names another server");
    return closeWith({{"type", "refused"}, {"reason", "wrong server"}});
  }
  if (state_.cluster) return claimInCluster(false);
  if (!state_.registry.knows(deviceId_) && !spendNewDeviceBudget()) return;
  const auto claim = state_.registry.claim(deviceId_, publicKey_);
  if (claim == DeviceRegistry::Claim::Conflict || claim == DeviceRegistry::Claim::Full) {
    const bool full = claim == DeviceRegistry::Claim::Full;
    refusal(deviceFrom() + " refused: " + (full ? "registry full" : "the ID belongs to another key"));
    return closeWith({{"type", "refused"}, {"reason", full ? "registry full" : "device ID taken"}});
  }
  admit();
}

// New device IDs cost their address a share of a budget like the guessing one, so one address
// cannot fill the registry, then a share of the server's, so many addresses cannot either; the
// address's first, so an address over its own budget does not spend the server's. A known device
// coming back costs nothing.
bool AgentControl::spendNewDeviceBudget() {
  const bool addressOver = state_.newDevices.admit(slot_->address) > RelayState::Clock::duration::zero();
  if (addressOver || !state_.newDeviceBudget.admit()) {
    refusal(deviceFrom() + " refused: too many new devices " + (addressOver ? "from this address" : "on this server"));
    closeWith({{"type", "refused"}, {"reason", "too many new devices, try later"}});
    return false;
  }
  return true;
}

// The keys are Redis's: asked first whether the ID is known, so only a new one spends the budgets
// for new devices, then claimed for good. Without Redis nobody can tell whose an ID is: the agent is
// told to come back, and meanwhile the devices already here stay reachable.
void AgentControl::claimInCluster(bool budgetSpent) {
  state_.cluster->claim(deviceId_, publicKey_, budgetSpent, [self = self<AgentControl>(), budgetSpent](Cluster::Claim claim) {
    if (self->finished_) return;
    using Claim = Cluster::Claim;
    if (claim == Claim::Unavailable || (claim == Claim::Unknown && budgetSpent)) {
      self->refusal(self->deviceFrom() + " refused: directory unavailable");
      return self->closeWith({{"type", "refused"}, {"reason", "directory unavailable, try later"}});
    }
    if (claim == Claim::Conflict || claim == Claim::Full) {
      const bool full = claim == Claim::Full;
      self->refusal(self->deviceFrom() + " refused: " + (full ? "registry full" : "the ID belongs to another key"));
      return self->closeWith({{"type", "refused"}, {"reason", full ? "registry full" : "device ID taken"}});
    }
    if (claim == Claim::Unknown) {
      if (self->spendNewDeviceBudget()) self->claimInCluster(true);
      return;
    }
    self->admit();
  });
}

void AgentControl::admit() {
  // The same key again: the device reconnected before its old connection timed out, or a second
  // copy of the agent runs with the same state. The old connection is told, so a copy backs off.
  if (auto previous = state_.agent(deviceId_); previous && previous.get() != this) {
    previous->closeWith({{"type", "replaced"}});
  }
  if (!slot_->proved()) {
    refusal(deviceFrom() + " refused: too many connections from this address");
    return closeWith({{"type", "refused"}, {"reason", "too many connections, try later"}});
  }
  state_.agents[deviceId_] = self<AgentControl>();
  registered_ = established_ = true;
  state_.log.line("device " + escapeForLog(deviceId_) + " online from " + escapeForLog(slot_->address));
  if (state_.cluster) state_.cluster->announce(deviceId_);
  push(Json{{"type", "welcome"}, {"deviceId", deviceId_}}.dump());
}

void AgentControl::finished() {
  if (!registered_) return;
  const auto found = state_.agents.find(deviceId_);
  if (found != state_.agents.end() && found->second.lock().get() == this) {
    state_.agents.erase(found);
    if (state_.cluster) state_.cluster->withdraw(deviceId_);
  }
  state_.log.line("device " + escapeForLog(deviceId_) + " offline");
}

}  // namespace qova::server
