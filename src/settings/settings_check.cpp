#include "settings/settings_check.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "scope/port_report.h"
#include "scope/serial_line.h"
#include "settings/settings.h"

int checkSettings() {
  int problems = 0;
  // Compared unsigned so that negative channels fail as well.
  if (static_cast<uint32_t>(settings.channel) > 2) {
    fprintf(stderr, "Invalid Channel (%d) selected\n", settings.channel);
    ++problems;
  }
  // Ordered comparisons: 0, -0 and NaN pass, as they always have.
  if (settings.timePerDiv < 0) {
    fprintf(stderr, "Invalid Time/div (%e)\n", settings.timePerDiv);
    ++problems;
  }
  if (settings.voltsPerDiv < 0) {
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
  if (settings.probeFactor < 1 || settings.probeFactor > 1e6) {
    fprintf(stderr, "Invalid ProbeFactor 1:%e\n", settings.probeFactor);
    ++problems;
  }
  if (flowControlOf(settings.flow) == FLOW_UNKNOWN) {
    fprintf(stderr, "Invalid flow control (%s): use none or rtscts\n", settings.flow);
    ++problems;
  }
  return problems;
}
