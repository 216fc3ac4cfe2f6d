#include "input_stream_parser.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

#include "agent/agent_contract.h"

namespace qova::agent {

namespace {

constexpr int kMaxImageSide = 1 << 15;
constexpr int kMaxDisplaySide = 1 << 16;
constexpr int kMaxShapeSide = 256;
constexpr std::int64_t kMinTile = 8;
constexpr std::int64_t kMaxTile = 1024;
constexpr std::size_t kUpdateMaxBytes = InputStreamParser::kDefaultMaxFrameBytes;

bool readInt(const nlohmann::json& object, const char* key, std::int64_t low, std::int64_t high, std::int64_t& value) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number_integer()) return false;
  if (it->is_number_unsigned()) {
    const auto u = it->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
    value = static_cast<std::int64_t>(u);
  } else {
    value = it->get<std::int64_t>();
  }
  return value >= low && value <= high;
}

std::optional<PermissionState> parsePermission(std::string_view json) {
  const auto object = nlohmann::json::parse(json, nullptr, false);
  if (!object.is_object()) return std::nullopt;
  const auto screen = object.find("screen");
  const auto input = object.find("input");
  if (screen == object.end() || input == object.end() || !screen->is_boolean() || !input->is_boolean()) {
    return std::nullopt;
  }
  return PermissionState{screen->get<bool>(), input->get<bool>()};
}

bool readIntArray(const nlohmann::json& value, std::size_t size, std::int64_t* out) {
  if (!value.is_array() || value.size() != size) return false;
  for (std::size_t i = 0; i < size; ++i) {
    if (!value[i].is_number_integer()) return false;
    out[i] = value[i].get<std::int64_t>();
    // Unsigned beyond the signed range reads negative and fails the range checks that follow.
  }
  return true;
}

// Tile-aligned, inside the picture: edges may end off the grid only at the picture's own edge.
// A copy (when asked for) also names its source, inside the picture, and has no bytes.
bool parseRect(const nlohmann::json& value, int tile, bool copies, const UpdateMessage& update, UpdateRect& rect) {
  std::int64_t v[8] = {};
  const bool copy = copies && value.is_array() && value.size() == 8;
  if (!readIntArray(value, copy ? 8 : 6, v)) return false;
  const auto [x, y, w, h, kind, length, sx, sy] = v;
  if (x < 0 || y < 0 || w < 1 || h < 1 || x + w > update.width || y + h > update.height) return false;
  if (x % tile != 0 || y % tile != 0) return false;
  if ((w % tile != 0 && x + w != update.width) || (h % tile != 0 && y + h != update.height)) return false;
  if (copy) {
    if (update.full || kind != kCopyRect || length != 0 || sx < 0 || sy < 0 || sx + w > update.width || sy + h > update.height) return false;
  } else if ((kind != 0 && kind != 1) || length < 1 || length > static_cast<std::int64_t>(kUpdateMaxBytes)) {
    return false;
  }
  rect = {static_cast<int>(x), static_cast<int>(y), static_cast<int>(w), static_cast<int>(h), static_cast<int>(kind),
          static_cast<std::size_t>(length), static_cast<int>(sx), static_cast<int>(sy)};
  return true;
}

bool parseCursorMembers(const nlohmann::json& object, UpdateMessage& update, std::size_t& shapeBytes) {
  if (const auto it = object.find("cursor"); it != object.end()) {
    std::int64_t v[3];
    // The hot spot may leave the picture (another screen); it is drawn clipped.
    if (!readIntArray(*it, 3, v) || std::abs(v[0]) > kMaxImageSide * 2 || std::abs(v[1]) > kMaxImageSide * 2 ||
        (v[2] != 0 && v[2] != 1)) {
      return false;
    }
    update.cursor = CursorPosition{static_cast<int>(v[0]), static_cast<int>(v[1]), v[2] == 1};
  }
  if (const auto it = object.find("shape"); it != object.end()) {
    std::int64_t v[6];
    if (!readIntArray(*it, 6, v)) return false;
    const auto [serial, w, h, hotX, hotY, length] = v;
    if (w < 1 || w > kMaxShapeSide || h < 1 || h > kMaxShapeSide || hotX < 0 || hotX > w || hotY < 0 || hotY > h ||
        length != w * h * 4) {
      return false;
    }
    update.shape = CursorShape{serial, static_cast<int>(w), static_cast<int>(h), static_cast<int>(hotX),
                               static_cast<int>(hotY), {}};
    shapeBytes = static_cast<std::size_t>(length);
  }
  return true;
}

