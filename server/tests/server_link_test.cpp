// What the agent decides alone about reaching a server: the address it accepts, how long it waits
// between tries, and its key, kept beside the access code and bound to what it signs; then its link
// to a stand-in server that says what each case needs, on loopback.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <nlohmann/json.hpp>

#include "agent_identity.h"
#include "device_key.h"
#include "protocol.h"
#include "line_writer.h"
#include "server_link.h"
#include "tls_setup.h"
#include "viewer_hub.h"

namespace qova::agent {
namespace {

TEST(ServerLink, AcceptsOnlyTlsServerAddresses) {
  const struct {
    const char* url;
    const char* host;  // nullptr: refused
    const char* port;
  } cases[] = {
      {"wss://relay.example.org", "relay.example.org", "443"}, {"wss://10.0.0.2:8443/", "10.0.0.2", "8443"},
      {"wss://[::1]:9000", "::1", "9000"},  {"ws://relay.example.org", nullptr, nullptr},
      {"wss://host:0", nullptr, nullptr},   {"wss://host:70000", nullptr, nullptr},
      {"wss://a@b:1", nullptr, nullptr},    {"wss://:443", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    const auto address = parseServerUrl(c.url);
    ASSERT_EQ(address.has_value(), c.host != nullptr) << c.url;
    if (address) {
      EXPECT_EQ(address->host + " " + address->port, std::string(c.host) + " " + c.port);
    }
  }
}

TEST(ServerLink, RetriesBackOffExponentiallyWithJitterUpToTheCap) {
  using std::chrono::milliseconds;
  EXPECT_EQ(retryDelay(0, 1.0), milliseconds(1000));
  EXPECT_EQ(retryDelay(0, 0.0), milliseconds(500));
  EXPECT_EQ(retryDelay(3, 1.0), milliseconds(8000));
  EXPECT_EQ(retryDelay(40, 1.0), milliseconds(60000));
  EXPECT_EQ(retryDelay(40, 0.0), milliseconds(30000));
}

TEST(DeviceKey, IsKeptBesideTheAccessCodeAndSignsOnlyWhatItSigned) {
  const auto folder = std::filesystem::temp_directory_path() / ("qova-key-" + std::to_string(::getpid()));
  const auto state = (folder / "state.json").string();
  const auto key = DeviceKey::loadOrCreate(state);
  ASSERT_TRUE(key);
  ASSERT_TRUE(writeAccessCode(state, "abcdefgh"));  // rewriting the code must not lose the key
  EXPECT_EQ(DeviceKey::loadOrCreate(state)->publicHex(), key->publicHex());
  EXPECT_EQ(std::filesystem::status(state).permissions(), std::filesystem::perms(0600));
  std::filesystem::remove_all(folder);

  const std::string a(64, 'a'), b(64, 'b');
  const auto proof = key->signHex(deviceProofText("123456789", "nonce", "a.example", a));
  EXPECT_TRUE(verifyDeviceSignature(key->publicHex(), deviceProofText("123456789", "nonce", "a.example", a), proof));
  for (const auto& other : {deviceProofText("123456780", "nonce", "a.example", a),
                            deviceProofText("123456789", "other", "a.example", a),
                            deviceProofText("123456789", "nonce", "b.example", a),
                            deviceProofText("123456789", "nonce", "a.example", b)}) {
    EXPECT_FALSE(verifyDeviceSignature(key->publicHex(), other, proof)) << other;
  }
}

TEST(DeviceKey, ProofCountsOnlyAtTheServerItNames) {
  const std::string own(64, 'a'), proxy(64, 'c');
  const std::vector<std::string> names{"relay.example.org"};
  EXPECT_TRUE(server::proofNamesServer({"127.0.0.1", own, {}}, own, names));
  EXPECT_TRUE(server::proofNamesServer({"Relay.Example.ORG", proxy, {}}, own, names));
  EXPECT_FALSE(server::proofNamesServer({"relay.example.org.evil", proxy, {}}, own, names));
}

// Keys and signatures a forger can make without a private key, and ones encoded twice over: none
// may stand for a device. The last row is RFC 8032's first test vector, which must still pass.
TEST(DeviceKey, AcceptsOnlyCanonicalSignaturesByKeysOfLargeOrder) {
  const std::string identity = "01" + std::string(62, '0');
  const std::string trivialSignature = identity + std::string(64, '0');  // R = identity, S = 0
  const std::string rfcKey = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
  const std::string rfcR = "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155";
  const struct {
    std::string key, message, signature;
    bool valid;
  } cases[] = {
      {identity, "any message", trivialSignature, false},
      // Of order 8, with a message whose hash makes the trivial signature add up.
      {"c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a", "qova 45", trivialSignature, false},
      // The identity again, its y written as p + 1.
      {"eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", "any message", trivialSignature, false},
      // S + L in place of S.
      {rfcKey, "", rfcR + "4c8c7872aa064e049dbb3013fbf29380d25bf5f0595bbe24655141438e7a101b", false},
      {rfcKey, "", rfcR + "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b", true},
  };
  for (const auto& c : cases) EXPECT_EQ(verifyDeviceSignature(c.key, c.message, c.signature), c.valid) << c.key;
}

namespace net = boost::asio;
namespace beast = boost::beast;
using tcp = net::ip::tcp;
using Json = nlohmann::json;
using Socket = beast::websocket::stream<beast::ssl_stream<tcp::socket>>;

// The server's end of the agent's connections, taken one at a time; every wait is bounded, so a case
// that goes wrong fails instead of hanging.
class FakeServer {
 public:
  FakeServer() {
    std::string error;
    if (!server::ensureSelfSignedCertificate(folder_, "", error) ||
        !server::configureServerTls(tls_, folder_ + "/cert.pem", folder_ + "/key.pem", error)) {
      throw std::runtime_error(error);
    }
    acceptor_.listen();
  }
  ~FakeServer() { std::filesystem::remove_all(folder_); }

  ServerLinkConfig link() const {
    return {"wss://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()),
            server::certificateFingerprint(folder_ + "/cert.pem"),
            "123456789",
            folder_,
            1000,
            folder_ + "/state.json"};
  }
  // The agent's next connection, upgraded, and the path it asked for; nullptr when none comes.
  std::unique_ptr<Socket> accept(std::string* path = nullptr) {
    pollfd ready{acceptor_.native_handle(), POLLIN, 0};
    if (::poll(&ready, 1, 10000) != 1) return nullptr;
    auto ws = std::make_unique<Socket>(acceptor_.accept(), tls_);
    const timeval limit{5, 0};
    for (const int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
      ::setsockopt(beast::get_lowest_layer(*ws).native_handle(), SOL_SOCKET, option, &limit, sizeof limit);
    }
    beast::flat_buffer buffer;
    beast::http::request<beast::http::string_body> request;
    ws->next_layer().handshake(net::ssl::stream_base::server);
    beast::http::read(ws->next_layer(), buffer, request);
    if (path) *path = std::string(request.target());
    ws->accept(request);
    ws->text(true);
    return ws;
  }

 private:
  std::string folder_ = (std::filesystem::temp_directory_path() / ("qova-fake-" + randomHex(6))).string();
  net::io_context io_;
  net::ssl::context tls_{net::ssl::context::tls_server};
  tcp::acceptor acceptor_{io_, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0)};
};

// The next message, or null when the connection ends or stays silent.
Json next(Socket& ws) {
  beast::flat_buffer buffer;
  beast::error_code error;
  ws.read(buffer, error);
  return error ? Json() : Json::parse(beast::buffers_to_string(buffer.data()), nullptr, false);
}
bool send(Socket& ws, const Json& message) {
  beast::error_code error;
  ws.write(net::buffer(message.dump()), error);
  return !error;
}

// Lets the agent in as the server does a key it knows; true once it is told.
bool welcome(Socket& ws) {
  if (next(ws).value("type", "") != "hello") return false;
  return send(ws, {{"type", "challenge"}, {"nonce", randomHex(32)}}) && next(ws).value("type", "") == "proof" &&
         send(ws, {{"type", "welcome"}});
}

ServerConfig localPage() {
  ServerConfig config;
  config.accessCode = "abcdefgh";
  return config;
}

// The agent's server link alone, on a network thread of its own, with the access code "abcdefgh".
class LinkedAgent {
 public:
  explicit LinkedAgent(ServerLinkConfig config) {
    link_.emplace(io_, hub_, std::move(config), *DeviceKey::fromPrivateHex(randomHex(32)));
    net::post(io_, [this] { link_->start(); });
    thread_ = std::thread([this] { io_.run(); });
  }
  ~LinkedAgent() {
    io_.stop();
    thread_.join();
  }
  // What `ask` returns when run on the network thread, where the hub lives.
  template <class Ask>
  auto onNetworkThread(Ask ask) {
    std::packaged_task<decltype(ask())()> task(std::move(ask));
    auto answer = task.get_future();
    net::post(io_, [&task] { task(); });
    return answer.get();
  }
  ViewerHub& hub() { return *hub_; }

