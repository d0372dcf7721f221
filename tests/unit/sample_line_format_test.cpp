// Sample lines are formatted without printf; every byte must still be what
// "%1.*e\t%1.*e\n" prints, for any value and any precision the environment
// can set.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "app/startup.h"
#include "datafile/data_file.h"
#include "settings/settings.h"
#include "settings_reset.h"

namespace {

std::string printfLine(double time, double volts, int digits) {
  int length = snprintf(nullptr, 0, "%1.*e\t%1.*e\n", digits, time, digits, volts);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  snprintf(text.data(), text.size(), "%1.*e\t%1.*e\n", digits, time, digits, volts);
  text.pop_back();
  return text;
}

std::string fastLine(double time, double volts, int digits) {
  char line[SAMPLE_LINE_FAST_SIZE];
  size_t length = formatSampleLine(line, sizeof line, time, volts, digits);
  return std::string(line, length);
}

// Ties, carries into a new decade, the ends of the range, subnormals, and
// values such as the data file shows.
std::vector<double> awkwardValues() {
  std::vector<double> values{0.0,
                             -0.0,
                             0.5,
                             0.125,
                             2.5,
                             -2.5,
                             1.5,
                             0.25,
                             9.5,
                             9.9999999995,
                             0.99999999995,
                             9.99999999999999e99,
                             1e22,
                             1e23,
                             5e-324,
                             DBL_MIN,
                             DBL_MAX,
                             -DBL_MAX,
                             std::nextafter(1.0, 2.0),
                             std::nextafter(1.0, 0.0),
                             8.8904578144e-17,
                             -4.4247787610619405e-01,
                             1.0080645161290322e-02,
                             123456789012345678.0};
  for (int k = 0; k <= 40; ++k) {
    values.push_back(k / 8.0);                      // exact binary ties
    values.push_back(std::pow(10.0, k - 20));       // powers of ten
    values.push_back(5.0 * std::pow(10.0, k - 20)); // halfway digits
  }
  return values;
}

} // namespace

TEST(SampleLineFormat, EqualsPrintfForAwkwardValuesAtEveryFastPrecision) {
  std::vector<double> values = awkwardValues();
  for (int digits = 0; digits <= SAMPLE_LINE_FAST_DIGITS; ++digits) {
    for (size_t i = 0; i < values.size(); ++i) {
      double other = values[(i * 7 + 3) % values.size()];
      ASSERT_EQ(fastLine(values[i], -other, digits), printfLine(values[i], -other, digits))
          << values[i] << " and " << -other << " with " << digits << " digits";
    }
  }
}

TEST(SampleLineFormat, EqualsPrintfForRandomDoubles) {
  // Random bit patterns cover every exponent; a fixed seed keeps failures
  // reproducible.
  std::mt19937_64 random(20261208);
  int compared = 0;
  while (compared < 200000) {
    uint64_t bits[2] = {random(), random()};
    double pair[2];
    memcpy(pair, bits, sizeof pair);
    if (!std::isfinite(pair[0]) || !std::isfinite(pair[1])) {
      continue;
    }
    int digits = compared % (SAMPLE_LINE_FAST_DIGITS + 1);
    ASSERT_EQ(fastLine(pair[0], pair[1], digits), printfLine(pair[0], pair[1], digits))
        << std::hexfloat << pair[0] << " and " << pair[1] << " with " << digits << " digits";
    ++compared;
  }
}

TEST(SampleLineFormat, LeavesWhatItCannotFormatToPrintf) {
  char line[SAMPLE_LINE_FAST_SIZE];
  double inf = std::numeric_limits<double>::infinity();
  double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(formatSampleLine(line, sizeof line, inf, 1.0, 10), 0u);
  EXPECT_EQ(formatSampleLine(line, sizeof line, 1.0, -nan, 10), 0u);
  EXPECT_EQ(formatSampleLine(line, sizeof line, 1.0, 1.0, SAMPLE_LINE_FAST_DIGITS + 1), 0u);
  EXPECT_EQ(formatSampleLine(line, sizeof line, 1.0, 1.0, -1), 0u);
  EXPECT_EQ(formatSampleLine(line, 33, 1.0, 1.0, 10), 0u) << "the line needs 34 bytes";
  EXPECT_EQ(formatSampleLine(line, 34, -1.0, 1.0, 10), 0u) << "a sign needs one more";
  EXPECT_EQ(formatSampleLine(line, 34, 1.0, 1.0, 10), 34u);
  EXPECT_EQ(std::string(line, 34), "1.0000000000e+00\t1.0000000000e+00\n");
}

