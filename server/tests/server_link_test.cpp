// What the agent decides alone about reaching a server: the address it accepts, how long it waits
// between tries, and its key, kept beside the access code and bound to what it signs; then its link
// to a stand-in server that says what each case needs, on loopback.
#include <gtest/gtest.h>
#include <sodium.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <future>
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
#include "pake.h"
#include "seal.h"
#include "random_bytes.h"
#include "server_link.h"
#include "tls_setup.h"
#include "viewer_hub.h"

namespace qova::agent {
namespace {

using namespace common;

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
  const auto key = loadOrCreateDeviceKey(state);
  ASSERT_TRUE(key);
  ASSERT_TRUE(writeAccessCode(state, "abcdefgh"));  // rewriting the code must not lose the key
  EXPECT_EQ(loadOrCreateDeviceKey(state)->publicHex(), key->publicHex());
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

// The server's end of the agent's connections, taken one at a time. Every wait is bounded, so a case
// that goes wrong fails instead of hanging.
struct FakeServer {
  std::string folder = (std::filesystem::temp_directory_path() / ("qova-fake-" + randomHex(6))).string();
  net::io_context io;
  net::ssl::context tls{net::ssl::context::tls_server};
  tcp::acceptor acceptor{io, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0)};
  FakeServer() {
    std::string error;
    server::ensureSelfSignedCertificate(folder, "", error);
    server::configureServerTls(tls, folder + "/cert.pem", folder + "/key.pem", error);
  }
  ~FakeServer() { std::filesystem::remove_all(folder); }
  ServerLinkConfig link() const {
    return {"wss://127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()),
            server::certificateFingerprint(folder + "/cert.pem"),
            "123456789",
            folder,
            1000,
            folder + "/state.json"};
  }
  std::unique_ptr<Socket> accept() {
    pollfd ready{acceptor.native_handle(), POLLIN, 0};
    if (::poll(&ready, 1, 10000) != 1) return nullptr;
    auto ws = std::make_unique<Socket>(acceptor.accept(), tls);
    const timeval limit{5, 0};
    ::setsockopt(beast::get_lowest_layer(*ws).native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ws->next_layer().handshake(net::ssl::stream_base::server);
    ws->accept();
    return ws;
  }
};

// The next message of `type` (any type when empty); null when the connection ends or stays silent.
Json next(Socket& ws, const std::string& type = "") {
  for (int i = 0; i < 20; ++i) {
    beast::flat_buffer buffer;
    beast::error_code error;
    if (ws.read(buffer, error), error) break;
    auto message = Json::parse(beast::buffers_to_string(buffer.data()), nullptr, false);
    if (type.empty() || message.value("type", "") == type) return message;
  }
  return {};
}
void send(Socket& ws, const Json& message) {
  beast::error_code ignored;
  ws.write(net::buffer(message.dump()), ignored);
}
// Lets the agent in as the server does a key it knows.
bool welcome(Socket& ws) {
  if (next(ws, "hello").is_null()) return false;
  send(ws, {{"type", "challenge"}, {"nonce", randomHex(32)}});
  if (next(ws, "proof").is_null()) return false;
  return send(ws, {{"type", "welcome"}}), true;
}

ServerConfig withCode(std::string code) {
  ServerConfig config;
  config.accessCode = std::move(code);
  return config;
}

// The agent's server link alone, on a network thread of its own.
struct LinkedAgent {
  LineWriter lines{::open("/dev/null", O_WRONLY | O_CLOEXEC)};  // left open: the writer may use it to its end
  net::io_context io;
  std::shared_ptr<ViewerHub> hub = std::make_shared<ViewerHub>(io, withCode("abcdefgh"), lines);
  ServerLink link;
  net::executor_work_guard<net::io_context::executor_type> work = net::make_work_guard(io);
  std::thread thread;
  explicit LinkedAgent(ServerLinkConfig config)
      : link(io, hub, std::move(config), *DeviceKey::fromPrivateHex(randomHex(32))) {
    link.start();
    thread = std::thread([this] { io.run(); });
  }
  ~LinkedAgent() { io.stop(), thread.join(); }
};

TEST(ServerLinkWithServer, AConnectionCutInsideAMessageLeavesNothingForTheNext) {
  FakeServer server;
  LinkedAgent agent(server.link());
  auto first = server.accept();
  ASSERT_TRUE(first && !next(*first, "hello").is_null());
  // The head of a 200-byte text message and a quarter of it, then the end of the connection.
  net::write(first->next_layer(), net::buffer(std::string("\x81\x7e\x00\xc8", 4) + std::string(50, 'x')));
  first.reset();
  const auto second = server.accept();
  EXPECT_TRUE(second && welcome(*second));
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
  std::promise<bool> localPageRested;
  net::post(agent.io, [&] { localPageRested.set_value(agent.hub->limiter().rested()); });
  EXPECT_TRUE(localPageRested.get_future().get());
}

TEST(ServerLinkWithServer, SessionsThroughTheServerAreCappedTheOldestMakingWayForTheNewest) {
  FakeServer server;
  LinkedAgent agent(server.link());
  const auto control = server.accept();
  ASSERT_TRUE(control && welcome(*control));
  std::vector<std::unique_ptr<Socket>> sessions;
  for (int i = 0; i < 12; ++i) {
    send(*control, {{"type", "login"}, {"ticket", std::to_string(i)}, {"code", "abcdefgh"}});
    ASSERT_TRUE(next(*control).value("ok", false)) << i;
    sessions.push_back(server.accept());
    ASSERT_TRUE(sessions.back() && next(*sessions.back(), "join").value("ticket", "") == std::to_string(i));
  }
  // Told when it joins how many watch, itself included.
  EXPECT_EQ(next(*sessions.back(), "viewers").value("count", 0), 8);
}

TEST(ServerLinkWithServer, ASealedLoginIsJudgedByItsProofAndItsSessionIsSealedBehindTheJoin) {
  FakeServer server;
  LinkedAgent agent(server.link());
  const auto control = server.accept();
  ASSERT_TRUE(control && welcome(*control));
  const auto hex = [](std::string_view bytes) {
    std::string out(bytes.size() * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return out.substr(0, bytes.size() * 2);
  };
  for (const std::string code : {"wrongcod", "abcdefgh"}) {
    const std::string sid(16, 's'), ticket = "t-" + code;
    const auto page = seal::cpaceShare(seal::cpaceGenerator(code, seal::prefixFreeCat({"123456789"}), sid), "");
    const Json opening{{"version", 1}, {"sid", hex(sid)}, {"share", hex(page.message)}};
    send(*control, {{"type", "login"}, {"ticket", ticket}, {"seal", opening}});
    const auto answer = next(*control, "login-seal");
    ASSERT_EQ(answer.value("ticket", ""), ticket);
    std::string agentMessage(answer["share"].get<std::string>().size() / 2, '\0');
    sodium_hex2bin(reinterpret_cast<unsigned char*>(agentMessage.data()), agentMessage.size(),
                   answer["share"].get<std::string>().data(), agentMessage.size() * 2, nullptr, nullptr, nullptr);
    const auto keys = seal::deriveKeys(*seal::cpaceIsk(page.scalar, sid, page.message, agentMessage, true), ticket);
    const auto proof = hex(seal::confirmTag(keys.pageConfirm, page.message, agentMessage));
    send(*control, {{"type", "login-confirm"}, {"ticket", ticket}, {"confirm", proof}});
    const bool right = code == "abcdefgh";
    ASSERT_EQ(next(*control, "login-result").value("ok", !right), right) << code;
    if (!right) continue;
    const auto session = server.accept();
    ASSERT_TRUE(session && next(*session, "join").value("ticket", "") == ticket);
    beast::flat_buffer buffer;
    session->read(buffer);
    ASSERT_TRUE(session->got_binary());
    seal::SealedDirection fromAgent(keys.agentToPage, seal::Direction::AgentToPage);
    const auto opened = fromAgent.open(beast::buffers_to_string(buffer.data()));
    ASSERT_TRUE(opened);
    EXPECT_EQ(Json::parse(opened->payload)["confirm"],
              hex(seal::confirmTag(keys.agentConfirm, page.message, agentMessage)));
  }
}

}  // namespace
}  // namespace qova::agent
