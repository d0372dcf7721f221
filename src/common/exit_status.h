// Exit statuses of a run; scripts rely on these numbers, and the README
// lists the same table.
#pragma once

enum ExitStatus {
  EXIT_OK = 0,
  EXIT_NOT_CONNECTED = 1,        // the scope did not answer, or CTS stayed low
  EXIT_BAD_SETTINGS = 3,         // settings check, configuration file, memory, a
                                 // speed the port refused
  EXIT_NO_OUTPUT_FILE = 4,       // no output file named
  EXIT_CANNOT_CREATE_OUTPUT = 5, // output file cannot be created
  EXIT_WRITE_FAILED = 6,         // the data file could not be written
  EXIT_SIGNAL_BASE = 128,        // plus the signal number, e.g. 130 for SIGINT
};
