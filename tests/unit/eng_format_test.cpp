#include "datafile/eng_format.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "settings/command_line.h"
#include "test_support.h"

namespace {

// What printScaled writes for `value` and `unitText`, through a real file.
std::string printed(double value, const char *unitText) {
  TempDir dir;
  std::string path = dir.file("scaled.txt");
  FILE *stream = fopen(path.c_str(), "w");
  if (stream == nullptr) {
    ADD_FAILURE() << "cannot create " << path;
    return "";
  }
  printScaled(stream, value, unitText);
  fclose(stream);
  return readFile(path);
}

TEST(EngFormat, PrintsEveryValueOfThePrefixTable) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Row {
    const char *name;
    double value;
    const char *expected;
  } rows[] = {
      {"0", 0.0, "0.000"},
      {"-0.0", -0.0, "-0.000"},
      {"5", 5.0, "5.000"},
      {"99.2", 99.2, "99.200"},
      {"999.9999", 999.9999, "1000.000"},
      {"1000", 1000.0, "1.000k"},
      {"1500", 1500.0, "1.500k"},
      {"123456", 123456.0, "123.456k"},
      {"-1500", -1500.0, "-1.500k"},
      {"1e25", 1e25, "10.000Y"},
      {"1e26", 1e26, "100.000Y"},
      {"1e24", 1e24, "1000.000Z"},
      {"1e27", 1e27, "1.000000e+27"},
      {"0.5", 0.5, "500.000m"},
      {"0.001", 0.001, "1.000m"},
      {"0.9999996", 0.9999996, "1000.000m"},
      {"-0.005", -0.005, "-5.000m"},
      {"0.0001", 0.0001, "100.000\xB5"},
      {"2.5e-6", 2.5e-6, "2.500\xB5"},
      {"1e-6", 1e-6, "1000.000n"},
      {"1e-9", 1e-9, "1.000n"},
      {"1e-12", 1e-12, "1000.000f"},
      {"2e-24", 2e-24, "2.000y"},
      {"1e-24", 1e-24, "1.000000e-24"},
      {"3e-25", 3e-25, "3.000000e-25"},
      {"2.2e-308", 2.2e-308, "0.000"},
      {"DBL_MIN", DBL_MIN, "0.000"},
      {"1.0625", 1.0625, "1.062"},
      {"NaN", nan, "nan"},
      {"-NaN", std::copysign(nan, -1.0), "-nan"},
  };
  for (const Row &row : rows) {
    EXPECT_EQ(printed(row.value, "s/div\n"), std::string(row.expected) + "s/div\n")
        << "row " << row.name;
  }
}

// Writing and reading share one prefix table: what is written for every
// power of 1000 reads back as the same value, micro in each of its spellings.
TEST(EngFormat, EveryPrefixWrittenReadsBack) {
  for (int power = -SI_PREFIX_MAX_POWER; power <= SI_PREFIX_MAX_POWER; ++power) {
    char decimal[16];
    snprintf(decimal, sizeof decimal, "2e%d", 3 * power);
    const double value = strtod(decimal, nullptr);
    for (const char *micro : {"u", MICRO_LATIN1, MICRO_UTF8, "\xCE\xBC"}) {
      char text[SCALED_NUMBER_SIZE];
      ASSERT_GT(formatScaled(text, sizeof text, value, micro), 0) << decimal;
      EXPECT_EQ(scaledValue(text), value) << decimal << " written as " << text;
    }
  }
}

TEST(EngFormat, MissingUnitTextCountsAsEmpty) {
  EXPECT_EQ(printed(1500.0, nullptr), "1.500k");
  EXPECT_EQ(printed(1e27, nullptr), "1.000000e+27");
}

TEST(EngFormat, MicroTextIsTheCallersChoice) {
  char text[SCALED_NUMBER_SIZE];
  EXPECT_EQ(formatScaled(text, sizeof text, 2.5e-6, MICRO_UTF8), 7);
  EXPECT_STREQ(text, "2.500\xC2\xB5");
  formatScaled(text, sizeof text, -0.0001, "u");
  EXPECT_STREQ(text, "-100.000u");
  formatScaled(text, sizeof text, 1e-6, MICRO_UTF8);
  EXPECT_STREQ(text, "1000.000n");
  formatScaled(text, sizeof text, 1e27, MICRO_UTF8);
  EXPECT_STREQ(text, "1.000000e+27");
}

TEST(EngFormat, InfinityPrintsInExponentFormAndReturns) {
  const double inf = std::numeric_limits<double>::infinity();
  // In a child with an alarm, so that a loop fails the test instead of
  // hanging the whole run.
  ProcessResult result = runInChild([inf] {
    alarm(5);
    printScaled(stdout, inf, "V/div\n");
    printScaled(stdout, -inf, "V/div\n");
    fflush(stdout);
  });
  EXPECT_EQ(result.signal, 0) << "printScaled did not return for an infinity";
  EXPECT_EQ(result.out, "infV/div\n-infV/div\n");
}

TEST(EngFormat, DecadeStepsFromTheExactDouble) {
  // The doubles nearest 1e-6 and 1e24 lie just below those powers of ten.
  EXPECT_EQ(decadeOf(1e-6), -7);
  EXPECT_EQ(decadeOf(1e24), 23);
  EXPECT_EQ(decadeOf(1e-24), -25);
  EXPECT_EQ(decadeOf(1e-9), -9);
  EXPECT_EQ(decadeOf(-1500.0), 3);
  EXPECT_EQ(decadeOf(9.99), 0);
  EXPECT_EQ(decadeOf(1.0), 0);
  EXPECT_EQ(decadeOf(DBL_MAX), 308);
}

TEST(EngFormat, DecadeOfTinyNanAndInfinity) {
  EXPECT_EQ(decadeOf(0.0), 0);
  EXPECT_EQ(decadeOf(DBL_MIN), 0);
  EXPECT_EQ(decadeOf(DBL_MIN / 4), 0);
  EXPECT_EQ(decadeOf(std::nextafter(DBL_MIN, 1.0)), -308);
  EXPECT_EQ(decadeOf(std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(decadeOf(std::numeric_limits<double>::infinity()), DECADE_OF_INFINITY);
  EXPECT_EQ(decadeOf(-std::numeric_limits<double>::infinity()), DECADE_OF_INFINITY);
  EXPECT_GT(DECADE_OF_INFINITY, decadeOf(DBL_MAX));
}

TEST(EngFormat, PowersOfTenAreExtendedPrecision) {
  EXPECT_TRUE(tenToThe(0) == Extended(1));
  EXPECT_TRUE(tenToThe(3) == Extended(1000));
  // 10^24 is exact with a 64-bit significand but not as a double.
  EXPECT_TRUE(tenToThe(24) == Extended(1e12) * Extended(1e12));
  EXPECT_TRUE(tenToThe(24) > Extended(1e24));
  EXPECT_TRUE(tenToThe(-1) != Extended(0.1));
  EXPECT_TRUE(tenToThe(-1) * Extended(10) == Extended(1));
  EXPECT_NEAR(static_cast<double>(tenToThe(-24) * Extended(1e24)), 1.0, 1e-17);
}

} // namespace
