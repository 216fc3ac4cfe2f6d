#pragma once

#include <functional>
#include <memory>

namespace qova {

class Controls;
class Window;
class Label;
class Button;
class StackView;

// The identifier of the copy button that copies the access code; every other one copies the ID.
inline constexpr const char* kCopyCodeIdentifier = "验证码";

// The views the window shows and someone else keeps changing: made by their owner, placed and
// styled here.
struct MainWindowViews {
  std::shared_ptr<Label> statusLabel;
  std::shared_ptr<Label> idValue;
  std::shared_ptr<Label> codeValue;
  std::shared_ptr<Label> serverValue;
  std::shared_ptr<Button> startButton;
  std::shared_ptr<Button> stopButton;
  std::shared_ptr<StackView> fileListStack;
  std::shared_ptr<Label> fileEmptyLabel;
  std::shared_ptr<Label> filePathLabel;
};

// What the window's buttons do. Each runs on the main thread when its button is pressed.
struct MainWindowActions {
  std::function<void()> start;
  std::function<void()> stop;
  // Gets the pressed copy button.
  std::function<void(const Button*)> copy;
  std::function<void()> requestScreenPermission;
  std::function<void()> openScreenSettings;
  std::function<void()> requestAccessibilityPermission;
  std::function<void()> openAccessibilitySettings;
  std::function<void()> openReceivedFilesFolder;
  std::function<void()> refreshReceivedFiles;
};

// Main thread. Builds the window with its three tabs (device, permissions, files) around `views`,
// shows it in front, and returns it. The start button begins enabled, the stop button disabled.
std::shared_ptr<Window> buildMainWindow(Controls& controls, const MainWindowViews& views, MainWindowActions actions);

}  // namespace qova
