// Engineering notation for the human-readable header lines of the data file.
//
// A value is printed with three decimals and an SI prefix letter, the same
// letters the command line accepts (micro as the single byte 0xB5, never "u",
// in the data file; as UTF-8 in texts for a terminal), followed directly by a
// unit text. The decade search and the scaling run in x87 extended precision
// starting from the exact double; the mantissa becomes a double only when it
// is printed. That is why the double nearest 1e-6, which
// lies just below 1e-6, prints as "1000.000n" rather than "1.000u".
#pragma once

#include <cfloat>
#include <cstdio>

#include "common/extended.h"
#include "common/si_prefix.h"

// What decadeOf gives for an infinite value: one decade above the largest
// finite double, so that it lies beyond every prefix and the caller never
// loops trying to scale it.
inline constexpr int DECADE_OF_INFINITY = DBL_MAX_10_EXP + 1;

// Writes `value` in engineering form and then `unitText` (nullptr counts as
// ""). Magnitudes beyond the prefix tables, and infinities, use "%e".
// Returns the characters written, or a negative number when a write failed.
int printScaled(FILE *stream, double value, const char *unitText);

// Room for the longest text formatScaled writes before its unit text.
inline constexpr size_t SCALED_NUMBER_SIZE = 32;

// What printScaled writes for `value`, without the unit text, into `text`
// (snprintf's rules), with `microText` for the micro prefix. Returns
// snprintf's result.
int formatScaled(char *text, size_t size, double value, const char *microText);

// The decimal exponent of |x|, found by repeated division or multiplication
// by ten in extended precision. Zero, subnormals, DBL_MIN itself and NaN give
// 0; an infinity gives DECADE_OF_INFINITY.
int decadeOf(double x);

// 10 to the power n, by n multiplications (or |n| divisions) in extended
// precision.
Extended tenToThe(int n);

// The two steps written once for any type with the x87's operations, so that
// the software type can be checked against the hardware on exactly these
// sequences; decadeOf and tenToThe are their Extended instances.
template <typename Number> int decadeOfIn(double x) {
  Number a = absOf(Number(x));
  // Written as a negated comparison so that NaN lands here too.
  if (!(a > Number(DBL_MIN))) {
    return 0;
  }
  if (isInfinite(a)) {
    return DECADE_OF_INFINITY;
  }
  int decade = 0;
  if (a >= Number(10)) {
    while (a >= Number(10)) {
      a /= Number(10);
      ++decade;
    }
    return decade;
  }
  while (a < Number(1)) {
    a *= Number(10);
    --decade;
  }
  return decade;
}

template <typename Number> Number tenToTheIn(int n) {
  Number result = 1;
  for (int i = 0; i < n; ++i) {
    result *= Number(10);
  }
  for (int i = 0; i > n; --i) {
    result /= Number(10);
  }
  return result;
}
