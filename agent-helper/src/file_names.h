#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qova::agent {

// Longest stored name in bytes; leaves room for a " (n)" suffix under the usual 255-byte limit.
inline constexpr std::size_t kMaxStoredNameBytes = 200;

// Reduces a name a viewer sent to a plain base name that is safe to create in the received files
// folder: no directory parts, no "..", no control or invisible format characters, no broken UTF-8,
// no leading dot or space (which would hide the file), bounded length. Never empty.
std::string sanitizeFileName(std::string_view name);

// The n-th candidate for a stored name: n = 0 is the name itself, n >= 1 puts " (n)" before the
// extension ("report (2).pdf"), so an existing file is never overwritten.
std::string numberedFileName(std::string_view safeName, unsigned n);

}  // namespace qova::agent

namespace qova::agent {

// 0 to 15 for a hex digit of either case, -1 for anything else.
int hexDigitValue(char c);

// Decodes %XX escapes (as the page's encodeURIComponent makes them); nullopt on a broken escape.
std::optional<std::string> percentDecode(std::string_view text);

}  // namespace qova::agent
