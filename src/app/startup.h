// The first steps of a run: program name, banner and number precision.
#pragma once

#include <cstdio>

// The part of `argv0` after its last "/" (all of it when there is none).
const char *baseNameOf(const char *argv0);

// The two-line banner on standard output.
void printBanner();
void printBannerTo(FILE *stream);

// Reads FLOAT_PRECISION into `settings.precision`; an unset variable keeps
// the current value, and zero, negative or non-numeric text gives 10.
void applyFloatPrecision();

// Start-up, the steps before the line is touched: program name, banner,
// --help and --version, precision, configuration file, command line (which
// opens the data file) and the settings check. Returns only when the run may
// go on; every fault found here ends the process with its status.
void startUp(int argc, char *argv[]);
