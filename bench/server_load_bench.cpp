// Load on qova-server over loopback: many idle agents, then sessions streaming frames to viewers.
//   server_load_bench <qova-server> [agents=1000] [sessions=50] [fps=10] [frame bytes=150000] [seconds=10]
// Starts the server with a fresh self-signed certificate, registers `agents` devices (each its own
// Ed25519 key), measures the server's memory and CPU while they idle, then logs `sessions` viewers
// in (from several loopback addresses, each with its own guess budget), has their agents send frames
// at `fps` and reports the server's CPU and memory and the frames viewers got. Prints one line per figure.
#include <utility>  // Boost 1.74's awaitable.hpp misses it

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <nlohmann/json.hpp>

#include "device_key.h"
#include "hex.h"
#include "random_bytes.h"

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using Json = nlohmann::json;
using Socket = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;
using net::use_awaitable;

struct Figures {
  std::size_t registered = 0;
  std::size_t sessions = 0;
  std::size_t framesSent = 0;
  std::size_t framesReceived = 0;
  bool streaming = false;
} figures;

unsigned short port = 0;
std::string frame;

net::awaitable<std::unique_ptr<Socket>> dial(net::ssl::context& tls, const std::string& path, const std::string& from = {}) {
  auto executor = co_await net::this_coro::executor;
  auto ws = std::make_unique<Socket>(executor, tls);
  auto& socket = beast::get_lowest_layer(*ws).socket();
  socket.open(tcp::v4());
  if (!from.empty()) socket.bind({net::ip::make_address(from), 0});
  co_await socket.async_connect({net::ip::make_address("127.0.0.1"), port}, use_awaitable);
  co_await ws->next_layer().async_handshake(net::ssl::stream_base::client, use_awaitable);
  // Only the page's viewers name an Origin: the server refuses one on the agents' paths.
  if (path == "/viewer") {
    ws->set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
      request.set(beast::http::field::origin, "https://127.0.0.1:" + std::to_string(port));
    }));
  }
  co_await ws->async_handshake("127.0.0.1:" + std::to_string(port), path, use_awaitable);
  co_return ws;
}

net::awaitable<std::string> readText(Socket& ws) {
  beast::flat_buffer buffer;
  co_await ws.async_read(buffer, use_awaitable);
  co_return beast::buffers_to_string(buffer.data());
}

net::awaitable<void> stream(net::ssl::context& tls, std::string deviceId, std::string ticket, int fps) {
  auto ws = co_await dial(tls, "/session");
  const auto join = Json{{"type", "join"}, {"deviceId", deviceId}, {"ticket", ticket}}.dump();
  co_await ws->async_write(net::buffer(join), use_awaitable);
  ws->binary(true);
  net::steady_timer tick(co_await net::this_coro::executor);
  for (auto next = std::chrono::steady_clock::now();; next += std::chrono::milliseconds(1000 / fps)) {
    tick.expires_at(next);
    co_await tick.async_wait(use_awaitable);
    co_await ws->async_write(net::buffer(frame), use_awaitable);
    if (figures.streaming) ++figures.framesSent;
  }
}

// An agent: registers, then admits every login and streams frames into its session.
net::awaitable<void> agent(net::ssl::context& tls, int index, int fps) {
  const auto key = *qova::common::DeviceKey::fromPrivateHex(qova::common::randomHex(32));
  const auto deviceId = std::to_string(900000000 + index);
  // Five agents per loopback address: each address may register only a few new devices at once.
  auto ws = co_await dial(tls, "/agent", "127.1." + std::to_string(index / 5 / 200) + "." + std::to_string(index / 5 % 200 + 1));
  const auto hello = Json{{"type", "hello"}, {"deviceId", deviceId}, {"publicKey", key.publicHex()}}.dump();
  co_await ws->async_write(net::buffer(hello), use_awaitable);
  const auto challengeText = co_await readText(*ws);
  const auto challenge = Json::parse(challengeText);
  const auto nonce = challenge.at("nonce").get<std::string>();
  // Named like the real agent names it: the host dialed and the certificate seen.
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned size = 0;
  X509_digest(SSL_get0_peer_certificate(ws->next_layer().native_handle()), EVP_sha256(), digest, &size);
  const auto seen = qova::common::toHex(std::string_view(reinterpret_cast<const char*>(digest), size));
  const auto signature = key.signHex(qova::common::deviceProofText(deviceId, nonce, "127.0.0.1", seen));
  const auto proof =
      Json{{"type", "proof"}, {"host", "127.0.0.1"}, {"fingerprint", seen}, {"signature", signature}}.dump();
  co_await ws->async_write(net::buffer(proof), use_awaitable);
  co_await readText(*ws);  // welcome
  ++figures.registered;
  for (;;) {
    const auto loginText = co_await readText(*ws);
    const auto login = Json::parse(loginText);
    const auto ticket = login.at("ticket").get<std::string>();
    const auto result = Json{{"type", "login-result"}, {"ticket", ticket}, {"ok", true}}.dump();
    co_await ws->async_write(net::buffer(result), use_awaitable);
    net::co_spawn(co_await net::this_coro::executor, stream(tls, deviceId, ticket, fps), net::detached);
  }
}

