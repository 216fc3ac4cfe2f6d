#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qova {

// The technology that provides capture, input, the clipboard and the two permission probes, always
// as one bundle: a picture from one desktop and input into another would be worse than neither.
enum class DesktopBackend { x11, wlroots, gnome, none };

// What a wlroots compositor offers this client; all false when no compositor answered.
struct WlrootsOffer {
  bool screenCopy = false;
  bool virtualPointer = false;
  bool virtualKeyboard = false;
};

// Cheap questions without side effects, asked only when the answer matters.
struct DesktopProbes {
  std::function<std::optional<std::string>(const std::string& name)> environment;
  std::function<WlrootsOffer()> wlroots;
  std::function<bool()> gnomeRemoteDesktop;  // GNOME's remote-desktop interfaces are on the session bus
};

struct DesktopChoice {
  DesktopBackend backend = DesktopBackend::none;
  std::string reason;  // why, in a line for the log
  std::string status;  // when backend is none: what the window's status says
};

// The argument and the environment variable that force a choice, for tests and support.
inline constexpr const char* kDesktopBackendArgument = "--desktop-backend=";
inline constexpr const char* kDesktopBackendVariable = "QOVA_DESKTOP_BACKEND";

// The forced choice first (argument, then variable); then, in a Wayland session, wlroots when its
// compositor offers screen copy and both virtual devices, GNOME when its interfaces are there;
// otherwise X11. Never X11 in a Wayland session: X11 there reaches only X clients.
DesktopChoice chooseDesktopBackend(const std::vector<std::string>& arguments, const DesktopProbes& probes);

}  // namespace qova