 private:
  struct Discard {
    int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ~Discard() { ::close(fd); }
  } output_;
  LineWriter lines_{output_.fd};
  net::io_context io_;
  std::shared_ptr<ViewerHub> hub_ = std::make_shared<ViewerHub>(io_, localPage(), lines_);
  std::optional<ServerLink> link_;
  net::executor_work_guard<net::io_context::executor_type> work_ = net::make_work_guard(io_);
  std::thread thread_;
};

TEST(ServerLinkWithServer, AConnectionCutInsideAMessageLeavesNothingForTheNext) {
  FakeServer server;
  LinkedAgent agent(server.link());
  auto first = server.accept();
  ASSERT_TRUE(first && next(*first).value("type", "") == "hello");
  // The head of a 200-byte text message and a quarter of it, then the end of the connection.
  net::write(first->next_layer(), net::buffer(std::string("\x81\x7e\x00\xc8", 4) + std::string(50, 'x')));
  first.reset();
  const auto second = server.accept();
  ASSERT_TRUE(second);
  EXPECT_TRUE(welcome(*second));
}

TEST(ServerLinkWithServer, LoginsThroughTheServerSpendABudgetOfTheirOwn) {
  FakeServer server;
  LinkedAgent agent(server.link());
  const auto control = server.accept();
  ASSERT_TRUE(control && welcome(*control));
  for (int i = 0; i < 20; ++i) send(*control, {{"type", "login"}, {"ticket", std::to_string(i)}, {"code", "wrong"}});
  int toldToComeBack = 0;
  for (int i = 0; i < 20; ++i) toldToComeBack += next(*control).contains("retryMs");
  EXPECT_GE(toldToComeBack, 10);
  EXPECT_TRUE(agent.onNetworkThread([&agent] { return agent.hub().limiter().rested(); }));
}

TEST(ServerLinkWithServer, OnlyAnIdTakenByAnotherKeyMakesTheAgentTakeANewOneWhichItKeeps) {
  FakeServer server;
  const auto link = server.link();
  LinkedAgent agent(link);
  std::vector<std::string> claimed;
  for (const std::string refusal : {"registry full", "device ID taken", ""}) {
    const auto ws = server.accept();
    ASSERT_TRUE(ws);
    claimed.push_back(next(*ws).value("deviceId", ""));
    send(*ws, {{"type", "challenge"}, {"nonce", randomHex(32)}});
    ASSERT_EQ(next(*ws).value("type", ""), "proof");
    send(*ws, refusal.empty() ? Json{{"type", "welcome"}} : Json{{"type", "refused"}, {"reason", refusal}});
  }
  EXPECT_EQ(claimed[0], link.deviceId);
  EXPECT_EQ(claimed[1], link.deviceId);
  EXPECT_NE(claimed[2], link.deviceId);
  EXPECT_EQ(loadDeviceId(link.stateFile, "machine", 0), claimed[2]);
}

// Whether a session through the server still answers: a malformed upload is refused on it.
bool answers(Socket& session) {
  if (!send(session, {{"type", "upload"}})) return false;
  for (int i = 0; i < 20; ++i) {
    const auto message = next(session);
    if (message.is_null()) return false;
    if (message.value("type", "") == "upload") return true;
  }
  return false;
}

TEST(ServerLinkWithServer, SessionsThroughTheServerAreCappedTheOldestMakingWayForTheNewest) {
  FakeServer server;
  LinkedAgent agent(server.link());
  const auto control = server.accept();
  ASSERT_TRUE(control && welcome(*control));
  std::vector<std::unique_ptr<Socket>> sessions;
  for (int i = 0; i < 12; ++i) {
    const auto ticket = "ticket-" + std::to_string(i);
    send(*control, {{"type", "login"}, {"ticket", ticket}, {"code", "abcdefgh"}, {"address", "10.0.0.1"}});
    ASSERT_TRUE(next(*control).value("ok", false)) << i;
    std::string path;
    sessions.push_back(server.accept(&path));
    ASSERT_TRUE(sessions.back() && path == "/session") << i;
    ASSERT_EQ(next(*sessions.back()).value("ticket", ""), ticket);  // live from here on
  }
  for (std::size_t i = 0; i < sessions.size(); ++i) EXPECT_EQ(answers(*sessions[i]), i >= 4) << i;
}

}  // namespace
}  // namespace qova::agent
