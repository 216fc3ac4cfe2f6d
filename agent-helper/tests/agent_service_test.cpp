// The agent program itself, driven as the application drives it (lines on its pipes) and as viewers,
// well-meaning or not, do (WebSocket and HTTP on loopback).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "access_guard.h"
#include "temp_folder.h"

extern char** environ;

namespace qova::agent {
namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ms = std::chrono::milliseconds;

int msLeft(Clock::time_point end) { return std::max<int>(0, std::chrono::duration_cast<ms>(end - Clock::now()).count()); }

// Reads `fd` into `into` until `enough`, the end (returns true) or `limit` (false).
bool readFd(int fd, std::string& into, ms limit, const std::function<bool()>& enough) {
  const auto end = Clock::now() + limit;
  for (char chunk[4096]; !enough();) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, msLeft(end)) <= 0) return false;
    const auto n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return true;
    into.append(chunk, static_cast<std::size_t>(n));
  }
  return false;
}

// The agent as a child on pipes, with `env` ("NAME=value") set for it alone through env(1).
class AgentProcess {
 public:
  AgentProcess(const std::vector<std::string>& args, std::vector<std::string> argv) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    argv.insert(argv.begin(), "/usr/bin/env");
    argv.push_back(QOVA_AGENT_HELPER_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    if (::posix_spawn(&pid_, raw[0], &actions, nullptr, raw.data(), environ) != 0) std::abort();
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]), ::close(out[1]);
    input_ = in[1], output_ = out[0];
  }
  ~AgentProcess() { ::close(output_), pid_ > 0 && (::kill(pid_, SIGTERM), wait()); }
  void write(const std::string& bytes) { ASSERT_EQ(::write(input_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  // Closes the agent's input (the application's way of ending it) and waits for its end.
  int wait() {
    int status = 0;
    ::close(std::exchange(input_, -1)), ::waitpid(std::exchange(pid_, -1), &status, 0);
    return status;
  }
  // The first output line that matches, waiting at most `limit` for it.
  std::optional<std::string> waitForLine(const std::string& pattern, ms limit = 5s) {
    const std::regex re(pattern);
    std::optional<std::string> found;
    readFd(output_, text_, limit, [&] {
      for (std::size_t at = 0, nl; !found && (nl = text_.find('\n', at)) != std::string::npos; at = nl + 1) {
        if (std::regex_search(text_.substr(at, nl - at), re)) found = text_.substr(at, nl - at);
      }
      return bool(found);
    });
    return found;
  }
  std::vector<std::string> lines() {
    readFd(output_, text_, 200ms, [] { return false; });
    std::vector<std::string> lines;
    for (std::istringstream in(text_); lines.emplace_back(), std::getline(in, lines.back());) {}
    return lines.pop_back(), lines;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1, output_ = -1;
  std::string text_;
};

std::string frameMessage(const std::string& jpeg) {
  return "__QOVA_FRAME_BYTES__" +
         json{{"width", 1280}, {"height", 800}, {"inputWidth", 1920}, {"inputHeight", 1080}, {"bytes", jpeg.size()}}
             .dump() + "\n" + jpeg;
}

tcp::socket connectRaw(std::uint16_t port) {
  static net::io_context io;
  tcp::socket socket(io);
  socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
  return socket;
}

// What a plain socket receives until `enough` or `limit`, and whether the agent closed it.
std::pair<std::string, bool> readRaw(tcp::socket& socket, ms limit, std::function<bool(const std::string&)> enough = {}) {
  std::string received;
  const bool closed = readFd(socket.native_handle(), received, limit, [&] { return enough && enough(received); });
  return {received, closed};
}

class Viewer {
 public:
  // `host` is the address and port when empty.
  explicit Viewer(std::uint16_t port, const std::string& origin = "", const std::string& host = "",
                  const std::string& address = "127.0.0.1")
      : ws_(io_) {
    beast::get_lowest_layer(ws_).connect(tcp::endpoint(net::ip::make_address(address), port));
    ws_.set_option(websocket::stream_base::decorator([origin](websocket::request_type& request) {
      if (!origin.empty()) request.set(beast::http::field::origin, origin);
    }));
    ws_.handshake(host.empty() ? address + ":" + std::to_string(port) : host, "/ws");
  }
  void sendText(const std::string& text) { ws_.text(true), ws_.write(net::buffer(text)); }
  // The next message of `type`; a frame is {"type": "binary", "binary": bytes}.
  json readUntil(const std::string& type) {
    for (beast::flat_buffer buffer;; buffer.clear()) {
      ws_.read(buffer);
      const auto bytes = beast::buffers_to_string(buffer.data());
      const auto message = ws_.got_text() ? json::parse(bytes) : json{{"type", "binary"}, {"binary", bytes}};
      if (message.value("type", "") == type) return message;
    }
  }
  json login(const std::string& code) {
    sendText(json{{"type", "auth"}, {"code", code}}.dump());
    return readUntil("auth");
  }
  std::string auth(const std::string& code) { return login(code).value("token", ""); }  // "" when refused
  // Whether the agent closes the connection within `limit` (messages before the close are skipped);
  // nullopt when nothing at all came.
  std::optional<bool> closedWithin(ms limit) {
    for (bool any = false;; any = true) {
      beast::flat_buffer buffer;
      bool done = false;
      beast::error_code error;
      ws_.async_read(buffer, [&](beast::error_code e, std::size_t) { error = e, done = true; });
      io_.restart();
      for (const auto end = Clock::now() + limit; !done && Clock::now() < end;) io_.run_one_for(end - Clock::now());
      if (done && error) return true;
      if (done) continue;
      beast::get_lowest_layer(ws_).close();
      io_.restart();
      io_.run_for(1s);
      return any ? std::optional(false) : std::nullopt;
    }
  }
  websocket::stream<beast::tcp_stream>& stream() { return ws_; }

 private:
  net::io_context io_;
  websocket::stream<beast::tcp_stream> ws_;
};

std::vector<std::string> agentEnvironment(const TempFolder& home, const std::string& listen) {
  return {"HOME=" + home.path().string(), "XDG_CONFIG_HOME=", "QOVA_AGENT_LISTEN=" + listen,
          "QOVA_AGENT_MAX_UPLOAD_BYTES=100000", "QOVA_MAC_SCREEN_TRUSTED=1", "QOVA_MAC_INPUT_TRUSTED=0"};
}

class AgentServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto connected = agent_.waitForLine(R"(\[agent\] connected: viewer at http://127\.0\.0\.1:\d+/)");
    ASSERT_TRUE(connected);
    port_ = static_cast<std::uint16_t>(std::stoi(connected->substr(connected->rfind(':') + 1)));
    std::ifstream state(home_.path() / ".config/qova-lumaro-agent/state.json");
    code_ = json::parse(state)["accessCode"].get<std::string>();
  }
  std::filesystem::path received() const { return home_.path() / "Downloads/QOVA-Lumaro"; }
  std::size_t receivedCount() const {
    return exists(received()) ? std::distance(std::filesystem::directory_iterator(received()), {}) : 0;
  }
  // The status of the answer to an upload (which may come, and the socket close, before all is sent).
  unsigned post(const std::string& body, const std::string& headers) {
    auto socket = connectRaw(port_);
    boost::system::error_code error;
    net::write(socket, net::buffer("POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\n" + headers + "\r\n" + body), error);
    const auto answer = readRaw(socket, 5s, [](const std::string& text) { return text.size() >= 12; }).first;
    return answer.starts_with("HTTP/1.1 ") ? std::stoi(answer.substr(9, 3)) : 0;
  }

  TempFolder home_;
  AgentProcess agent_{{"--nogui"}, agentEnvironment(home_, ":0")};
  std::uint16_t port_ = 0;
  std::string code_;
};

TEST(AgentIdentityRun, PrintsTheThreeLinesWithTheStoredCode) {
  TempFolder home;
  AgentProcess agent({"--show-id"}, agentEnvironment(home, "127.0.0.1:23456"));
  EXPECT_EQ(agent.wait(), 0);
  std::ifstream state(home.path() / ".config/qova-lumaro-agent/state.json");
  const auto code = json::parse(state)["accessCode"].get<std::string>();
  const auto lines = agent.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(设备 ID: \d{9})"))) << lines[0];
  EXPECT_EQ(lines[1], "验证码: " + code);
  EXPECT_EQ(lines[2], "服务器: http://127.0.0.1:23456/");
}

TEST(AgentServiceRun, RefusesToStartWhenEitherLoopbackAddressIsTaken) {
  for (const char* taken : {"127.0.0.1", "::1"}) {
    net::io_context io;
    tcp::acceptor squatter(io, tcp::endpoint(net::ip::make_address(taken), 0));
    const auto port = std::to_string(squatter.local_endpoint().port());
    TempFolder home;
    AgentProcess agent({"--nogui"}, agentEnvironment(home, "127.0.0.1:" + port));
    const auto failed = agent.waitForLine("failed.*" + port);
    ASSERT_TRUE(failed) << taken;
    EXPECT_NE(failed->find(taken), std::string::npos) << *failed;
    EXPECT_NE(agent.wait(), 0) << taken;
  }
}

TEST_F(AgentServiceTest, TheRightCodeGetsPermissionFramesAndInputAWrongOneNothing) {
  Viewer intruder(port_);
  EXPECT_EQ(intruder.login("wrongcod"), json::parse(R"({"type":"auth","ok":false})"));
  Viewer viewer(port_);
  ASSERT_FALSE(viewer.auth(code_).empty());
  EXPECT_EQ(viewer.readUntil("permission"),
            json::parse(R"({"type":"permission","known":true,"screen":true,"input":false})"));
  ASSERT_TRUE(agent_.waitForLine(R"(^__QOVA_CAPTURE__\{"action":"start"\}$)"));

  agent_.write(frameMessage("JPEG") + "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n");
  const auto frame = viewer.readUntil("binary")["binary"].get<std::string>();
  const auto headerLength = std::size_t(std::uint8_t(frame[3]));
  ASSERT_EQ(frame.substr(0, 3), std::string(3, '\0'));
  EXPECT_EQ(json::parse(frame.substr(4, headerLength))["inputWidth"], 1920);
  EXPECT_EQ(frame.substr(4 + headerLength), "JPEG");
  EXPECT_EQ(viewer.readUntil("permission")["input"], true);

  viewer.sendText(R"({"type":"input","action":"tap","x":5000,"y":540.26})");
  EXPECT_TRUE(agent_.waitForLine(R"(^__QOVA_INPUT__\{"action":"tap","button":"left","x":1919\.0,"y":540\.3\})"));
  EXPECT_EQ(intruder.closedWithin(300ms), std::nullopt);  // no frame, no permission
}

TEST_F(AgentServiceTest, WrongCodesAreAnsweredLateEachOnItsOwnAndPastTheBudgetLoginsAreToldWhenToComeBack) {
  std::vector<std::unique_ptr<Viewer>> viewers;
  std::vector<std::future<std::pair<json, Clock::duration>>> answers;
  for (unsigned i = 0; i <= GuessLimiter::kBurst; ++i) {
    answers.push_back(std::async(std::launch::async, [viewer = viewers.emplace_back(new Viewer(port_)).get(), sent = Clock::now()] {
      return std::pair{viewer->login("wrongcod"), Clock::now() - sent};
    }));
  }
  std::vector<Clock::duration> judged;
  Viewer* toldToWait = nullptr;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    const auto [answer, took] = answers[i].get();
    EXPECT_EQ(answer["ok"], false);
    if (!answer.contains("retryMs")) judged.push_back(took);
    if (!answer.contains("retryMs")) continue;
    toldToWait = viewers[i].get();
    EXPECT_TRUE(answer["retryMs"] > 0 && answer["retryMs"] <= GuessLimiter::kRefill.count()) << answer;
    std::this_thread::sleep_for(ms(answer["retryMs"].get<int>()));
  }
  ASSERT_EQ(judged.size(), GuessLimiter::kBurst);
  const auto [first, last] = std::minmax_element(judged.begin(), judged.end());
  EXPECT_GE(*first, GuessLimiter::kWrongCodeDelay);
  EXPECT_LT(*last - *first, GuessLimiter::kWrongCodeDelay);  // side by side, not one after the other
  ASSERT_TRUE(toldToWait);
  EXPECT_FALSE(toldToWait->auth(code_).empty());
}

