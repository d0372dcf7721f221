#include "datafile/measure.h"

#include <cmath>

#include "datafile/eng_format.h"
#include "settings/settings.h"

namespace {

// Where the straight line from `a` to `b` meets `level`; a and b lie on
// either side of it, so b.volts differs from a.volts.
double levelTime(const MeasuredRow &a, const MeasuredRow &b, double level) {
  return a.time + (level - a.volts) * (b.time - a.time) / (b.volts - a.volts);
}

struct Crossings {
  int count = 0;
  double first = 0, last = 0;
};

// The counted rising crossings of `mid`: the signal must have gone below
// `armLevel` before each, so that noise on a slow edge counts once.
Crossings risingCrossings(const std::vector<MeasuredRow> &rows, double mid, double armLevel) {
  Crossings crossings;
  bool armed = rows[0].volts < armLevel;
  for (size_t i = 1; i < rows.size(); ++i) {
    const MeasuredRow &previous = rows[i - 1];
    const MeasuredRow &current = rows[i];
    if (armed && previous.volts < mid && current.volts >= mid) {
      double time = levelTime(previous, current, mid);
      if (crossings.count == 0) {
        crossings.first = time;
      }
      crossings.last = time;
      ++crossings.count;
      armed = false;
    }
    if (current.volts < armLevel) {
      armed = true;
    }
  }
  return crossings;
}

// Time between `from` and `to` that the signal, drawn as straight lines from
// row to row, spends at or above `mid`. Each step adds the part of its span
// above mid, up to the interpolated crossing where it passes mid.
double timeAbove(const std::vector<MeasuredRow> &rows, double mid, double from, double to) {
  double above = 0;
  for (size_t i = 1; i < rows.size(); ++i) {
    const MeasuredRow &a = rows[i - 1];
    const MeasuredRow &b = rows[i];
    bool aAbove = a.volts >= mid;
    bool bAbove = b.volts >= mid;
    if (!aAbove && !bAbove) {
      continue;
    }
    double start = a.time;
    double end = b.time;
    if (!aAbove) {
      start = levelTime(a, b, mid);
    } else if (!bAbove) {
      end = levelTime(a, b, mid);
    }
    start = start > from ? start : from;
    end = end < to ? end : to;
    if (end > start) {
      above += end - start;
    }
  }
  return above;
}

// One value of the report line: engineering form and unit, or "n/a".
void valueText(char *text, size_t size, bool known, double value, const char *unit) {
  char number[SCALED_NUMBER_SIZE];
  if (!known || formatScaled(number, sizeof number, value, MICRO_UTF8) < 0) {
    snprintf(text, size, "n/a");
    return;
  }
  snprintf(text, size, "%s%s", number, unit);
}

} // namespace

void measureReset(Measurement &measurement) { measurement.rows.clear(); }

void measureAdd(Measurement &measurement, double time, double volts) {
  measurement.rows.push_back({time, volts});
}

MeasuredValues measureValues(const Measurement &measurement) {
  const std::vector<MeasuredRow> &rows = measurement.rows;
  MeasuredValues values;
  values.samples = static_cast<int>(rows.size());
  if (rows.empty()) {
    return values;
  }
  double count = static_cast<double>(rows.size());
  double min = rows[0].volts;
  double max = rows[0].volts;
  double sum = 0;
  double sumOfSquares = 0;
  for (const MeasuredRow &row : rows) {
    min = row.volts < min ? row.volts : min;
    max = row.volts > max ? row.volts : max;
    sum += row.volts;
    sumOfSquares += row.volts * row.volts;
  }
  double mean = sum / count;
  double sumOfDeviations = 0;
  for (const MeasuredRow &row : rows) {
    double deviation = row.volts - mean;
    sumOfDeviations += deviation * deviation;
  }
  values.hasLevels = true;
  values.min = min;
  values.max = max;
  values.peakToPeak = max - min;
  values.mean = mean;
  values.rms = std::sqrt(sumOfSquares / count);
  values.acRms = std::sqrt(sumOfDeviations / count);

  double mid = (min + max) / 2;
  Crossings crossings = risingCrossings(rows, mid, mid - values.peakToPeak / 10);
  double span = crossings.last - crossings.first;
  // A zero time base puts every row at one instant: no period to speak of.
  if (crossings.count < 2 || !(span > 0)) {
    return values;
  }
  values.hasTiming = true;
  values.period = span / (crossings.count - 1);
  values.frequency = 1 / values.period;
  values.duty = timeAbove(rows, mid, crossings.first, crossings.last) / span * 100;
  return values;
}

int formatMeasurementLine(char *line, size_t size, int channel, const MeasuredValues &values) {
  enum { MIN, MAX, PEAK_TO_PEAK, MEAN, RMS, AC_RMS, FREQUENCY, PERIOD, DUTY, VALUES };
  char text[VALUES][SCALED_NUMBER_SIZE + 8];
  bool levels = values.hasLevels;
  bool timing = values.hasTiming;
  valueText(text[MIN], sizeof text[MIN], levels, values.min, "V");
  valueText(text[MAX], sizeof text[MAX], levels, values.max, "V");
  valueText(text[PEAK_TO_PEAK], sizeof text[PEAK_TO_PEAK], levels, values.peakToPeak, "V");
  valueText(text[MEAN], sizeof text[MEAN], levels, values.mean, "V");
  valueText(text[RMS], sizeof text[RMS], levels, values.rms, "V");
  valueText(text[AC_RMS], sizeof text[AC_RMS], levels, values.acRms, "V");
  valueText(text[FREQUENCY], sizeof text[FREQUENCY], timing, values.frequency, "Hz");
  valueText(text[PERIOD], sizeof text[PERIOD], timing, values.period, "s");
  if (timing) {
    snprintf(text[DUTY], sizeof text[DUTY], "%.1f%%", values.duty);
  } else {
    snprintf(text[DUTY], sizeof text[DUTY], "n/a");
  }
  return snprintf(line, size,
                  "%s: channel %d: %d samples; min %s; max %s; p-p %s; mean %s; rms %s; "
                  "ac-rms %s; frequency %s; period %s; duty %s\n",
                  shownProgramName(), channel, values.samples, text[MIN], text[MAX],
                  text[PEAK_TO_PEAK], text[MEAN], text[RMS], text[AC_RMS], text[FREQUENCY],
                  text[PERIOD], text[DUTY]);
}

int printMeasurementLine(FILE *stream, int channel, const MeasuredValues &values) {
  char line[MEASUREMENT_LINE_SIZE];
  int length = formatMeasurementLine(line, sizeof line, channel, values);
  if (length < 0 || static_cast<size_t>(length) >= sizeof line) {
    return EOF;
  }
  return fputs(line, stream);
}
