#include "app/desktop_backend_choice.h"

#include <string_view>

namespace qova {

namespace {

std::optional<DesktopBackend> backendNamed(std::string_view name) {
  if (name == "x11") return DesktopBackend::x11;
  if (name == "wlroots") return DesktopBackend::wlroots;
  if (name == "gnome") return DesktopBackend::gnome;
  return std::nullopt;
}

std::string missingFrom(const WlrootsOffer& offer) {
  std::string missing;
  const std::pair<bool, const char*> parts[] = {{offer.screenCopy, "screen copy"},
                                                {offer.virtualPointer, "virtual pointer"},
                                                {offer.virtualKeyboard, "virtual keyboard"}};
  for (const auto& [offered, name] : parts) {
    if (!offered) missing += (missing.empty() ? "" : ", ") + std::string(name);
  }
  return missing;
}

}  // namespace

DesktopChoice chooseDesktopBackend(const std::vector<std::string>& arguments, const DesktopProbes& probes) {
  const std::string_view prefix = kDesktopBackendArgument;
  std::optional<std::string> forced;
  std::string source;
  for (const auto& argument : arguments) {
    if (argument.starts_with(prefix)) forced = argument.substr(prefix.size()), source = "argument";
  }
  if (!forced) {
    forced = probes.environment(kDesktopBackendVariable);
    source = kDesktopBackendVariable;
    if (forced && forced->empty()) forced.reset();
  }
  std::string ignored;
  if (forced) {
    const auto backend = backendNamed(*forced);
    if (backend) return {*backend, "asked for (" + source + ")", {}};
    ignored = " (unknown desktop backend \"" + *forced + "\" ignored)";
  }

  const auto display = probes.environment("WAYLAND_DISPLAY");
  const bool wayland = (display && !display->empty()) || probes.environment("XDG_SESSION_TYPE") == "wayland";
  if (!wayland) return {DesktopBackend::x11, "not a Wayland session" + ignored, {}};
  const WlrootsOffer offer = probes.wlroots();
  const std::string missing = missingFrom(offer);
  if (missing.empty())
    return {DesktopBackend::wlroots, "a wlroots compositor offers screen copy and virtual input" + ignored, {}};
  if (probes.gnomeRemoteDesktop()) {
    return {DesktopBackend::gnome, "GNOME's remote-desktop and screen-cast interfaces are on the session bus" + ignored,
            {}};
  }
  return {DesktopBackend::none,
          "a Wayland session whose compositor offers no " + missing +
              " (X11 would reach only X clients there): no capture, no input" + ignored,
          "此 Wayland 桌面不支持录屏和远程控制"};
}

}  // namespace qova
