// The few terminal and modem-line calls the serial line makes on its
// descriptor, gathered so that tests can stand in for a driver that refuses
// a speed or a setting, or a port whose CTS is low: a pseudo-terminal takes
// every setting and has no modem lines.
//
// Every call returns 0 on success and -1 with errno set, like the system
// calls it wraps. `lineControl` starts as SYSTEM_LINE_CONTROL; a test that
// replaces a member puts the whole record back when it is done.
#pragma once

#include <termios.h>

struct LineControl {
  int (*getAttributes)(int fd, termios *attributes);                 // tcgetattr
  int (*setAttributes)(int fd, int when, const termios *attributes); // tcsetattr
  int (*modemLines)(int fd, int *lines);        // TIOCMGET: TIOCM_CTS and friends
  int (*outputQueued)(int fd, int *bytes);      // TIOCOUTQ: bytes not yet handed to the UART
  int (*transmitterEmpty)(int fd, bool *empty); // TIOCSERGETLSR: shift register idle
  int (*flush)(int fd, int queue);              // tcflush
};

extern const LineControl SYSTEM_LINE_CONTROL;
extern LineControl lineControl;
