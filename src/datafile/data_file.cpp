#include "datafile/data_file.h"

#include <pwd.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "common/monotonic_clock.h"
#include "common/version.h"
#include "datafile/eng_format.h"
#include "settings/settings.h"

namespace {

constexpr int LOWEST_RAW = 0;
constexpr int HIGHEST_RAW = 255;

const char *orEmpty(const char *text) { return text != nullptr ? text : ""; }

bool writeFailed = false;
// A write to the stream itself failed. Nothing more is written after that,
// so the file holds a prefix of what was meant for it: no later write may
// land after a gap once space comes free again.
bool streamFailed = false;
int samplesHanded = 0;  // sample lines handed to the stream
int samplesFlushed = 0; // of those, lines known to have left it

void noteStreamFailure() {
  writeFailed = true;
  streamFailed = true;
}

// printf can fail without setting the stream's error flag (a number too long
// for the memory available), so every result is looked at.
void put(int printed) {
  if (printed < 0) {
    noteStreamFailure();
  }
}

// Whether lines are waiting in the stream's buffer, and since when.
bool unflushed = false;
int64_t unflushedSinceMs = 0;

// Called after every write: the clock is read only for the first line after
// a flush.
void noteWritten() {
  if (!unflushed) {
    unflushed = true;
    unflushedSinceMs = monotonicMs();
  }
}

void flushDataFile() {
  if (fflush(settings.outputFile) != 0) {
    noteStreamFailure();
  } else if (!streamFailed) {
    samplesFlushed = samplesHanded;
  }
  unflushed = false;
}

} // namespace

// The sample lines and the header's range share inputVoltsIn, so both take
// the same rounding steps.
Extended sampleTime(int index) { return sampleTimeIn<Extended>(settings, index); }

Extended sampleVolts(int raw) { return sampleVoltsIn<Extended>(settings, raw); }

Extended yRangeLow() { return inputVoltsIn<Extended>(settings, LOWEST_RAW); }

Extended yRangeHigh() { return inputVoltsIn<Extended>(settings, HIGHEST_RAW); }

void writeHeader(time_t now) { writeHeaderFor(now, getpwuid(geteuid())); }

void writeHeaderFor(time_t now, const passwd *user) {
  FILE *out = settings.outputFile;
  int digits = settings.precision;
  put(fprintf(out, "# Program: '%s', " QELVO_HEADER_VERSION_TEXT "\n",
              orEmpty(settings.programName)));
  put(fprintf(out, "#\t%s\n", AUTHOR_CREDIT));
  put(fprintf(out, "#\n"));
  put(fprintf(out, "#  File created %s", asctime(localtime(&now))));
  if (user != nullptr) {
    put(fprintf(out, "#  by %s (uid: %s)\n", orEmpty(user->pw_gecos), orEmpty(user->pw_name)));
  }
  put(fprintf(out, "#------------------------------------------------------\n"));
  put(fprintf(out, "# Settings:\n"));
  put(fprintf(out, "#  Y-Range: %1.*e div : %1.*e div\n", digits, static_cast<double>(yRangeLow()),
              digits, static_cast<double>(yRangeHigh())));
  put(fprintf(out, "#  Oscilloscope channel %d\n", settings.channel));
  put(fprintf(out, "#  Time base:\t"));
  put(printScaled(out, settings.timePerDiv, "s/div\n"));
  put(fprintf(out, "#  Y-Gain:\t"));
  put(printScaled(out, settings.voltsPerDiv, "V/div\n"));
  put(fprintf(out, "#  Y-Offset:\t%2.3f div\n", settings.yZero));
  put(fprintf(out, "#  Probe:\t1:%3.2f\n", settings.probeFactor));
  put(fprintf(out, "#\n"));
  // The header is in the file before the first sample is asked for.
  flushDataFile();
}

void writeColumnHeader() {
  put(fprintf(settings.outputFile, "# Time [s]\t\tVolts \n"));
  put(fprintf(settings.outputFile, "#--------------------------------------------------------\n"));
  noteWritten();
}

int flushDataFileWhenDue() {
  if (!unflushed || settings.outputFile == nullptr) {
    return -1;
  }
  int64_t waited = monotonicMs() - unflushedSinceMs;
  if (waited < DATA_FILE_FLUSH_MS) {
    return static_cast<int>(DATA_FILE_FLUSH_MS - waited);
  }
  flushDataFile();
  return -1;
}

size_t formatSampleLine(char *line, size_t size, double time, double volts, int32_t digits) {
  if (digits < 0 || digits > SAMPLE_LINE_FAST_DIGITS || !std::isfinite(time) ||
      !std::isfinite(volts)) {
    return 0;
  }
  // to_chars gives the digits printf gives for %.*e in the C locale, correctly
  // rounded, without printf's format parsing and multi-precision arithmetic.
  char *end = line + size;
  auto first = std::to_chars(line, end, time, std::chars_format::scientific, digits);
  if (first.ec != std::errc{} || first.ptr == end) {
    return 0;
  }
  *first.ptr = '\t';
  auto second = std::to_chars(first.ptr + 1, end, volts, std::chars_format::scientific, digits);
  if (second.ec != std::errc{} || second.ptr == end) {
    return 0;
  }
  *second.ptr = '\n';
  return static_cast<size_t>(second.ptr + 1 - line);
}

void writeSampleLine(int index, int raw) {
  if (streamFailed) {
    return;
  }
  double time = static_cast<double>(sampleTime(index));
  double volts = static_cast<double>(sampleVolts(raw));
  char line[SAMPLE_LINE_FAST_SIZE];
  size_t length = formatSampleLine(line, sizeof line, time, volts, settings.precision);
  if (length > 0) {
    if (fwrite(line, 1, length, settings.outputFile) != length) {
      noteStreamFailure();
    }
  } else {
    put(fprintf(settings.outputFile, "%1.*e\t%1.*e\n", settings.precision, time, settings.precision,
                volts));
  }
  if (!streamFailed) {
    ++samplesHanded;
  }
  noteWritten();
}

bool dataFileWriteFailed() { return writeFailed; }

void noteDataFileWriteFailure() { writeFailed = true; }

bool flushDataFileNow() {
  if (!streamFailed) {
    flushDataFile();
  }
  return !streamFailed;
}

int dataFileSamplesFlushed() { return samplesFlushed; }
