#include "datafile/measure.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <numbers>
#include <string>

#include "test_support.h"

namespace {

// `count` rows at `step` seconds apart, the voltage of row i from `wave`.
Measurement rowsOf(int count, double step, const std::function<double(int)> &wave) {
  Measurement measurement;
  measureReset(measurement);
  for (int i = 0; i < count; ++i) {
    measureAdd(measurement, i * step, wave(i));
  }
  return measurement;
}

std::string lineOf(int channel, const Measurement &measurement) {
  char line[MEASUREMENT_LINE_SIZE];
  int length = formatMeasurementLine(line, sizeof line, channel, measureValues(measurement));
  return length < 0 ? "" : std::string(line);
}

// High (4 V) for 63 of every 250 rows, 1 µs apart: crossings half way between
// rows, so the line holds 250 µs and 63/250 of it high.
double square25(int i) { return i % 250 < 63 ? 4.0 : 0.0; }

TEST(Measure, PrintsTheReportLine) {
  struct Row {
    const char *name;
    int channel;
    Measurement rows;
    const char *expected;
  } rows[] = {
      {"no rows", 1, rowsOf(0, 1, square25),
       "qelvo: channel 1: 0 samples; min n/a; max n/a; p-p n/a; mean n/a; rms n/a; ac-rms n/a; "
       "frequency n/a; period n/a; duty n/a\n"},
      {"one row", 2, rowsOf(1, 1, [](int) { return -0.005; }),
       "qelvo: channel 2: 1 samples; min -5.000mV; max -5.000mV; p-p 0.000V; mean -5.000mV; "
       "rms 5.000mV; ac-rms 0.000V; frequency n/a; period n/a; duty n/a\n"},
      {"square, 25 % duty", 1, rowsOf(1000, 1e-6, square25),
       "qelvo: channel 1: 1000 samples; min 0.000V; max 4.000V; p-p 4.000V; mean 1.008V; "
       "rms 2.008V; ac-rms 1.737V; frequency 4.000kHz; period 250.000\xC2\xB5s; duty 25.2%\n"},
      // Two crossings, the fewest that give a period.
      {"micro volts, below zero", 2, rowsOf(4, 2, [](int i) { return i % 2 ? -2.5e-6 : -1e-5; }),
       "qelvo: channel 2: 4 samples; min -10.000\xC2\xB5V; max -2.500\xC2\xB5V; "
       "p-p 7.500\xC2\xB5V; mean -6.250\xC2\xB5V; rms 7.289\xC2\xB5V; ac-rms 3.750\xC2\xB5V; "
       "frequency 250.000mHz; "
       "period 4.000s; duty 50.0%\n"},
  };
  for (const Row &row : rows) {
    EXPECT_EQ(lineOf(row.channel, row.rows), row.expected) << row.name;
  }
  // The same line through a real stream.
  TempDir dir;
  std::string path = dir.file("line.txt");
  FILE *stream = fopen(path.c_str(), "w");
  ASSERT_NE(stream, nullptr);
  EXPECT_GE(printMeasurementLine(stream, 1, measureValues(rows[2].rows)), 0);
  fclose(stream);
  EXPECT_EQ(readFile(path), rows[2].expected);
}

TEST(Measure, FindsLevelsAndTimingOfSyntheticWaves) {
  const double pi = std::numbers::pi;
  auto sine = [pi](double cycles, double samples) {
    return [=](int i) { return 0.5 + 2 * std::sin(2 * pi * cycles * i / samples); };
  };
  struct Row {
    const char *name;
    Measurement rows;
    bool timing;
    double frequency, duty, mean, rms; // frequency and duty only with timing
  } rows[] = {
      // 4 periods of 1000 rows at 1 ms: 4 Hz.
      {"sine", rowsOf(1000, 1e-3, sine(4, 1000)), true, 4, 50, 0.5, std::sqrt(0.25 + 2)},
      {"sine, 1.9 periods", rowsOf(1000, 1e-3, sine(1.9, 1000)), false, 0, 0, 0, 0},
      // A slow edge with noise around mid: one crossing a period, not five;
      // the ripple spends half its time above mid.
      {"noisy edges",
       rowsOf(800, 1e-3,
              [](int i) {
                int phase = i % 100;
                double ripple = phase % 2 ? 0.05 : -0.05;
                return phase < 40 ? -1.0 : phase < 50 ? ripple : 1.0;
              }),
       true, 10, 55, 0.1, 0.0},
      {"square between -3 V and -1 V",
       rowsOf(1000, 1e-3, [](int i) { return i % 200 < 100 ? -1.0 : -3.0; }), true, 5, 50, -2,
       std::sqrt(5.0)},
      {"constant", rowsOf(100, 1e-3, [](int) { return 1.5; }), false, 0, 0, 1.5, 1.5},
      {"no time between rows", rowsOf(1000, 0, sine(4, 1000)), false, 0, 0, 0, 0},
  };
  for (const Row &row : rows) {
    MeasuredValues values = measureValues(row.rows);
    EXPECT_EQ(values.samples, static_cast<int>(row.rows.rows.size())) << row.name;
    EXPECT_TRUE(values.hasLevels) << row.name;
    EXPECT_EQ(values.hasTiming, row.timing) << row.name;
    EXPECT_EQ(values.peakToPeak, values.max - values.min) << row.name;
    if (row.timing) {
      EXPECT_NEAR(values.frequency, row.frequency, row.frequency * 1e-3) << row.name;
      EXPECT_DOUBLE_EQ(values.period, 1 / values.frequency) << row.name;
      EXPECT_NEAR(values.duty, row.duty, 0.5) << row.name;
    }
    if (row.rms != 0) {
      EXPECT_NEAR(values.mean, row.mean, 1e-3) << row.name;
      EXPECT_NEAR(values.rms, row.rms, 1e-3) << row.name;
      double acRms = std::sqrt(values.rms * values.rms - values.mean * values.mean);
      EXPECT_NEAR(values.acRms, acRms, 1e-6) << row.name;
    }
  }
}

} // namespace
