#include "relay.h"

#include "front_door.h"
#include "relay_state.h"

namespace qova::server {

Relay::Relay(boost::asio::io_context& io, boost::asio::ssl::context& tls, RelayOptions options)
    : state_(std::make_shared<RelayState>(io, tls, std::move(options))) {}

// Connections still open may keep the state, and so the registry, a little longer: what is queued is
// written now.
Relay::~Relay() { state_->registry.flush(); }

void Relay::serve(boost::asio::ip::tcp::acceptor& acceptor) { acceptConnections(*state_, acceptor); }

}  // namespace qova::server
