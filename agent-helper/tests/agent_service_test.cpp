// The installed agent program itself: its identity run, and its service run driven the way the
// application drives it (lines on its output, messages on its input) and the way a viewer does
// (WebSocket and HTTP on loopback).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kAgent = QOVA_AGENT_HELPER_PATH;

fs::path makeTempFolder() {
  std::string pattern = (fs::temp_directory_path() / "qova-agent-service-XXXXXX").string();
  return ::mkdtemp(pattern.data());
}

// The agent as a child with its input and output on pipes; output collected as lines.
class AgentProcess {
 public:
  AgentProcess(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    // The given variables replace inherited ones of the same name (the first of a name wins).
    std::vector<std::string> env = extraEnv;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const auto name = entry.substr(0, entry.find('=') + 1);
      if (std::none_of(extraEnv.begin(), extraEnv.end(), [&](const auto& x) { return x.starts_with(name); })) {
        env.push_back(entry);
      }
    }
    std::vector<char*> envp, argv;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string path = kAgent;
    argv.push_back(path.data());
    std::vector<std::string> argsCopy = args;
    for (auto& a : argsCopy) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, kAgent, &actions, nullptr, argv.data(), envp.data()) != 0) std::abort();
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
    reader_ = std::thread([this] { readOutput(); });
  }

  ~AgentProcess() {
    closeInput();
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      wait();
    }
    reader_.join();
    ::close(output_);
  }

  void write(const std::string& bytes) {
    std::string_view rest = bytes;
    while (!rest.empty()) {
      const auto n = ::write(input_, rest.data(), rest.size());
      ASSERT_GT(n, 0);
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  void closeInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }

  int wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

  // The first output line (from `from` on) that matches; nullopt after the timeout.
  std::optional<std::string> waitForLine(const std::regex& pattern, std::size_t from = 0,
                                         std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    std::optional<std::string> found;
    changed_.wait_for(lock, timeout, [&] {
      for (std::size_t i = from; i < lines_.size(); ++i) {
        if (std::regex_search(lines_[i], pattern)) {
          found = lines_[i];
          return true;
        }
      }
      return ended_;
    });
    return found;
  }

  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::size_t lineCount() {
    std::lock_guard lock(mutex_);
    return lines_.size();
  }

 private:
  void readOutput() {
    std::string buffer;
    char chunk[4096];
    for (;;) {
      const auto n = ::read(output_, chunk, sizeof chunk);
      if (n <= 0) break;
      buffer.append(chunk, static_cast<std::size_t>(n));
      std::lock_guard lock(mutex_);
      for (auto nl = buffer.find('\n'); nl != std::string::npos; nl = buffer.find('\n')) {
        lines_.push_back(buffer.substr(0, nl));
        buffer.erase(0, nl + 1);
      }
      changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool ended_ = false;
};

std::string frameMessage(const std::string& jpeg, int inputWidth = 1440, int inputHeight = 900) {
  return "__QOVA_FRAME_BYTES__" +
         json{{"width", 1280}, {"height", 800}, {"inputWidth", inputWidth}, {"inputHeight", inputHeight},
              {"bytes", jpeg.size()}, {"timestamp", 1700000000000}}
             .dump() +
         "\n" + jpeg;
}

class Viewer {
 public:
  explicit Viewer(std::uint16_t port, const std::string& origin = "", const std::string& host = "") : ws_(io_) {
    tcp::resolver resolver(io_);
    beast::get_lowest_layer(ws_).connect(resolver.resolve("127.0.0.1", std::to_string(port)));
    ws_.set_option(websocket::stream_base::decorator([origin](websocket::request_type& request) {
      if (!origin.empty()) request.set(http::field::origin, origin);
    }));
    ws_.handshake(host.empty() ? "127.0.0.1:" + std::to_string(port) : host, "/ws");
  }
  void sendText(const std::string& text) {
    ws_.text(true);
    ws_.write(net::buffer(text));
  }
  // Next message; text as JSON, binary as {"binary": bytes}.
  json read() {
    beast::flat_buffer buffer;
    ws_.read(buffer);
    const auto bytes = beast::buffers_to_string(buffer.data());
    if (ws_.got_text()) return json::parse(bytes);
    return json{{"binary", bytes}};
  }
  json readUntil(const std::string& type) {
    for (;;) {
      auto message = read();
      if (message.value("type", "") == type) return message;
    }
  }
  json readFrame() {
    for (;;) {
      auto message = read();
      if (message.contains("binary")) return message;
    }
  }
  std::string auth(const std::string& code) {
    sendText(json{{"type", "auth"}, {"code", code}}.dump());
    const auto answer = readUntil("auth");
    return answer["ok"].get<bool>() ? answer["token"].get<std::string>() : "";
  }
  // The next message if one comes within `limit`; afterwards the connection is unusable if none came.
  // (The stream's own timeouts apply only to asynchronous operations.)
  std::optional<std::string> tryRead(std::chrono::milliseconds limit, beast::error_code& error) {
    beast::flat_buffer buffer;
    bool done = false;
    ws_.async_read(buffer, [&](beast::error_code e, std::size_t) {
      error = e;
      done = true;
    });
    io_.restart();
    io_.run_for(limit);
    if (!done) {
      beast::get_lowest_layer(ws_).close();
      io_.restart();
      io_.run();
      return std::nullopt;
    }
    if (error) return std::nullopt;
    return beast::buffers_to_string(buffer.data());
  }
  websocket::stream<beast::tcp_stream>& stream() { return ws_; }

 private:
  net::io_context io_;
  websocket::stream<beast::tcp_stream> ws_;
};

struct HttpAnswer {
  unsigned status = 0;
  std::string body;
};

HttpAnswer post(std::uint16_t port, const std::string& target, const std::string& body,
                const std::vector<std::pair<std::string, std::string>>& headers) {
  net::io_context io;
  beast::tcp_stream stream(io);
  tcp::resolver resolver(io);
  stream.connect(resolver.resolve("127.0.0.1", std::to_string(port)));
  http::request<http::string_body> request(http::verb::post, target, 11);
  request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  for (const auto& [name, value] : headers) request.set(name, value);
  request.body() = body;
  request.prepare_payload();
  http::write(stream, request);
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  beast::error_code error;
  http::read(stream, buffer, response, error);
  return {response.result_int(), response.body()};
}

class AgentServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = makeTempFolder();
    agent_ = std::make_unique<AgentProcess>(
        std::vector<std::string>{"--nogui"},
        std::vector<std::string>{"HOME=" + home_.string(), "XDG_CONFIG_HOME=", "QOVA_AGENT_LISTEN=127.0.0.1:0",
                                 "QOVA_AGENT_MAX_UPLOAD_BYTES=100000", "QOVA_MAC_SCREEN_TRUSTED=1",
                                 "QOVA_MAC_INPUT_TRUSTED=0"});
    const auto connected = agent_->waitForLine(std::regex(R"(\[agent\] connected: viewer at http://127\.0\.0\.1:(\d+)/)"));
    ASSERT_TRUE(connected);
    std::smatch match;
    std::regex_search(*connected, match, std::regex(R"(:(\d+)/)"));
    port_ = static_cast<std::uint16_t>(std::stoi(match[1]));
    const auto code = readCode();
    ASSERT_TRUE(code);
    code_ = *code;
  }
  void TearDown() override {
    agent_.reset();
    fs::remove_all(home_);
  }

  std::optional<std::string> readCode() {
    std::ifstream in(home_ / ".config/qova-lumaro-agent/state.json");
    if (!in) return std::nullopt;
    return json::parse(in)["accessCode"].get<std::string>();
  }
  fs::path received() const { return home_ / "Downloads/QOVA-Lumaro"; }
  std::vector<std::string> receivedNames() const {
    std::vector<std::string> names;
    if (!fs::exists(received())) return names;
    for (const auto& entry : fs::directory_iterator(received())) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path home_;
  std::unique_ptr<AgentProcess> agent_;
  std::uint16_t port_ = 0;
  std::string code_;
};

TEST(AgentIdentityRun, PrintsTheThreeLinesAndKeepsTheCodeAcrossRuns) {
  const auto home = makeTempFolder();
  const std::vector<std::string> env = {"HOME=" + home.string(), "XDG_CONFIG_HOME=",
                                        "QOVA_AGENT_LISTEN=127.0.0.1:23456"};
  std::vector<std::string> first;
  {
    AgentProcess agent({"--show-id"}, env);
    EXPECT_EQ(agent.wait(), 0);
    agent.waitForLine(std::regex("服务器:"));
    first = agent.lines();
  }
  ASSERT_EQ(first.size(), 3u);
  EXPECT_TRUE(std::regex_match(first[0], std::regex(R"(设备 ID: \d{9})"))) << first[0];
  EXPECT_TRUE(std::regex_match(first[1], std::regex(R"(验证码: [a-z2-9]{8})"))) << first[1];
  EXPECT_EQ(first[2], "服务器: http://127.0.0.1:23456/");
  struct stat info {};
  ASSERT_EQ(::stat((home / ".config/qova-lumaro-agent/state.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  AgentProcess again({"--show-id"}, env);
  EXPECT_EQ(again.wait(), 0);
  again.waitForLine(std::regex("服务器:"));
  EXPECT_EQ(again.lines(), first);  // same device ID and access code
  fs::remove_all(home);
}

TEST_F(AgentServiceTest, WrongCodeGetsNothingRightCodeGetsPermissionAndFrames) {
  Viewer intruder(port_);
  EXPECT_EQ(intruder.auth("wrongcod"), "");
  // Input from a viewer without the code never reaches the application.
  intruder.sendText(R"({"type":"input","action":"tap","x":1,"y":1})");
  std::this_thread::sleep_for(200ms);
  for (const auto& line : agent_->lines()) {
    EXPECT_EQ(line.find("__QOVA_INPUT__"), std::string::npos) << line;
    EXPECT_EQ(line.find("__QOVA_CAPTURE__"), std::string::npos) << line;
  }

  Viewer viewer(port_);
  ASSERT_FALSE(viewer.auth(code_).empty());
  const auto permission = viewer.readUntil("permission");
  EXPECT_EQ(permission["screen"], true);  // from the launch environment
  EXPECT_EQ(permission["input"], false);
  ASSERT_TRUE(agent_->waitForLine(std::regex(R"(^__QOVA_CAPTURE__\{"action":"start"\}$)")));

  const std::string jpeg = std::string("\xFF\xD8\n__QOVA_FRAME_BYTES__\n\xFF\xD9", 27);
  agent_->write(frameMessage(jpeg) + "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n");
  const auto frame = viewer.readFrame()["binary"].get<std::string>();
  const auto headerLength = (std::uint8_t(frame[0]) << 24) | (std::uint8_t(frame[1]) << 16) |
                            (std::uint8_t(frame[2]) << 8) | std::uint8_t(frame[3]);
  const auto header = json::parse(frame.substr(4, headerLength));
  EXPECT_EQ(header["inputWidth"], 1440);
  EXPECT_EQ(header["height"], 800);
  EXPECT_EQ(frame.substr(4 + headerLength), jpeg);
  EXPECT_EQ(viewer.readUntil("permission")["input"], true);

  // The intruder's connection never saw a frame: nothing more comes to it.
  beast::error_code error;
  EXPECT_FALSE(intruder.tryRead(300ms, error));
}

TEST_F(AgentServiceTest, ViewerInputBecomesInputLinesInTheDisplaysSpace) {
  Viewer viewer(port_);
  ASSERT_FALSE(viewer.auth(code_).empty());
  agent_->write(frameMessage("J", 1920, 1080));
  viewer.readFrame();
  const auto from = agent_->lineCount();
  viewer.sendText(R"({"type":"input","action":"tap","x":5000,"y":540.26,"button":"left"})");
  viewer.sendText(R"({"type":"input","action":"text","text":"两行\nsecond"})");
  viewer.sendText(R"({"type":"input","action":"key","key":"a","modifiers":["ctrl"]})");
  const auto tap = agent_->waitForLine(std::regex("^__QOVA_INPUT__.*\"tap\""), from);
  ASSERT_TRUE(tap);
  EXPECT_EQ(json::parse(tap->substr(14)), json::parse(R"({"action":"tap","x":1919.0,"y":540.3,"button":"left"})"));
  const auto text = agent_->waitForLine(std::regex("^__QOVA_INPUT__.*\"text\""), from);
  ASSERT_TRUE(text);
  EXPECT_EQ(json::parse(text->substr(14))["text"], "两行\nsecond");
  ASSERT_TRUE(agent_->waitForLine(std::regex(R"(^__QOVA_INPUT__.*"key":"a")"), from));
}

TEST_F(AgentServiceTest, BadMessagesEndOnlyTheirOwnConnection) {
  Viewer good(port_);
  ASSERT_FALSE(good.auth(code_).empty());
  {
    Viewer bad(port_);
    ASSERT_FALSE(bad.auth(code_).empty());
    bad.sendText("{not json");
    bad.sendText(R"({"type":"input","action":"explode"})");
    bad.sendText(R"({"type":"mystery"})");
    bad.stream().binary(true);
    bad.stream().write(net::buffer(std::string("\x00\x01", 2)));
    // Still served after those: a frame reaches it.
    agent_->write(frameMessage("one"));
    EXPECT_EQ(bad.readFrame()["binary"].get<std::string>().substr(4).find("one") != std::string::npos, true);
    // A message over the limit ends this connection, possibly before we have finished sending it.
    const std::string huge = R"({"type":"input","action":"text","text":")" + std::string(1 << 20, 'x') + "\"}";
    beast::error_code error;
    bad.stream().text(true);
    bad.stream().write(net::buffer(huge), error);
    for (int i = 0; i < 10 && !error; ++i) {
      if (!bad.tryRead(5s, error)) break;
    }
    EXPECT_TRUE(error);  // closed by the agent (or the write already failed), not merely quiet
  }
  good.readFrame();
  agent_->write(frameMessage("two"));
  EXPECT_NE(good.readFrame()["binary"].get<std::string>().find("two"), std::string::npos);

  // A viewer that vanishes while a large frame is on its way to it.
  {
    Viewer vanishing(port_);
    ASSERT_FALSE(vanishing.auth(code_).empty());
    agent_->write(frameMessage(std::string(8 << 20, 'v')));
    beast::get_lowest_layer(vanishing.stream()).close();
  }
  good.readFrame();
  agent_->write(frameMessage("three"));
  EXPECT_NE(good.readFrame()["binary"].get<std::string>().find("three"), std::string::npos);
}

TEST_F(AgentServiceTest, WebSocketsFromForeignPagesAreRefused) {
  EXPECT_THROW(Viewer(port_, "http://evil.example"), boost::system::system_error);
  // A foreign name pointed at 127.0.0.1 (DNS rebinding): same-origin in the browser's eyes, refused.
  const auto rebound = "rebound.example:" + std::to_string(port_);
  EXPECT_THROW(Viewer(port_, "http://" + rebound, rebound), boost::system::system_error);
  EXPECT_NO_THROW(Viewer(port_, "", "localhost:" + std::to_string(port_)));
  Viewer own(port_, "http://127.0.0.1:" + std::to_string(port_));
  EXPECT_FALSE(own.auth(code_).empty());
}

TEST_F(AgentServiceTest, UploadsAreStoredSafelyNamedNeverOverwrittenAndAnnounced) {
  Viewer viewer(port_);
  const auto token = viewer.auth(code_);
  ASSERT_FALSE(token.empty());

  EXPECT_EQ(post(port_, "/upload", "x", {{"X-Qova-File-Name", "a.txt"}}).status, 401u);
  EXPECT_EQ(post(port_, "/upload", "x", {{"X-Qova-Token", "0123456789abcdef0123456789abcdef"}, {"X-Qova-File-Name", "a.txt"}})
                .status,
            401u);
  EXPECT_TRUE(receivedNames().empty());

  const auto from = agent_->lineCount();
  const std::vector<std::pair<std::string, std::string>> headers = {{"X-Qova-Token", token},
                                                                    {"X-Qova-File-Name", "..%2F..%2F.%E6%8A%A5%E5%91%8A.txt"}};
  const auto first = post(port_, "/upload", "first", headers);
  EXPECT_EQ(first.status, 200u);
  EXPECT_EQ(json::parse(first.body)["name"], "报告.txt");
  const auto second = post(port_, "/upload", "second", headers);
  EXPECT_EQ(json::parse(second.body)["name"], "报告 (1).txt");
  EXPECT_EQ(receivedNames(), (std::vector<std::string>{"报告 (1).txt", "报告.txt"}));
  std::ifstream in(received() / "报告.txt");
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "first");
  const auto announced = agent_->waitForLine(std::regex("^__QOVA_FILE_RECEIVED__"), from);
  ASSERT_TRUE(announced);
  EXPECT_EQ(announced->substr(22), (received() / "报告.txt").string());

  // Over the cap: refused, and nothing (not even a temporary file) is left.
  const auto big = post(port_, "/upload", std::string(100001, 'b'), {{"X-Qova-Token", token}, {"X-Qova-File-Name", "big.bin"}});
  EXPECT_EQ(big.status, 413u);
  EXPECT_EQ(receivedNames().size(), 2u);
}

TEST_F(AgentServiceTest, AnUploadCutOffMidwayLeavesNoFile) {
  Viewer viewer(port_);
  const auto token = viewer.auth(code_);
  {
    net::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port_));
    const std::string head = "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Qova-Token: " + token +
                             "\r\nX-Qova-File-Name: half.bin\r\nContent-Length: 50000\r\n\r\n";
    net::write(socket, net::buffer(head + std::string(20000, 'h')));
    // Wait until the temporary file exists, then hang up.
    for (int i = 0; i < 100 && receivedNames().empty(); ++i) std::this_thread::sleep_for(20ms);
    ASSERT_EQ(receivedNames().size(), 1u);
    EXPECT_EQ(receivedNames()[0].front(), '.');  // hidden while incomplete
  }
  for (int i = 0; i < 100 && !receivedNames().empty(); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(receivedNames().empty());
  // The agent still serves.
  EXPECT_EQ(post(port_, "/upload", "ok", {{"X-Qova-Token", token}, {"X-Qova-File-Name", "after.txt"}}).status, 200u);
}

TEST_F(AgentServiceTest, RepeatedWrongCodesAreSlowedDown) {
  Viewer guesser(port_);
  for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(guesser.auth("guess00" + std::to_string(i)), "");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(guesser.auth("guess004"), "");
  EXPECT_EQ(guesser.auth("guess005"), "");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1400ms);  // 500 ms, then 1 s
}

TEST_F(AgentServiceTest, CaptureStopsWhenTheLastViewerLeavesAndTheAgentEndsWithItsInput) {
  {
    Viewer first(port_);
    ASSERT_FALSE(first.auth(code_).empty());
    Viewer second(port_);
    ASSERT_FALSE(second.auth(code_).empty());
    ASSERT_TRUE(agent_->waitForLine(std::regex(R"(^__QOVA_CAPTURE__\{"action":"start"\}$)")));
  }
  ASSERT_TRUE(agent_->waitForLine(std::regex(R"(^__QOVA_CAPTURE__\{"action":"stop"\}$)")));
  std::size_t starts = 0, stops = 0;
  for (const auto& line : agent_->lines()) {
    starts += line == R"(__QOVA_CAPTURE__{"action":"start"})";
    stops += line == R"(__QOVA_CAPTURE__{"action":"stop"})";
  }
  EXPECT_EQ(stops, 1u);
  EXPECT_GE(starts, 1u);
  agent_->closeInput();
  const auto status = agent_->wait();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