TEST_F(AgentServiceTest, MessagesOutOfPlaceEndOnlyTheirOwnConnection) {
  Viewer good(port_);
  ASSERT_FALSE(good.auth(code_).empty());
  // Before the code, anything but a short login; a binary message.
  for (const std::string& message : {std::string(R"({"type":"input","action":"tap","x":1,"y":1})"),
                                     std::string("{not json"), std::string(R"({"type":"auth","code":7})"),
                                     json{{"type", "auth"}, {"code", std::string(300, 'a')}}.dump(), std::string()}) {
    Viewer viewer(port_);
    viewer.stream().binary(message.empty());
    viewer.stream().write(net::buffer(message.empty() ? std::string("\x00\x01", 2) : message));
    EXPECT_EQ(viewer.closedWithin(3s), true) << message;
  }
  // After it, a message over the limit (possibly closed before it is all sent).
  Viewer big(port_);
  ASSERT_FALSE(big.auth(code_).empty());
  beast::error_code error;
  big.stream().text(true);
  big.stream().write(net::buffer(R"({"type":"input","action":"text","text":")" + std::string(1 << 20, 'x') + "\"}"),
                     error);
  EXPECT_TRUE(error || big.closedWithin(5s) == true);
  {  // one that vanishes while a large frame is on its way to it
    Viewer vanishing(port_);
    ASSERT_FALSE(vanishing.auth(code_).empty());
    agent_.write(frameMessage(std::string(8 << 20, 'v')));
  }
  agent_.write(frameMessage("two"));
  for (std::string frame; frame.find("two") == std::string::npos;) frame = good.readUntil("binary")["binary"];
}

