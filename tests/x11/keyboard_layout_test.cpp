// Characters typed on hosts whose keyboard layout is not the viewer's, as an Xlib client reads them.
#include <gtest/gtest.h>

#include <QCoreApplication>  // Qt before Xlib: Xlib's macros clash with Qt's names

#include <cstdlib>
#include <string>

#include "input/keyboard_events.h"
#include "platform/linux/xtest_event_poster.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

namespace qova::test {
namespace {

// A focused window over the screen that writes down what each key press produces, as a text client
// would: the characters, marked "^" with AltGr (Mod5) held and "+" with Shift, and "<Ctrl+c>".
class TypingLog {
 public:
  TypingLog() : display_(XOpenDisplay(nullptr)) {
    if (!display_) return;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = KeyPressMask;
    window_ = XCreateWindow(display_, DefaultRootWindow(display_), 0, 0, 200, 200, 0, CopyFromParent, InputOutput,
                            CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(display_, window_);
    XSync(display_, False);
    XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
    XSync(display_, False);
  }
  ~TypingLog() {
    if (display_) XCloseDisplay(display_);
  }
  Display* display() const { return display_; }

  std::string take() {
    std::string typed;
    XSync(display_, False);
    for (XEvent e; XPending(display_) > 0;) {
      XNextEvent(display_, &e);
      if (e.type == MappingNotify) XRefreshKeyboardMapping(&e.xmapping);
      if (e.type != KeyPress) continue;
      KeySym sym = NoSymbol;
      char ignored[8];
      XLookupString(&e.xkey, ignored, sizeof ignored, &sym, nullptr);
      char utf8[8] = {};
      if (xkb_keysym_to_utf8(static_cast<xkb_keysym_t>(sym), utf8, sizeof utf8) <= 1) continue;  // a modifier
      if (e.xkey.state & ControlMask) {
        typed += std::string("<Ctrl+") + utf8 + ">";
        continue;
      }
      typed += std::string(e.xkey.state & Mod5Mask ? "^" : "") + (e.xkey.state & ShiftMask ? "+" : "") + utf8;
    }
    return typed;
  }

 private:
  Display* display_;
  ::Window window_ = 0;
};

bool useLayout(const std::string& layout) { return std::system(("setxkbmap " + layout).c_str()) == 0; }

TEST(KeyboardLayouts, CharactersArriveAsTypedAndShortcutsStayKeys) {
  TypingLog log;
  ASSERT_TRUE(log.display());
  for (const char* layout : {"de", "fr"}) {
    ASSERT_TRUE(useLayout(layout));
    {
      XTestEventPoster poster;
      // "é" has no key on the German layout and "ä" none on the French one: both borrow a key, the
      // others are typed on the layout's own keys and levels.
      for (const char* character : {"@", "€", "ä", "ß", "é", "!", "Z", "é"}) {
        pressKey(poster, "q", {"ctrl", "alt"}, character);
      }
      pressKey(poster, "c", {"ctrl"}, "c");  // as an older viewer, or a careless one, might send it
      pressKey(poster, "c", {"ctrl"});
      EXPECT_EQ(log.take(), std::string(layout) == "de" ? "^@^€äßé+!+Zé<Ctrl+c><Ctrl+c>" : "^@^€ä^ßé!+Zé<Ctrl+c><Ctrl+c>");
    }
    // The borrowed key is given back when the poster goes.
    log.take();
    EXPECT_EQ(XKeysymToKeycode(log.display(), std::string(layout) == "de" ? XK_eacute : XK_adiaeresis), 0) << layout;
  }
  EXPECT_TRUE(useLayout("us"));
}

}  // namespace
}  // namespace qova::test
