#include "datafile/data_file.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/monotonic_clock.h"
#include "common/version.h"
#include "datafile/eng_format.h"
#include "datafile/measure.h"
#include "datafile/session_file.h"
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

// The first failure's errno: the cause the run reports.
int writeError = 0;

void noteFailure(int error) {
  if (!writeFailed) {
    writeError = error;
  }
  writeFailed = true;
}

// Called right after the failed call, while errno still holds its cause.
void noteStreamFailure() {
  noteFailure(errno);
  streamFailed = true;
}

// printf can fail without setting the stream's error flag (a number too long
// for the memory available), so every result is looked at.
void checkPrinted(int printed) {
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

// The channels of the sample rows, in column order: `settings` itself for
// one channel, else a copy for each with its channel and scale in the plain
// fields, so that every conversion runs the one formula on its own scale.
Settings columnSettings[MAX_CHANNELS];
const Settings *columns[MAX_CHANNELS] = {&settings};
int columnCount = 1;
Measurement measured[MAX_CHANNELS];

void prepareColumns() {
  columnCount = settings.channelCount;
  columns[0] = &settings;
  for (int k = 0; columnCount > 1 && k < columnCount; ++k) {
    columnSettings[k] = settings;
    columnSettings[k].channel = settings.scales[k].channel;
    columnSettings[k].voltsPerDiv = settings.scales[k].voltsPerDiv;
    columnSettings[k].yZero = settings.scales[k].yZero;
    columnSettings[k].probeFactor = settings.scales[k].probeFactor;
    columns[k] = &columnSettings[k];
  }
  for (Measurement &measurement : measured) {
    measureReset(measurement);
  }
}

// The lines of one channel under "# Settings:"; the time base, shared by all
// channels, follows the first one's number.
void writeChannelHeader(FILE *out, const Settings &column, bool first) {
  int digits = settings.precision;
  checkPrinted(fprintf(out, "#  Y-Range: %1.*e div : %1.*e div\n", digits,
                       static_cast<double>(inputVoltsIn<Extended>(column, LOWEST_RAW)), digits,
                       static_cast<double>(inputVoltsIn<Extended>(column, HIGHEST_RAW))));
  checkPrinted(fprintf(out, "#  Oscilloscope channel %d\n", column.channel));
  if (first) {
    checkPrinted(fprintf(out, "#  Time base:\t"));
    checkPrinted(printScaled(out, settings.timePerDiv, "s/div\n"));
  }
  checkPrinted(fprintf(out, "#  Y-Gain:\t"));
  checkPrinted(printScaled(out, column.voltsPerDiv, "V/div\n"));
  checkPrinted(fprintf(out, "#  Y-Offset:\t%2.3f div\n", column.yZero));
  checkPrinted(fprintf(out, "#  Probe:\t1:%3.2f\n", column.probeFactor));
}

// "%1.*e" of `value` and the character `after`, with a decimal comma in
// place of the point when `comma`. Only precisions beyond the fast formatter
// and non-finite values come here, so the copy through the heap costs nothing
// that matters.
void printValue(double value, int32_t digits, bool comma, char after) {
  if (!comma || !std::isfinite(value)) {
    checkPrinted(fprintf(settings.outputFile, "%1.*e%c", digits, value, after));
    return;
  }
  int length = snprintf(nullptr, 0, "%1.*e", digits, value);
  char *text = length < 0 ? nullptr : static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
  if (text == nullptr) {
    noteStreamFailure();
    return;
  }
  snprintf(text, static_cast<size_t>(length) + 1, "%1.*e", digits, value);
  char *point = static_cast<char *>(memchr(text, '.', static_cast<size_t>(length)));
  if (point != nullptr) {
    *point = ',';
  }
  if (fwrite(text, 1, static_cast<size_t>(length), settings.outputFile) !=
      static_cast<size_t>(length)) {
    noteStreamFailure();
  }
  free(text);
  checkPrinted(fputc(after, settings.outputFile));
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
  prepareColumns();
  if (settings.format == FORMAT_SR) {
    sessionBegin(now, columns, columnCount);
    return;
  }
  // A CSV holds its column names and rows, nothing else.
  if (settings.format == FORMAT_CSV) {
    return;
  }
  FILE *out = settings.outputFile;
  checkPrinted(fprintf(out, "# Program: '%s', " QELVO_HEADER_VERSION_TEXT "\n",
                       orEmpty(settings.programName)));
  checkPrinted(fprintf(out, "#\t%s\n", AUTHOR_CREDIT));
  checkPrinted(fprintf(out, "#\n"));
  checkPrinted(fprintf(out, "#  File created %s", asctime(localtime(&now))));
  if (user != nullptr) {
    checkPrinted(
        fprintf(out, "#  by %s (uid: %s)\n", orEmpty(user->pw_gecos), orEmpty(user->pw_name)));
  }
  checkPrinted(fprintf(out, "#------------------------------------------------------\n"));
  checkPrinted(fprintf(out, "# Settings:\n"));
  for (int k = 0; k < columnCount; ++k) {
    writeChannelHeader(out, *columns[k], k == 0);
  }
  checkPrinted(fprintf(out, "#\n"));
  // The header is in the file before the first sample is asked for.
  flushDataFile();
}

void writeColumnHeader() {
  if (settings.format == FORMAT_SR) {
    return;
  }
  FILE *out = settings.outputFile;
  if (settings.format == FORMAT_CSV) {
    checkPrinted(fprintf(out, "Time [s]"));
    for (int k = 0; k < columnCount; ++k) {
      checkPrinted(fprintf(out, "%cCH%d [V]", settings.separator, columns[k]->channel));
    }
    checkPrinted(fprintf(out, "\n"));
  } else if (columnCount == 1) {
    checkPrinted(fprintf(out, "# Time [s]\t\tVolts \n"));
  } else {
    checkPrinted(fprintf(out, "# Time [s]\t\tVolts CH%d\tVolts CH%d\n", columns[0]->channel,
                         columns[1]->channel));
  }
  if (settings.format != FORMAT_CSV) {
    checkPrinted(fprintf(out, "#--------------------------------------------------------\n"));
  }
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

size_t formatSampleRow(char *line, size_t size, const double *values, int count, char separator,
                       int32_t digits) {
  if (digits < 0 || digits > SAMPLE_LINE_FAST_DIGITS) {
    return 0;
  }
  // to_chars gives the digits printf gives for %.*e in the C locale, correctly
  // rounded, without printf's format parsing and multi-precision arithmetic.
  char *at = line;
  char *end = line + size;
  const bool comma = separator == ';';
  for (int i = 0; i < count; ++i) {
    if (!std::isfinite(values[i])) {
      return 0;
    }
    auto written = std::to_chars(at, end, values[i], std::chars_format::scientific, digits);
    if (written.ec != std::errc{} || written.ptr == end) {
      return 0;
    }
    // The point follows the sign, if any, and the one leading digit.
    if (comma && digits > 0) {
      at[*at == '-' ? 2 : 1] = ',';
    }
    *written.ptr = i + 1 < count ? separator : '\n';
    at = written.ptr + 1;
  }
  return static_cast<size_t>(at - line);
}

size_t formatSampleLine(char *line, size_t size, double time, double volts, int32_t digits) {
  const double values[] = {time, volts};
  return formatSampleRow(line, size, values, 2, '\t', digits);
}

void writeSampleRow(int index, const int *raws) {
  if (streamFailed) {
    return;
  }
  double values[1 + MAX_CHANNELS];
  values[0] = static_cast<double>(sampleTimeIn<Extended>(settings, index));
  for (int k = 0; k < columnCount; ++k) {
    values[k + 1] = static_cast<double>(sampleVoltsIn<Extended>(*columns[k], raws[k]));
    if (settings.measure) {
      measureAdd(measured[k], values[0], values[k + 1]);
    }
  }
  if (settings.format == FORMAT_SR) {
    sessionAddRow(values + 1, columnCount);
    ++samplesHanded;
    return;
  }
  char separator = settings.format == FORMAT_CSV ? settings.separator : '\t';
  char line[SAMPLE_ROW_FAST_SIZE];
  size_t length =
      formatSampleRow(line, sizeof line, values, columnCount + 1, separator, settings.precision);
  if (length > 0) {
    if (fwrite(line, 1, length, settings.outputFile) != length) {
      noteStreamFailure();
    }
  } else {
    for (int i = 0; i <= columnCount; ++i) {
      printValue(values[i], settings.precision, separator == ';',
                 i < columnCount ? separator : '\n');
    }
  }
  if (!streamFailed) {
    ++samplesHanded;
  }
  noteWritten();
}

void writeSampleLine(int index, int raw) { writeSampleRow(index, &raw); }

const Measurement &channelMeasurement(int column) { return measured[column]; }

bool dataFileWriteFailed() { return writeFailed; }

void noteDataFileWriteFailure(int error) { noteFailure(error); }

int dataFileWriteError() { return writeError; }

void resetDataFile() {
  writeFailed = false;
  writeError = 0;
  streamFailed = false;
  samplesHanded = 0;
  samplesFlushed = 0;
  unflushed = false;
}

bool flushDataFileNow() {
  if (!streamFailed) {
    flushDataFile();
  }
  return !streamFailed;
}

int dataFileSamplesFlushed() { return samplesFlushed; }
