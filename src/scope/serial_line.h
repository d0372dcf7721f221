// The RS-232 line to the scope.
//
// The settings check opens the line (non-blocking, never as controlling
// terminal); the driver then saves its attributes and makes it raw with
// configureLine, and gives them back with restoreLine before it closes the
// line, on every path once the line is raw. Above this layer everything
// speaks in single bytes.
//
// A real port may refuse what configureLine asks for: a 16550 keeps its old
// speed when asked for more than its clock allows, and says so only when the
// attributes are read back. With RTS/CTS on, the driver holds every byte back
// while CTS is low; such bytes must never leave later, at another speed, once
// the line is restored. So the normal end lets the last command leave before
// it restores the line (finishLine), and every other end discards what is
// still queued (abandonLine).
//
// A receive waits with poll() for at most 100 ms plus two character times at
// the line speed, so that a byte the scope owes survives a busy host; a
// drain, run before a command on a normally quiet line, ends after 20 ms
// plus two character times of silence. The line is read a chunk at a time
// and served a byte at a time; what was read ahead is dropped with the line.
// While input flows, a receive that has used up what it read sleeps, then
// reads again, so that a line delivering single bytes costs a sleep and a
// read per pause, not a wake-up per byte. The pause starts at 4 ms after each
// command, so that a reply is not held up, and grows with the flow, to a
// thirtieth of how long it has lasted: during a long dump about 20 to 25
// wake-ups a second at any speed, bounded by the room in the kernel's input
// buffer and by the data file's promise to be current within 100 ms.
//
// Stop signals: once installStopHandlers has run, SIGINT, SIGTERM and SIGHUP
// only record the signal. From then on receiveByte reports silence and
// sendByte sends nothing, so the exchange winds down at the next byte; the
// driver sees stopSignal() and restores the line itself.
#pragma once

#include <termios.h>

#include <cstdint>

// Speed code (B50 ... B460800) for a rate in bit/s; 0 for any other rate.
speed_t baudCode(int32_t rate);

inline constexpr int SERIAL_OPEN_FAILED = -1;
inline constexpr int SERIAL_LINE_IN_USE = -2; // another process holds the lock

// Opens `settings.device`, which must be a terminal, takes an exclusive
// advisory lock on it and stores the descriptor in `settings.serialFd`;
// returns it, or one of the negative results above (then `serialFd` is -1).
int openSerialLine();

inline constexpr int LINE_READY = 0;
inline constexpr int LINE_SPEED_REFUSED = -1;

// Saves the attributes in `savedLine`, then sets 8N1, raw, at
// `settings.baudRate`, with RTS/CTS unless the flow setting is "none", and
// reads the attributes back. A port that kept another speed gets its message
// (none while the speed is probed) and LINE_SPEED_REFUSED; one that did not take 8 data bits or the
// handshake gets a warning, and the run goes on.
int configureLine();

// Sets the raw line to `settings.baudRate` as configureLine would, without
// saving the attributes again or writing anything; input read or queued so
// far is dropped. LINE_READY, or LINE_SPEED_REFUSED when the port kept
// another speed.
int changeLineSpeed();
void restoreLine();
void closeSerialLine();

// Whether the first command may go out: true at once without the handshake
// or on a port without modem lines (a pseudo-terminal); otherwise waits for
// CTS as long as receiveByte waits for a byte, and writes its message when
// CTS stays low.
bool clearToSend();

// The normal end: waits for the last command to leave the port (at most
// 100 ms plus ten character times), discards what is still queued, restores
// the attributes and closes the line.
void finishLine();

// Every other end: discards output still queued in the port, restores the
// attributes and closes the line, without waiting.
void abandonLine();

// Writes one byte; reports a failed write on standard error and carries on.
void sendByte(int c);

// The next byte as a signed char widened to int (0x80..0xFF come back
// negative), or -1 when none arrives in time.
int receiveByte();

// The monotonic time in ms when `slackMs` plus `characters` character times
// at the line speed will have passed.
int64_t lineDeadlineMs(int slackMs, int characters);

// The next byte as receiveByte gives it, or -1 once `deadlineMs` has passed.
int receiveBy(int64_t deadlineMs);

// Discards pending input: ends at the first silence, a byte of 0x80 or
// above, or a stop signal (true), or gives up after 2 s of continuous input
// (false: the line never fell silent).
bool drainInput();

// One step of a drain: the next byte, or -1 after the silence that ends a
// drain. For a reply that a drain would otherwise discard.
int receiveBeforeSilence();

// After a whole reply: the next byte if one comes before the line has been
// quiet for a guard since the last byte read (the longer of 2 ms and one
// character time), else -1.
int receiveBeforeGuard();

// Whether input has arrived and waits to be read (false once the line is
// lost or a stop signal came); never waits.
bool inputArrived();

void installStopHandlers();

// True once a receive found the line gone (hang-up, I/O error) rather than
// quiet; from then on receiveByte returns -1 at once, until the line is
// closed.
bool lineLost();

// The stop signal received since installStopHandlers, or 0.
int stopSignal();

// Forgets a stop signal that ended one job, so that a server's next job
// runs; a run that ends on it never calls this.
void clearStopSignal();

// Called whenever a receive is about to wait for input, and again during a
// long wait when it asks to: it returns the milliseconds after which it wants
// its next call, or a negative value for none. It lets the layer above put
// its work in those pauses (the driver flushes the data file there).
using WaitHook = int (*)();
void setWaitHook(WaitHook hook);
