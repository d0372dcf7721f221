#include "app/series.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "app/capture.h"
#include "app/progress.h"
#include "common/exit_status.h"
#include "common/monotonic_clock.h"
#include "datafile/file_pattern.h"
#include "datafile/output_file.h"
#include "scope/serial_line.h"
#include "settings/settings.h"

namespace {

std::string fileName; // of the capture in progress
char label[48];       // "capture 3 of 10" on the progress line

// Waits until `startMs` on the monotonic clock, counting down on a terminal;
// false when a stop signal came first.
bool waitForStart(int64_t startMs, int number, int count) {
  char text[80];
  for (int64_t left = startMs - monotonicMs(); left > 0; left = startMs - monotonicMs()) {
    if (stopSignal() != 0) {
      break;
    }
    if (count > 0) {
      snprintf(text, sizeof text, "capture %d of %d in %.1f s", number, count,
               static_cast<double>(left) / 1000.0);
    } else {
      snprintf(text, sizeof text, "capture %d in %.1f s", number,
               static_cast<double>(left) / 1000.0);
    }
    progressShow(text);
    int64_t step = left < 100 ? left : 100;
    timespec pause{0, static_cast<long>(step) * 1000000L};
    nanosleep(&pause, nullptr); // a stop signal ends it early
  }
  progressFinish();
  return stopSignal() == 0;
}

// Names and creates the file of the next capture after number `previous`
// into `file`; the capture's number, or 0 after the message of a file that
// cannot be created.
int openNextFile(const char *pattern, int previous, bool session, FILE *&file) {
  char name[PATH_MAX];
  int number = previous;
  for (;;) {
    time_t start = time(nullptr);
    number = seriesFileName(pattern, start, number, name, sizeof name);
    if (number <= 0) {
      file = nullptr;
    } else {
      file = session ? createSessionFile(name, pattern, number, start) : createOutputFile(name);
    }
    if (file != nullptr) {
      break;
    }
    // A file that appeared since its name was chosen: the next number.
    if (number <= 0 || errno != EEXIST) {
      cannotOpenOutputMessage(number > 0 ? name : pattern);
      return 0;
    }
  }
  fileName = name;
  return number;
}

} // namespace

int runSeries(CaptureObserver observer) {
  // Every capture starts from the record as the check left it, never from
  // what an earlier capture learnt (the channel the scope reported, say).
  const Settings checked = settings;
  const char *pattern = checked.outputName;
  int number = 0;
  int written = 0;
  int64_t startMs = monotonicMs();
  int64_t intervalMs = static_cast<int64_t>(checked.interval * 1000.0 + 0.5);
  for (int i = 1; checked.count == 0 || i <= checked.count; ++i) {
    if (i > 1) {
      if (!waitForStart(startMs + intervalMs, i, checked.count)) {
        writeStopLine(stopSignal(), "%d captures written", written);
        return EXIT_SIGNAL_BASE + stopSignal();
      }
      // Missed starts are never caught up in a burst.
      int64_t now = monotonicMs();
      startMs = startMs + intervalMs > now ? startMs + intervalMs : now;
    }
    Settings job = checked;
    bool session = checked.format == FORMAT_SR;
    number = openNextFile(pattern, number, session, job.outputFile);
    if (number == 0) {
      return EXIT_CANNOT_CREATE_OUTPUT;
    }
    job.outputName = fileName.c_str();
    if (checked.count > 0) {
      snprintf(label, sizeof label, "capture %d of %d", i, checked.count);
    } else {
      snprintf(label, sizeof label, "capture %d", i);
    }
    progressSetLabel(label);
    CaptureResult result;
    int status = captureWaveform(job, result);
    // A session file that found its name taken went to the next number.
    if (session) {
      number = sessionFileNumber();
      fileName = sessionFileName();
      job.outputName = fileName.c_str();
    }
    if (observer != nullptr) {
      observer(number, job.outputName, result);
    }
    if (status != EXIT_OK) {
      return result.status;
    }
    // Logs and scripts learn of each capture that ended well.
    if (!isatty(STDERR_FILENO)) {
      fprintf(stderr, "%s: capture %d: %d samples written to '%s'\n", shownProgramName(), number,
              result.rows > 0 ? result.rows : 0, job.outputName);
    }
    ++written;
  }
  return EXIT_OK;
}
