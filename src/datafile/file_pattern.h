// The names of a series' data files.
//
// A series writes every capture to a file of its own, named from one
// pattern: strftime conversions are expanded with the local time at the
// capture's start, and the capture's number goes into the name. It goes in
// place of the first run of "#" in the last path component, zero-padded to
// the run's length (a wider number is written whole); without such a run it
// goes as "-" and four digits before the last suffix, the last "." of the last
// path component (a component whose only "." is its first character has no
// suffix, and then the number goes at the end).
//
// The "#" run and the suffix are found in the pattern itself, and the parts
// before and after the number are expanded apart: the number is never read
// as a conversion, nor a "#" of the run as a conversion's flag. A "%" that
// starts no conversion is copied as strftime copies it.
#pragma once

#include <cstddef>
#include <ctime>

// Writes into `name` (room for `size` bytes) the name of the capture that
// starts at `start` and follows the capture numbered `previous` (0 before the
// first): the first number above `previous` whose file does not exist (a
// dangling symbolic link exists). Returns that number, or -1 when the name
// does not fit in `size` or no number is left.
int seriesFileName(const char *pattern, time_t start, int previous, char *name, size_t size);
