// What reaches the server's log from the network: shown, never obeyed, and not once per attempt.
#include <gtest/gtest.h>

#include <vector>

#include "audit_log.h"

namespace qova::server {
namespace {

TEST(AuditLog, ShowsControlsBidiAndBrokenUtf8AsEscapes) {
  const std::string a199(199, 'a');
  const struct {
    std::string in, out;
  } cases[] = {
      {"123\n[server] device 1 online", "123\\x0a[server] device 1 online"},
      {"\x1b[2J\r\x7f\\x0a", "\\x1b[2J\\x0d\\x7f\\\\x0a"},
      {"\xc2\x85|\xe2\x80\xae|\xe2\x81\xa6|\xd8\x9c|\xe2\x80\x8f|\xe2\x80\xa8", "\\u{0085}|\\u{202e}|\\u{2066}|\\u{061c}|\\u{200f}|\\u{2028}"},
      {"设备 é", "设备 é"},
      {"\xff|\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80|\xe2\x80", "\\xff|\\xc0\\xaf|\\xed\\xa0\\x80|\\xf4\\x90\\x80\\x80|\\xe2\\x80"},
      {std::string(300, 'a'), std::string(200, 'a') + "..."},
      {a199 + "\n", a199 + "..."},
      {a199 + "设", a199 + "..."},
  };
  for (const auto& c : cases) EXPECT_EQ(escapeForLog(c.in), c.out);
}

TEST(AuditLog, WritesTheFirstRefusalOfAnAddressAndCountsTheRestOfItsPeriod) {
  AuditLog::Clock::time_point now{};
  std::vector<std::string> lines;
  AuditLog log([&now] { return now; }, [&lines](std::string line) { lines.push_back(std::move(line)); });
  const auto at = [&now](int seconds) { now = AuditLog::Clock::time_point{} + std::chrono::seconds(seconds); };
  log.refusal("1.2.3.4", "wrong code 1");
  for (int i = 2; i <= 4; ++i) log.refusal("1.2.3.4", "wrong code " + std::to_string(i));
  log.refusal("5.6.7.8", "unknown device");
  log.line("device 123456 online");
  at(59);
  log.flush();
  EXPECT_EQ(lines, (std::vector<std::string>{"wrong code 1", "unknown device", "device 123456 online"}));
  at(60);
  log.flush();
  EXPECT_EQ(lines.back(), "wrong code 4 (3 more in the last 60 s)");
  EXPECT_FALSE(log.folding());
  // Without a flush, the next refusal after the period writes the count first.
  log.refusal("1.2.3.4", "over budget 1");
  log.refusal("1.2.3.4", "over budget 2");
  at(125);
  log.refusal("1.2.3.4", "over budget 3");
  EXPECT_EQ(lines, (std::vector<std::string>{"wrong code 1", "unknown device", "device 123456 online",
                                             "wrong code 4 (3 more in the last 60 s)", "over budget 1",
                                             "over budget 2 (1 more in the last 60 s)", "over budget 3"}));
  // A table full of addresses (1.2.3.4 and these) folds newcomers into one count.
  for (std::size_t i = 1; i < AuditLog::kMaxKeys; ++i) log.refusal("10." + std::to_string(i), "filler");
  lines.clear();
  log.refusal("192.0.2.1", "first newcomer");
  log.refusal("192.0.2.2", "second newcomer");
  at(185);
  log.flush();
  EXPECT_EQ(lines, (std::vector<std::string>{"first newcomer", "refusals from further addresses (1 more in the last 60 s)"}));
}

}  // namespace
}  // namespace qova::server