std::optional<HelloAnswer> parseHelloAnswer(std::string_view json) {
  const auto object = nlohmann::json::parse(json, nullptr, false);
  if (!object.is_object()) return std::nullopt;
  const auto accepted = object.find("accepted");
  if (accepted == object.end() || !accepted->is_array()) return std::nullopt;
  HelloAnswer answer;
  for (const auto& name : *accepted) {
    if (name.is_string()) answer.accepted.push_back(name.get<std::string>());
  }
  return answer;
}

bool isEndAllViewers(std::string_view json) {
  const auto object = nlohmann::json::parse(json, nullptr, false);
  const auto action = object.is_object() ? object.find("action") : object.end();
  return action != object.end() && *action == "endAll";
}

std::optional<ClipboardText> parseClipboardText(std::string_view json) {
  // The parser refuses text that is not UTF-8, so what passes can go to a page as it is.
  const auto object = nlohmann::json::parse(json, nullptr, false);
  const auto text = object.is_object() ? object.find("text") : object.end();
  if (text == object.end() || !text->is_string()) return std::nullopt;
  auto value = text->get<std::string>();
  if (value.empty() || value.size() > InputStreamParser::kMaxClipboardBytes) return std::nullopt;
  return ClipboardText{std::move(value)};
}

}  // namespace

std::optional<DisplayList> parseDisplayList(std::string_view json) {
  constexpr std::size_t kMaxDisplays = 16, kMaxName = 64;
  const auto object = nlohmann::json::parse(json, nullptr, false);
  if (!object.is_object()) return std::nullopt;
  const auto displays = object.find("displays");
  std::int64_t current = 0;
  if (displays == object.end() || !displays->is_array() || !readInt(object, "current", 0, UINT32_MAX, current)) {
    return std::nullopt;
  }
  DisplayList list;
  list.current = static_cast<std::uint32_t>(current);
  for (const auto& entry : *displays) {
    if (list.displays.size() == kMaxDisplays) break;
    std::int64_t id = 0, width = 0, height = 0, x = 0, y = 0;
    if (!entry.is_object() || !readInt(entry, "id", 0, UINT32_MAX, id) ||
        !readInt(entry, "width", 1, kMaxDisplaySide, width) || !readInt(entry, "height", 1, kMaxDisplaySide, height) ||
        !readInt(entry, "x", -kMaxDisplaySide * 4, kMaxDisplaySide * 4, x) ||
        !readInt(entry, "y", -kMaxDisplaySide * 4, kMaxDisplaySide * 4, y)) {
      continue;
    }
    DisplayInfo display{static_cast<std::uint32_t>(id), {}, static_cast<int>(width), static_cast<int>(height),
                        static_cast<int>(x), static_cast<int>(y), false};
    if (const auto name = entry.find("name"); name != entry.end() && name->is_string()) {
      display.name = name->get<std::string>().substr(0, kMaxName);
    }
    if (const auto main = entry.find("main"); main != entry.end() && main->is_boolean()) display.main = *main;
    list.displays.push_back(std::move(display));
  }
  if (list.displays.empty()) return std::nullopt;
  return list;
}

std::optional<PictureAccepted> parsePictureAccepted(std::string_view json) {
  const auto object = nlohmann::json::parse(json, nullptr, false);
  if (!object.is_object()) return std::nullopt;
  PictureAccepted picture;
  std::int64_t value = 0;
  // Without a version we understand or a usable grid, nothing that follows could be placed.
  if (!readInt(object, "version", 1, std::numeric_limits<int>::max(), value)) return std::nullopt;
  picture.version = static_cast<int>(value);
  if (!readInt(object, "tile", kMinTile, kMaxTile, value)) return std::nullopt;
  picture.tile = static_cast<int>(value);
  if (readInt(object, "fps", 1, 30, value)) picture.fps = static_cast<int>(value);
  if (readInt(object, "maxSide", 0, 16384, value) && (value == 0 || value >= 16)) picture.maxSide = static_cast<int>(value);
  if (const auto cursor = object.find("cursor"); cursor != object.end() && cursor->is_boolean()) picture.cursor = *cursor;
  if (const auto copy = object.find("copy"); copy != object.end() && copy->is_boolean()) picture.copy = *copy;
  return picture;
}

