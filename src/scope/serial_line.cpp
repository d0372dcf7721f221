#include "scope/serial_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "common/error_line.h"
#include "scope/line_control.h"
#include "settings/settings.h"

namespace {

// The line's attributes from before configureLine, given back by
// restoreLine; used only in this file.
termios savedLine;

volatile sig_atomic_t receivedStopSignal = 0;

// The line is lost once it has hung up or failed (the scope's end of a
// pseudo-terminal closed, a USB adapter unplugged), as opposed to quiet.
bool lost = false;

bool errorMeansLineLost(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

bool pollSaysLineLost(short revents) { return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0; }

void recordStopSignal(int sig) { receivedStopSignal = sig; }

constexpr int BITS_PER_CHARACTER = 10; // start bit, 8 data bits, stop bit
// A byte the scope owes (an echo, the next digit of a reply) is given time
// for the scope's own delays and a busy host; a drain only waits long enough
// to see that the line has gone quiet, as it runs before every command on a
// line that is normally silent.
constexpr int RECEIVE_SLACK_MS = 100;
constexpr int DRAIN_SLACK_MS = 20;
constexpr int64_t DRAIN_LIMIT_MS = 2000;
// A scope or adapter may hand over stray bytes a moment after a whole reply,
// in a second write; this much quiet after the reply's last byte shows that
// none are on their way.
constexpr int GUARD_MS = 2;

// The line speed in bit/s that waits are reckoned at.
long lineRate() { return baudCode(settings.baudRate) != 0 ? settings.baudRate : DEFAULT_BAUD_RATE; }

// `slackMs` plus `characters` character times at the line speed, rounded up.
int waitMs(int slackMs, int characters) {
  long rate = lineRate();
  long charactersMs = (characters * BITS_PER_CHARACTER * 1000L + rate - 1) / rate;
  return static_cast<int>(slackMs + charactersMs);
}

int silenceMs(int slackMs) { return waitMs(slackMs, 2); }

// A line that delivers a byte or two at a time (an on-board UART, a USB
// adapter with a low latency setting) would wake us for every byte. While
// input flows, a receive whose buffer is used up sleeps and then takes all
// that came in one read. Each wake-up costs a small board dearly, so the
// pause grows with the flow, up to a bound:
// - the first is short (4 ms), so that a reply is not held up; on a slow
//   line it grows to two characters as soon as that much has flowed, as a
//   shorter one finds at most one;
// - it stays within a thirtieth of how long the input has flowed since the
//   last command, so that the end of a dump is seen, and a line that hangs
//   up takes what waits unread with it, at most some 3 % late or lost (a
//   series of short captures stays within its time);
// - a sample must be in the data file within 100 ms. While lines wait in
//   its buffer, the next read comes when the wait hook flushes them (at most
//   50 ms on), and what it brings goes out with them; while none wait, what
//   is read next may wait there 50 ms more, so the line holds it at most
//   HOLD_MS;
// - at most 5/8 of N_TTY's 4096 bytes fill meanwhile, well clear of
//   overflow on a port without a handshake.
constexpr long FIRST_GATHER_US = 4000;
constexpr long FLOW_PER_PAUSE = 30;
constexpr long HOLD_MS = 40;
constexpr long FLUSH_HOLD_MS = 50;
constexpr long INPUT_ROOM = 4096 * 5 / 8;

// Input already read from the line and not yet handed out. One read takes
// all the line holds, so a dump costs a system call per chunk instead of per
// byte; the bytes are still handed out, and drained, one at a time. The
// buffer belongs to the descriptor it was filled from.
struct ReceiveBuffer {
  int fd = -1;
  size_t next = 0;
  size_t end = 0; // 0 after a read that found nothing
  unsigned char bytes[4096];
};
ReceiveBuffer pending;

// When the last read brought input: the line has been quiet since at least
// then once everything read has been handed out.
int64_t lastInputUs = 0;

// When the first input since the last command (or since the line was set up)
// was read; -1 before it. What flowed since then sizes the gathering pause.
int64_t flowStartUs = -1;

void forgetPending() {
  pending.fd = -1;
  pending.next = pending.end = 0;
  flowStartUs = -1;
}

// The last read brought input, and all of it has been handed out.
bool inputFlowing() {
  return pending.fd == settings.serialFd && pending.end > 0 && pending.next == pending.end;
}

WaitHook waitHook = nullptr;

// Runs the wait hook; the milliseconds after which it wants to run again, or
// -1 for no such limit.
int runWaitHook() { return waitHook != nullptr ? waitHook() : -1; }

// Whether the buffer holds a byte, reading what waits on the line when it is
// empty; never waits.
bool fillPending() {
  if (pending.fd != settings.serialFd) {
    forgetPending();
    pending.fd = settings.serialFd;
  }
  if (pending.next < pending.end) {
    return true;
  }
  ssize_t got = read(settings.serialFd, pending.bytes, sizeof pending.bytes);
  if (got <= 0) {
    pending.next = pending.end = 0;
    // A raw line with VMIN and VTIME at 0 reads 0 bytes when it is quiet.
    if (got < 0 && errorMeansLineLost(errno)) {
      lost = true;
    }
    return false;
  }
  pending.next = 0;
  pending.end = static_cast<size_t>(got);
  lastInputUs = lineClock.nowUs();
  if (flowStartUs < 0) {
    flowStartUs = lastInputUs;
  }
  return true;
}

// Takes the next byte, reading what is waiting when the buffer is empty;
// false when there is none.
bool takeByte(int &value) {
  if (!fillPending()) {
    return false;
  }
  // Widened as a signed char: 0x80..0xFF become negative, which every caller
  // treats like a missing byte.
  value = static_cast<signed char>(pending.bytes[pending.next++]);
  return true;
}

} // namespace

speed_t baudCode(int32_t rate) {
  switch (rate) {
  case 50: return B50;
  case 75: return B75;
  case 110: return B110;
  case 134: return B134;
  case 150: return B150;
  case 200: return B200;
  case 300: return B300;
  case 600: return B600;
  case 1200: return B1200;
  case 1800: return B1800;
  case 2400: return B2400;
  case 4800: return B4800;
  case 9600: return B9600;
  case 19200: return B19200;
  case 38400: return B38400;
  case 57600: return B57600;
  case 115200: return B115200;
  case 230400: return B230400;
  case 460800: return B460800;
  default: return 0;
  }
}

int openSerialLine() {
  settings.serialFd = -1;
  lost = false;
  // O_NOCTTY: a hang-up on the line must never reach us as SIGHUP of a
  // controlling terminal. O_DSYNC: each command byte is handed to the driver
  // before write returns, so a command never lingers in a buffer of ours.
  int fd = open(settings.device, O_RDWR | O_NONBLOCK | O_DSYNC | O_NOCTTY);
  if (fd < 0) {
    return SERIAL_OPEN_FAILED;
  }
  // The commands would be written into a regular file named by mistake.
  if (!isatty(fd)) {
    close(fd);
    return SERIAL_OPEN_FAILED;
  }
  // Two captures on one scope corrupt each other's exchange. A file system
  // without locks is no reason to refuse the line.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(fd);
    return SERIAL_LINE_IN_USE;
  }
  settings.serialFd = fd;
  return fd;
}

