#include "platform/linux/gnome/mutter_event_poster.h"

#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "platform/linux/gnome/mutter_session.h"
#include "platform/linux/x_key_syms.h"

namespace qova {

namespace {

constexpr int32_t kButtonLeft = 0x110;  // evdev BTN_LEFT
constexpr int32_t kButtonRight = 0x111;
constexpr std::array<uint32_t, 3> kModifierKeySyms = {XK_Control_L, XK_Alt_L, XK_Shift_L};  // by ModifierBit

int32_t evdevButton(MouseButton button) { return button == MouseButton::right ? kButtonRight : kButtonLeft; }

}  // namespace

MutterEventPoster::MutterEventPoster(std::shared_ptr<MutterSession> session) : session_(std::move(session)) {}

MutterEventPoster::~MutterEventPoster() {
  // A key sequence cut short must not leave a modifier held on the desktop.
  std::lock_guard lock(mutex_);
  if (heldModifiers_) holdModifiers(heldIn_, 0);
}

void MutterEventPoster::motion(uint64_t generation, double x, double y) {
  // The compositor takes stream-local points; one outside the monitor would be dropped or wrap.
  const double localX = std::isnan(x) ? 0 : std::clamp(x - left_, 0.0, width_ - 1);
  const double localY = std::isnan(y) ? 0 : std::clamp(y - top_, 0.0, height_ - 1);
  session_->pointerMotion(generation, localX, localY);
}

void MutterEventPoster::holdModifiers(uint64_t generation, unsigned wanted) {
  heldModifiers_ = changeHeldModifiers(heldModifiers_, wanted, [&](unsigned index, bool press) {
    session_->keysym(generation, kModifierKeySyms[index], press);
  });
  heldIn_ = generation;
}

void MutterEventPoster::moveCursor(double x, double y) {
  const auto info = session_->ensure();
  if (!info) return;
  std::lock_guard lock(mutex_);
  left_ = info->x, top_ = info->y, width_ = info->width, height_ = info->height;
  motion(info->generation, x, y);
}

void MutterEventPoster::postMouseEvent(MouseEventType type, double x, double y, MouseButton button) {
  const auto info = session_->ensure();
  if (!info) return;
  std::lock_guard lock(mutex_);
  left_ = info->x, top_ = info->y, width_ = info->width, height_ = info->height;
  // Every mouse event carries its location, so the pointer goes there first; with a button held the
  // motion is the drag.
  motion(info->generation, x, y);
  switch (type) {
    case MouseEventType::leftMouseDown:
    case MouseEventType::rightMouseDown:
      session_->pointerButton(info->generation, evdevButton(button), true);
      break;
    case MouseEventType::leftMouseUp:
    case MouseEventType::rightMouseUp:
      session_->pointerButton(info->generation, evdevButton(button), false);
      break;
    case MouseEventType::leftMouseDragged:
    case MouseEventType::rightMouseDragged:
      break;
  }
}

void MutterEventPoster::postScrollWheel(int32_t lines) {
  if (lines == 0) return;
  const auto info = session_->ensure();
  if (!info) return;
  // Positive lines scroll up; the compositor's positive steps scroll down. Widen before negating:
  // the most negative value has no positive twin in 32 bits.
  const int64_t steps = std::clamp<int64_t>(-static_cast<int64_t>(lines), -100, 100);
  session_->pointerAxisDiscrete(info->generation, static_cast<int32_t>(steps));
}

void MutterEventPoster::postKeyEvent(uint16_t keyCode, bool keyDown, ModifierFlags flags) {
  const uint32_t sym = keySymFor(keyCode);
  if (sym == 0) return;
  const auto info = session_->ensure();
  if (!info) return;
  std::lock_guard lock(mutex_);
  // Modifiers held in a session that has since ended are gone with it.
  if (heldIn_ != info->generation) heldModifiers_ = 0;
  holdModifiers(info->generation, modifierBits(flags));
  session_->keysym(info->generation, sym, keyDown);
  // The flags belong to this key alone; nothing stays held once it is released.
  if (!keyDown) holdModifiers(info->generation, 0);
}

bool MutterEventPoster::postCharacter(char32_t codePoint) {
  const auto info = session_->ensure();
  if (!info) return false;
  std::lock_guard lock(mutex_);
  if (heldIn_ != info->generation) heldModifiers_ = 0;
  holdModifiers(info->generation, 0);
  // The compositor finds the key and the shift level for the keysym in the layout in use itself.
  const uint32_t sym = characterKeySyms(codePoint)[0];
  session_->keysym(info->generation, sym, true);
  session_->keysym(info->generation, sym, false);
  return true;
}

void MutterEventPoster::sleepMs(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace qova