TEST_F(AgentServiceTest, WebSocketsFromForeignPagesAreRefusedAndLocalhostIsServedOnBothAddresses) {
  const auto port = std::to_string(port_);
  EXPECT_THROW(Viewer(port_, "http://evil.example"), boost::system::system_error);
  // A foreign name pointed at 127.0.0.1 (DNS rebinding): same-origin in the browser's eyes, refused.
  EXPECT_THROW(Viewer(port_, "http://rebound.example:" + port, "rebound.example:" + port), boost::system::system_error);
  EXPECT_FALSE(Viewer(port_, "http://127.0.0.1:" + port).auth(code_).empty());
  EXPECT_FALSE(Viewer(port_, "http://localhost:" + port, "localhost:" + port, "::1").auth(code_).empty());
}

TEST_F(AgentServiceTest, IdleConnectionsMakeWayForANewViewerOldestFirstAndAreLetGoSoon) {
  std::vector<tcp::socket> idle;
  for (int i = 0; i < 128; ++i) idle.push_back(connectRaw(port_));
  Viewer viewer(port_);
  EXPECT_FALSE(viewer.auth(code_).empty());
  EXPECT_TRUE(readRaw(idle.front(), 2s).second);
  Viewer silentViewer(port_);
  EXPECT_TRUE(readRaw(idle.back(), 8s).second);        // waiting for a request
  EXPECT_EQ(silentViewer.closedWithin(8s), true);  // waiting for a login
}

