// One capture: the exchange with the scope from selecting the channel to the
// end of the exchange, with the data file it fills.
//
// The line must be open, raw and clear to send; the capture never sets it up
// or restores it, so that several captures can share one set-up. Every end,
// normal, early or by a stop signal, goes through one cleanup path that
// writes the run's message, closes the data file (kept once the capture has
// started, removed when this run created it and it never did) and returns
// the exit status. A stop signal sends no further command.
//
// Every capture starts from a checked record of its own: the global record
// becomes a copy of it, which the capture may write (the channel the scope
// reports for -c 0). What the capture learns goes into its result, so that a
// series starts each capture from the same checked settings.
#pragma once

#include <cstdint>
#include <string>

#include "datafile/measure.h"
#include "settings/settings.h"

struct CaptureResult {
  int status = 0; // EXIT_OK and friends, as returned
  int channelCount = 0;
  // Each column's channel, for -c 0 the one the scope reported; 0 while the
  // scope has not been asked.
  int32_t channels[MAX_CHANNELS] = {};
  // Each dump's samples; -1 where the dump was refused or never asked for.
  int samples[MAX_CHANNELS] = {-1, -1};
  int rows = -1;         // sample rows written; -1 when a dump was refused
  bool measured = false; // --measure, for a capture that ended well
  MeasuredValues measurements[MAX_CHANNELS];
  // In a series that goes on after failures: why this capture failed, its
  // first error line's text.
  std::string reason;
};

// Runs one capture from `checked` (its data file open in `outputFile`) and
// returns its exit status, which `result` holds too.
int captureWaveform(const Settings &checked, CaptureResult &result);

// Called for every sample as it arrives: its column and the samples of that
// column so far. For a server's progress; nullptr for none.
using SampleHook = void (*)(int column, int samples);
void setSampleHook(SampleHook hook);

// Whether the last capture sent its closing commands: the line may then let
// them leave before it is restored (finishLine); otherwise it is abandoned.
bool captureEndedExchange();

// A stop signal that came after the capture's end still ends the run: writes
// the stop line for what the capture left and returns 128 plus `sig`.
int reportStop(int sig);

// "*** Stopped by signal SIG: WHAT ***" on standard error, WHAT from `format`.
void writeStopLine(int sig, const char *format, ...) __attribute__((format(printf, 2, 3)));
