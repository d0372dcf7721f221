#include "datafile/eng_format.h"

#include <cmath>

namespace {

constexpr int MAX_PREFIX = 8;

// Indexed by the number of factors of 1000; entry 0 has no letter. Micro is
// the caller's choice.
constexpr const char *LARGE_PREFIX[MAX_PREFIX + 1] = {"", "k", "M", "G", "T", "P", "E", "Z", "Y"};
constexpr const char *SMALL_PREFIX[MAX_PREFIX + 1] = {"", "m", "", "n", "p", "f", "a", "z", "y"};
constexpr int MICRO = 2;

} // namespace

int decadeOf(double x) { return decadeOfIn<Extended>(x); }

Extended tenToThe(int n) { return tenToTheIn<Extended>(n); }

int formatScaled(char *text, size_t size, double value, const char *microText) {
  if (std::isinf(value)) {
    return snprintf(text, size, "%e", value);
  }
  int e = decadeOf(value);
  if (e >= 0) {
    int k = e / 3;
    if (k > MAX_PREFIX) {
      return snprintf(text, size, "%e", value);
    }
    Extended m = Extended(value) / tenToThe(3 * k);
    return snprintf(text, size, "%3.3f%s", static_cast<double>(m), LARGE_PREFIX[k]);
  }
  int n = -e;
  int k = (n + 2) / 3;
  if (k > MAX_PREFIX) {
    return snprintf(text, size, "%e", value);
  }
  Extended m = Extended(value) * tenToThe(3 * k);
  return snprintf(text, size, "%3.3f%s", static_cast<double>(m),
                  k == MICRO ? microText : SMALL_PREFIX[k]);
}

int printScaled(FILE *stream, double value, const char *unitText) {
  char number[SCALED_NUMBER_SIZE];
  if (formatScaled(number, sizeof number, value, "\xB5") < 0) {
    return -1;
  }
  return fprintf(stream, "%s%s", number, unitText != nullptr ? unitText : "");
}
