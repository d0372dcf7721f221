// The few terminal and modem-line calls the serial line makes on its
// descriptor, gathered so that tests can stand in for a driver that refuses
// a speed or a setting, or a port whose CTS is low: a pseudo-terminal takes
// every setting and has no modem lines.
//
// Every call returns 0 on success and -1 with errno set, like the system
// calls it wraps. `lineControl` starts as SYSTEM_LINE_CONTROL; a test that
// replaces a member puts the whole record back when it is done.
#pragma once

#include <poll.h>
#include <termios.h>

#include <cstdint>

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

// The line's clock and its waits, apart from the descriptor's calls, so that
// tests can check what the line decides to wait for on a clock of their own
// instead of measuring a busy machine. `lineClock` starts as
// SYSTEM_LINE_CLOCK; a test that replaces it puts the whole record back.
struct LineClock {
  int64_t (*nowMs)();                                      // the monotonic clock in ms
  void (*sleepUs)(long us);                                // nanosleep; a signal ends it early
  int (*poll)(pollfd *lines, nfds_t count, int timeoutMs); // poll
  int64_t (*nowUs)();                                      // the same clock in µs
};

extern const LineClock SYSTEM_LINE_CLOCK;
extern LineClock lineClock;
