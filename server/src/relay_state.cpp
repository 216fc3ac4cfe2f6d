#include "relay_state.h"

#include <algorithm>
#include <iostream>

#include "agent_control.h"

namespace qova::server {

namespace {

// How often the counts of folded refusals are looked at; a count is written this much late at most.
constexpr std::chrono::seconds kAuditFlushEvery{5};
constexpr std::chrono::hours kForgetInterval{1};
constexpr std::size_t kForgetSlice = 10000;

// The registry's writer thread reports here: one whole line at a time, beside the network thread's.
void registryProblem(const std::string& text) { std::cerr << ("[server] " + text + "\n") << std::flush; }

}  // namespace

RelayState::RelayState(boost::asio::io_context& io, boost::asio::ssl::context& tls, RelayOptions options)
    : io(io), tls(tls), options(std::move(options)), registry(this->options.registryFile, registryProblem),
      gate({this->options.maxSessionsPerDevice, this->options.maxViewersPerAddress}),
      newDeviceBudget(this->options.newDevicesPerMinute), acceptTimer(io), forgetTimer_(io), auditTimer_(io) {
  forgetUnseen();
}

std::size_t RelayState::establishedCap() const {
  return std::min(options.maxEstablishedPerAddress, std::max<std::size_t>(1, options.maxConnections / 4));
}

std::shared_ptr<AgentControl> RelayState::agent(const std::string& deviceId) const {
  const auto found = agents.find(deviceId);
  return found == agents.end() ? nullptr : found->second.lock();
}

// Now and every hour. A device online all along has not proved its key lately, but is not unseen.
// Many at once (those taken in together from an old devices.json) go in slices, other work between.
void RelayState::forgetUnseen() {
  for (const auto& [deviceId, peer] : agents) {
    if (!peer.expired()) registry.seen(deviceId);
  }
  const auto cutoff = DeviceRegistry::systemSeconds() - std::chrono::seconds(options.forgetAfter).count();
  const auto forgotten = registry.forgetUnseen(cutoff, kForgetSlice);
  if (forgotten > 0) {
    log.line("forgot " + std::to_string(forgotten) + " devices unseen for " +
             std::to_string(options.forgetAfter.count()) + " days");
  }
  forgetTimer_.expires_after(forgotten == kForgetSlice ? Clock::duration::zero() : kForgetInterval);
  forgetTimer_.async_wait([this](boost::system::error_code error) {
    if (!error) forgetUnseen();
  });
}

void RelayState::refusal(const std::string& address, std::string text) {
  log.refusal(address, std::move(text));
  armAuditFlush();
}

void RelayState::armAuditFlush() {
  if (auditArmed_ || !log.folding()) return;
  auditArmed_ = true;
  auditTimer_.expires_after(kAuditFlushEvery);
  auditTimer_.async_wait([this](boost::system::error_code error) {
    if (error) return;
    auditArmed_ = false;
    log.flush();
    armAuditFlush();
  });
}

}  // namespace qova::server
