#pragma once

#include <string_view>

namespace qova::common {

// The page loads only its own files and may not be framed: both the agent and the server answer
// every request with these.
inline constexpr std::string_view kContentSecurityPolicy =
    "default-src 'self'; img-src 'self' blob: data:; connect-src 'self'; script-src 'self'; "
    "style-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'";

// Sets the headers every response of either program carries. HSTS only where TLS is served.
template <class Response>
void setSecurityHeaders(Response& response, bool overTls) {
  if (overTls) response.set("Strict-Transport-Security", "max-age=31536000");
  response.set("X-Content-Type-Options", "nosniff");
  response.set("Referrer-Policy", "no-referrer");
  response.set("Content-Security-Policy", kContentSecurityPolicy);
}

}  // namespace qova::common