namespace {

bool handshakeWanted() { return flowControlOf(settings.flow) != FLOW_NONE; }

void pauseOneMs() { lineClock.sleepUs(1000); }

} // namespace

namespace {

// Makes the line raw at `settings.baudRate` from the saved attributes and
// reads them back into `taken`. False when the port kept another speed: a
// driver that cannot run at a speed keeps its old one and still reports
// success, so only the attributes read back tell. A line whose attributes
// cannot be read back is not trusted with the exchange either.
bool applyRawLine(termios &taken) {
  int fd = settings.serialFd;
  speed_t speed = baudCode(settings.baudRate);
  tcflag_t handshake = handshakeWanted() ? CRTSCTS : 0;
  termios raw = savedLine;
  raw.c_iflag = 0;
  raw.c_oflag = 0;
  raw.c_lflag = 0;
  raw.c_cflag = speed | handshake | HUPCL | CREAD | CS8;
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  lineControl.setAttributes(fd, TCSANOW, &raw);
  bool readBack = lineControl.getAttributes(fd, &taken) == 0;
  speed_t inputSpeed = cfgetispeed(&taken);
  if (inputSpeed == B0) {
    inputSpeed = cfgetospeed(&taken); // 0 means "as the output speed"
  }
  return readBack && cfgetospeed(&taken) == speed && inputSpeed == speed;
}

} // namespace

int configureLine() {
  lineControl.getAttributes(settings.serialFd, &savedLine);
  termios taken{};
  if (!applyRawLine(taken)) {
    // A speed being probed may be one the port lacks: simply not the one.
    if (!settings.autoBaud) {
      errorLine("serial line '%s' cannot run at %d bit/s", settings.device, settings.baudRate);
    }
    return LINE_SPEED_REFUSED;
  }
  bool dataBits = (taken.c_cflag & CSIZE) == CS8;
  bool flow = !handshakeWanted() || (taken.c_cflag & CRTSCTS) != 0;
  if (!dataBits || !flow) {
    const char *missing = !dataBits && !flow ? "8 data bits and RTS/CTS"
                          : !dataBits        ? "8 data bits"
                                             : "RTS/CTS";
    fprintf(stderr, "*** Warning: serial line '%s' did not take %s ***\n", settings.device,
            missing);
  }
  return LINE_READY;
}