net::awaitable<void> viewer(net::ssl::context& tls, int index) {
  // Four viewers per loopback address: each address has its own guess budget at the server.
  auto ws = co_await dial(tls, "/viewer", "127.0.0." + std::to_string(2 + index / 4));
  const auto auth = Json{{"type", "auth"}, {"deviceId", std::to_string(900000000 + index)}, {"code", "x"}}.dump();
  co_await ws->async_write(net::buffer(auth), use_awaitable);
  beast::flat_buffer buffer;
  ++figures.sessions;
  for (;;) {
    co_await ws->async_read(buffer, use_awaitable);
    if (!ws->got_text() && figures.streaming) ++figures.framesReceived;
    buffer.consume(buffer.size());
  }
}

// Server CPU seconds so far and resident memory in MiB, from /proc.
std::pair<double, double> usage(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  double utime = 0, stime = 0;
  for (int i = 3; i < 14; ++i) fields >> skip;
  fields >> utime >> stime;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  double rssKiB = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) rssKiB = std::stod(line.substr(6));
  }
  return {(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK)), rssKiB / 1024};
}

void runFor(net::io_context& io, std::chrono::milliseconds time) {
  io.restart();
  io.run_for(time);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: server_load_bench <qova-server> [agents] [sessions] [fps] [frame bytes] [seconds]\n";
    return 2;
  }
  const int agents = argc > 2 ? std::stoi(argv[2]) : 1000;
  const int sessions = argc > 3 ? std::stoi(argv[3]) : 50;
  const int fps = argc > 4 ? std::stoi(argv[4]) : 10;
  frame.assign(argc > 5 ? std::stoul(argv[5]) : 150000, 'j');
  const int seconds = argc > 6 ? std::stoi(argv[6]) : 10;

  char folder[] = "/tmp/qova-server-bench-XXXXXX";
  if (!::mkdtemp(folder)) return 1;
  int out[2];
  if (::pipe(out) != 0) return 1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // Its agents are all new devices at once: far more than the server takes from the world in a minute.
  std::vector<std::string> args{argv[1], "--self-signed", "--state", folder, "--listen", "127.0.0.1:0"};
  args.insert(args.end(), {"--max-per-address", "100000", "--new-devices-per-minute", "1000000"});
  std::vector<char*> argp;
  for (auto& arg : args) argp.push_back(arg.data());
  argp.push_back(nullptr);
  pid_t server = 0;
  if (posix_spawn(&server, argv[1], &actions, nullptr, argp.data(), environ) != 0) return 1;
  ::close(out[1]);
  FILE* serverOut = ::fdopen(out[0], "r");
  char line[512];
  while (port == 0 && std::fgets(line, sizeof line, serverOut)) {
    const std::string text = line;
    if (text.find("listening on") != std::string::npos) port = static_cast<unsigned short>(std::stoi(text.substr(text.rfind(':') + 1)));
  }

  net::io_context io{1};
  net::ssl::context tls(net::ssl::context::tls_client);  // loopback to our own server: not verified
  const auto before = usage(server);
  for (int i = 0; i < agents; ++i) net::co_spawn(io, agent(tls, i, fps), net::detached);
  for (int waited = 0; figures.registered < static_cast<std::size_t>(agents) && waited < 600; ++waited) runFor(io, std::chrono::milliseconds(100));
  const auto registered = usage(server);
  runFor(io, std::chrono::seconds(seconds));
  const auto idle = usage(server);
  std::printf("idle agents registered: %zu of %d\n", figures.registered, agents);
  std::printf("idle agents: server memory %.1f MiB (%.1f MiB before), CPU %.2f %% of one core over %d s\n", idle.second,
              before.second, 100 * (idle.first - registered.first) / seconds, seconds);

  for (int i = 0; i < sessions; ++i) net::co_spawn(io, viewer(tls, i), net::detached);
  runFor(io, std::chrono::seconds(3));
  figures.streaming = true;
  const auto start = usage(server);
  runFor(io, std::chrono::seconds(seconds));
  const auto end = usage(server);
  std::printf("sessions: %zu at %d fps, %zu-byte frames: server CPU %.1f %% of one core, memory %.1f MiB, "
              "frames sent %zu, delivered %zu (%.1f %%)\n",
              figures.sessions, fps, frame.size(), 100 * (end.first - start.first) / seconds, end.second,
              figures.framesSent, figures.framesReceived,
              figures.framesSent ? 100.0 * static_cast<double>(figures.framesReceived) / static_cast<double>(figures.framesSent) : 0.0);
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  std::system(("rm -rf " + std::string(folder)).c_str());
  return 0;
}
