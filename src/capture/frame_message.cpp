#include "capture/frame_message.h"

#include <chrono>
#include <nlohmann/json.hpp>

#include "agent/agent_contract.h"

namespace qova {

std::string frameHeaderLine(const FrameHeader& header) {
  const nlohmann::json object = {{"width", header.width},           {"height", header.height},
                                 {"inputWidth", header.inputWidth}, {"inputHeight", header.inputHeight},
                                 {"bytes", header.bytes},           {"timestamp", header.timestamp}};
  std::string line(kFrameMarker);
  line += object.dump();
  line += '\n';
  return line;
}

int64_t wallClockMilliseconds() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<int64_t>(std::chrono::duration<double>(sinceEpoch).count() * 1000.0);
}

}  // namespace qova