bool parseUpdateHeader(std::string_view json, int tile, std::size_t maxBytes, UpdateMessage& update, std::size_t& bytes,
                       bool copies) {
  const auto object = nlohmann::json::parse(json, nullptr, false);
  if (tile < 1 || !object.is_object()) return false;
  update = UpdateMessage{};
  std::int64_t width = 0, height = 0, inputWidth = 0, inputHeight = 0, size = 0, timestamp = 0;
  if (!readInt(object, "width", 1, kMaxImageSide, width) || !readInt(object, "height", 1, kMaxImageSide, height) ||
      !readInt(object, "inputWidth", 1, kMaxDisplaySide, inputWidth) ||
      !readInt(object, "inputHeight", 1, kMaxDisplaySide, inputHeight) ||
      !readInt(object, "bytes", 0, static_cast<std::int64_t>(maxBytes), size)) {
    return false;
  }
  if (!readInt(object, "timestamp", 0, std::numeric_limits<std::int64_t>::max(), timestamp)) timestamp = 0;
  update.width = static_cast<int>(width);
  update.height = static_cast<int>(height);
  update.inputWidth = static_cast<int>(inputWidth);
  update.inputHeight = static_cast<int>(inputHeight);
  update.timestamp = timestamp;
  const auto full = object.find("full");
  if (full != object.end() && !full->is_boolean()) return false;
  update.full = full != object.end() && full->get<bool>();
  const auto rects = object.find("rects");
  if (rects == object.end() || !rects->is_array()) return false;
  std::size_t total = 0;
  update.rects.reserve(rects->size());
  for (const auto& value : *rects) {
    UpdateRect rect;
    if (!parseRect(value, tile, copies, update, rect)) return false;
    total += rect.length;
    if (total > maxBytes) return false;
    update.rects.push_back(rect);
  }
  std::size_t shapeBytes = 0;
  if (!parseCursorMembers(object, update, shapeBytes)) return false;
  if (total + shapeBytes != static_cast<std::size_t>(size)) return false;
  bytes = static_cast<std::size_t>(size);
  return true;
}

bool parseFrameHeader(std::string_view json, std::size_t maxFrameBytes, FrameMessage& frame, std::size_t& bytes) {
  const auto object = nlohmann::json::parse(json, nullptr, false);
  if (!object.is_object()) return false;
  std::int64_t width = 0, height = 0, inputWidth = 0, inputHeight = 0, size = 0, timestamp = 0;
  if (!readInt(object, "width", 1, kMaxImageSide, width) || !readInt(object, "height", 1, kMaxImageSide, height) ||
      !readInt(object, "inputWidth", 1, kMaxDisplaySide, inputWidth) ||
      !readInt(object, "inputHeight", 1, kMaxDisplaySide, inputHeight) ||
      !readInt(object, "bytes", 1, static_cast<std::int64_t>(maxFrameBytes), size)) {
    return false;
  }
  // The timestamp only serves latency figures; a frame without one is still a frame.
  if (!readInt(object, "timestamp", 0, std::numeric_limits<std::int64_t>::max(), timestamp)) timestamp = 0;
  frame.width = static_cast<int>(width);
  frame.height = static_cast<int>(height);
  frame.inputWidth = static_cast<int>(inputWidth);
  frame.inputHeight = static_cast<int>(inputHeight);
  frame.timestamp = timestamp;
  bytes = static_cast<std::size_t>(size);
  return true;
}

InputStreamParser::InputStreamParser(std::size_t maxFrameBytes) : maxFrameBytes_(maxFrameBytes) {}

void InputStreamParser::feed(std::string_view bytes, std::vector<InputStreamMessage>& out) {
  // A body is copied straight from the input: it never needs to sit in the line buffer.
  while (!bytes.empty()) {
    if (state_ == State::FrameBody || state_ == State::UpdateBody) {
      auto& body = state_ == State::FrameBody ? frame_.jpeg : update_.payload;
      const auto take = std::min(frameRemaining_, bytes.size());
      body.append(bytes.data(), take);
      bytes.remove_prefix(take);
      frameRemaining_ -= take;
      if (frameRemaining_ == 0) finishBody(out);
      continue;
    }
    // Text states: buffer up to the next line feed at most, so a body that follows a header in the
    // same chunk still goes the direct way.
    const auto newline = bytes.find('\n');
    const auto take = newline == std::string_view::npos ? bytes.size() : newline + 1;
    buffer_.append(bytes.data(), take);
    bytes.remove_prefix(take);

    std::size_t pos = 0;
    for (;;) {
      if (state_ == State::SeekMarker) {
        pos = seekMarker(pos);
        if (state_ == State::SeekMarker) break;
      }
      const auto next = readLine(pos, out);
      if (next == pos) break;  // the line is not complete yet
      pos = next;
      if (state_ == State::FrameBody || state_ == State::UpdateBody) break;
    }
    buffer_.erase(0, pos);
    if ((state_ == State::FrameBody || state_ == State::UpdateBody) && !buffer_.empty()) {
      // Cannot happen (the buffer ends at a line feed), but keep the stream's bytes in order.
      const std::string rest = std::move(buffer_);
      buffer_.clear();
      feed(rest, out);
    }
  }
}

