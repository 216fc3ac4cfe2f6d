#pragma once

#include <boost/asio/ip/tcp.hpp>

#include "relay_state.h"

namespace qova::server {

// Takes every new connection on `acceptor` (which must be listening), within the caps on all
// connections and on those of one address; then TLS (plain HTTP is refused), the page's files, and
// an upgrade to the role its path names. `state` must outlive the acceptor's pending accept.
void acceptConnections(RelayState& state, boost::asio::ip::tcp::acceptor& acceptor);

}  // namespace qova::server
