#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "address_counts.h"
#include "limiter_table.h"

namespace qova::server {

class ViewerConnection;

// The decisions of a viewer's login, without sockets: whether an attempt is judged (a budget per
// device and a smaller one per address), the tickets of attempts the device's agent judges, the caps
// on the sessions of a device and the viewers of an address, and when a refusal is given. Time comes
// from `now`, so tests run it at a virtual clock. Used on the network thread only.
class ViewerGate {
 public:
  using Clock = std::chrono::steady_clock;

  struct Caps {
    std::size_t sessionsPerDevice;
    std::size_t viewersPerAddress;
  };

  struct Ticket {
    std::weak_ptr<ViewerConnection> viewer;
    std::string deviceId;
    std::string address;
    bool accepted = false;
  };

  explicit ViewerGate(Caps caps, std::function<Clock::time_point()> now = Clock::now);

  // Zero when an attempt from `address` on `deviceId` is judged now, which spends a share of both
  // budgets; otherwise how long until one may be.
  Clock::duration admit(const std::string& address, const std::string& deviceId);
  // The two budgets one at a time, for when the device's is kept elsewhere.
  Clock::duration admitAddress(const std::string& address) { return byAddress_.admit(address); }
  // The attempt went on to the device's server, which spends the address's budget there: a right
  // code gives it back only there, so it is not spent twice.
  void passedOn(const std::string& address) { byAddress_.succeeded(address); }
  // A fresh ticket for an attempt the device's agent is asked to judge.
  std::string open(std::weak_ptr<ViewerConnection> viewer, std::string deviceId, std::string address);
  const Ticket* find(const std::string& ticket) const;
  // The agent took the code: false, dropping the ticket, when the device or the address already
  // holds all the sessions it may. A right code gives back what it spent of both budgets.
  bool accept(const std::string& ticket);
  // The viewer of a ticket the agent accepted, presented for the same device; a ticket is used once.
  // nullopt, keeping the ticket, for anything else.
  std::optional<std::weak_ptr<ViewerConnection>> redeem(const std::string& ticket, const std::string& deviceId);
  // When to refuse the attempt begun at `started`, dropping its ticket. Whatever the reason (an ID
  // nobody has, an offline device, a silent agent, a wrong code), the viewer sees the same answer
  // after the same delay, so it cannot tell which device IDs exist.
  Clock::time_point refuse(const std::string& ticket, Clock::time_point started);
  void drop(const std::string& ticket) { tickets_.erase(ticket); }

  // A viewer let through holds one of its device's sessions and one of its address's places.
  void joined(const std::string& deviceId, const std::string& address);
  void left(const std::string& deviceId, const std::string& address);

 private:
  Caps caps_;
  std::function<Clock::time_point()> now_;
  LimiterTable byDevice_;
  LimiterTable byAddress_;
  std::unordered_map<std::string, Ticket> tickets_;
  Counts sessionsPerDevice_;
  Counts viewersPerAddress_;
};

}  // namespace qova::server
