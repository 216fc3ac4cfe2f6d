#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qova {

struct TrayMenuItem {
  std::string title;
  // Runs on the main thread when the item is chosen. It must hold the controller weakly.
  std::function<void()> action;
};

// The application's icon in the desktop's notification area. Linux has no Dock, so without it a
// closed window would leave an invisible process. Main thread only.
class Tray {
 public:
  virtual ~Tray() = default;
  // Shows the icon with a menu of `items`, in order. False when the desktop has no notification
  // area; nothing is shown then.
  // Shown again, the icon keeps its place and takes the new menu.
  virtual bool show(const std::string& toolTip, std::vector<TrayMenuItem> items) = 0;
  // A desktop notification from the icon; nothing where the desktop shows none.
  virtual void notify(const std::string& title, const std::string& text) = 0;
};

}  // namespace qova
