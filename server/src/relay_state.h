#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <unordered_map>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "address_counts.h"
#include "audit_log.h"
#include "cluster.h"
#include "device_registry.h"
#include "limiter_table.h"
#include "new_device_budget.h"
#include "relay.h"
#include "viewer_gate.h"

namespace qova::server {

class AgentControl;

// What the server's connections share: the options, the registry, the budgets and caps, the
// devices online, the log. Connections hold it while they live. Network thread only.
struct RelayState : std::enable_shared_from_this<RelayState> {
  using Clock = std::chrono::steady_clock;

  RelayState(boost::asio::io_context& io, boost::asio::ssl::context& tls, RelayOptions options);

  // What one address may hold once proved: at most a quarter of all connections.
  std::size_t establishedCap() const;
  // The registered control connection of a device, if it is online; never adds an entry.
  std::shared_ptr<AgentControl> agent(const std::string& deviceId) const;
  // A refusal a client can repeat at will: one line per address and minute, then a count.
  void refusal(const std::string& address, std::string text);

  boost::asio::io_context& io;
  boost::asio::ssl::context& tls;
  RelayOptions options;
  DeviceRegistry registry;
  ViewerGate gate;
  LimiterTable newDevices;          // by address
  NewDeviceBudget newDeviceBudget;  // for the whole server
  std::unordered_map<std::string, std::weak_ptr<AgentControl>> agents;
  Counts perAddress;  // not proved yet
  Counts establishedPerAddress;
  std::size_t connections = 0;
  boost::asio::steady_timer acceptTimer;
  std::chrono::milliseconds acceptBackOff{0};
  Clock::time_point acceptNoticed{};
  AuditLog log;
  // With Redis: what the servers share, and how this one dials the others.
  std::unique_ptr<Cluster> cluster;
  boost::asio::ssl::context peerTls{boost::asio::ssl::context::tls_client};

 private:
  void renewDirectory();
  void forgetUnseen();
  void armAuditFlush();

  boost::asio::steady_timer forgetTimer_;
  boost::asio::steady_timer auditTimer_;
  boost::asio::steady_timer renewTimer_;
  bool auditArmed_ = false;
};

}  // namespace qova::server
