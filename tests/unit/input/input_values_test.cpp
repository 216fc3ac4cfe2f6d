#include "input/input_values.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <unistd.h>

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

// The application runs with the user's locale (the UI toolkit sets it), and a decimal comma must not
// change how the agent's numbers read.
class DoubleValueUnderLocale : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::setlocale(LC_NUMERIC, nullptr);
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8"}) {
      if (std::setlocale(LC_NUMERIC, name)) return;
    }
    // No comma locale installed: build one into a private folder with the C library's own tool.
    const auto folder = std::filesystem::temp_directory_path() / ("qova-locale-" + std::to_string(getpid()));
    folder_ = folder;
    std::filesystem::create_directories(folder);
    const std::string command = "localedef -i de_DE -f UTF-8 '" + (folder / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0 && !std::filesystem::exists(folder / "de_DE.UTF-8" / "LC_NUMERIC")) {
      GTEST_SKIP() << "no locale with a decimal comma could be made (localedef of the locales package)";
    }
    setenv("LOCPATH", folder.c_str(), 1);
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "decimal comma locale not loadable";
  }
  void TearDown() override {
    std::setlocale(LC_NUMERIC, previous_.c_str());
    unsetenv("LOCPATH");
    if (!folder_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
    }
  }
  std::string previous_;
  std::filesystem::path folder_;
};

TEST_F(DoubleValueUnderLocale, DecimalCommaLocaleChangesNothing) {
  ASSERT_EQ(std::string(std::localeconv()->decimal_point), ",");
  EXPECT_EQ(std::strtod("1,5", nullptr), 1.5);  // the C library now reads commas...
  EXPECT_EQ(doubleOf("1.5"), 1.5);               // ...but the agent's numbers still use a point
  EXPECT_EQ(doubleOf("1,5"), 0.0);
  EXPECT_EQ(doubleOf("-2.25e1"), -22.5);
  EXPECT_EQ(doubleOf("0x1.8p1"), 3.0);
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
