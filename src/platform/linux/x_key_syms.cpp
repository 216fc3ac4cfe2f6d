#include "platform/linux/x_key_syms.h"

#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

#include <array>
#include <utility>

namespace qova {

namespace {

// Codes absent here (the table has 51 distinct ones) have no keysym and are skipped.
constexpr std::array<std::pair<uint16_t, uint32_t>, 51> kKeySyms = {{
    {0, XK_a},  {11, XK_b}, {8, XK_c},  {2, XK_d},  {14, XK_e}, {3, XK_f},  {5, XK_g},  {4, XK_h},
    {34, XK_i}, {38, XK_j}, {40, XK_k}, {37, XK_l}, {46, XK_m}, {45, XK_n}, {31, XK_o}, {35, XK_p},
    {12, XK_q}, {15, XK_r}, {1, XK_s},  {17, XK_t}, {32, XK_u}, {9, XK_v},  {13, XK_w}, {7, XK_x},
    {16, XK_y}, {6, XK_z},  {29, XK_0}, {18, XK_1}, {19, XK_2}, {20, XK_3}, {21, XK_4}, {23, XK_5},
    {22, XK_6}, {26, XK_7}, {28, XK_8}, {25, XK_9},
    {24, XK_equal}, {27, XK_minus}, {30, XK_bracketright}, {33, XK_bracketleft}, {39, XK_apostrophe},
    {41, XK_semicolon}, {42, XK_backslash}, {43, XK_comma}, {44, XK_slash}, {47, XK_period},
    {36, XK_Return}, {48, XK_Tab}, {49, XK_space}, {51, XK_BackSpace}, {53, XK_Escape},
}};

constexpr std::array<std::pair<uint16_t, uint32_t>, 4> kArrowKeySyms = {{
    {123, XK_Left}, {124, XK_Right}, {125, XK_Down}, {126, XK_Up},
}};

}  // namespace

uint32_t keySymFor(uint16_t code) {
  for (const auto& [mac, sym] : kKeySyms) {
    if (mac == code) return sym;
  }
  for (const auto& [mac, sym] : kArrowKeySyms) {
    if (mac == code) return sym;
  }
  return 0;
}

std::array<uint32_t, 2> characterKeySyms(char32_t codePoint) {
  const uint32_t named = xkb_utf32_to_keysym(codePoint);
  const uint32_t unicode = 0x01000000u + static_cast<uint32_t>(codePoint);
  return {named == XKB_KEY_NoSymbol ? unicode : named, unicode};
}

unsigned modifierBits(ModifierFlags flags) {
  unsigned bits = 0;
  if (flags & (kModifierCommand | kModifierControl)) bits |= kControlBit;
  if (flags & kModifierAlternate) bits |= kAltBit;
  if (flags & kModifierShift) bits |= kShiftBit;
  return bits;
}

}  // namespace qova
