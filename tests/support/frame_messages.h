#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace qova::test {

struct SentFrame {
  nlohmann::json header;
  std::string jpeg;
  size_t end = 0;  // offset just past the frame's last byte
};

// Frame messages as the agent reads them from its input: marker, JSON header line, then "bytes"
// bytes. Other messages between them are skipped; a frame still arriving is left out.
inline std::vector<SentFrame> framesIn(const std::string& input) {
  static const std::string marker = "__QOVA_FRAME_BYTES__";
  std::vector<SentFrame> frames;
  for (size_t at = 0; at < input.size();) {
    const size_t lineEnd = input.find('\n', at);
    if (lineEnd == std::string::npos) break;
    if (input.compare(at, marker.size(), marker) != 0) {
      at = lineEnd + 1;
      continue;
    }
    SentFrame frame;
    frame.header = nlohmann::json::parse(input.substr(at + marker.size(), lineEnd - at - marker.size()));
    const size_t bytes = frame.header.at("bytes").get<size_t>();
    if (lineEnd + 1 + bytes > input.size()) break;
    frame.jpeg = input.substr(lineEnd + 1, bytes);
    frame.end = at = lineEnd + 1 + bytes;
    frames.push_back(std::move(frame));
  }
  return frames;
}

}  // namespace qova::test
