#pragma once

#include <optional>
#include <string_view>

namespace qova {

// The character a key command asks to be typed as it is, whatever the desktop's keyboard layout:
// its code point when `text` is valid UTF-8 holding exactly one printable character; none for empty
// text, several characters, control characters (C0, DEL, C1), surrogates, overlong or cut sequences
// and anything past U+10FFFF, which all leave the key to be posted by its name.
std::optional<char32_t> typedCharacter(std::string_view text);

}  // namespace qova
