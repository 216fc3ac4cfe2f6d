#include "app/desktop_backend_choice.h"

#include <gtest/gtest.h>

#include <map>

namespace qova {
namespace {

struct Case {
  const char* what;
  std::vector<std::string> arguments;
  std::map<std::string, std::string> environment;
  WlrootsOffer offer;
  bool gnome;
  DesktopBackend expected;
  bool wlrootsAsked;  // the compositor is asked only in a Wayland session without a forced choice
};

constexpr WlrootsOffer kAll{true, true, true};
using B = DesktopBackend;

TEST(DesktopBackendChoice, ForcedFirstThenTheSessionKindAndWhatItsCompositorOffersNeverX11UnderWayland) {
  const Case cases[] = {
      {"an X11 session", {}, {{"DISPLAY", ":0"}}, kAll, false, B::x11, false},
      {"sway", {}, {{"WAYLAND_DISPLAY", "wayland-1"}, {"DISPLAY", ":0"}}, kAll, false, B::wlroots, true},
      {"session type alone", {}, {{"XDG_SESSION_TYPE", "wayland"}}, kAll, false, B::wlroots, true},
      {"no screen copy", {}, {{"WAYLAND_DISPLAY", "w"}}, {false, true, true}, false, B::none, true},
      {"no virtual pointer", {}, {{"WAYLAND_DISPLAY", "w"}}, {true, false, true}, false, B::none, true},
      {"no virtual keyboard", {}, {{"WAYLAND_DISPLAY", "w"}}, {true, true, false}, false, B::none, true},
      {"no compositor answers", {}, {{"WAYLAND_DISPLAY", "w"}}, {}, false, B::none, true},
      {"GNOME", {}, {{"WAYLAND_DISPLAY", "w"}}, {}, true, B::gnome, true},
      {"GNOME without its interfaces", {}, {{"XDG_SESSION_TYPE", "wayland"}}, {}, false, B::none, true},
      {"forced by argument", {"--desktop-backend=x11"}, {{"WAYLAND_DISPLAY", "w"}}, kAll, false, B::x11, false},
      {"forced by variable", {}, {{"QOVA_DESKTOP_BACKEND", "wlroots"}}, {}, false, B::wlroots, false},
      {"argument wins", {"--desktop-backend=wlroots"}, {{"QOVA_DESKTOP_BACKEND", "x11"}}, {}, false, B::wlroots, false},
      {"GNOME forced", {"--desktop-backend=gnome"}, {}, kAll, false, B::gnome, false},
      {"unknown forced name", {"--desktop-backend=mir"}, {{"WAYLAND_DISPLAY", "w"}}, kAll, false, B::wlroots, true},
  };
  for (const Case& c : cases) {
    bool asked = false;
    const DesktopProbes probes{[&](const std::string& name) -> std::optional<std::string> {
                                 const auto found = c.environment.find(name);
                                 return found == c.environment.end() ? std::nullopt : std::optional(found->second);
                               },
                               [&] { return asked = true, c.offer; }, [&] { return c.gnome; }};
    const DesktopChoice choice = chooseDesktopBackend(c.arguments, probes);
    EXPECT_EQ(choice.backend, c.expected) << c.what;
    EXPECT_EQ(asked, c.wlrootsAsked) << c.what;
    // Whenever nothing fits, the log and the window say so.
    EXPECT_EQ(choice.status.empty(), c.expected != DesktopBackend::none) << c.what;
    EXPECT_FALSE(choice.reason.empty()) << c.what;
  }
}

}  // namespace
}  // namespace qova
