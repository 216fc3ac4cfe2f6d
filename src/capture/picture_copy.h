#pragma once

#include <optional>
#include <vector>

#include "platform/imaging.h"

namespace qova {

// Part of the picture moved up or down, as a scroll moves it: the destination is whole tiles (cut
// only at the picture's edge), the source the same columns `shift` rows lower (negative: higher).
struct PictureCopy {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int shift = 0;
  int sourceY() const { return y + shift; }
  friend bool operator==(const PictureCopy&, const PictureCopy&) = default;
};

// The vertical move that explains most of the change from `before` to `after` (pictures of one size;
// `changed` holds one flag per tile, as changedTiles gives it), when the change is large and a long
// run of its rows reappears shifted; nullopt otherwise. Rows are matched over the middle half of the
// changed area's width, so that a scroll bar or a fixed margin at its sides does not spoil the match;
// what the move does not explain is left for the caller to compare and send.
std::optional<PictureCopy> findVerticalMove(const PixelBuffer& before, const PixelBuffer& after,
                                            const std::vector<uint8_t>& changed);

// `picture` with the copy applied, in a buffer of its own; the source is read as it was before the
// copy, whatever the overlap.
PixelBuffer withCopy(const PixelBuffer& picture, const PictureCopy& copy);

}  // namespace qova
