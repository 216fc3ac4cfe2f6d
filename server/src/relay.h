#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

namespace qova::server {

struct RelayState;

struct RelayOptions {
  // The device registry's database (device ID to public key and last seen); a devices.json beside it
  // is taken in once. Empty: memory only.
  std::string registryFile;
  std::chrono::days forgetAfter{60};  // devices unseen this long are forgotten
  std::size_t maxDevices = 1'000'000;  // device IDs kept at most, by this server or the servers as one
  unsigned newDevicesPerMinute = 10;  // new device IDs for the whole server, after a burst
  std::size_t maxConnections = 20000;
  std::size_t maxPerAddress = 64;
  // What has proved itself is capped too, high enough for an office behind one NAT address: the
  // sessions of one device, the logged-in viewers of one address, and everything one address holds
  // (agents, sessions, viewers; at most a quarter of maxConnections).
  std::size_t maxSessionsPerDevice = 10;
  std::size_t maxViewersPerAddress = 100;
  std::size_t maxEstablishedPerAddress = 1000;
  std::chrono::seconds sessionIdle{30 * 60};
  std::chrono::seconds sessionTotal{8 * 60 * 60};
  // The page's origin as browsers name it; empty: "https://" and the Host the browser asked for.
  std::string origin;
  // Who this server is to agents: the SHA-256 of its certificate (hex, lower case, no colons), and
  // the names agents may dial it by when a proxy in front shows them another certificate.
  std::string fingerprint;
  std::vector<std::string> names;
  // Several servers as one: Redis at "HOST:PORT" holds the device keys, which server each device is
  // on and the devices' guess budgets. Empty: this server alone, its registry in `registryFile`.
  std::string redis;
  std::string serverId;       // this server's name among them
  std::string peer;           // how the others reach this one: "wss://host:port"
  std::string clusterSecret;  // with which servers vouch to each other for a client's address
};

// The server: serves the viewer page over HTTPS, keeps the agents' control connections, lets a
// viewer through to a device only after that device's agent accepted its access code, and joins
// the viewer to the session connection the agent then opens. One network thread.
class Relay {
 public:
  Relay(boost::asio::io_context& io, boost::asio::ssl::context& tls, RelayOptions options);
  ~Relay();
  // Starts accepting on the acceptor, which must be listening.
  void serve(boost::asio::ip::tcp::acceptor& acceptor);

 private:
  std::shared_ptr<RelayState> state_;
};

}  // namespace qova::server
