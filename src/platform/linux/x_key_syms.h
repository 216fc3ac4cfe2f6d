#pragma once

#include <array>
#include <cstdint>

#include "platform/event_poster.h"

namespace qova {

// The X keysym of the same key on a US layout for an ANSI virtual key code of the key-name table, or
// 0 (no symbol) for the codes without one. The keysym is what every Linux input backend looks the
// key up by in its own keymap.
uint32_t keySymFor(uint16_t code);

// The keysyms a keymap may hold a printable character under, first the one to look for first: its
// named keysym where X has one (Latin-1 ones are the code point itself, U+20AC is EuroSign), then the
// Unicode keysym (0x01000000 + code point) that layouts use for the rest. Both are the same when
// there is no named one.
std::array<uint32_t, 2> characterKeySyms(char32_t codePoint);

// The modifier keys a poster presses for a key's flags, as bits of their own: command and control
// both give Control, option gives Alt, shift gives Shift.
enum ModifierBit : unsigned { kControlBit = 1, kAltBit = 2, kShiftBit = 4 };
// The third shift level (AltGr) a character may need; never part of a key's flags.
inline constexpr unsigned kLevel3Bit = 8;
unsigned modifierBits(ModifierFlags flags);

// Presses and releases the modifier keys (Control_L, Alt_L, Shift_L, in the order of their bits) so
// that exactly `wanted` are held where `held` were; `key(index, press)` posts one of them.
template <class Key>
unsigned changeHeldModifiers(unsigned held, unsigned wanted, Key&& key) {
  for (unsigned i = 0; i < 3; ++i) {
    const unsigned bit = 1u << i;
    if ((wanted & bit) && !(held & bit)) key(i, true);
    if (!(wanted & bit) && (held & bit)) key(i, false);
  }
  return wanted;
}

}  // namespace qova
