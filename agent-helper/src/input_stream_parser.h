#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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

// What the application accepted of our request for the richer picture; its updates follow.
struct PictureAccepted {
  int version = 1;
  int tile = 32;
  int fps = 30;
  int maxSide = 0;
  bool cursor = false;
  bool copy = false;  // updates may move part of the picture (a scroll)
};

// One rectangle of an update: where it goes, how it is encoded (0 JPEG, 1 PNG) and its byte count;
// or a copy (no bytes): the picture as it stood at (sx, sy), w x h, moved here.
inline constexpr int kCopyRect = 2;
struct UpdateRect {
  int x = 0, y = 0, w = 0, h = 0;
  int kind = 0;
  std::size_t length = 0;
  int sx = 0, sy = 0;
};

struct CursorPosition {
  int x = 0, y = 0;
  bool visible = false;
  bool operator==(const CursorPosition&) const = default;
};

// The pointer's image: RGBA, not premultiplied, width * height * 4 bytes.
struct CursorShape {
  std::int64_t serial = 0;
  int width = 0, height = 0, hotX = 0, hotY = 0;
  std::string rgba;
};

// The changed parts of the picture since the last update; the payload holds the rects' bytes in
// order, then the shape's.
struct UpdateMessage {
  int width = 0;
  int height = 0;
  int inputWidth = 0;
  int inputHeight = 0;
  std::int64_t timestamp = 0;
  bool full = false;
  std::vector<UpdateRect> rects;
  std::optional<CursorPosition> cursor;
  std::optional<CursorShape> shape;  // rgba empty here; filled from the payload's tail
  std::string payload;
};

// The application's answer to our hello: the extensions it grants.
struct HelloAnswer {
  std::vector<std::string> accepted;
};

// The application asks to end every viewer's session.
struct EndAllViewers {};

// A display the application can capture, and where it lies on the desktop.
struct DisplayInfo {
  std::uint32_t id = 0;
  std::string name;
  int width = 0, height = 0, x = 0, y = 0;
  bool main = false;
  bool operator==(const DisplayInfo&) const = default;
};

// The displays there are, and the one the pictures that follow show.
struct DisplayList {
  std::uint32_t current = 0;
  std::vector<DisplayInfo> displays;
};

// Text copied on the host, for the viewers: well-formed UTF-8, not empty, at most kMaxClipboardBytes.
struct ClipboardText {
  std::string text;
};

using InputStreamMessage =
    std::variant<PermissionState, FrameMessage, PictureAccepted, UpdateMessage, HelloAnswer, EndAllViewers, ClipboardText, DisplayList>;

// Splits the byte stream the application writes to our standard input into permission, frame,
// picture and update messages. Each message is found by its marker; a frame's end follows from its "bytes" member alone,
// since the JPEG may hold any byte. Anything that is not a well-formed message is skipped up to the
// next marker, so one damaged message costs only itself. Not thread-safe: one reader feeds it.
class InputStreamParser {
 public:
  static constexpr std::size_t kDefaultMaxFrameBytes = 32u << 20;
  static constexpr std::size_t kMaxHeaderLine = 4096;
  // An update's header lists every changed rectangle: a whole screen of scattered tiles.
  static constexpr std::size_t kMaxUpdateHeaderLine = 256u << 10;
  static constexpr std::size_t kMaxClipboardBytes = 1u << 20;
  // Copied text, every byte of it escaped as JSON may escape it.
  static constexpr std::size_t kMaxClipboardLine = kMaxClipboardBytes * 6 + 64;

  explicit InputStreamParser(std::size_t maxFrameBytes = kDefaultMaxFrameBytes);

  // Consumes `bytes` (any split of the stream) and appends every message completed by them.
  void feed(std::string_view bytes, std::vector<InputStreamMessage>& out);

  // Bytes held back waiting for the rest of a message (bounded by the header limit or a frame).
  std::size_t pendingBytes() const { return buffer_.size() + frame_.jpeg.size() + update_.payload.size(); }

 private:
  enum class State {
    SeekMarker,
    PermissionLine,
    FrameHeader,
    FrameBody,
    PictureLine,
    UpdateHeader,
    UpdateBody,
    HelloLine,
    ViewersLine,
    ClipboardLine,
    DisplaysLine
  };

  std::size_t seekMarker(std::size_t pos);
  std::size_t readLine(std::size_t pos, std::vector<InputStreamMessage>& out);
  void finishBody(std::vector<InputStreamMessage>& out);
  static std::string_view markerOf(State state);

  std::size_t maxFrameBytes_;
  State state_ = State::SeekMarker;
  std::string buffer_;
  FrameMessage frame_;
  UpdateMessage update_;
  std::size_t frameRemaining_ = 0;
  // The grid updates are checked against: none until the application accepted the picture.
  int tile_ = 0;
  bool copies_ = false;
};

// Reads a frame header object; false when a member is missing, not an integer or out of range.
bool parseFrameHeader(std::string_view json, std::size_t maxFrameBytes, FrameMessage& frame, std::size_t& bytes);
std::optional<PictureAccepted> parsePictureAccepted(std::string_view json);
// Reads a display list: at most 16 displays with sane sizes, names cut to 64 bytes; a display with a
// member missing or out of range is left out, and the list is nullopt when none is left.
std::optional<DisplayList> parseDisplayList(std::string_view json);
// Reads an update header on a grid of `tile`: false unless every rect lies inside the picture on
// the grid, the shape is within bounds and the lengths add up to "bytes". Copies are read only when
// `copies` (asked for and accepted), and never in a whole picture.
bool parseUpdateHeader(std::string_view json, int tile, std::size_t maxBytes, UpdateMessage& update, std::size_t& bytes,
                       bool copies = false);

}  // namespace qova::agent
