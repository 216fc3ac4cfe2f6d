#pragma once
// For test programs that link TurboJPEG: the frames the application wrote to the test agent.

#include <turbojpeg.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace qova::test {

struct RecordedFrame {
  nlohmann::json header;
  int width = 0, height = 0;  // of the decoded JPEG
  std::vector<uint8_t> bgrx;  // its pixels
};

// Every whole frame message in `written` (the agent's input), decoded. The newest JPEG is kept as
// <build>/test-artifacts/`keepAs` for a person to look at.
inline std::vector<RecordedFrame> recordedFrames(const std::string& written, const std::string& keepAs) {
  const std::string marker = "__QOVA_FRAME_BYTES__";
  std::vector<RecordedFrame> frames;
  for (size_t at = written.find(marker); at != std::string::npos;) {
    const size_t end = written.find('\n', at);
    if (end == std::string::npos) break;
    RecordedFrame frame{nlohmann::json::parse(written.substr(at + marker.size(), end - at - marker.size()))};
    const size_t bytes = frame.header["bytes"];
    if (end + 1 + bytes > written.size()) break;
    const auto* jpeg = reinterpret_cast<const unsigned char*>(written.data() + end + 1);
    tjhandle decoder = tjInitDecompress();
    int subsampling = 0, colourspace = 0;
    tjDecompressHeader3(decoder, jpeg, bytes, &frame.width, &frame.height, &subsampling, &colourspace);
    frame.bgrx.resize(size_t(frame.width) * frame.height * 4);
    tjDecompress2(decoder, jpeg, bytes, frame.bgrx.data(), frame.width, 0, frame.height, TJPF_BGRX, 0);
    tjDestroy(decoder);
    frames.push_back(std::move(frame));
    const auto artifacts = std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "test-artifacts";
    std::filesystem::create_directories(artifacts);
    std::ofstream(artifacts / keepAs, std::ios::binary).write(written.data() + end + 1, long(bytes));
    at = written.find(marker, end + 1 + bytes);
  }
  return frames;
}

}  // namespace qova::test
