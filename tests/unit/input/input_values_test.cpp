#include "input/input_values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace qova {
namespace {

using Json = nlohmann::json;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

double doubleOf(const Json& value) { return doubleValue(&value); }
int64_t intOf(const Json& value) { return intValue(&value); }

// Bit for bit, sign of zero included.
void expectSameDouble(double actual, double expected, const std::string& text) {
  EXPECT_TRUE(actual == expected && std::signbit(actual) == std::signbit(expected)) << '"' << text << '"';
}

TEST(DoubleValue, NumbersBooleansAndOtherTypes) {
  const std::pair<Json, double> cases[] = {{640, 640.0}, {12.75, 12.75}, {18446744073709551615u, 18446744073709551615.0},
                                           {true, 1.0},  {false, 0.0},   {nullptr, 0.0},
                                           {Json::array({1}), 0.0}, {Json::object({{"x", 1}}), 0.0}};
  for (const auto& [value, expected] : cases) EXPECT_EQ(doubleOf(value), expected) << value;
  EXPECT_EQ(doubleValue(nullptr), 0.0);
}

TEST(DoubleValue, StringsFollowStrtodSyntaxOnTheWholeText) {
  struct Case {
    std::string text;
    double expected;
  };
  const Case cases[] = {
      {"+12.5", 12.5}, {"-12.5", -12.5}, {".5", 0.5}, {"5.", 5}, {"1E+3", 1000}, {"2.5e-1", 0.25},
      {"0X1.8p1", 3}, {"-0x.8", -0.5}, {"0xAbC", 2748}, {"-INF", -kInf}, {"+infinity", kInf},
      // out of range gives what strtod gives: signed infinity or zero; subnormals are in range
      {"-1e400", -kInf}, {"1e-400", 0}, {"1" + std::string(400, '0'), kInf}, {"1e-99999999999999999999999", 0},
      {"4e-320", 4e-320}, {"0x1p-1074", std::numeric_limits<double>::denorm_min()},
      // anything else is 0: white space, NUL, junk, empty, broken forms
      {"", 0}, {" 1", 0}, {"1\r", 0}, {std::string("\0" "1", 2), 0}, {"1px", 0}, {"12,5", 0}, {"1e+", 0},
      {".", 0}, {"+-1", 0}, {"0x", 0}, {"0xg", 0}, {"0x1p", 0}, {"0xinf", 0}, {"0x1p-+3", 0}, {"1e+-3", 0},
      {"infin", 0}, {"nan(", 0}, {"1.2.3", 0}, {"\xEF\xBC\x91", 0} /* fullwidth one */,
  };
  for (const auto& c : cases) {
    expectSameDouble(doubleOf(c.text), c.expected, c.text);
  }
  for (const char* nan : {"NaN", "-nan", "nan(0x7f_a)"}) {
    EXPECT_TRUE(std::isnan(doubleOf(nan))) << nan;
  }
}

TEST(IntValue, NumbersDropTheFractionTowardZeroAndSaturate) {
  const std::pair<Json, int64_t> cases[] = {
      {2.9, 2},   {-2.9, -2}, {true, 1},  {kMin, kMin}, {uint64_t{9223372036854775808u}, kMax},
      {1e300, kMax}, {-1e300, kMin}, {9223372036854775808.0, kMax}, {nullptr, 0}, {Json::object(), 0}};
  for (const auto& [value, expected] : cases) EXPECT_EQ(intOf(value), expected) << value;
  EXPECT_EQ(intValue(nullptr), 0);
}

TEST(IntValue, StringsAreASignAndDigitsThatFit) {
  struct Case {
    std::string text;
    int64_t expected;
  };
  const Case cases[] = {
      {"+3", 3}, {"-3", -3}, {"9223372036854775807", kMax}, {"-9223372036854775808", kMin},
      {"9223372036854775808", 0}, {"-9223372036854775809", 0}, {"2.9", 0}, {"1e3", 0}, {"0x10", 0}, {"", 0},
      {"-", 0}, {"+-3", 0}, {" 3", 0}, {"3\r", 0}, {"3a", 0}, {std::string("3\0", 2), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(intOf(c.text), c.expected) << '"' << c.text << '"';
}

}  // namespace
}  // namespace qova
