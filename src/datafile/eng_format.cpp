#include "datafile/eng_format.h"

#include <cmath>

#include "common/si_prefix.h"

int decadeOf(double x) { return decadeOfIn<Extended>(x); }

Extended tenToThe(int n) { return tenToTheIn<Extended>(n); }

int formatScaled(char *text, size_t size, double value, const char *microText) {
  if (std::isinf(value)) {
    return snprintf(text, size, "%e", value);
  }
  int e = decadeOf(value);
  if (e >= 0) {
    int k = e / 3;
    if (k > SI_PREFIX_MAX_POWER) {
      return snprintf(text, size, "%e", value);
    }
    Extended m = Extended(value) / tenToThe(3 * k);
    return snprintf(text, size, "%3.3f%s", static_cast<double>(m), siPrefix(k).letter);
  }
  int n = -e;
  int k = (n + 2) / 3;
  if (k > SI_PREFIX_MAX_POWER) {
    return snprintf(text, size, "%e", value);
  }
  Extended m = Extended(value) * tenToThe(3 * k);
  return snprintf(text, size, "%3.3f%s", static_cast<double>(m),
                  -k == MICRO_POWER ? microText : siPrefix(-k).letter);
}

int printScaled(FILE *stream, double value, const char *unitText) {
  char number[SCALED_NUMBER_SIZE];
  if (formatScaled(number, sizeof number, value, MICRO_LATIN1) < 0) {
    return -1;
  }
  return fprintf(stream, "%s%s", number, unitText != nullptr ? unitText : "");
}
