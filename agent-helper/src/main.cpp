// qova-agent-helper: the reference agent. With "--show-id" it prints this machine's identity and
// exits; with "--nogui" it serves the web viewer and bridges it to the application over its
// standard input and output.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "agent/agent_contract.h"
#include "agent_identity.h"
#include <boost/asio/post.hpp>
#include <nlohmann/json.hpp>

#include "device_key.h"
#include "input_stream_parser.h"
#include "line_writer.h"
#include "random_bytes.h"
#include "server_link.h"
#include "upload_sink.h"
#include "viewer_server.h"

namespace {

using namespace qova::agent;

constexpr std::uint64_t kDefaultMaxUploadBytes = 2ull << 30;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string homeFolder() {
  auto home = environment("HOME");
  if (home.empty()) {
    if (const auto* entry = ::getpwuid(::getuid())) home = entry->pw_dir;
  }
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home;
}

std::string stateFile() {
  auto config = environment("XDG_CONFIG_HOME");
  if (config.empty() || config.front() != '/') config = homeFolder() + "/.config";
  return config + "/qova-lumaro-agent/state.json";
}

// The server to dial out to: QOVA_AGENT_SERVER (and QOVA_AGENT_SERVER_FINGERPRINT), else
// server.json beside the state file ({"server": "wss://...", "fingerprint": "..."}). Empty: none.
ServerLinkConfig serverLinkConfig() {
  ServerLinkConfig config;
  config.url = environment("QOVA_AGENT_SERVER");
  config.fingerprint = environment("QOVA_AGENT_SERVER_FINGERPRINT");
  if (config.url.empty()) {
    auto path = stateFile();
    path = path.substr(0, path.rfind('/') + 1) + "server.json";
    std::ifstream in(path);
    const auto file = nlohmann::json::parse(in, nullptr, false);
    if (file.is_object()) {
      config.url = file.value("server", "");
      config.fingerprint = file.value("fingerprint", "");
    }
  }
  return config;
}

std::string receivedFolder() { return homeFolder() + "/Downloads/QOVA-Lumaro"; }

std::string machineId() {
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::ifstream in(path);
    std::string id;
    if (in >> id && !id.empty()) return id;
  }
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  return host;
}

ListenAddress listenAddress() {
  const auto text = environment(std::string(kListenVariable).c_str());
  if (text.empty()) return {};
  if (auto address = parseListenAddress(text)) return *address;
  std::cerr << "[agent] ignoring malformed " << kListenVariable << ", using the default address\n";
  return {};
}

std::uint64_t maxUploadBytes() {
  const auto text = environment("QOVA_AGENT_MAX_UPLOAD_BYTES");
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value == 0) {
    return kDefaultMaxUploadBytes;
  }
  return value;
}

// The application hands both grants in the environment at launch; the messages update them.
std::optional<PermissionState> launchPermissions() {
  const auto screen = environment(std::string(qova::kScreenTrustedVariable).c_str());
  const auto input = environment(std::string(qova::kInputTrustedVariable).c_str());
  if (screen.empty() && input.empty()) return std::nullopt;
  return PermissionState{screen == "1", input == "1"};
}

int showIdentity() {
  const auto code = loadOrCreateAccessCode(stateFile(), qova::common::randomWord);
  const auto server = serverLinkConfig().url;
  const auto shown = server.empty() ? viewerUrl(listenAddress()) : server;
  for (const auto& line : identityLines(loadDeviceId(stateFile(), machineId(), ::getuid()), code, shown)) {
    std::cout << line << '\n';
  }
  std::cout.flush();
  return 0;
}