// Whole sample lines as the writer puts them into the data file, for every
// raw value on both channels under several calibrations, at precisions from
// the environment across the fast limit; non-finite values from a zero
// calibration go through printf.
TEST(SampleLineFormat, WrittenLinesEqualPrintfForEveryPrecisionTheEnvironmentGives) {
  struct Setup {
    int channel;
    double voltsPerDiv, probeFactor, yZero, timePerDiv, xSamplesPerDiv;
  } setups[] = {
      {1, 1.0, 1.0, 0.0, 1.0, 99.2},     {2, 1.0, 1.0, 2.0, 1.0, 99.2},
      {1, 2e-3, 100.0, 0.5, 1e-3, 99.2}, {2, 5e-6, 1e6, -3.25, 2e-9, 99.2},
      {1, 1.0, 1.0, 0.0, 1.0, 0.0}, // a zero calibration: infinite times
  };
  std::vector<const char *> precisions{"1",  "2",  "4",  "9",  "10",  "13", "16", "17",  "20",
                                       "40", "59", "60", "61", "100", "0",  "-7", "text"};
  const char *saved = getenv("FLOAT_PRECISION");
  std::string savedText = saved != nullptr ? saved : "";
  for (const char *precision : precisions) {
    for (const Setup &setup : setups) {
      resetSettings();
      setenv("FLOAT_PRECISION", precision, 1);
      applyFloatPrecision();
      settings.channel = setup.channel;
      settings.voltsPerDiv = setup.voltsPerDiv;
      settings.probeFactor = setup.probeFactor;
      settings.yZero = setup.yZero;
      settings.timePerDiv = setup.timePerDiv;
      settings.xSamplesPerDiv = setup.xSamplesPerDiv;
      char *written = nullptr;
      size_t writtenSize = 0;
      settings.outputFile = open_memstream(&written, &writtenSize);
      ASSERT_NE(settings.outputFile, nullptr);
      std::string expected;
      for (int index = 0; index < 3000; ++index) {
        int raw = (index * 37) % 256;
        writeSampleLine(index, raw);
        expected += printfLine(static_cast<double>(sampleTime(index)),
                               static_cast<double>(sampleVolts(raw)), settings.precision);
      }
      fclose(settings.outputFile);
      std::string text(written, writtenSize);
      free(written);
      ASSERT_EQ(text, expected) << "FLOAT_PRECISION=" << precision << ", channel " << setup.channel
                                << ", gain " << setup.voltsPerDiv;
    }
  }
  if (saved != nullptr) {
    setenv("FLOAT_PRECISION", savedText.c_str(), 1);
  } else {
    unsetenv("FLOAT_PRECISION");
  }
  resetSettings();
}

// CSV rows at precisions on both sides of the fast limit, infinite times
// from a zero calibration included: the ',' file keeps printf's bytes, the
// ';' file has a decimal comma in every number and nothing else changed.
TEST(SampleLineFormat, SemicolonRowsTakeADecimalCommaOnEveryPath) {
  auto printed = [](double value, int digits, bool comma) {
    std::string text(static_cast<size_t>(snprintf(nullptr, 0, "%1.*e", digits, value)) + 1, '\0');
    snprintf(text.data(), text.size(), "%1.*e", digits, value);
    text.pop_back();
    size_t point = text.find('.');
    if (comma && point != std::string::npos) {
      text[point] = ',';
    }
    return text;
  };
  const char *saved = getenv("FLOAT_PRECISION");
  std::string savedText = saved != nullptr ? saved : "";
  for (char separator : {',', ';'}) {
    for (const char *precision : {"0", "1", "10", "17", "60", "61", "100"}) {
      for (double xSamplesPerDiv : {99.2, 0.0}) {
        resetSettings();
        setenv("FLOAT_PRECISION", precision, 1);
        applyFloatPrecision();
        settings.format = FORMAT_CSV;
        settings.separator = separator;
        settings.yZero = 1.5;
        settings.xSamplesPerDiv = xSamplesPerDiv;
        char *written = nullptr;
        size_t writtenSize = 0;
        settings.outputFile = open_memstream(&written, &writtenSize);
        ASSERT_NE(settings.outputFile, nullptr);
        writeHeaderFor(0, nullptr);
        std::string expected;
        for (int index = 0; index < 256; ++index) {
          writeSampleLine(index, index);
          expected += printed(static_cast<double>(sampleTime(index)), settings.precision,
                              separator == ';') +
                      separator +
                      printed(static_cast<double>(sampleVolts(index)), settings.precision,
                              separator == ';') +
                      "\n";
        }
        fclose(settings.outputFile);
        std::string text(written, writtenSize);
        free(written);
        ASSERT_EQ(text, expected) << separator << " FLOAT_PRECISION=" << precision;
        if (separator == ';') {
          EXPECT_EQ(text.find('.'), std::string::npos) << precision;
        }
      }
    }
  }
  if (saved != nullptr) {
    setenv("FLOAT_PRECISION", savedText.c_str(), 1);
  } else {
    unsetenv("FLOAT_PRECISION");
  }
  resetSettings();
}
