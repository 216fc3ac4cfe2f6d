// libFuzzer target: one WebSocket message, as the server reads it from an agent or a viewer, as the
// agent reads it from the server, and as the agent turns a viewer's input message into a command line. Besides sanitizer findings it traps on a parse that lets through
// what the callers rely on being ruled out.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "protocol.h"
#include "server_link.h"
#include "viewer_command.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto message = qova::server::parseAgentMessage(text)) {
    if (const auto* hello = std::get_if<qova::server::AgentHello>(&*message)) {
      require(qova::server::isDeviceId(hello->deviceId) && hello->publicKey.size() == 64);
    }
    if (const auto* proof = std::get_if<qova::server::AgentProof>(&*message)) {
      // Each is a line of the signed text: a line feed inside would let one proof read as another.
      require(proof->host.find('\n') == std::string::npos && proof->fingerprint.size() == 64);
    }
    if (const auto* result = std::get_if<qova::server::LoginResult>(&*message)) {
      require(result->retryMs >= 0 && result->retryMs <= 60000);
    }
  }
  if (const auto login = qova::server::parseViewerLogin(text)) require(login->code.size() <= 64);
  if (const auto message = qova::agent::parseServerMessage(text)) {
    require(message->code.size() <= 64 && message->ticket.size() <= 64 && message->address.size() <= 64);
  }
  const auto event = nlohmann::json::parse(text, nullptr, false);
  if (const auto line = qova::agent::inputCommandLine(event, {1280, 800})) {
    // One line to the application: a line feed inside would let a viewer write a second command.
    require(line->find('\n') == std::string::npos);
  }
  return 0;
}