void readApplicationInput(ViewerServer& server) {
  InputStreamParser parser;
  std::vector<InputStreamMessage> messages;
  std::vector<char> buffer(256 * 1024);
  for (;;) {
    const auto n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    parser.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)), messages);
    for (auto& message : messages) {
      if (auto* frame = std::get_if<FrameMessage>(&message)) {
        server.deliverFrame(std::move(*frame));
      } else if (auto* permission = std::get_if<PermissionState>(&message)) {
        server.deliverPermission(*permission);
      } else if (auto* update = std::get_if<UpdateMessage>(&message)) {
        server.deliverPicture(std::move(*update));
      } else if (auto* hello = std::get_if<HelloAnswer>(&message)) {
        server.deliverHello(std::move(*hello));
      } else if (std::holds_alternative<EndAllViewers>(message)) {
        server.deliverEndAll();
      } else if (auto* copied = std::get_if<ClipboardText>(&message)) {
        server.deliverClipboard(std::move(copied->text));
      } else if (auto* displays = std::get_if<DisplayList>(&message)) {
        server.deliverDisplays(std::move(*displays));
      } else {
        server.deliverPicture(std::get<PictureAccepted>(message));
      }
    }
    messages.clear();
  }
  // The application closed our input: it stopped us or is gone, and nobody would get frames.
  server.stop();
}

int serve() {
  ::signal(SIGPIPE, SIG_IGN);
  int status = 0;
  // QOVA_AGENT_LOG names a file that gets a copy of everything we tell the application.
  const auto logPath = environment("QOVA_AGENT_LOG");
  const int logFd = logPath.empty() ? -1 : ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  {
    LineWriter lines(STDOUT_FILENO, logFd);
    ServerConfig config;
    config.address = listenAddress();
    config.accessCode = loadOrCreateAccessCode(stateFile(), qova::common::randomWord);
    config.deviceId = loadDeviceId(stateFile(), machineId(), ::getuid());
    config.receivedFolder = receivedFolder();
    removeStaleUploads(config.receivedFolder, std::chrono::hours{1});
    config.maxUploadBytes = maxUploadBytes();
    config.permissions = launchPermissions();
    // QOVA_AGENT_PICTURE=0 keeps to written frames (benchmarks compare both paths in one run).
    config.askPicture = environment("QOVA_AGENT_PICTURE") != "0";
    const auto url = viewerUrl(config.address);
    auto link = serverLinkConfig();
    link.deviceId = config.deviceId;
    link.stateFile = stateFile();
    link.receivedFolder = config.receivedFolder;
    link.maxUploadBytes = config.maxUploadBytes;

    lines.emit("[agent] connecting: starting the viewer service on " + url);
    ViewerServer server(std::move(config), lines);
    std::string error;
    if (!server.listen(error)) {
      lines.emit("[agent] listen failed on " + url + ": " + error);
      status = 1;
    } else {
      auto bound = listenAddress();
      bound.port = server.port();
      // What we understand beyond the written lines; the application answers with what it grants.
      lines.emit(std::string(qova::kHelloMarker) + R"({"version":1,"want":["viewers","clipboard","displays"]})");
      lines.emit("[agent] connected: viewer at " + viewerUrl(bound));
      std::thread([&server] { readApplicationInput(server); }).detach();
      // The local page stays as it is; a configured server is reached in addition, by dialling out.
      std::optional<ServerLink> serverLink;
      if (!link.url.empty()) {
        if (auto key = loadOrCreateDeviceKey(stateFile())) {
          serverLink.emplace(server.io(), server.hub(), std::move(link), std::move(*key));
          boost::asio::post(server.io(), [&serverLink] { serverLink->start(); });
        } else {
          lines.emit("[agent] server connection failed: the device key cannot be kept in " + stateFile());
        }
      }
      server.run();
      lines.emit("[agent] stopping");
    }
  }  // the line writer drains its queue here
  // The input reader may still sit in read(); it must not outlive the server it talks to.
  ::_exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (argc == 2 && mode == qova::kAgentShowIdArgument) return showIdentity();
  if (argc == 1 || (argc == 2 && mode == qova::kAgentServiceArgument)) return serve();
  std::cerr << "usage: " << qova::kAgentExecutableName << " [--show-id | --nogui]\n"
            << "  --show-id  print device ID, access code and viewer address, then exit\n"
            << "  --nogui    serve the web viewer (address from " << kListenVariable << ", default "
            << viewerUrl(ListenAddress{}) << ")\n";
  return 2;
}
