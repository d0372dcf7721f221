// A series of captures on one line set up once: --count captures, each
// started --interval seconds after the one before (or at once when that
// moment has passed), each into a new file named by the file operand as a
// pattern. No file is ever overwritten.
#pragma once

// Runs the series and returns the run's exit status: that of the first
// capture that did not end well, 128 plus a stop signal's number when one
// comes while waiting, else EXIT_OK.
//
// `observer`, when given, learns of each capture as it ends, well or not:
// its number, its file's name and its result.
struct CaptureResult;
using CaptureObserver = void (*)(int number, const char *fileName, const CaptureResult &result);
int runSeries(CaptureObserver observer = nullptr);
