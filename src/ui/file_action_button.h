#pragma once

#include <memory>
#include <optional>
#include <string>

namespace qova {

class Button;

// What a row's "打开" or "定位" button carries: the file it acts on. The button's action holds this
// object; it refers back to its button weakly, so the two do not keep each other alive.
class FileActionButton {
 public:
  FileActionButton() = default;
  explicit FileActionButton(std::weak_ptr<Button> button) : button(std::move(button)) {}

  std::weak_ptr<Button> button;
  // The file's path; absent for any button made without one.
  std::optional<std::string> fileURL;
};

}  // namespace qova
