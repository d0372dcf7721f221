// The session file of --format=sr: a zip that waveform viewers open.
//
// Its entries are "version" (the byte "2"), "metadata" (an INI text naming
// the rate and the channels, then the header's facts as "qelvo_" keys) and
// one "analog-1-N-1" per column N, the samples as little-endian float32
// volts. A zip is whole only at its end, so the samples are kept here and
// the archive is written in one go when the data file closes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "settings/settings.h"

// The rate the file names: `rate` in Hz rounded to a whole number, at least 1.
int64_t sessionSampleRate(double rate);

// The capture starts at `now` with the channels of `columns`: the metadata
// is fixed and the samples of an earlier capture are forgotten. Warns on
// standard error when the whole-Hz rate is more than 0.1 % off.
void sessionBegin(time_t now, const Settings *const *columns, int count);

// The metadata text of the capture begun last.
const std::string &sessionMetadata();

// One row: the volts of each column, as the text file would hold them.
void sessionAddRow(const double *volts, int count);

// Writes the archive of the rows so far to `out`; false when it could not be
// built or written.
bool writeSessionFile(FILE *out);
