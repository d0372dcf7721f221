#include "datafile/eng_format.h"

#include <cmath>

namespace {

constexpr int MAX_PREFIX = 8;

// Indexed by the number of factors of 1000; entry 0 has no letter.
constexpr unsigned char LARGE_PREFIX[MAX_PREFIX + 1] = {0, 'k', 'M', 'G', 'T', 'P', 'E', 'Z', 'Y'};
constexpr unsigned char SMALL_PREFIX[MAX_PREFIX + 1] = {0, 'm', 0xB5, 'n', 'p', 'f', 'a', 'z', 'y'};

} // namespace

int decadeOf(double x) { return decadeOfIn<Extended>(x); }

Extended tenToThe(int n) { return tenToTheIn<Extended>(n); }

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
    Extended m = Extended(value) / tenToThe(3 * k);
    number = k == 0 ? fprintf(stream, "%3.3f", static_cast<double>(m))
                    : fprintf(stream, "%3.3f%c", static_cast<double>(m), LARGE_PREFIX[k]);
  } else {
    int n = -e;
    int k = (n + 2) / 3;
    if (k > MAX_PREFIX) {
      return fprintf(stream, "%e%s", value, unitText);
    }
    Extended m = Extended(value) * tenToThe(3 * k);
    number = fprintf(stream, "%3.3f%c", static_cast<double>(m), SMALL_PREFIX[k]);
  }
  int unit = fprintf(stream, "%s", unitText);
  return number < 0 || unit < 0 ? -1 : number + unit;
}
