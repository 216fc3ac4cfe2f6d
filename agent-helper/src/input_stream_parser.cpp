#include "input_stream_parser.h"

#include <algorithm>
#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

#include "agent/agent_contract.h"

namespace qova::agent {

namespace {

constexpr int kMaxImageSide = 1 << 15;
constexpr int kMaxDisplaySide = 1 << 16;

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

}  // namespace

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
  // A frame body is copied straight from the input: it never needs to sit in the line buffer.
  while (!bytes.empty()) {
    if (state_ == State::FrameBody) {
      const auto take = std::min(frameRemaining_, bytes.size());
      frame_.jpeg.append(bytes.data(), take);
      bytes.remove_prefix(take);
      frameRemaining_ -= take;
      if (frameRemaining_ == 0) {
        out.emplace_back(std::move(frame_));
        frame_ = FrameMessage{};
        state_ = State::SeekMarker;
      }
      continue;
    }
    // Text states: buffer up to the next line feed at most, so a frame body that follows a header
    // in the same chunk still goes the direct way.
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
      if (state_ == State::PermissionLine || state_ == State::FrameHeader) {
        const auto next = readLine(pos, out);
        if (next == pos) break;  // the line is not complete yet
        pos = next;
        if (state_ == State::FrameBody) break;
      } else {
        break;
      }
    }
    buffer_.erase(0, pos);
    if (state_ == State::FrameBody && !buffer_.empty()) {
      // Cannot happen (the buffer ends at a line feed), but keep the stream's bytes in order.
      const std::string rest = std::move(buffer_);
      buffer_.clear();
      feed(rest, out);
    }
  }
}

std::size_t InputStreamParser::seekMarker(std::size_t pos) {
  const auto permission = buffer_.find(kPermissionMarker, pos);
  const auto frame = buffer_.find(kFrameMarker, pos);
  if (permission == std::string::npos && frame == std::string::npos) {
    // Keep only what may be the start of a marker split across reads.
    const auto keep = std::max(kPermissionMarker.size(), kFrameMarker.size()) - 1;
    return buffer_.size() > pos + keep ? buffer_.size() - keep : pos;
  }
  if (frame < permission) {
    state_ = State::FrameHeader;
    return frame;
  }
  state_ = State::PermissionLine;
  return permission;
}

std::size_t InputStreamParser::readLine(std::size_t pos, std::vector<InputStreamMessage>& out) {
  const auto markerSize = state_ == State::FrameHeader ? kFrameMarker.size() : kPermissionMarker.size();
  const auto newline = buffer_.find('\n', pos + markerSize);
  if (newline == std::string::npos) {
    if (buffer_.size() - pos > kMaxHeaderLine) {
      // Too long to be a header: resynchronise after the first byte of this marker.
      state_ = State::SeekMarker;
      return pos + 1;
    }
    return pos;
  }
  const std::string_view payload(buffer_.data() + pos + markerSize, newline - pos - markerSize);
  const auto next = newline + 1;
  if (payload.size() > kMaxHeaderLine) {
    state_ = State::SeekMarker;
    return next;
  }
  if (state_ == State::PermissionLine) {
    if (auto permission = parsePermission(payload)) out.emplace_back(*permission);
    state_ = State::SeekMarker;
    return next;
  }
  std::size_t size = 0;
  if (!parseFrameHeader(payload, maxFrameBytes_, frame_, size)) {
    // The image bytes that follow a bad header are skipped as garbage up to the next marker.
    state_ = State::SeekMarker;
    return next;
  }
  frame_.jpeg.clear();
  frame_.jpeg.reserve(size);
  frameRemaining_ = size;
  state_ = State::FrameBody;
  return next;
}

}  // namespace qova::agent
