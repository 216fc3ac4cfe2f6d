#include "viewer_gate.h"

#include "random_bytes.h"

namespace qova::server {

namespace {

using common::GuessLimiter;

// Logins from one address are judged at a fifth of a device's rate, so one address (or a few) cannot
// spend a device's whole budget and keep its owner out.
constexpr GuessLimiter::Rate kAddressLoginRate{GuessLimiter::kBurst, 5 * GuessLimiter::kRefill};
constexpr std::size_t kTicketBytes = 16;

}  // namespace

ViewerGate::ViewerGate(Caps caps, std::function<Clock::time_point()> now)
    : caps_(caps), now_(std::move(now)), byDevice_({GuessLimiter::kBurst, GuessLimiter::kRefill}, now_),
      byAddress_(kAddressLoginRate, now_) {}

ViewerGate::Clock::duration ViewerGate::admit(const std::string& address, const std::string& deviceId) {
  // The address's budget first: an address over its own budget does not spend the device's.
  const auto wait = byAddress_.admit(address);
  return wait > Clock::duration::zero() ? wait : byDevice_.admit(deviceId);
}

std::string ViewerGate::open(std::weak_ptr<ViewerConnection> viewer, std::string deviceId, std::string address) {
  auto ticket = common::randomHex(kTicketBytes);
  tickets_[ticket] = {std::move(viewer), std::move(deviceId), std::move(address), false};
  return ticket;
}

const ViewerGate::Ticket* ViewerGate::find(const std::string& ticket) const {
  const auto found = tickets_.find(ticket);
  return found == tickets_.end() ? nullptr : &found->second;
}

bool ViewerGate::accept(const std::string& ticket) {
  const auto found = tickets_.find(ticket);
  if (found == tickets_.end()) return false;
  auto& entry = found->second;
  if (countOf(sessionsPerDevice_, entry.deviceId) >= caps_.sessionsPerDevice ||
      countOf(viewersPerAddress_, entry.address) >= caps_.viewersPerAddress) {
    tickets_.erase(found);
    return false;
  }
  entry.accepted = true;
  byAddress_.succeeded(entry.address);
  byDevice_.succeeded(entry.deviceId);
  return true;
}

std::optional<std::weak_ptr<ViewerConnection>> ViewerGate::redeem(const std::string& ticket,
                                                                  const std::string& deviceId) {
  const auto found = tickets_.find(ticket);
  if (found == tickets_.end() || !found->second.accepted || found->second.deviceId != deviceId) return std::nullopt;
  auto viewer = std::move(found->second.viewer);
  tickets_.erase(found);
  return viewer;
}

ViewerGate::Clock::time_point ViewerGate::refuse(const std::string& ticket, Clock::time_point started) {
  tickets_.erase(ticket);
  return started + GuessLimiter::kWrongCodeDelay;
}

void ViewerGate::joined(const std::string& deviceId, const std::string& address) {
  countUp(sessionsPerDevice_, deviceId);
  countUp(viewersPerAddress_, address);
}

void ViewerGate::left(const std::string& deviceId, const std::string& address) {
  countDown(sessionsPerDevice_, deviceId);
  countDown(viewersPerAddress_, address);
}

}  // namespace qova::server
