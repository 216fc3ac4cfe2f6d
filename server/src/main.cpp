// qova-server: the rendezvous agents dial out to and viewers log in through. See README.md,
// "Running a server", for how operators run it.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <charconv>
#include <iostream>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl/context.hpp>

#include "relay.h"
#include "tls_setup.h"

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

int usage() {
  std::cerr << "usage: qova-server [--listen HOST:PORT] (--cert FILE --key FILE | --self-signed [--name HOST])\n"
               "                   [--state DIR] [--origin https://NAME[:PORT]] [--max-per-address N]\n"
               "                   [--session-idle SECONDS] [--session-limit SECONDS] [--forget-after DAYS]\n"
               "                   [--new-devices-per-minute N] [--max-devices N]\n"
               "                   [--redis HOST:PORT --server-id NAME --peer wss://HOST:PORT --cluster-secret-file FILE]\n"
               "  --listen        address to serve HTTPS and WebSockets on (default 0.0.0.0:8443)\n"
               "  --cert, --key   the certificate chain and key in PEM, from an ACME client for example\n"
               "  --self-signed   make a certificate in the state folder once, keep it, print its SHA-256\n"
               "  --name          another name or address the self-signed certificate is valid for\n"
               "  --state         folder for devices.sqlite (public keys only) and the self-signed files\n"
               "                  (default /var/lib/qova-server)\n"
               "  --origin        the page's origin when a proxy in front changes it\n"
               "  --max-per-address  connections per address not yet registered or logged in (64)\n"
               "  --session-idle, --session-limit  seconds a session may go without input (1800),\n"
               "                  and may last (28800)\n"
               "  --forget-after  days after which a device not seen is forgotten, its ID free again (60)\n"
               "  --new-devices-per-minute  new device IDs the whole server takes, after 200 at once (10)\n"
               "  --max-devices   device IDs kept at most, by this server or the servers as one (1000000)\n"
               "  --redis         work as one with the other servers using this Redis: device keys, where\n"
               "                  each device is and its guess budget are kept there\n"
               "  --server-id     this server's name among them; --peer how they reach it\n"
               "  --cluster-secret-file  a secret all of them share, to vouch for a client's address\n";
  return 2;
}

// Each agent holds a descriptor: allow as many as the system lets this user have, and keep the
// connections below that, with room for the files the server itself opens.
std::size_t raiseDescriptorLimit() {
  constexpr rlim_t kOwnFiles = 64;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024 - kOwnFiles;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur > 2 * kOwnFiles ? static_cast<std::size_t>(limit.rlim_cur - kOwnFiles) : kOwnFiles;
}

// The host of "https://NAME[:PORT]", without the brackets of an IPv6 address.
std::string originHost(std::string_view origin) {
  if (const auto scheme = origin.find("://"); scheme != std::string_view::npos) origin.remove_prefix(scheme + 3);
  if (origin.starts_with('[')) return std::string(origin.substr(1, origin.find(']') - 1));
  return std::string(origin.substr(0, origin.find_first_of(":/")));
}

