#include "settings/settings_check.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "common/error_line.h"
#include "scope/port_report.h"
#include "scope/serial_line.h"
#include "settings/channel_list.h"
#include "settings/command_line.h"
#include "settings/settings.h"

namespace {

int problems = 0;

// Writes one problem's message (a printf format) and counts it.
template <typename... Values> void problem(const char *format, Values... values) {
  fprintf(stderr, format, values...);
  ++problems;
}

// A time base or gain of 0, infinite or NaN turns every time or voltage into
// 0, infinite or NaN; a decimal comma cut the number short.
bool unusableScale(double value, const char *text) {
  return value == 0 || !std::isfinite(value) || hasDecimalComma(text);
}

// The value as typed; one set by other means than the command line is shown
// as a number.
std::string asTyped(const char *text, double value) {
  if (text != nullptr) {
    return text;
  }
  char number[32];
  snprintf(number, sizeof number, "%g", value);
  return number;
}

void checkChannel() {
  if (!readChannels()) {
    problem("Invalid channel list (%s): use 1, 2, 1,2 or 2,1\n", settings.channelsText);
  }
  if (settings.channelsText != nullptr) {
    return; // --channels overrides -c
  }
  // Compared unsigned so that negative channels fail as well.
  if (static_cast<uint32_t>(settings.channel) > 2) {
    problem("Invalid Channel (%d) selected\n", settings.channel);
  }
}

void checkTimeBase() {
  if (unusableScale(settings.timePerDiv, settings.timeText)) {
    problem("Invalid time base (%s)\n", asTyped(settings.timeText, settings.timePerDiv).c_str());
  } else if (settings.timePerDiv < 0) {
    problem("Invalid Time/div (%e)\n", settings.timePerDiv);
  }
}

void checkGain(double value, const char *text) {
  if (unusableScale(value, text)) {
    problem("Invalid Y-gain (%s)\n", asTyped(text, value).c_str());
  } else if (value < 0) {
    problem("Invalid Volts/div (%e)\n", value);
  }
}

// Ordered comparisons: a NaN probe factor passes, as it always has.
void checkProbe(double value, const char *text) {
  if (hasDecimalComma(text)) {
    problem("Invalid ProbeFactor (%s)\n", text);
  } else if (value < 1 || value > 1e6) {
    problem("Invalid ProbeFactor 1:%e\n", value);
  }
}

// The values of a per-channel list, or nothing when it holds more values
// than there are channels (reported here).
std::vector<std::string> listValues(const char *list) {
  std::vector<std::string> values = splitList(list);
  if (static_cast<int>(values.size()) > settings.channelCount) {
    problem("Invalid list (%s): one value, or one per channel\n", list);
    values.clear();
  }
  return values;
}

void checkGains() {
  if (settings.gainsText == nullptr) {
    checkGain(settings.voltsPerDiv, settings.gainText);
    return;
  }
  for (const std::string &value : listValues(settings.gainsText)) {
    checkGain(scaledValue(value.c_str()), value.c_str());
  }
}

void checkProbes() {
  if (settings.probesText == nullptr) {
    checkProbe(settings.probeFactor, settings.probeText);
    return;
  }
  for (const std::string &value : listValues(settings.probesText)) {
    checkProbe(strtod(value.c_str(), nullptr), value.c_str());
  }
}

void checkOffsets() {
  if (settings.offsetsText != nullptr) {
    listValues(settings.offsetsText); // a value of its own is never wrong
  } else if (hasDecimalComma(settings.yZeroText)) {
    problem("Invalid Y-offset (%s)\n", settings.yZeroText);
  }
}

void openLine() {
  int opened = openSerialLine();
  int openError = errno;
  if (opened < 0) {
    ++problems;
  }
  reportOpenedLine(opened, openError);
}

} // namespace

