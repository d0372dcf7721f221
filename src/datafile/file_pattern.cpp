#include "datafile/file_pattern.h"

#include <limits.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// strftime of the `length` characters at `part` into `out`; false when the
// expansion does not fit. A leading character of our own tells an empty
// expansion from one that did not fit, which strftime reports alike.
bool expand(const char *part, size_t length, const tm &local, char (&out)[PATH_MAX]) {
  char format[PATH_MAX + 1];
  if (length + 2 > sizeof format) {
    return false;
  }
  format[0] = 'x';
  memcpy(format + 1, part, length);
  format[length + 1] = '\0';
  char expanded[PATH_MAX + 1];
  size_t got = strftime(expanded, sizeof expanded, format, &local);
  if (got == 0) {
    return false;
  }
  memcpy(out, expanded + 1, got); // with its terminating null
  return true;
}

} // namespace

int seriesFileName(const char *pattern, time_t start, int previous, char *name, size_t size) {
  tm local{};
  localtime_r(&start, &local);
  const char *slash = strrchr(pattern, '/');
  const char *component = slash != nullptr ? slash + 1 : pattern;
  const char *run = strchr(component, '#');
  const char *split = nullptr; // where the number goes
  const char *rest = nullptr;  // the pattern after the number
  const char *lead = "";
  int width = 0;
  if (run != nullptr) {
    split = run;
    width = static_cast<int>(strspn(run, "#"));
    rest = run + width;
  } else {
    const char *dot = strrchr(component, '.');
    split = dot != nullptr && dot != component ? dot : component + strlen(component);
    rest = split;
    lead = "-";
    width = 4;
  }
  char before[PATH_MAX];
  char after[PATH_MAX];
  if (!expand(pattern, static_cast<size_t>(split - pattern), local, before) ||
      !expand(rest, strlen(rest), local, after)) {
    return -1;
  }
  if (previous == INT_MAX) {
    return -1;
  }
  for (int number = previous > 0 ? previous + 1 : 1;; ++number) {
    int length = snprintf(name, size, "%s%s%0*d%s", before, lead, width, number, after);
    if (length < 0 || static_cast<size_t>(length) >= size) {
      return -1;
    }
    struct stat node {};
    if (lstat(name, &node) != 0) {
      return number;
    }
    if (number == INT_MAX) {
      return -1;
    }
  }
}
