#pragma once

#include <array>
#include <string>
#include <string_view>

namespace qova {

// Settings page anchors of the two permissions.
inline constexpr std::string_view kScreenCaptureAnchor = "Privacy_ScreenCapture";
inline constexpr std::string_view kAccessibilityAnchor = "Privacy_Accessibility";

inline constexpr std::string_view kSettingsScriptRunner = "/usr/bin/osascript";

// The settings URL prefixes, in the order they are tried; the anchor follows directly.
inline constexpr std::array<std::string_view, 2> kSettingsURLPrefixes = {
    "x-apple.systempreferences:com.apple.preference.security?",
    "x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension?",
};

// The four-line script that reveals the anchor's page in the system settings. The anchor is
// inserted as it is: only the constants above are ever passed.
std::string privacySettingsScript(std::string_view anchor);

// Whether the text makes a URL: a scheme, a colon and only characters a URL may hold, with every
// percent sign starting an escape.
bool isValidURL(std::string_view text);

}  // namespace qova
