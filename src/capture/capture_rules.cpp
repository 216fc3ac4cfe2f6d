#include "capture/capture_rules.h"

#include <algorithm>

#include "capture/capture_command.h"

namespace qova {

CaptureAction decodeCaptureAction(std::string_view command) { return decodeCaptureCommand(command).action; }

FrameSize captureFrameSize(int64_t width, int64_t height, double maxSide) {
  const int64_t w = std::max<int64_t>(width, 1);
  const int64_t h = std::max<int64_t>(height, 1);
  const int64_t longer = std::max(w, h);
  const double scale = static_cast<double>(longer) > maxSide ? maxSide / static_cast<double>(longer) : 1.0;
  const auto side = [scale](int64_t s) {
    return std::max<int64_t>(static_cast<int64_t>(static_cast<double>(s) * scale), 1);
  };
  return {side(w), side(h)};
}

std::optional<CaptureDisplay> chooseCaptureDisplay(const std::vector<CaptureDisplay>& displays,
                                                   uint32_t mainDisplayId, std::optional<uint32_t> wanted) {
  if (displays.empty()) return std::nullopt;
  const auto chosen = std::find_if(displays.begin(), displays.end(),
                                   [wanted](const CaptureDisplay& d) { return wanted == d.displayId; });
  if (chosen != displays.end()) return *chosen;
  const auto main = std::find_if(displays.begin(), displays.end(),
                                 [mainDisplayId](const CaptureDisplay& d) { return d.displayId == mainDisplayId; });
  return main != displays.end() ? *main : displays.front();
}

}  // namespace qova
