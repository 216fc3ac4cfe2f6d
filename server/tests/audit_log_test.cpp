// What reaches the server's log from the network: shown, never obeyed, and not once per attempt.
#include <gtest/gtest.h>

#include <vector>

#include "audit_log.h"

namespace qova::server {
namespace {

TEST(AuditLog, ShowsControlsBidiAndBrokenUtf8AsEscapes) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"123\n[server] 1\x1b[2J\r\x7f\\x0a", "123\\x0a[server] 1\\x1b[2J\\x0d\\x7f\\\\x0a"},
      {"设备 é|\xc2\x85|\xe2\x80\xae|\xe2\x81\xa6|\xd8\x9c|\xe2\x80\x8f|\xe2\x80\xa8",
       "设备 é|\\u{0085}|\\u{202e}|\\u{2066}|\\u{061c}|\\u{200f}|\\u{2028}"},
      {"\xff|\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80|\xe2\x80",
       "\\xff|\\xc0\\xaf|\\xed\\xa0\\x80|\\xf4\\x90\\x80\\x80|\\xe2\\x80"},
      {std::string(199, 'a') + "\n", std::string(199, 'a') + "..."},
  };
  for (const auto& c : cases) EXPECT_EQ(escapeForLog(c.in), c.out);
}

TEST(AuditLog, WritesTheFirstRefusalOfAnAddressAndCountsTheRestOfItsPeriod) {
  using namespace std::chrono_literals;
  AuditLog::Clock::time_point now{};
  std::vector<std::string> lines;
  AuditLog log([&now] { return now; }, [&lines](std::string line) { lines.push_back(std::move(line)); });
  for (const auto* text : {"wrong code 1", "wrong code 2", "wrong code 3"}) log.refusal("1.2.3.4", text);
  log.refusal("5.6.7.8", "unknown device");
  now += 59s;
  log.flush();
  EXPECT_EQ(lines.size(), 2u);
  now += 1s;
  log.flush();
  // Without a flush, the next refusal after the period writes the count first.
  log.refusal("1.2.3.4", "over budget 1");
  log.refusal("1.2.3.4", "over budget 2");
  now += 65s;
  log.refusal("1.2.3.4", "over budget 3");
  // A table full of addresses (1.2.3.4 and these) folds newcomers into one count.
  for (std::size_t i = 1; i < AuditLog::kMaxKeys; ++i) log.refusal("10." + std::to_string(i), "filler");
  for (const auto* address : {"192.0.2.1", "192.0.2.2"}) log.refusal(address, address);
  now += 60s;
  log.flush();
  std::erase(lines, "filler");
  EXPECT_EQ(lines,
            (std::vector<std::string>{"wrong code 1", "unknown device", "wrong code 3 (2 more in the last 60 s)",
                                      "over budget 1", "over budget 2 (1 more in the last 60 s)", "over budget 3",
                                      "192.0.2.1", "refusals from further addresses (1 more in the last 60 s)"}));
}

}  // namespace
}  // namespace qova::server
