// The virtual scope's end of the line, and its pacing.
//
// By default the scope owns a pseudo-terminal: it holds the master and the
// tool opens the slave by its path. The slave starts raw, and the scope keeps
// a descriptor of it open for its whole life: the tool sets hang-up on close,
// and its close must neither hang the line up nor leave the master at end of
// file for the next run.
//
// It may instead answer on a terminal that exists already (made raw, modem
// lines and flow control off, its attributes given back on close) or on one
// unix stream socket connection, which ends the scope's service when it
// closes. Only its own pty lets the scope see the tool's line speed and
// discard what the tool left unread.
//
// Replies are paced like a real line: 10 bits per character at the speed the
// tool set on the slave (read afresh when a reply starts) or at a fixed
// speed. Send times follow an absolute schedule, so a long dump takes the
// time it would on the wire and does not drift. Bytes reach the tool in
// groups spanning 2 ms, or one at a time, each when its stop bit is due.
// Waits end early when `stopRequested` is set by a signal.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/sim_options.h"

extern volatile sig_atomic_t stopRequested;

struct SimLine {
  LinkKind kind = LINK_OWN_PTY;
  int fd = -1;      // the scope's end: pty master, terminal or connection
  int toolEnd = -1; // own pty only: the slave, held open
  int listener = -1;
  std::string path; // what the tool (or its machine) opens
  termios foundTty{};
  PaceMode pace = PACE_AUTO;
  long paceBaud = 0;
  Delivery delivery = DELIVERY_GROUPS;
  long scopeSpeed = 0; // 0: the scope hears every speed
  Mismatch mismatch = MISMATCH_GARBAGE;
  // Schedule of the current reply: byte k since `originNs` leaves at
  // originNs + (k + 1) character times; baud 0 means unpaced.
  long baud = 0;
  int64_t originNs = 0;
  long sentSinceOrigin = 0;
};

// Opens the line `options` name: the own pair (slave raw), the terminal, the
// listening socket or the connection; `fd` is non-blocking. False (with
// errno set) when it cannot be had.
bool openSimLine(SimLine &line, const SimOptions &options);
// A listening socket waits for its one connection; other lines are ready.
// False when stopped or the accept fails.
bool awaitTool(SimLine &line);
// Gives a terminal back as it was found; removes a socket the scope bound.
void closeSimLine(SimLine &line);

// True when a read result means the connection is over (sockets only).
bool peerClosed(const SimLine &line, ssize_t readResult);

// A closed serial port receives nothing: what the tool left unread on the
// scope's own pty is discarded. Elsewhere it is out of the scope's reach.
void discardToolInput(SimLine &line);

// Bit/s of a termios speed code; 0 for B0 and codes not known.
long baudOfCode(speed_t code);
// The code of a speed in bit/s; B0 for one not known.
speed_t codeOfBaud(long baud);

// What a UART reading at `readBaud` decodes from `bytes` sent back to back
// at `sentBaud`, 8N1 on an idle line: a start bit it samples high is a false
// start, and a byte whose stop bit it samples low is kept, as a port without
// parity checks keeps it.
std::string misread(const char *bytes, size_t count, long sentBaud, long readBaud);

// What the scope hears of `bytes` from the tool: all of it, or with
// --scope-speed at another line speed misread or nothing.
std::string heardByScope(const SimLine &line, const char *bytes, size_t count);

// Starts a reply: takes the line speed and starts the schedule when the
// previous reply has left the line.
void beginReply(SimLine &line);

// Sends `count` bytes on the reply's schedule, however few the master takes
// at a time; with --scope-speed at another line speed, what the tool's UART
// would make of them, or nothing. False when stopped, or when the tool has read nothing for
// several seconds; then its unread input is discarded.
bool sendReply(SimLine &line, const char *bytes, size_t count);

// Holds the rest of the reply back by `ms` milliseconds.
bool pauseReply(SimLine &line, long ms);

// The symbolic link PATH to the slave; an existing symbolic link is replaced,
// anything else there is left alone and fails.
bool makeLink(const SimLine &line, const std::string &path);
// Removes PATH if it still points to the slave.
void removeLink(const SimLine &line, const std::string &path);