int changeLineSpeed() {
  // Whatever came at the old speed means nothing at the new one.
  forgetPending();
  lineControl.flush(settings.serialFd, TCIFLUSH);
  termios taken{};
  return applyRawLine(taken) ? LINE_READY : LINE_SPEED_REFUSED;
}

void restoreLine() { lineControl.setAttributes(settings.serialFd, TCSANOW, &savedLine); }

bool clearToSend() {
  if (!handshakeWanted()) {
    return true;
  }
  int lines = 0;
  if (lineControl.modemLines(settings.serialFd, &lines) != 0) {
    return true; // no modem lines to ask: a pseudo-terminal, say
  }
  int64_t deadline = lineClock.nowMs() + silenceMs(RECEIVE_SLACK_MS);
  while ((lines & TIOCM_CTS) == 0) {
    // A stop signal is the driver's to report, not a missing CTS.
    if (receivedStopSignal != 0) {
      return true;
    }
    if (lineClock.nowMs() >= deadline) {
      errorLine("no CTS on '%s': scope switched off, or a cable without RTS/CTS (try --flow=none)",
                settings.device);
      return false;
    }
    pauseOneMs();
    if (lineControl.modemLines(settings.serialFd, &lines) != 0) {
      return true; // the exchange will find out what happened to the line
    }
  }
  return true;
}

namespace {

// Drops what still waits in the port's output queue. Only a queue that holds
// bytes (or cannot be asked) is flushed: a pseudo-terminal has no queue, and
// a flush there would take bytes the other end simply has not read yet.
void discardQueuedOutput(int fd) {
  int queued = 0;
  if (lineControl.outputQueued(fd, &queued) != 0 || queued > 0) {
    lineControl.flush(fd, TCOFLUSH);
  }
}

} // namespace

void finishLine() {
  int fd = settings.serialFd;
  int64_t deadline = lineClock.nowMs() + waitMs(RECEIVE_SLACK_MS, 10);
  int queued = 0;
  bool sent = true;
  // The last byte may still be in the UART when the queue is empty; a
  // restore at another speed would garble it.
  while (lineControl.outputQueued(fd, &queued) == 0 && lineClock.nowMs() < deadline &&
         (queued > 0 || (lineControl.transmitterEmpty(fd, &sent) == 0 && !sent))) {
    pauseOneMs();
  }
  discardQueuedOutput(fd);
  restoreLine();
  closeSerialLine();
}

void abandonLine() {
  discardQueuedOutput(settings.serialFd);
  restoreLine();
  closeSerialLine();
}

void closeSerialLine() {
  forgetPending();
  close(settings.serialFd);
  settings.serialFd = -1;
  lost = false;
}

void sendByte(int c) {
  if (receivedStopSignal != 0) {
    return;
  }
  unsigned char byte = static_cast<unsigned char>(c);
  flowStartUs = -1; // what comes now is the reply, however long the last one was
  if (write(settings.serialFd, &byte, 1) != 1) {
    fprintf(stderr, "\n*** error, unable to send byte ***\n\n");
  }
}

