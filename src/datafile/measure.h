// The numbers of a lab report, taken from the rows of a capture.
//
// Every row's time and voltage are kept, exactly the doubles handed to the
// printing of its sample line, because the crossing level is known only once
// the last row is in. All arithmetic is plain IEEE double in a fixed order, so
// that every platform prints the same digits (the build forbids contracting a
// multiply and an add into one rounding).
//
// Levels: min, max, p-p = max - min, mean, rms = sqrt(mean of squares) and
// ac-rms = sqrt(mean of squared deviations from the mean), sums taken in row
// order. Timing uses the mid level (min + max) / 2: a rising crossing is a
// step from a row below mid to a row at or above it, its time interpolated
// linearly between the two rows, and it counts only when the signal has been
// below mid - p-p / 10 since the last counted one. The period is the time from
// the first counted crossing to the last, divided by their number less one;
// the duty is the share of that span the signal, drawn as straight lines
// between the rows, spends at or above mid.
#pragma once

#include <cstddef>
#include <cstdio>
#include <vector>

struct MeasuredRow {
  double time;
  double volts;
};

struct Measurement {
  std::vector<MeasuredRow> rows;
};

// What a Measurement comes to. A flag is false when its values cannot be
// measured: no rows for the levels, fewer than two counted crossings (or no
// time between them) for frequency, period and duty.
struct MeasuredValues {
  int samples = 0;
  bool hasLevels = false;
  double min = 0, max = 0, peakToPeak = 0, mean = 0, rms = 0, acRms = 0;
  bool hasTiming = false;
  double frequency = 0, period = 0, duty = 0; // duty in percent
};

void measureReset(Measurement &measurement);

// One row, as written.
void measureAdd(Measurement &measurement, double time, double volts);

MeasuredValues measureValues(const Measurement &measurement);

// Room for any line formatMeasurementLine writes.
inline constexpr size_t MEASUREMENT_LINE_SIZE = 1024; // a program name of NAME_MAX included

// The report line of `channel`, ending in a line feed, into `line`
// (snprintf's rules). Values in engineering form with micro as UTF-8, "n/a"
// for those that cannot be measured. Returns snprintf's result.
int formatMeasurementLine(char *line, size_t size, int channel, const MeasuredValues &values);

// Writes that line to `stream`; returns fputs's result, or EOF.
int printMeasurementLine(FILE *stream, int channel, const MeasuredValues &values);
