#include "audit_log.h"

#include <cstdio>
#include <iostream>

namespace qova::server {

namespace {

// Refusals beyond the table's size are counted under this key, which no address can be.
const std::string kOtherKey;
const std::string kOtherText = "refusals from further addresses";

// The length of the well-formed UTF-8 sequence at the start of `text`, 0 when there is none: no
// overlong forms, no surrogates, nothing past U+10FFFF.
std::size_t sequenceLength(std::string_view text, char32_t& codePoint) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = byte(i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
    codePoint = (codePoint << 6) | (next & 0x3F);
  }
  return length;
}

// Characters that change how the rest of a line is shown: C1 controls, bidi controls and marks,
// and the line and paragraph separators some viewers break lines at.
bool hidden(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x2028 && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

std::string escaped(const char* format, unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string escapeForLog(std::string_view text, std::size_t maxBytes) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::string piece;
    char32_t codePoint = 0;
    std::size_t used = 1;
    if (byte < 0x20 || byte == 0x7F) {
      piece = escaped("\\x%02x", byte);
    } else if (byte == '\\') {
      piece = "\\\\";
    } else if (byte < 0x80) {
      piece = static_cast<char>(byte);
    } else if (const auto length = sequenceLength(text.substr(i), codePoint); length == 0) {
      piece = escaped("\\x%02x", byte);
    } else {
      used = length;
      piece = hidden(codePoint) ? escaped("\\u{%04x}", static_cast<unsigned>(codePoint))
                                : std::string(text.substr(i, length));
    }
    // Cut between characters, never inside one or inside an escape.
    if (out.size() + piece.size() > maxBytes) return out + "...";
    out += piece;
    i += used;
  }
  return out;
}

AuditLog::AuditLog(std::function<Clock::time_point()> now, Sink sink) : now_(std::move(now)), sink_(std::move(sink)) {
  if (!sink_) sink_ = [](std::string text) { std::cerr << "[server] " << text << std::endl; };
}

void AuditLog::line(std::string text) { sink_(std::move(text)); }

void AuditLog::refusal(const std::string& key, std::string text) {
  const auto now = now_();
  expire(key, now);
  const bool overflow = !folds_.contains(key) && folds_.size() >= kMaxKeys;
  if (overflow) expire(kOtherKey, now);
  auto [fold, first] = folds_.try_emplace(overflow ? kOtherKey : key, Fold{now, overflow ? kOtherText : "", 0});
  if (first) return sink_(std::move(text));
  ++fold->second.more;
  if (!overflow) fold->second.last = std::move(text);
}

void AuditLog::flush() {
  const auto now = now_();
  for (auto it = folds_.begin(); it != folds_.end();) {
    if (now - it->second.start < kFoldPeriod) {
      ++it;
      continue;
    }
    close(it->second);
    it = folds_.erase(it);
  }
}

void AuditLog::expire(const std::string& key, Clock::time_point now) {
  const auto found = folds_.find(key);
  if (found == folds_.end() || now - found->second.start < kFoldPeriod) return;
  close(found->second);
  folds_.erase(found);
}

void AuditLog::close(const Fold& fold) {
  if (fold.more == 0) return;
  sink_(fold.last + " (" + std::to_string(fold.more) + " more in the last " + std::to_string(kFoldPeriod.count()) +
        " s)");
}

}  // namespace qova::server
