#include "scope/line_control.h"

#include <sys/ioctl.h>

#include <ctime>

#include "common/monotonic_clock.h"

namespace {

int systemModemLines(int fd, int *lines) { return ioctl(fd, TIOCMGET, lines); }

int systemOutputQueued(int fd, int *bytes) { return ioctl(fd, TIOCOUTQ, bytes); }

int systemTransmitterEmpty(int fd, bool *empty) {
  unsigned int status = 0;
  if (ioctl(fd, TIOCSERGETLSR, &status) != 0) {
    return -1;
  }
  *empty = (status & TIOCSER_TEMT) != 0;
  return 0;
}

void systemSleepUs(long us) {
  timespec span{us / 1000000L, us % 1000000L * 1000L};
  nanosleep(&span, nullptr);
}

} // namespace

const LineControl SYSTEM_LINE_CONTROL = {
    tcgetattr, tcsetattr, systemModemLines, systemOutputQueued, systemTransmitterEmpty, tcflush,
};

LineControl lineControl = SYSTEM_LINE_CONTROL;

const LineClock SYSTEM_LINE_CLOCK = {monotonicMs, systemSleepUs, ::poll, monotonicUs};

LineClock lineClock = SYSTEM_LINE_CLOCK;
