#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qova {

class EventPoster;
class Pasteboard;

// The keyboard actions. They run on the agent output reader thread and have no pauses.

// Key down and up of the named key, both carrying exactly the flags of `modifiers`. A name that is
// not a known key posts nothing at all. A `character` that is one printable character is typed as
// that character instead (the modifiers were what produced it on the viewer's layout), unless the
// modifiers make a shortcut (command or control without option) or the poster cannot type it.
void pressKey(EventPoster& poster, std::string_view key, const std::vector<std::string>& modifiers,
              std::string_view character = {});

// A key combination: the last name is the key, the others its modifiers. Empty lists post nothing.
void hotkey(EventPoster& poster, const std::vector<std::string>& names);

// Non-empty text replaces the pasteboard's contents and is pasted with command + "v"; empty text
// touches nothing.
void enterText(EventPoster& poster, Pasteboard& pasteboard, const std::string& text);

}  // namespace qova
