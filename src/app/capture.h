// One capture: the exchange with the scope from selecting the channel to the
// end of the exchange, with the data file it fills.
//
// The line must be open, raw and clear to send; the capture never sets it up
// or restores it, so that several captures can share one set-up. Every end,
// normal, early or by a stop signal, goes through one cleanup path that
// writes the run's message, closes the data file (kept once the capture has
// started, removed when this run created it and it never did) and returns
// the exit status. A stop signal sends no further command.
#pragma once

// Runs the capture and returns its exit status (EXIT_OK and friends).
int captureWaveform();

// In a series, the number of the next capture, the number in its file's
// name; 0 for a single capture.
void setCaptureNumber(int number);

// Whether the last capture sent its closing commands: the line may then let
// them leave before it is restored (finishLine); otherwise it is abandoned.
bool captureEndedExchange();

// A stop signal that came after the capture's end still ends the run: writes
// the stop line for what the capture left and returns 128 plus `sig`.
int reportStop(int sig);
