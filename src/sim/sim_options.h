// Command line of the virtual scope.
//
// Options fill one `SimOptions` record; nothing is opened here. A bad option
// gets a one-line message on standard error and status 2, --help the usage
// text on standard output and status 0.
#pragma once

#include <string>

#include "sim/waveform.h"

enum PaceMode { PACE_AUTO, PACE_FIXED, PACE_NONE };

// Where the scope answers: its own pseudo-terminal, a terminal that already
// exists (a serial port cabled to the tool's, or a pty another program made),
// or a unix stream socket it listens on or connects to (a virtual machine's
// serial port, for instance).
enum LinkKind { LINK_OWN_PTY, LINK_TTY, LINK_LISTEN, LINK_CONNECT };

// How paced bytes reach the line: in groups of at least 2 ms, like a USB
// adapter's latency timer, or one at a time, like an on-board UART.
enum Delivery { DELIVERY_GROUPS, DELIVERY_BYTES };

// What the scope hears at a line speed other than its own: what a UART
// decodes from bits of another length, or nothing at all.
enum Mismatch { MISMATCH_GARBAGE, MISMATCH_SILENT };

// Misbehaviour on request, to show and test how the tool copes.
struct SimFaults {
  bool silent = false;        // read everything, answer nothing
  std::string ignored;        // command bytes taken as never received
  long ignoredDump = 0;       // the same for this "d" of each capture only; 0: off
  bool statusMissing = false; // "s" echoed without its pair
  bool statusCut = false;     // "s" echoed with the first digit only
  long dumpCut = -1;          // samples before a lone digit ends the dump; -1: off
  bool dumpB5 = false;        // 0xB5 instead of the closing line feed
  long dieAfter = -1;         // samples before the scope vanishes; -1: off
  long dieInCapture = -1;     // the capture in which it vanishes instead; -1: off
  long dieInCaptureAfter = 0; // samples of that capture's dumps before it does
  long noiseEvery = 0;        // a byte that is no hex digit after every N samples
  bool endless = false;       // the dump repeats the record without end
  bool chatter = false;       // sends without pause, answers nothing
};

struct SimOptions {
  LinkKind link = LINK_OWN_PTY;
  std::string linkTarget; // terminal or socket path; empty for LINK_OWN_PTY
  std::string linkPath;
  std::string logPath;
  long runs = 0; // 0: serve until a signal
  int panelChannel = 1;
  bool notReady = false;
  WaveKind waves[2] = {WAVE_SINE, WAVE_SQUARE};
  WaveShape shape;
  long recordSamples[2] = {-1, -1}; // per channel; -1: shape.samples
  int printChannel = 0;             // 1 or 2: print that record and exit
  PaceMode pace = PACE_AUTO;
  long paceBaud = 0; // PACE_FIXED only
  Delivery delivery = DELIVERY_GROUPS;
  long delayMs = 0;
  long scopeSpeed = 0; // the speed in the scope's menu; 0: whatever the tool sets
  Mismatch mismatch = MISMATCH_GARBAGE;
  SimFaults faults;
};

enum OptionsResult { OPTIONS_RUN, OPTIONS_HELP_SHOWN, OPTIONS_BAD };

OptionsResult parseSimOptions(int argc, char *argv[], SimOptions &options);
