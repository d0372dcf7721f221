// The SI prefixes from yocto to yotta: the letters the command line reads
// after a number (-t, -y) and the engineering notation writes.
#pragma once

// Powers of 1000 the table reaches on either side of 1.
inline constexpr int SI_PREFIX_MAX_POWER = 8;

struct SiPrefix {
  const char *letter; // "" for 1; micro's "u" is read but never written
  double factor;      // the nearest double to its power of 1000
};

// Ordered by power, yocto first.
inline constexpr SiPrefix SI_PREFIXES[2 * SI_PREFIX_MAX_POWER + 1] = {
    {"y", 1e-24}, {"z", 1e-21}, {"a", 1e-18}, {"f", 1e-15}, {"p", 1e-12}, {"n", 1e-9},
    {"u", 1e-6},  {"m", 1e-3},  {"", 1.0},    {"k", 1e3},   {"M", 1e6},   {"G", 1e9},
    {"T", 1e12},  {"P", 1e15},  {"E", 1e18},  {"Z", 1e21},  {"Y", 1e24},
};

// The prefix of 1000 to the power `power`, -8 to 8.
constexpr const SiPrefix &siPrefix(int power) { return SI_PREFIXES[power + SI_PREFIX_MAX_POWER]; }

inline constexpr int MICRO_POWER = -2;

// Micro in the data file: the byte 0xB5 (ISO 8859-1).
inline constexpr char MICRO_LATIN1[] = "\xB5";

// Micro as UTF-8, for texts meant for a terminal or a log rather than the
// data file.
inline constexpr char MICRO_UTF8[] = "\xC2\xB5";

// Micro as it is read besides "u": the byte 0xB5 or, as a UTF-8 terminal
// types it, the micro sign C2 B5 or the Greek mu CE BC.
inline constexpr const char *MICRO_SIGNS[] = {MICRO_LATIN1, MICRO_UTF8, "\xCE\xBC"};
