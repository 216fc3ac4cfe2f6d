// libFuzzer target: one WebSocket message, as the server reads it from an agent or a viewer, as the
// agent reads it from the server, and as the agent turns a viewer's input message into a command line; and the
// same bytes as the application's stream to the agent, split in two. Besides sanitizer findings it traps on a parse that lets through
// what the callers rely on being ruled out.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "input_stream_parser.h"
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
  if (const auto login = qova::server::parseViewerLogin(text)) {
    require(login->code.size() <= 64 && login->sid.size() <= 64 && login->share.size() <= 128);
  }
  if (const auto proof = qova::server::parseViewerProof(text)) require(proof->size() <= 64);
  if (const auto message = qova::agent::parseServerMessage(text)) {
    require(message->code.size() <= 64 && message->ticket.size() <= 64 && message->address.size() <= 64);
  }
  const auto event = nlohmann::json::parse(text, nullptr, false);
  if (const auto line = qova::agent::inputCommandLine(event, {1280, 800})) {
    // One line to the application: a line feed inside would let a viewer write a second command.
    require(line->find('\n') == std::string::npos);
  }
  qova::agent::InputStreamParser parser;
  std::vector<qova::agent::InputStreamMessage> messages;
  parser.feed(text.substr(0, size / 2), messages);
  parser.feed(text.substr(size / 2), messages);
  require(parser.pendingBytes() <= size);
  for (const auto& message : messages) {
    const auto* update = std::get_if<qova::agent::UpdateMessage>(&message);
    if (!update) continue;
    // The store and the page cut the payload by these lengths and paint at these places.
    std::size_t bytes = 0;
    for (const auto& rect : update->rects) {
      require(rect.x >= 0 && rect.y >= 0 && rect.w > 0 && rect.h > 0 && rect.x + rect.w <= update->width &&
              rect.y + rect.h <= update->height);
      bytes += rect.length;
    }
    require(bytes == update->payload.size());
    if (update->shape) {
      require(update->shape->rgba.size() == static_cast<std::size_t>(update->shape->width) * update->shape->height * 4);
    }
  }
  return 0;
}