void InputStreamParser::finishBody(std::vector<InputStreamMessage>& out) {
  if (state_ == State::FrameBody) {
    out.emplace_back(std::move(frame_));
    frame_ = FrameMessage{};
  } else {
    if (update_.shape) {
      const auto shapeBytes = static_cast<std::size_t>(update_.shape->width) * update_.shape->height * 4;
      update_.shape->rgba = update_.payload.substr(update_.payload.size() - shapeBytes);
      update_.payload.resize(update_.payload.size() - shapeBytes);
    }
    out.emplace_back(std::move(update_));
    update_ = UpdateMessage{};
  }
  state_ = State::SeekMarker;
}

std::size_t InputStreamParser::seekMarker(std::size_t pos) {
  static constexpr std::array kLines = {State::PermissionLine, State::FrameHeader, State::PictureLine,
                                        State::UpdateHeader,   State::HelloLine,   State::ViewersLine,
                                        State::ClipboardLine, State::DisplaysLine};
  auto first = std::string::npos;
  std::size_t longest = 0;
  for (const auto line : kLines) {
    longest = std::max(longest, markerOf(line).size());
    const auto at = buffer_.find(markerOf(line), pos);
    if (at < first) {
      first = at;
      state_ = line;
    }
  }
  if (first != std::string::npos) return first;
  // Keep only what may be the start of a marker split across reads.
  const auto keep = longest - 1;
  return buffer_.size() > pos + keep ? buffer_.size() - keep : pos;
}

std::string_view InputStreamParser::markerOf(State state) {
  switch (state) {
    case State::FrameHeader: return kFrameMarker;
    case State::PictureLine: return kPictureMarker;
    case State::UpdateHeader: return kUpdateMarker;
    case State::HelloLine: return kHelloMarker;
    case State::ViewersLine: return kViewersMarker;
    case State::ClipboardLine: return kClipboardMarker;
    case State::DisplaysLine: return kDisplaysMarker;
    default: return kPermissionMarker;
  }
}

std::size_t InputStreamParser::readLine(std::size_t pos, std::vector<InputStreamMessage>& out) {
  const auto markerSize = markerOf(state_).size();
  const auto limit = state_ == State::UpdateHeader    ? kMaxUpdateHeaderLine
                     : state_ == State::ClipboardLine ? kMaxClipboardLine
                                                      : kMaxHeaderLine;
  const auto newline = buffer_.find('\n', pos + markerSize);
  if (newline == std::string::npos) {
    if (buffer_.size() - pos > limit) {
      // Too long to be a header: resynchronise after the first byte of this marker.
      state_ = State::SeekMarker;
      return pos + 1;
    }
    return pos;
  }
  const std::string_view payload(buffer_.data() + pos + markerSize, newline - pos - markerSize);
  const auto next = newline + 1;
  const auto state = std::exchange(state_, State::SeekMarker);
  if (payload.size() > limit) return next;
  std::size_t size = 0;
  switch (state) {
    case State::PermissionLine:
      if (auto permission = parsePermission(payload)) out.emplace_back(*permission);
      return next;
    case State::PictureLine:
      if (auto picture = parsePictureAccepted(payload)) {
        tile_ = picture->tile;
        copies_ = picture->copy;
        out.emplace_back(*picture);
      }
      return next;
    case State::HelloLine:
      if (auto answer = parseHelloAnswer(payload)) out.emplace_back(std::move(*answer));
      return next;
    case State::ViewersLine:
      if (isEndAllViewers(payload)) out.emplace_back(EndAllViewers{});
      return next;
    case State::ClipboardLine:
      if (auto text = parseClipboardText(payload)) out.emplace_back(std::move(*text));
      return next;
    case State::DisplaysLine:
      if (auto list = parseDisplayList(payload)) out.emplace_back(std::move(*list));
      return next;
    case State::UpdateHeader:
      // The bytes that follow a bad header are skipped as garbage up to the next marker.
      if (!parseUpdateHeader(payload, tile_, maxFrameBytes_, update_, size, copies_)) return next;
      update_.payload.reserve(size);
      state_ = State::UpdateBody;
      break;
    default:
      if (!parseFrameHeader(payload, maxFrameBytes_, frame_, size)) return next;
      frame_.jpeg.clear();
      frame_.jpeg.reserve(size);
      state_ = State::FrameBody;
      break;
  }
  frameRemaining_ = size;
  if (size == 0) finishBody(out);
  return next;
}

}  // namespace qova::agent
