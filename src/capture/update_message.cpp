#include "capture/update_message.h"

#include <nlohmann/json.hpp>

#include "agent/agent_contract.h"

namespace qova {

std::string updateHeaderLine(const UpdateHeader& header) {
  nlohmann::json rects = nlohmann::json::array();
  for (const auto& r : header.rects) {
    rects.push_back({r.x, r.y, r.width, r.height, static_cast<int>(r.kind), r.length});
    if (r.kind == RectKind::copy) rects.back().push_back(r.sourceX), rects.back().push_back(r.sourceY);
  }
  nlohmann::json object = {{"width", header.width},
                           {"height", header.height},
                           {"inputWidth", header.inputWidth},
                           {"inputHeight", header.inputHeight},
                           {"timestamp", header.timestamp},
                           {"bytes", header.bytes},
                           {"full", header.full},
                           {"rects", std::move(rects)}};
  if (const auto& c = header.cursor) object["cursor"] = {c->x, c->y, c->visible ? 1 : 0};
  if (const auto& s = header.shape) object["shape"] = {s->serial, s->width, s->height, s->hotX, s->hotY, s->length};
  std::string line(kUpdateMarker);
  line += object.dump();
  line += '\n';
  return line;
}

}  // namespace qova