void reportOpenedLine(int opened, int openError) {
  if (opened < 0) {
    errorLine("Cannot open serial line '%s'", settings.device);
  }
  // A port opened exclusively (TIOCEXCL) by another program refuses with EBUSY.
  if (opened == SERIAL_LINE_IN_USE || (opened < 0 && openError == EBUSY)) {
    reportLineInUse(settings.device, opened == SERIAL_LINE_IN_USE);
  } else if (opened < 0) {
    explainOpenFailure(settings.device, openError);
  } else {
    warnAlsoOpen(settings.device, opened);
  }
}

namespace {

void checkFormat() {
  const char *format = settings.formatText;
  settings.format = DEFAULT_FORMAT;
  bool knownFormat = format == nullptr;
  for (size_t f = 0; !knownFormat && f < std::size(FORMAT_NAMES); ++f) {
    knownFormat = strcmp(format, FORMAT_NAMES[f]) == 0;
    settings.format = knownFormat ? static_cast<DataFormat>(f) : DEFAULT_FORMAT;
  }
  if (!knownFormat) {
    problem("Invalid format (%s): use tsv, csv or sr\n", format);
  }
  // A zip is written whole at its end, into a file it can be moved into.
  if (settings.format == FORMAT_SR && settings.outputName != nullptr &&
      strcmp(settings.outputName, "-") == 0) {
    problem("Invalid format for standard output (%s)\n", FORMAT_NAMES[FORMAT_SR]);
  }
  const char *separator = settings.separatorText;
  if (separator == nullptr) {
    return;
  }
  bool known = strcmp(separator, ",") == 0 || strcmp(separator, ";") == 0;
  if (!known || settings.format != FORMAT_CSV) {
    problem("Invalid separator (%s): use , or ; with --format=csv\n", separator);
  } else {
    settings.separator = separator[0];
  }
}

// A series: a whole number of captures, 0 for no end, into files named by a
// pattern; an interval only with it.
void checkSeries() {
  const char *count = settings.countText;
  if (count != nullptr) {
    char *end = nullptr;
    errno = 0;
    long n = strtol(count, &end, 10);
    if (!isdigit(static_cast<unsigned char>(count[0])) || *end != '\0' || errno != 0 ||
        n > INT32_MAX) {
      problem("Invalid count (%s)\n", count);
    } else if (settings.outputName != nullptr && strcmp(settings.outputName, "-") == 0) {
      problem("Invalid count (%s): a series needs a file name pattern\n", count);
    } else {
      settings.count = static_cast<int32_t>(n);
    }
  }
  const char *interval = settings.intervalText;
  if (interval != nullptr) {
    char *end = nullptr;
    double seconds = strtod(interval, &end);
    if (end == interval || *end != '\0' || !std::isfinite(seconds) || seconds < 0) {
      problem("Invalid interval (%s)\n", interval);
    } else if (count == nullptr) {
      problem("Invalid interval (%s): only with --count\n", interval);
    } else {
      settings.interval = seconds;
    }
  }
}

} // namespace

namespace {

int checkAll(bool withLine) {
  problems = 0;
  checkChannel();
  checkTimeBase();
  checkGains();
  if (!settings.autoBaud && baudCode(settings.baudRate) == 0) {
    problem("Invalid baudrate (%ld)\n", static_cast<long>(settings.baudRate));
  }
  if (withLine && settings.serialFd < 0) {
    openLine();
  }
  checkProbes();
  checkOffsets();
  checkFormat();
  checkSeries();
  if (flowControlOf(settings.flow) == FLOW_UNKNOWN) {
    problem("Invalid flow control (%s): use none or rtscts\n", settings.flow);
  }
  for (const char *word : settings.unknownOptions) {
    const char *meant = closeLongOption(word);
    if (meant != nullptr) {
      problem("Invalid option (%s): did you mean --%s?\n", word, meant);
    } else {
      problem("Invalid option (%s)\n", word);
    }
  }
  if (problems == 0) {
    resolveChannels();
  }
  return problems;
}

} // namespace

int checkSettings() { return checkAll(true); }

int checkSettingValues() { return checkAll(false); }

int openLineChecked() {
  problems = 0;
  openLine();
  return problems;
}
