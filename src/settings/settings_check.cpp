#include "settings/settings_check.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "scope/port_report.h"
#include "scope/serial_line.h"
#include "settings/settings.h"

// A time base or gain of 0, infinite or NaN turns every time or voltage into
// 0, infinite or NaN; a decimal comma cut the number short.
static bool unusableScale(double value, const char *text) {
  return value == 0 || !std::isfinite(value) || hasDecimalComma(text);
}

// The value as typed; one set by other means than the command line is shown
// as a number.
static const char *asTyped(const char *text, double value, char (&number)[32]) {
  if (text != nullptr) {
    return text;
  }
  snprintf(number, sizeof number, "%g", value);
  return number;
}

int checkSettings() {
  int problems = 0;
  char number[32];
  // Compared unsigned so that negative channels fail as well.
  if (static_cast<uint32_t>(settings.channel) > 2) {
    fprintf(stderr, "Invalid Channel (%d) selected\n", settings.channel);
    ++problems;
  }
  if (unusableScale(settings.timePerDiv, settings.timeText)) {
    fprintf(stderr, "Invalid time base (%s)\n",
            asTyped(settings.timeText, settings.timePerDiv, number));
    ++problems;
  } else if (settings.timePerDiv < 0) {
    fprintf(stderr, "Invalid Time/div (%e)\n", settings.timePerDiv);
    ++problems;
  }
  if (unusableScale(settings.voltsPerDiv, settings.gainText)) {
    fprintf(stderr, "Invalid Y-gain (%s)\n",
            asTyped(settings.gainText, settings.voltsPerDiv, number));
    ++problems;
  } else if (settings.voltsPerDiv < 0) {
    fprintf(stderr, "Invalid Volts/div (%e)\n", settings.voltsPerDiv);
    ++problems;
  }
  if (baudCode(settings.baudRate) == 0) {
    fprintf(stderr, "Invalid baudrate (%ld)\n", static_cast<long>(settings.baudRate));
    ++problems;
  }
  if (settings.serialFd < 0) {
    int opened = openSerialLine();
    int openError = errno;
    if (opened < 0) {
      fprintf(stderr, "*** Error: Cannot open serial line '%s' ***\n", settings.device);
      ++problems;
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
  // Ordered comparisons: a NaN probe factor passes, as it always has.
  if (hasDecimalComma(settings.probeText)) {
    fprintf(stderr, "Invalid ProbeFactor (%s)\n", settings.probeText);
    ++problems;
  } else if (settings.probeFactor < 1 || settings.probeFactor > 1e6) {
    fprintf(stderr, "Invalid ProbeFactor 1:%e\n", settings.probeFactor);
    ++problems;
  }
  if (hasDecimalComma(settings.yZeroText)) {
    fprintf(stderr, "Invalid Y-offset (%s)\n", settings.yZeroText);
    ++problems;
  }
  if (flowControlOf(settings.flow) == FLOW_UNKNOWN) {
    fprintf(stderr, "Invalid flow control (%s): use none or rtscts\n", settings.flow);
    ++problems;
  }
  for (const char *word : settings.unknownOptions) {
    fprintf(stderr, "Invalid option (%s)\n", word);
    ++problems;
  }
  return problems;
}
