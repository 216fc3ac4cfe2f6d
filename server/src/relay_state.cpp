#include "relay_state.h"

#include <algorithm>
#include <iostream>

#include <nlohmann/json.hpp>

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
    : io(io), tls(tls), options(std::move(options)), registry(this->options.registryFile, registryProblem, DeviceRegistry::systemSeconds, this->options.maxDevices),
      gate({this->options.maxSessionsPerDevice, this->options.maxViewersPerAddress}),
      newDeviceBudget(this->options.newDevicesPerMinute), acceptTimer(io), forgetTimer_(io), auditTimer_(io), renewTimer_(io) {
  if (!this->options.redis.empty()) {
    const auto colon = this->options.redis.rfind(':');
    auto host = this->options.redis.substr(0, colon);
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    Cluster::Options clusterOptions{host,
                                    static_cast<unsigned short>(std::stoi(this->options.redis.substr(colon + 1))),
                                    this->options.serverId, this->options.peer, this->options.forgetAfter,
                                    this->options.maxDevices};
    cluster = std::make_unique<Cluster>(io, std::move(clusterOptions), [this](const std::string& text) { log.line(text); });
    SSL_CTX_set_min_proto_version(peerTls.native_handle(), TLS1_2_VERSION);
    peerTls.set_default_verify_paths();
    cluster->importOnce(registry.keys());
    cluster->start();
    renewDirectory();
  }
  forgetUnseen();
}

// This server's directory entries lapse unless renewed: a server that is gone stops renewing, and
// its devices are found where they register next. An entry another server wrote since means the
// device registered there too (a second copy of the agent, or a connection this server has not
// yet seen break): this one is told, as a copy on the same server would be.
void RelayState::renewDirectory() {
  std::vector<std::string> online;
  for (const auto& [deviceId, peer] : agents) {
    if (!peer.expired()) online.push_back(deviceId);
  }
  if (!online.empty()) {
    cluster->renew(online, [weak = weak_from_this()](std::vector<std::string> lost) {
      auto self = weak.lock();
      for (const auto& deviceId : lost) {
        if (auto agent = self ? self->agent(deviceId) : nullptr) agent->closeWith({{"type", "replaced"}});
      }
    });
  }
  renewTimer_.expires_after(Cluster::kRenewEvery);
  renewTimer_.async_wait([this](boost::system::error_code error) {
    if (!error) renewDirectory();
  });
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
  std::vector<std::string> online;
  for (const auto& [deviceId, peer] : agents) {
    if (!peer.expired()) online.push_back(deviceId);
  }
  for (const auto& deviceId : online) registry.seen(deviceId);
  if (cluster) cluster->seen(online);
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
