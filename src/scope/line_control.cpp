#include "scope/line_control.h"

#include <sys/ioctl.h>

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

} // namespace

const LineControl SYSTEM_LINE_CONTROL = {
    tcgetattr, tcsetattr, systemModemLines, systemOutputQueued, systemTransmitterEmpty, tcflush,
};

LineControl lineControl = SYSTEM_LINE_CONTROL;
