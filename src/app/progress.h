// A sign of life during a long dump: one line on standard error, rewritten in
// place, with the samples received so far and the rate.
//
// It is shown only when standard error is a terminal; a file or a pipe gets
// nothing, so scripts see exactly the messages they always saw. The line is
// rewritten at most ten times a second, never before the dump has run for
// 100 ms, and is blanked out again before the run prints anything else.
#pragma once

#include <cstdio>

// Starts counting at the moment the scope begins its dump.
void progressStart();

// Shows the line again for a later dump of the same capture, the rate still
// counted from the first one's start.
void progressContinue();

// What the line names before its count ("capture 3 of 10"); nullptr for
// nothing, as for a single capture.
void progressSetLabel(const char *label);

// While a series waits for its next capture: `text` in place of the count,
// at most ten times a second, on a terminal only. progressFinish blanks it.
void progressShow(const char *text);

// Shows `samples` received so far when 100 ms have passed since the last time.
void progressUpdate(int samples);

// Blanks the line and puts the cursor back at its start; nothing when no line
// was shown.
void progressFinish();

// At the end of a finished capture, on a terminal only, in place of the
// progress line: how many samples went into `fileName`.
void progressSummary(int samples, const char *fileName);

// The same on any stream and at a given time since the start, for the tests.
void progressStartOn(FILE *stream);
void progressUpdateAt(int samples, double seconds);
