#pragma once

#include "platform/controls.h"

namespace qova {

// Qt Widgets with absolute geometry. Frames arrive bottom-left-origin and are flipped here, once,
// against the parent's height. Fonts prefer Noto Sans CJK SC so the Chinese texts render.
class QtControls : public Controls {
 public:
  std::shared_ptr<View> makeView() override;
  std::shared_ptr<Label> makeLabel(const std::string& text) override;
  std::shared_ptr<Button> makeButton(const std::string& title) override;
  std::shared_ptr<StackView> makeStackView() override;
  std::shared_ptr<ScrollView> makeScrollView() override;
  std::shared_ptr<TabView> makeTabView() override;
  std::shared_ptr<Window> makeWindow(double contentWidth, double contentHeight) override;
  void activateApplication() override;
  void terminateApplication() override;
};

}  // namespace qova
