#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qova {

// The agent reports who watches and the application may end every session: asked for with "viewers".
inline constexpr std::string_view kViewersExtension = "viewers";
// Text copied on the desktop is handed to the agent for its viewers: asked for with "clipboard".
inline constexpr std::string_view kClipboardExtension = "clipboard";
// More than this is not sent: a viewer's page is no place for a copied file's worth of text.
inline constexpr size_t kMaxClipboardBytes = 1 << 20;
// The application lists the displays and the agent may choose the one captured: asked for with "displays".
inline constexpr std::string_view kDisplaysExtension = "displays";

// The answer to an agent's hello: a hello line on the agent's input that names, in the order of
// `known`, each extension the hello's "want" array asks for. Nullopt when the hello is not an object
// with such an array: that agent is answered nothing.
std::optional<std::string> helloAnswerLine(std::string_view hello, std::span<const std::string_view> known);

// True when an answer line grants `extension`.
bool helloAnswerGrants(std::string_view answerLine, std::string_view extension);

struct ViewersReport {
  int64_t count = 0;   // logged-in viewers now
  std::string joined;  // where the viewer that just logged in came from; empty when none did
};

// A viewers line's payload: {"count": N} with N from 0 to 100000, and "joined", a short text, when a
// viewer has just logged in. Nullopt for anything else.
std::optional<ViewersReport> decodeViewersReport(std::string_view payload);

// The line that asks the agent to end every viewer's session.
std::string endAllViewersLine();

// The line that hands copied text to the agent: {"text": ...}. Nullopt for text that is empty, past
// kMaxClipboardBytes or not well-formed UTF-8.
std::optional<std::string> clipboardLine(std::string_view text);

}  // namespace qova