TEST_F(AgentServiceTest, MessagesSentRightBehindTheUpgradeRequestArrive) {
  auto socket = connectRaw(port_);
  const auto login = json{{"type", "auth"}, {"code", code_}}.dump();
  std::string frame = {'\x81', static_cast<char>(0x80 | login.size()), 1, 2, 3, 4};
  for (std::size_t i = 0; i < login.size(); ++i) frame += static_cast<char>(login[i] ^ (1 + i % 4));
  net::write(socket, net::buffer("GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n" +
                                 frame));
  const auto accepted = [](const std::string& received) { return received.find(R"("ok":true)") != std::string::npos; };
  const auto received = readRaw(socket, 5s, accepted).first;
  EXPECT_TRUE(accepted(received)) << received;
}

TEST_F(AgentServiceTest, UploadsNeedAViewersTokenAndOnlyCompleteOnesAreStoredAndAnnounced) {
  Viewer viewer(port_);
  const auto token = viewer.auth(code_);
  ASSERT_FALSE(token.empty());
  const auto as = [](const std::string& token, const std::string& name) {
    return "X-Qova-Token: " + token + "\r\nX-Qova-File-Name: " + name + "\r\n";
  };
  EXPECT_EQ(post("x", "X-Qova-File-Name: a.txt\r\n"), 401u);
  EXPECT_EQ(post("x", as(std::string(32, '0'), "a.txt")), 401u);
  EXPECT_EQ(receivedCount(), 0u);

  EXPECT_EQ(post("content", as(token, "%E6%8A%A5%E5%91%8A.txt")), 200u);
  std::ifstream in(received() / "报告.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "content");
  EXPECT_TRUE(agent_.waitForLine("^__QOVA_FILE_RECEIVED__" + (received() / "报告.txt").string() + "$"));

  // Over the cap, or cut off midway: nothing is left, not even a temporary file.
  EXPECT_EQ(post(std::string(100001, 'b'), as(token, "big.bin")), 413u);
  const auto waitForCount = [this](std::size_t count) {
    for (int i = 0; i < 100 && receivedCount() != count; ++i) std::this_thread::sleep_for(20ms);
    return receivedCount();
  };
  {
    auto socket = connectRaw(port_);
    net::write(socket, net::buffer("POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 50000\r\n" +
                                   as(token, "half.bin") + "\r\n" + std::string(20000, 'h')));
    ASSERT_EQ(waitForCount(2), 2u);  // hang up once the temporary file exists
  }
  EXPECT_EQ(waitForCount(1), 1u);
}

TEST_F(AgentServiceTest, CaptureStopsWhenTheLastViewerLeavesAndTheAgentEndsWithItsInput) {
  {
    Viewer first(port_), second(port_);
    ASSERT_FALSE(first.auth(code_).empty());
    ASSERT_FALSE(second.auth(code_).empty());
    ASSERT_TRUE(agent_.waitForLine(R"(^__QOVA_CAPTURE__\{"action":"start"\}$)"));
  }
  ASSERT_TRUE(agent_.waitForLine(R"(^__QOVA_CAPTURE__\{"action":"stop"\}$)"));
  const auto lines = agent_.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), R"(__QOVA_CAPTURE__{"action":"stop"})"), 1);
  const auto status = agent_.wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace qova::agent
