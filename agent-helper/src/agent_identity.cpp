#include "agent_identity.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "random_bytes.h"

namespace qova::agent {

std::optional<ListenAddress> parseListenAddress(std::string_view text) {
  ListenAddress address;
  std::string_view host;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) return std::nullopt;
  }
  unsigned value = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || error != std::errc{} || end != port.data() + port.size() || value > 65535) return std::nullopt;
  if (!host.empty()) address.host = std::string(host);
  address.port = static_cast<std::uint16_t>(value);
  return address;
}

std::string viewerUrl(const ListenAddress& address) {
  const bool v6 = address.host.find(':') != std::string::npos;
  std::string host = v6 ? "[" + address.host + "]" : address.host;
  if (address.host == "0.0.0.0" || address.host == "::") host = v6 ? "[::1]" : "127.0.0.1";
  return "http://" + host + ":" + std::to_string(address.port) + "/";
}

bool isLoopbackHost(std::string_view host) {
  if (host == "localhost" || host == "::1" || host == "[::1]") return true;
  // Only a real IPv4 address in 127/8: a name such as "127.example.com" may point anywhere.
  in_addr address{};
  return ::inet_pton(AF_INET, std::string(host).c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

std::string deviceIdFor(std::string_view machineId, std::uint32_t userId) {
  // FNV-1a: stable across builds and platforms, which std::hash is not.
  std::uint64_t hash = 1469598103934665603ull;
  auto mix = [&hash](std::string_view bytes) {
    for (const char c : bytes) {
      hash ^= static_cast<unsigned char>(c);
      hash *= 1099511628211ull;
    }
  };
  mix("qova-lumaro-device:");
  mix(machineId);
  mix(":");
  mix(std::to_string(userId));
  // Nine digits, never beginning with 0 so the ID keeps its length when read as a number.
  const auto number = 100000000ull + hash % 900000000ull;
  return std::to_string(number);
}

std::string randomDeviceId(const std::function<std::uint32_t()>& random) {
  constexpr std::uint32_t kCount = 900000000;
  // Rejection sampling keeps every ID equally likely.
  const std::uint32_t limit = UINT32_MAX - UINT32_MAX % kCount;
  for (;;) {
    if (const auto r = random(); r < limit) return std::to_string(100000000 + r % kCount);
  }
}

std::string makeAccessCode(const std::function<std::uint32_t()>& random) {
  std::string code;
  const auto size = static_cast<std::uint32_t>(kAccessCodeAlphabet.size());
  // Rejection sampling keeps every character equally likely.
  const std::uint32_t limit = UINT32_MAX - UINT32_MAX % size;
  while (code.size() < kAccessCodeLength) {
    const auto r = random();
    if (r >= limit) continue;
    code += kAccessCodeAlphabet[r % size];
  }
  return code;
}

bool isWellFormedAccessCode(std::string_view code) {
  return code.size() == kAccessCodeLength &&
         code.find_first_not_of(kAccessCodeAlphabet) == std::string_view::npos;
}

namespace {

nlohmann::json readState(const std::string& stateFile) {
  std::ifstream in(stateFile, std::ios::binary);
  if (!in) return nlohmann::json::object();
  std::stringstream text;
  text << in.rdbuf();
  auto state = nlohmann::json::parse(text.str(), nullptr, false);
  return state.is_object() ? state : nlohmann::json::object();
}

}  // namespace

std::optional<std::string> readStateValue(const std::string& stateFile, std::string_view key) {
  const auto state = readState(stateFile);
  const auto value = state.find(key);
  if (value == state.end() || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::optional<std::string> readAccessCode(const std::string& stateFile) {
  auto value = readStateValue(stateFile, "accessCode");
  if (!value || !isWellFormedAccessCode(*value)) return std::nullopt;
  return value;
}

namespace {

bool makeDirectories(const std::string& path) {
  for (std::size_t pos = 1; pos != std::string::npos;) {
    pos = path.find('/', pos + 1);
    const auto prefix = path.substr(0, pos);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

bool writeAccessCode(const std::string& stateFile, const std::string& code) {
  return writeStateValue(stateFile, "accessCode", code);
}

bool writeStateValue(const std::string& stateFile, std::string_view key, const std::string& value) {
  const auto slash = stateFile.rfind('/');
  if (slash != std::string::npos && slash > 0 && !makeDirectories(stateFile.substr(0, slash))) return false;
  const auto temp = stateFile + ".tmp-" + std::to_string(::getpid());
  // O_EXCL with 0600 from the start: the code is never readable by others, not even briefly.
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // The other entries are kept: the file holds the access code and the device key side by side.
  auto state = readState(stateFile);
  state[std::string(key)] = value;
  const auto text = state.dump(2) + "\n";
  const bool written = writeAll(fd, text) && ::fsync(fd) == 0;
  ::close(fd);
  if (!written || ::rename(temp.c_str(), stateFile.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

std::string loadDeviceId(const std::string& stateFile, std::string_view machineId, std::uint32_t userId) {
  const auto kept = readStateValue(stateFile, kDeviceIdStateKey);
  const bool usable =
      kept && kept->size() == 9 && kept->front() != '0' && kept->find_first_not_of("0123456789") == std::string::npos;
  return usable ? *kept : deviceIdFor(machineId, userId);
}

std::string loadOrCreateAccessCode(const std::string& stateFile, const std::function<std::uint32_t()>& random) {
  if (auto code = readAccessCode(stateFile)) {
    // A state file left readable by others (copied in by hand, say) is tightened.
    ::chmod(stateFile.c_str(), 0600);
    return *code;
  }
  auto code = makeAccessCode(random);
  writeAccessCode(stateFile, code);
  // Two first runs at once: whichever rename came last wins, and both report that one.
  if (auto stored = readAccessCode(stateFile)) return *stored;
  return code;
}

std::vector<std::string> identityLines(std::string_view deviceId, std::string_view accessCode,
                                       std::string_view server) {
  return {"设备 ID: " + std::string(deviceId), "验证码: " + std::string(accessCode), "服务器: " + std::string(server)};
}

std::optional<common::DeviceKey> loadOrCreateDeviceKey(const std::string& stateFile) {
  constexpr std::string_view kStateKey = "deviceKey";
  constexpr std::size_t kSeedBytes = 32;
  if (const auto kept = readStateValue(stateFile, kStateKey)) {
    if (auto key = common::DeviceKey::fromPrivateHex(*kept)) return key;
  }
  const auto made = common::randomHex(kSeedBytes);
  // A key that could not be kept is not used: the next run would claim the same ID with another key.
  if (!writeStateValue(stateFile, kStateKey, made)) return std::nullopt;
  const auto stored = readStateValue(stateFile, kStateKey);
  return stored ? common::DeviceKey::fromPrivateHex(*stored) : std::nullopt;
}

}  // namespace qova::agent