// A whole number, all of `text`: a typo in a flag gets the usage, not an exception.
template <class Number>
bool number(std::string_view text, Number& into) {
  unsigned long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return false;
  if constexpr (std::is_integral_v<Number>) {
    if (value > std::numeric_limits<Number>::max()) return false;
  }
  into = Number(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string listen = "0.0.0.0:8443";
  std::string cert, key, state = "/var/lib/qova-server", name;
  bool selfSigned = false;
  qova::server::RelayOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--self-signed") {
      selfSigned = true;
    } else if (arg == "--listen" && hasValue) {
      listen = argv[++i];
    } else if (arg == "--cert" && hasValue) {
      cert = argv[++i];
    } else if (arg == "--key" && hasValue) {
      key = argv[++i];
    } else if (arg == "--state" && hasValue) {
      state = argv[++i];
    } else if (arg == "--name" && hasValue) {
      name = argv[++i];
    } else if (arg == "--origin" && hasValue) {
      options.origin = argv[++i];
    } else if (arg == "--max-per-address" && hasValue) {
      if (!number(argv[++i], options.maxPerAddress)) return usage();
    } else if (arg == "--session-idle" && hasValue) {
      if (!number(argv[++i], options.sessionIdle)) return usage();
    } else if (arg == "--session-limit" && hasValue) {
      if (!number(argv[++i], options.sessionTotal)) return usage();
    } else if (arg == "--forget-after" && hasValue) {
      if (!number(argv[++i], options.forgetAfter)) return usage();
    } else if (arg == "--redis" && hasValue) {
      options.redis = argv[++i];
    } else if (arg == "--server-id" && hasValue) {
      options.serverId = argv[++i];
    } else if (arg == "--peer" && hasValue) {
      options.peer = argv[++i];
    } else if (arg == "--cluster-secret-file" && hasValue) {
      std::ifstream in(argv[++i]);
      std::getline(in, options.clusterSecret);
      if (!in && !in.eof()) return usage();
    } else if (arg == "--max-devices" && hasValue) {
      if (!number(argv[++i], options.maxDevices)) return usage();
    } else if (arg == "--new-devices-per-minute" && hasValue) {
      if (!number(argv[++i], options.newDevicesPerMinute)) return usage();
    } else {
      return usage();
    }
  }
  if (selfSigned == !(cert.empty() && key.empty()) || (!selfSigned && (cert.empty() || key.empty()))) return usage();
  if (options.forgetAfter.count() < 1 || options.newDevicesPerMinute < 1 || options.maxDevices < 1) return usage();
  if (!options.redis.empty()) {
    const auto port = options.redis.rfind(':');
    unsigned short redisPort = 0;
    if (port == std::string::npos || !number(std::string_view(options.redis).substr(port + 1), redisPort) ||
        options.serverId.empty() || options.serverId.find(' ') != std::string::npos ||
        !options.peer.starts_with("wss://") || options.clusterSecret.size() < 16) {
      std::cerr << "qova-server: --redis needs --server-id (no spaces), --peer wss://HOST:PORT and a\n"
                   "  --cluster-secret-file of at least 16 characters\n";
      return usage();
    }
  }
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos) return usage();
  auto host = listen.substr(0, colon);
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);

  ::signal(SIGPIPE, SIG_IGN);
  options.maxConnections = std::min(options.maxConnections, raiseDescriptorLimit());
  std::string error;
  if (selfSigned) {
    if (!qova::server::ensureSelfSignedCertificate(state, name, error)) {
      std::cerr << "qova-server: " << error << "\n";
      return 1;
    }
    cert = state + "/cert.pem";
    key = state + "/key.pem";
  }
  net::ssl::context tls(net::ssl::context::tls_server);
  if (!qova::server::configureServerTls(tls, cert, key, error)) {
    std::cerr << "qova-server: " << error << "\n";
    return 1;
  }
  options.registryFile = state + "/devices.sqlite";
  // Agents name the server they reached in their proof: its certificate, or the name a proxy in
  // front of it answers to.
  const auto fingerprint = qova::server::certificateFingerprint(cert);
  options.fingerprint = fingerprint;
  std::erase(options.fingerprint, ':');
  std::transform(options.fingerprint.begin(), options.fingerprint.end(), options.fingerprint.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (!name.empty()) options.names.push_back(name);
  if (!options.origin.empty()) options.names.push_back(originHost(options.origin));

  net::io_context io{1};
  tcp::acceptor acceptor(io);
  try {
    unsigned short port = 0;
    if (!number(std::string_view(listen).substr(colon + 1), port)) return usage();
    const tcp::endpoint endpoint(net::ip::make_address(host), port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(net::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(net::socket_base::max_listen_connections);
  } catch (const std::exception& e) {
    std::cerr << "qova-server: cannot listen on " << listen << ": " << e.what() << "\n";
    return 1;
  }
  qova::server::Relay relay(io, tls, options);
  relay.serve(acceptor);
  const auto port = acceptor.local_endpoint().port();
  std::cout << "qova-server: listening on " << host << ":" << port << "\n"
            << "qova-server: certificate SHA-256 " << fingerprint << std::endl;
  net::signal_set signals(io, SIGTERM, SIGINT);
  signals.async_wait([&io](const boost::system::error_code&, int) { io.stop(); });
  io.run();
  return 0;
}
