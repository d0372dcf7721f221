#include "datafile/eng_format.h"

#include <cmath>
#include <limits>

// The printed digits depend on every rounding step having a 64-bit
// significand; a platform without the x87 extended format would print
// different texts for values near a power of ten.
static_assert(std::numeric_limits<long double>::digits == 64,
              "long double must be the x87 extended format (64-bit significand)");

namespace {

constexpr int MAX_PREFIX = 8;

// Indexed by the number of factors of 1000; entry 0 has no letter.
constexpr unsigned char LARGE_PREFIX[MAX_PREFIX + 1] = {0, 'k', 'M', 'G', 'T', 'P', 'E', 'Z', 'Y'};
constexpr unsigned char SMALL_PREFIX[MAX_PREFIX + 1] = {0, 'm', 0xB5, 'n', 'p', 'f', 'a', 'z', 'y'};

} // namespace

int decadeOf(double x) {
  long double a = std::fabs(static_cast<long double>(x));
  // Written as a negated comparison so that NaN lands here too.
  if (!(a > DBL_MIN)) {
    return 0;
  }
  if (std::isinf(a)) {
    return DECADE_OF_INFINITY;
  }
  int decade = 0;
  if (a >= 10) {
    while (a >= 10) {
      a /= 10;
      ++decade;
    }
    return decade;
  }
  while (a < 1) {
    a *= 10;
    --decade;
  }
  return decade;
}

long double tenToThe(int n) {
  long double result = 1;
  for (int i = 0; i < n; ++i) {
    result *= 10;
  }
  for (int i = 0; i > n; --i) {
    result /= 10;
  }
  return result;
}

int printScaled(FILE *stream, double value, const char *unitText) {
  if (unitText == nullptr) {
    unitText = "";
  }
  if (std::isinf(value)) {
    return fprintf(stream, "%e%s", value, unitText);
  }
  int e = decadeOf(value);
  int number = 0;
  if (e >= 0) {
    int k = e / 3;
    if (k > MAX_PREFIX) {
      return fprintf(stream, "%e%s", value, unitText);
    }
    long double m = value / tenToThe(3 * k);
    number = k == 0 ? fprintf(stream, "%3.3f", static_cast<double>(m))
                    : fprintf(stream, "%3.3f%c", static_cast<double>(m), LARGE_PREFIX[k]);
  } else {
    int n = -e;
    int k = (n + 2) / 3;
    if (k > MAX_PREFIX) {
      return fprintf(stream, "%e%s", value, unitText);
    }
    long double m = value * tenToThe(3 * k);
    number = fprintf(stream, "%3.3f%c", static_cast<double>(m), SMALL_PREFIX[k]);
  }
  int unit = fprintf(stream, "%s", unitText);
  return number < 0 || unit < 0 ? -1 : number + unit;
}
