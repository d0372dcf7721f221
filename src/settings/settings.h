// The one settings record of a run.
//
// Every part of the tool reads its configuration and run state from the
// single instance `settings`. It starts with the built-in defaults; the
// configuration file, then the command line overwrite them, and the check
// judges the result before the scope is contacted. The record also carries
// the open serial descriptor and the data file stream; both stay open until
// the end of the run.
//
// Only one thread ever touches the record: the one that runs the captures. A
// capture starts by copying the checked record into it (see capture.h), so a
// server's network threads keep their own state and hand a job's checked
// settings to that thread; they never read or write `settings`.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

// Speed used when neither the configuration file nor -b names one; the help
// text always shows this value, not the current one.
inline constexpr int32_t DEFAULT_BAUD_RATE = 38400;

// Handshake on the serial line: RTS/CTS for a null-modem cable that carries
// those lines, none for a three-wire cable.
enum FlowControl { FLOW_UNKNOWN = -1, FLOW_NONE = 0, FLOW_RTSCTS = 1 };

// What the data file looks like: the commented text file, a bare CSV, or a
// session file (a zip of float32 samples).
enum DataFormat { FORMAT_TSV, FORMAT_CSV, FORMAT_SR };

// The --format name of each DataFormat.
inline constexpr const char *FORMAT_NAMES[] = {"tsv", "csv", "sr"};

// Built-in values the record starts with. The help lines of --flow, --format
// and --separator show theirs from here; the classic usage block keeps its
// own words for the device.
inline constexpr char DEFAULT_DEVICE[] = "/dev/ttyS0";
inline constexpr char DEFAULT_FLOW[] = "rtscts";
inline constexpr DataFormat DEFAULT_FORMAT = FORMAT_TSV;
inline constexpr char DEFAULT_SEPARATOR = ',';

// The channels one capture reads, in the order of their columns.
inline constexpr int MAX_CHANNELS = 2;

// One captured channel and its scale: -y, -Y and -p, or their per-channel
// values from --gain, --offset and --probe.
struct ChannelScale {
  int32_t channel; // 1 or 2
  double voltsPerDiv;
  double yZero;
  double probeFactor;
};

struct Settings {
  int32_t precision = 10; // digits after the point in sample lines
  int32_t serialFd = -1;  // negative while the line is not open
  const char *device = DEFAULT_DEVICE;
  const char *configPath = "./qelvo.conf";
  int32_t baudRate = DEFAULT_BAUD_RATE;
  // -b auto or "Baudrate: auto": the speed is probed once the line is open,
  // starting from `baudRate` when that is one the tool accepts.
  bool autoBaud = false;
  const char *flow = DEFAULT_FLOW; // as given with --flow; the check judges it
  double xSamplesPerDiv = 99.2;
  double xOffset = 0.0;
  // Indexed by channel number; entry 0 is never used because channel 0 is
  // resolved to 1 or 2 before any conversion. The calibration values are
  // exact doubles of the instrument's factory calibration (0x403C400000000001,
  // 0x3FDC518EB9C518E0, 0x3FD9999999999998): the decimal texts round-trip.
  double ySamplesPerDiv[3] = {0.0, 28.250000000000004, 28.75};
  double yOffset[3] = {0.0, 0.44247787610619405, 0.3999999999999999};
  double timePerDiv = 1.0;
  double voltsPerDiv = 1.0;
  double yZero = 0.0;
  double probeFactor = 1.0;
  // The values of -t, -y, -Y and -p as typed (after a leading "="), for the
  // check's messages; nullptr while the option is not given.
  const char *timeText = nullptr;
  const char *gainText = nullptr;
  const char *yZeroText = nullptr;
  const char *probeText = nullptr;
  // Words beginning with "--" that name no long option, as typed.
  std::vector<const char *> unknownOptions;
  // --channels, --gain, --offset and --probe as typed (nullptr when not
  // given); the check judges them and fills `channelCount` and `scales`.
  const char *channelsText = nullptr;
  const char *gainsText = nullptr;
  const char *offsetsText = nullptr;
  const char *probesText = nullptr;
  int32_t channelCount = 1;
  ChannelScale scales[MAX_CHANNELS]{};
  // --format and --separator as typed; the check sets `format` and `separator`.
  const char *formatText = nullptr;
  const char *separatorText = nullptr;
  DataFormat format = DEFAULT_FORMAT;
  char separator = DEFAULT_SEPARATOR;
  bool measure = false; // --measure
  // --count and --interval as typed; the check sets `count` (-1: no series,
  // 0: until stopped) and `interval` in seconds.
  const char *countText = nullptr;
  const char *intervalText = nullptr;
  int32_t count = -1;
  double interval = 0.0;
  // --keep-going: a series goes on after a failed capture and waits for a
  // lost line's device to return.
  bool keepGoing = false;
  int32_t channel = 0; // 0: as selected on the scope, else 1 or 2
  int32_t configLineNo = 0;
  FILE *outputFile = nullptr;
  const char *outputName = nullptr; // the data file's name, for messages
  const char *programName = nullptr;
};

extern Settings settings;

// The program's name for messages: `programName`, or "qelvo" before start-up
// has set it.
const char *shownProgramName();

// Replaces `device` by a trimmed copy of `text` (trimmed in place). A copy
// made by an earlier call is freed; any other old text is left alone. Ends
// the process with status 3 when the copy cannot be allocated.
void setDevice(char *text);

// Removes trailing spaces, tabs, line feeds and carriage returns in place.
void trimRight(char *text);

// The handshake a --flow value names; FLOW_UNKNOWN for any other text.
FlowControl flowControlOf(const char *text);

// True when `text` holds a comma followed by a digit: a decimal comma, where
// numbers in the C locale stop short ("0,5" reads 0).
bool hasDecimalComma(const char *text);

// strtol results live in 64-bit longs; clamp them so that a huge value can
// never wrap around into a plausible 32-bit one.
int32_t saturateToInt32(long value);
