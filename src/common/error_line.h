// The run's error lines, "*** Error: TEXT ***" on standard error.
//
// A series that goes on after a failed capture names the failure by the
// first error line the capture wrote, so each such line is written here and
// its TEXT kept until the next forgetErrorText().
#pragma once

#include <cstdarg>
#include <string>

// The text printf makes of `format` and `values`.
std::string formatText(const char *format, std::va_list values);

// Writes "*** Error: TEXT ***" with TEXT from `format`, keeping TEXT as the
// first one when none is kept yet.
void errorLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Keeps `text` as the first error text when none is kept yet, for an error
// line written in a form of its own.
void noteErrorText(const std::string &text);

// The first error text since forgetErrorText(); empty when there was none.
const std::string &firstErrorText();
void forgetErrorText();
