#include "input/input_values.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

namespace qova {

namespace {

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// from_chars reports a number it cannot represent without telling which way it fell out of range.
// Such a number lies hundreds of orders of magnitude away from 1, so the position of its first
// significant digit plus its exponent settles it. `text` is the unsigned number from_chars accepted.
bool magnitudeAboveOne(std::string_view text, bool hex) {
  // Counts stop growing here: far beyond any double's range, far below int64_t overflow.
  constexpr int64_t kCap = int64_t{1} << 40;
  const char exponentMark = hex ? 'p' : 'e';
  bool seenPoint = false;
  bool seenSignificant = false;
  int64_t integerDigits = 0;         // digits before the point from the first significant one on
  int64_t leadingFractionZeros = 0;  // zeros after the point before the first significant digit
  size_t i = 0;
  for (; i < text.size() && (text[i] | 0x20) != exponentMark; ++i) {
    const char c = text[i];
    if (c == '.') {
      seenPoint = true;
      continue;
    }
    if (c != '0') seenSignificant = true;
    if (!seenPoint && seenSignificant && integerDigits < kCap) ++integerDigits;
    if (seenPoint && !seenSignificant && leadingFractionZeros < kCap) ++leadingFractionZeros;
  }
  const int64_t digitPosition = integerDigits > 0 ? integerDigits : -leadingFractionZeros;
  int64_t exponent = 0;
  if (i < text.size()) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    for (; i < text.size() && isDigit(text[i]); ++i) {
      if (exponent < kCap) exponent = exponent * 10 + (text[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  // A hex digit is four binary places; the exponent after 'p' counts binary places.
  return (hex ? digitPosition * 4 : digitPosition) + exponent > 0;
}

// The whole of `text` as one number in strtod's "C" locale syntax, or 0.
double parseDouble(std::string_view text) {
  if (text.empty()) return 0;
  switch (text.front()) {
    case ' ': case '\t': case '\n': case '\v': case '\f': case '\r': case '\0':
      return 0;
    default:
      break;
  }
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // from_chars takes a minus sign of its own but no plus and no "0x"; strtod takes neither after its sign.
  if (text.empty() || text.front() == '+' || text.front() == '-') return 0;
  bool hex = false;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    // strtod reads "0x" without hex digits as the number 0 followed by junk.
    if (text.empty() || !(isHexDigit(text.front()) || text.front() == '.')) return 0;
    hex = true;
  }
  // strtod's exponent is one optional sign and then digits; libstdc++'s hex reading also takes
  // "p+-3" as an exponent, so a second sign is turned away here.
  const size_t mark = text.find_first_of(hex ? "pP" : "eE");
  if (mark != std::string_view::npos && mark + 2 < text.size() && (text[mark + 1] == '+' || text[mark + 1] == '-') &&
      !isDigit(text[mark + 2])) {
    return 0;
  }
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, error] = std::from_chars(text.data(), end, value, hex ? std::chars_format::hex : std::chars_format::general);
  if (ptr != end) return 0;
  if (error == std::errc::result_out_of_range) {
    value = magnitudeAboveOne(text, hex) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (error != std::errc()) {
    return 0;
  }
  return negative ? -value : value;
}

int64_t parseInt(std::string_view text) {
  size_t digitsStart = 0;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) digitsStart = 1;
  // A digit must follow the one optional sign ("+-5", "-+5" and a lone sign are not numbers).
  if (digitsStart >= text.size() || !isDigit(text[digitsStart])) return 0;
  // from_chars takes a minus sign but no plus.
  if (text.front() == '+') text.remove_prefix(1);
  int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, error] = std::from_chars(text.data(), end, value, 10);
  if (error != std::errc() || ptr != end) return 0;
  return value;
}

int64_t saturatingTruncate(double value) {
  // 2^63 is exact in a double; anything at or beyond it does not fit.
  constexpr double kTwo63 = 9223372036854775808.0;
  if (std::isnan(value)) return 0;
  if (value >= kTwo63) return std::numeric_limits<int64_t>::max();
  if (value < -kTwo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

}  // namespace

double doubleValue(const nlohmann::json* value) {
  if (!value) return 0;
  switch (value->type()) {
    case nlohmann::json::value_t::boolean:
      return value->get<bool>() ? 1.0 : 0.0;
    case nlohmann::json::value_t::number_integer:
      return static_cast<double>(value->get<int64_t>());
    case nlohmann::json::value_t::number_unsigned:
      return static_cast<double>(value->get<uint64_t>());
    case nlohmann::json::value_t::number_float:
      return value->get<double>();
    case nlohmann::json::value_t::string:
      return parseDouble(value->get_ref<const std::string&>());
    default:
      return 0;
  }
}

int64_t intValue(const nlohmann::json* value) {
  if (!value) return 0;
  switch (value->type()) {
    case nlohmann::json::value_t::boolean:
      return value->get<bool>() ? 1 : 0;
    case nlohmann::json::value_t::number_integer:
      return value->get<int64_t>();
    case nlohmann::json::value_t::number_unsigned: {
      const uint64_t unsignedValue = value->get<uint64_t>();
      constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
      return unsignedValue > kMax ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(unsignedValue);
    }
    case nlohmann::json::value_t::number_float:
      return saturatingTruncate(value->get<double>());
    case nlohmann::json::value_t::string:
      return parseInt(value->get_ref<const std::string&>());
    default:
      return 0;
  }
}

}  // namespace qova
