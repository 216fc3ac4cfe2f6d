#pragma once

#include <string_view>

namespace qova::common {

// The viewer page's files, built into the program so the agent is one self-contained executable.
struct ViewerAsset {
  std::string_view path;
  std::string_view contentType;
  std::string_view body;
};

// nullptr when `path` names no file of the page.
const ViewerAsset* findViewerAsset(std::string_view path);

}  // namespace qova::common
