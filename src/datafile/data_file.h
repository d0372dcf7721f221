// The data file: a "#" comment header, a column header, one line per sample.
//
// Everything goes to `settings.outputFile`, which the command line opened.
// A write that fails is remembered, not reported: the driver asks
// dataFileWriteFailed (and checks the stream) at the end of the run. Samples
// are converted as they arrive, one line each, so nothing is buffered here
// beyond stdio. The header is flushed at once, and flushDataFileWhenDue, run
// while the driver waits for input, puts each later line in the file within
// DATA_FILE_FLUSH_MS: the file stays current for anyone watching it, at one
// write per block, not per line.
//
// The conversions follow the calibration of `settings.channel`, which must
// already be 1 or 2. Each formula is evaluated left to right in x87 extended
// precision and rounded to double once, when printed: with the default
// calibration the cancelling offsets leave residues that plain double
// arithmetic would print differently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "common/extended.h"
#include "settings/settings.h"

struct passwd;

// The header block, stamped with `now` and the effective user.
void writeHeader(time_t now);

// As writeHeader, for the password entry `user`; the "by" line is left out
// when it is nullptr (an effective uid without an entry).
void writeHeaderFor(time_t now, const passwd *user);

// The two column-header lines; written once, when the dump begins.
void writeColumnHeader();

// How long a written line may wait in the stream's buffer.
inline constexpr int DATA_FILE_FLUSH_MS = 50;

// Flushes the data file when a line has waited DATA_FILE_FLUSH_MS; returns
// the milliseconds until the oldest unflushed line is due, or -1 when none
// is waiting.
int flushDataFileWhenDue();

// One sample line: time and voltage of sample `index` (from 0) holding `raw`
// (0 to 255), for a capture of one channel.
void writeSampleLine(int index, int raw);

// One row: the time of sample `index` and the voltage of each channel's raw
// count in `raws`, in column order.
void writeSampleRow(int index, const int *raws);

// With --measure: the rows written so far for the channel of `column`.
struct Measurement;
const Measurement &channelMeasurement(int column);

// Digits after the point up to which sample lines are formatted without
// printf, and a buffer that holds any such line.
inline constexpr int32_t SAMPLE_LINE_FAST_DIGITS = 60;
inline constexpr size_t SAMPLE_LINE_FAST_SIZE = 2 * (SAMPLE_LINE_FAST_DIGITS + 8) + 2;
inline constexpr size_t SAMPLE_ROW_FAST_SIZE =
    (1 + MAX_CHANNELS) * (SAMPLE_LINE_FAST_DIGITS + 8) + 2;

// The sample line "%1.*e\t%1.*e\n" of `time` and `volts` with `digits`, byte
// for byte as printf writes it, into `line`; its length, or 0 when the line is
// left to printf (a non-finite value, a precision outside 0..60, too small a
// buffer).
size_t formatSampleLine(char *line, size_t size, double time, double volts, int32_t digits);

// The same for `count` values separated by `separator`, ending in a line
// feed: "%1.*e" each, byte for byte as printf writes them. With ';' the
// decimal point is a comma, as the spreadsheets that want ';' read it.
size_t formatSampleRow(char *line, size_t size, const double *values, int count, char separator,
                       int32_t digits);

// True once any write to the data file failed, or the driver noted a failure
// of its own (a file that could not be emptied), with `error` its errno.
bool dataFileWriteFailed();
void noteDataFileWriteFailure(int error);

// The errno of the first failure noted since resetDataFile; 0 when none was.
int dataFileWriteError();

// Forgets what an earlier capture's data file went through: its failures,
// counts and unflushed lines.
void resetDataFile();

// Flushes the stream now; false once any write to the stream itself has
// failed (nothing is written after such a failure).
bool flushDataFileNow();

// Sample lines known to have left the stream: those before its last
// successful flush.
int dataFileSamplesFlushed();

// Seconds since the trigger of sample `index`.
Extended sampleTime(int index);

// Volts at the probe tip for the raw count `raw`.
Extended sampleVolts(int raw);

// Volts at the scope input (no probe factor) of the lowest and highest raw
// counts, 0 and 255, as the header's Y-range line shows them.
Extended yRangeLow();
Extended yRangeHigh();

// The conversions written once for any type with the x87's operations, so
// that the software type can be checked against the hardware on exactly
// these sequences; the functions above are their Extended instances for the
// global settings. inputVoltsIn is the voltage before the probe factor.
template <typename Number> Number sampleTimeIn(const Settings &s, int index) {
  return (Number(index) / Number(s.xSamplesPerDiv) - Number(s.xOffset)) * Number(s.timePerDiv);
}

template <typename Number> Number inputVoltsIn(const Settings &s, int raw) {
  int ch = s.channel;
  return (Number(raw) / Number(s.ySamplesPerDiv[ch]) - Number(s.yOffset[ch]) - Number(s.yZero)) *
         Number(s.voltsPerDiv);
}

template <typename Number> Number sampleVoltsIn(const Settings &s, int raw) {
  return inputVoltsIn<Number>(s, raw) * Number(s.probeFactor);
}
