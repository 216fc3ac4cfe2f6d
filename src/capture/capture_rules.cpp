#include "capture/capture_rules.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace qova {

CaptureAction decodeCaptureAction(std::string_view command) {
  // JSON has no place for a raw NUL, and the parser would take one as the end of its input, leaving
  // what follows unread: such a line is dropped, as an input command with one is.
  if (command.find('\0') != std::string_view::npos) return CaptureAction::none;
  // No exceptions: text that is not JSON (including bytes that are not UTF-8) comes back discarded.
  const auto parsed = nlohmann::json::parse(command, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return CaptureAction::none;
  const auto action = parsed.find("action");
  if (action == parsed.end() || !action->is_string()) return CaptureAction::none;
  const auto& text = action->get_ref<const std::string&>();
  if (text == "start") return CaptureAction::start;
  if (text == "stop") return CaptureAction::stop;
  return CaptureAction::none;
}

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
                                                   uint32_t mainDisplayId) {
  if (displays.empty()) return std::nullopt;
  const auto main = std::find_if(displays.begin(), displays.end(),
                                 [mainDisplayId](const CaptureDisplay& d) { return d.displayId == mainDisplayId; });
  return main != displays.end() ? *main : displays.front();
}

}  // namespace qova
