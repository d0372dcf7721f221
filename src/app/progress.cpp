#include "app/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "settings/settings.h"

namespace {

constexpr double UPDATE_INTERVAL = 0.1; // seconds between two updates

FILE *progressStream = nullptr; // nullptr: nothing is shown
timespec startTime{};
double lastShown = 0.0; // seconds since the start of the last update
size_t shownWidth = 0;  // characters on the line now
// A line as wide as the terminal would wrap, and the carriage return would
// then go back to the start of its last row only.
size_t maxWidth = 119;
const char *label = nullptr; // names the capture of a series

double secondsSinceStart() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - startTime.tv_sec) +
         static_cast<double>(now.tv_nsec - startTime.tv_nsec) * 1e-9;
}

// One write for the whole line, so that it never shows half updated.
void writeLine(const char *text, size_t width) {
  char line[160];
  size_t length = strlen(text);
  size_t padded = width > length ? width : length;
  if (padded + 1 > sizeof line) {
    return;
  }
  line[0] = '\r';
  memcpy(line + 1, text, length);
  // Blanks over whatever a longer earlier text left behind.
  memset(line + 1 + length, ' ', padded - length);
  fwrite(line, 1, padded + 1, progressStream);
  fflush(progressStream);
}

} // namespace

void progressStartOn(FILE *stream) {
  progressStream = stream;
  maxWidth = 119;
  winsize size{};
  if (stream != nullptr && ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 1 &&
      size.ws_col <= maxWidth) {
    maxWidth = size.ws_col - 1u;
  }
  lastShown = 0.0;
  shownWidth = 0;
  clock_gettime(CLOCK_MONOTONIC, &startTime);
}

void progressStart() { progressStartOn(isatty(STDERR_FILENO) ? stderr : nullptr); }

void progressContinue() {
  timespec started = startTime;
  progressStart();
  startTime = started;
}

// Writes `text` over what the line showed, cut to the terminal's width.
static void showText(char *text) {
  if (strlen(text) > maxWidth) {
    text[maxWidth] = '\0';
  }
  writeLine(text, shownWidth);
  size_t width = strlen(text);
  shownWidth = width > shownWidth ? width : shownWidth;
}

void progressUpdateAt(int samples, double seconds) {
  if (progressStream == nullptr || seconds - lastShown < UPDATE_INTERVAL) {
    return;
  }
  lastShown = seconds;
  char text[160];
  snprintf(text, sizeof text, "%s: %s%s%d samples received, %.0f samples/s", shownProgramName(),
           label != nullptr ? label : "", label != nullptr ? ": " : "", samples, samples / seconds);
  showText(text);
}

void progressSetLabel(const char *text) { label = text; }

void progressShow(const char *text) {
  if (progressStream == nullptr) {
    progressStart();
    if (progressStream == nullptr) {
      return;
    }
  }
  double seconds = secondsSinceStart();
  if (shownWidth > 0 && seconds - lastShown < UPDATE_INTERVAL) {
    return;
  }
  lastShown = seconds;
  char line[160];
  snprintf(line, sizeof line, "%s: %s", shownProgramName(), text);
  showText(line);
}

void progressUpdate(int samples) {
  if (progressStream != nullptr) {
    progressUpdateAt(samples, secondsSinceStart());
  }
}

void progressFinish() {
  if (progressStream != nullptr && shownWidth > 0) {
    writeLine("", shownWidth);
    fputc('\r', progressStream);
    fflush(progressStream);
  }
  progressStream = nullptr;
  shownWidth = 0;
}

void progressSummary(int samples, const char *fileName) {
  if (isatty(STDERR_FILENO)) {
    fprintf(stderr, "%s: %d samples written to '%s'\n", shownProgramName(), samples, fileName);
  }
}
