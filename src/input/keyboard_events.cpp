#include "input/keyboard_events.h"

#include "input/key_names.h"
#include "input/typed_character.h"
#include "platform/event_poster.h"
#include "platform/pasteboard.h"

namespace qova {

namespace {

void postKeyPair(EventPoster& poster, uint16_t code, ModifierFlags flags) {
  // Flags go on both events even when 0, so neither carries a stale modifier.
  poster.postKeyEvent(code, true, flags);
  poster.postKeyEvent(code, false, flags);
}

}  // namespace

void pressKey(EventPoster& poster, std::string_view key, const std::vector<std::string>& modifiers,
              std::string_view character) {
  const ModifierFlags flags = modifierFlags(modifiers);
  // Command or control without option is a shortcut, whatever character the viewer saw; with option
  // it is how some systems report AltGr.
  const bool shortcut =
      (flags & (kModifierCommand | kModifierControl)) && !(flags & kModifierAlternate);
  if (const auto typed = typedCharacter(character); typed && !shortcut && poster.postCharacter(*typed)) return;
  const auto code = keyCode(key);
  if (!code) return;
  postKeyPair(poster, *code, flags);
}

void hotkey(EventPoster& poster, const std::vector<std::string>& names) {
  if (names.empty()) return;
  const auto code = keyCode(names.back());
  if (!code) return;
  const std::vector<std::string> modifiers(names.begin(), names.end() - 1);
  postKeyPair(poster, *code, modifierFlags(modifiers));
}

void enterText(EventPoster& poster, Pasteboard& pasteboard, const std::string& text) {
  if (text.empty()) return;
  // A paste of whatever the pasteboard held before would put someone else's text on the desktop.
  if (!pasteboard.setString(text)) return;
  hotkey(poster, {"command", "v"});
}

}  // namespace qova
