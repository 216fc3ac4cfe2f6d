// libFuzzer target: agent output bytes in chunks of any size through line splitting and routing, and
// every input command line through decoding and dispatch onto the recording event poster. Besides
// sanitizer findings it traps on behaviour the system rules out: pauses beyond the longest action,
// scroll values outside -10 ... 10, and number readings that differ from the C library's.
#include <locale.h>
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "app/app_delegate.h"
#include "bridge/agent_line_routing.h"
#include "bridge/agent_output_buffer.h"
#include "fakes/fake_platform_services.h"
#include "input/input_values.h"

namespace {

using qova::test::PostedEvent;

struct Harness {
  qova::test::FakePlatformServices fakes;
  std::shared_ptr<qova::AppDelegate> app = std::make_shared<qova::AppDelegate>(fakes.services());
};

void require(bool condition) {
  if (!condition) __builtin_trap();
}

// A swipe of 24 steps of 15 ms is the longest any single command may hold the reader.
constexpr uint64_t kLongestActionMs = 24 * 15;

void checkCommandEffects(Harness& h) {
  const auto events = h.fakes.eventPoster->take();
  uint64_t pausedMs = 0;
  for (const PostedEvent& e : events) {
    if (e.kind == PostedEvent::Kind::sleep) pausedMs += e.milliseconds;
    if (e.kind == PostedEvent::Kind::scrollWheel) require(e.wheel >= -10 && e.wheel <= 10);
  }
  require(pausedMs <= kLongestActionMs);
  require(events.size() <= 2 + 2 * 24 + 1 + 4);
}

// The reading of a text that doubleValue and intValue must agree with: strtod and strtoll in the
// "C" locale on the whole text, with no leading white space.
void checkNumberReadings(std::string_view bytes) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
  if (bytes.size() > 64) return;
  const std::string text(bytes);
  const nlohmann::json value = text;
  const bool usable = !text.empty() && !std::strchr(" \t\n\v\f\r", text.front()) && text.front() != '\0';

  double expected = 0;
  if (usable) {
    char* end = nullptr;
    const double parsed = strtod_l(text.c_str(), &end, cLocale);
    if (end == text.c_str() + text.size()) expected = parsed;
  }
  const double actual = qova::doubleValue(&value);
  if (std::isnan(expected)) {
    require(std::isnan(actual));
  } else {
    require(actual == expected && std::signbit(actual) == std::signbit(expected));
  }

  // Integers: a sign and digits only; strtoll takes more (white space, and reports overflow by errno).
  bool digitsOnly = !text.empty();
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool sign = i == 0 && (c == '+' || c == '-');
    if (!sign && (c < '0' || c > '9')) digitsOnly = false;
  }
  if (text.size() == 1 && (text[0] == '+' || text[0] == '-')) digitsOnly = false;
  int64_t expectedInt = 0;
  if (digitsOnly) {
    errno = 0;
    const long long parsed = strtoll(text.c_str(), nullptr, 10);
    if (errno == 0) expectedInt = parsed;
  }
  require(qova::intValue(&value) == expectedInt);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness* harness = new Harness;  // lives for the whole run; its queue threads stay idle
  Harness& h = *harness;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  checkNumberReadings(input);

  // The first byte chooses the chunk size, so lines are also cut at awkward places.
  const size_t chunk = size == 0 ? 1 : 1 + data[0] % 64;
  qova::AgentOutputBuffer buffer(1 << 16);
  const auto onLine = [&](std::string_view line) {
    const qova::AgentLine routed = qova::classifyAgentLine(line);
    if (routed.kind == qova::AgentLineKind::inputCommand) {
      h.app->handleInputBridge(routed.payload, 0);
      checkCommandEffects(h);
    } else if (routed.kind == qova::AgentLineKind::status) {
      (void)qova::statusTextForLine(routed.payload);
    }
  };
  for (size_t offset = size == 0 ? 0 : 1; offset < size; offset += chunk) {
    buffer.append(input.substr(offset, chunk), onLine);
  }
  h.fakes.pasteboard->strings.clear();
  return 0;
}
