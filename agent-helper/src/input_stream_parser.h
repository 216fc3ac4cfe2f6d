#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qova::agent {

// Screen and input grants as the application last reported them.
struct PermissionState {
  bool screen = false;
  bool input = false;
  bool operator==(const PermissionState&) const = default;
};

// One JPEG frame with the display size that viewer positions are mapped to.
struct FrameMessage {
  int width = 0;
  int height = 0;
  int inputWidth = 0;
  int inputHeight = 0;
  std::int64_t timestamp = 0;
  std::string jpeg;
};

using InputStreamMessage = std::variant<PermissionState, FrameMessage>;

// Splits the byte stream the application writes to our standard input into permission and frame
// messages. Each message is found by its marker; a frame's end follows from its "bytes" member alone,
// since the JPEG may hold any byte. Anything that is not a well-formed message is skipped up to the
// next marker, so one damaged message costs only itself. Not thread-safe: one reader feeds it.
class InputStreamParser {
 public:
  static constexpr std::size_t kDefaultMaxFrameBytes = 32u << 20;
  static constexpr std::size_t kMaxHeaderLine = 4096;

  explicit InputStreamParser(std::size_t maxFrameBytes = kDefaultMaxFrameBytes);

  // Consumes `bytes` (any split of the stream) and appends every message completed by them.
  void feed(std::string_view bytes, std::vector<InputStreamMessage>& out);

  // Bytes held back waiting for the rest of a message (bounded by the header limit or a frame).
  std::size_t pendingBytes() const { return buffer_.size() + frame_.jpeg.size(); }

 private:
  enum class State { SeekMarker, PermissionLine, FrameHeader, FrameBody };

  std::size_t seekMarker(std::size_t pos);
  std::size_t readLine(std::size_t pos, std::vector<InputStreamMessage>& out);

  std::size_t maxFrameBytes_;
  State state_ = State::SeekMarker;
  std::string buffer_;
  FrameMessage frame_;
  std::size_t frameRemaining_ = 0;
};

// Reads a frame header object; false when a member is missing, not an integer or out of range.
bool parseFrameHeader(std::string_view json, std::size_t maxFrameBytes, FrameMessage& frame, std::size_t& bytes);

}  // namespace qova::agent
