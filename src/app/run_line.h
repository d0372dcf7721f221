// The serial line around the captures of a run: set up once before them and
// given back once after them.
#pragma once

// Installs the stop handlers, makes the line raw at the chosen speed and
// waits for CTS; with -b auto then finds the scope's speed and says so.
// EXIT_OK when the first command may go out; otherwise the line is already
// given back and the result is the run's exit status (3 for a speed the
// port refused, 1 when CTS stayed low or no speed answered, 128 plus the
// signal when a stop signal ended the probe).
int setUpLine();

// Gives the line back after the last capture, whose exit status is
// `status`: lets the closing commands leave when the exchange was ended,
// discards them otherwise. A stop signal that came meanwhile still ends an
// otherwise good run. Returns the run's exit status.
int releaseLine(int status);