namespace {

// The line is quiet or gone, or a stop signal came: nothing more to read.
bool receiveOver() { return receivedStopSignal != 0 || lost; }

// The pause before the next read while input flows, for a receive that
// waits `silence` ms for its byte; `steady` when it may grow (a receive),
// not while a drain waits for quiet.
long gatherPauseUs(int silence, bool steady) {
  int hookDue = runWaitHook();
  long pauseUs = FIRST_GATHER_US;
  if (steady) {
    long characterUs = BITS_PER_CHARACTER * 1000000L / lineRate();
    // Capped, so that a 32-bit long holds it however long the flow.
    long flowedUs =
        flowStartUs < 0
            ? 0
            : static_cast<long>(std::min<int64_t>(lineClock.nowUs() - flowStartUs, 1000000000));
    long holdUs = 1000L * (hookDue >= 0 ? std::min<long>(hookDue, FLUSH_HOLD_MS) : HOLD_MS);
    long shortest = std::max(pauseUs, std::min(2 * characterUs, flowedUs));
    pauseUs = std::clamp(flowedUs / FLOW_PER_PAUSE, shortest,
                         std::max(shortest, std::min(holdUs, INPUT_ROOM * characterUs)));
  }
  // The hook gets its turn on time, after pauses made equal so that none is
  // too short to find input; the pause never outlasts the silence.
  if (hookDue >= 0) {
    long dueUs = hookDue * 1000L;
    pauseUs = dueUs / std::max(1L, (dueUs + pauseUs - 1) / pauseUs);
  }
  return std::min(pauseUs, silence * 1000L);
}

// While input flows, the line is given time to gather more before it is
// read again: one sleep and one read. A read that finds nothing leaves the
// rest to a poll, which also tells a hung-up line from a quiet one (a
// hung-up pty reads 0 bytes like a quiet line). True with a byte in `byte`.
bool gatherFlowingInput(int silence, bool steady, int &byte) {
  // A read that brought all the room a pause may fill came late, or faster
  // than the line's speed (an unpaced pty): more waits, so read again at once.
  if (pending.end < INPUT_ROOM) {
    lineClock.sleepUs(gatherPauseUs(silence, steady));
  }
  return receivedStopSignal == 0 && takeByte(byte);
}

// Waits for input up to `deadline`, giving the wait hook its turns; the next
// byte, or -1 at the deadline, on a stop signal or when the line is lost.
int pollUntil(int64_t deadline) {
  int byte = -1;
  for (;;) {
    if (receiveOver()) {
      return -1;
    }
    int64_t remaining = std::max<int64_t>(deadline - lineClock.nowMs(), 0);
    int hookDue = runWaitHook();
    int64_t timeout = hookDue >= 0 && hookDue < remaining ? hookDue : remaining;
    pollfd line{settings.serialFd, POLLIN, 0};
    int ready = lineClock.poll(&line, 1, static_cast<int>(timeout));
    if (ready < 0 && errno == EINTR && receivedStopSignal == 0 && remaining > 0) {
      continue;
    }
    if (ready == 0 && timeout < remaining) {
      continue; // the hook's turn, not the end of the wait
    }
    if (ready <= 0 || receivedStopSignal != 0) {
      return -1;
    }
    if (takeByte(byte)) {
      return byte;
    }
    // Woken with nothing to read: wait on for the rest of the silence,
    // unless the line has hung up.
    if (pollSaysLineLost(line.revents)) {
      lost = true;
    }
  }
}

// The next byte, or -1 after `silence` ms without one: first what was read
// ahead, then what gathers while input flows (or else waits on the line),
// then whatever comes before the deadline.
int receiveWithin(int silence, bool steady) {
  if (receiveOver()) {
    return -1;
  }
  int byte = -1;
  bool flowing = inputFlowing();
  if (!flowing && takeByte(byte)) {
    return byte;
  }
  int64_t deadline = lineClock.nowMs() + silence;
  if (flowing && gatherFlowingInput(silence, steady, byte)) {
    return byte;
  }
  return pollUntil(deadline);
}

} // namespace

int receiveByte() { return receiveWithin(silenceMs(RECEIVE_SLACK_MS), true); }

int64_t lineDeadlineMs(int slackMs, int characters) {
  return lineClock.nowMs() + waitMs(slackMs, characters);
}

int receiveBy(int64_t deadlineMs) {
  int byte = -1;
  if (receiveOver()) {
    return -1;
  }
  return takeByte(byte) ? byte : pollUntil(deadlineMs);
}

int receiveBeforeSilence() { return receiveWithin(silenceMs(DRAIN_SLACK_MS), false); }

bool inputArrived() { return receivedStopSignal == 0 && !lost && fillPending(); }

int receiveBeforeGuard() {
  int byte = -1;
  if (receiveOver()) {
    return -1;
  }
  if (takeByte(byte)) {
    return byte;
  }
  int64_t guardUs = std::max<int64_t>(GUARD_MS * 1000L, BITS_PER_CHARACTER * 1000000L / lineRate());
  int64_t leftUs = lastInputUs + guardUs - lineClock.nowUs();
  // Polls wait in whole milliseconds: the guard is never cut short.
  return leftUs > 0 ? pollUntil(lineClock.nowMs() + (leftUs + 999) / 1000) : -1;
}

bool drainInput() {
  int silence = silenceMs(DRAIN_SLACK_MS);
  int64_t deadline = lineClock.nowMs() + DRAIN_LIMIT_MS;
  while (receiveWithin(silence, false) >= 0) {
    if (lineClock.nowMs() >= deadline) {
      return false;
    }
  }
  return true;
}

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = recordStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0; // no SA_RESTART: a waiting poll must return at once
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

int stopSignal() { return receivedStopSignal; }

void clearStopSignal() { receivedStopSignal = 0; }

void setWaitHook(WaitHook hook) { waitHook = hook; }

bool lineLost() { return lost; }
