#include "app/series.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "app/capture.h"
#include "app/progress.h"
#include "common/error_line.h"
#include "common/exit_status.h"
#include "common/monotonic_clock.h"
#include "datafile/file_pattern.h"
#include "datafile/output_file.h"
#include "scope/serial_line.h"
#include "settings/settings.h"
#include "settings/settings_check.h"

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
// into `file`, and returns the capture's number. A file that cannot be
// created leaves `file` nullptr after its message; a result of 0 or less
// means the pattern names no further file (its message written too).
int openNextFile(const char *pattern, int previous, bool session, FILE *&file) {
  char name[PATH_MAX];
  int number = previous;
  file = nullptr;
  for (;;) {
    time_t start = time(nullptr);
    number = seriesFileName(pattern, start, number, name, sizeof name);
    if (number <= 0) {
      cannotOpenOutputMessage(pattern);
      return number;
    }
    file = session ? createSessionFile(name, pattern, number, start) : createOutputFile(name);
    fileName = name;
    if (file != nullptr) {
      return number;
    }
    // A file that appeared since its name was chosen: the next number.
    if (errno != EEXIST) {
      cannotOpenOutputMessage(name);
      return number;
    }
  }
}

// --keep-going: what the series has done so far.
struct Tally {
  int written = 0;
  int tried = 0;
  int lastFailure = EXIT_OK;
  bool waitingSaid = false; // for the device lost last
};

// A start while the lost line's device is missing is tried again this much
// later at the soonest, so that --interval=0 does not spin.
constexpr int64_t MISSING_RETRY_MS = 500;

// The device is not there (yet): an unplugged adapter's node is gone, or a
// link points nowhere; a node left behind has no hardware behind it.
bool missingDeviceError(int error) {
  return error == ENOENT || error == ENOTDIR || error == ENXIO || error == ENODEV || error == EIO;
}

inline constexpr int LINE_BACK = 0;
inline constexpr int LINE_MISSING = -1;

// Opens and sets up the line again, as the start of a run does: LINE_BACK,
// LINE_MISSING while its device is not there, or the status of a failure
// (its messages written).
int reopenLine() {
  struct stat node {};
  if (stat(settings.device, &node) != 0 && missingDeviceError(errno)) {
    return LINE_MISSING;
  }
  int opened = openSerialLine();
  if (opened < 0) {
    int openError = errno;
    if (missingDeviceError(openError)) {
      return LINE_MISSING;
    }
    // The messages and the status a run's start has for it.
    reportOpenedLine(opened, openError);
    return EXIT_BAD_SETTINGS;
  }
  if (configureLine() != LINE_READY) {
    abandonLine();
    return EXIT_BAD_SETTINGS;
  }
  if (!clearToSend()) {
    abandonLine();
    return EXIT_NOT_CONNECTED;
  }
  return LINE_BACK;
}

// The failure line of capture `number` (file `name`), named by its first
// error line, which `result` keeps, then the observer's turn; a line that
// hung up is given back, to be opened again at the next start.
void captureFailed(Tally &tally, int number, const char *name, CaptureResult &result,
                   CaptureObserver observer) {
  result.reason = firstErrorText();
  if (result.reason.empty()) {
    result.reason = "exit status " + std::to_string(result.status);
  }
  fprintf(stderr, "%s: capture %d failed: %s\n", shownProgramName(), number, result.reason.c_str());
  tally.lastFailure = result.status;
  if (settings.serialFd >= 0 && lineLost()) {
    abandonLine();
    tally.waitingSaid = false;
  }
  if (observer != nullptr) {
    observer(number, name, result);
  }
}

void setLabel(int i, int count) {
  if (count > 0) {
    snprintf(label, sizeof label, "capture %d of %d", i, count);
  } else {
    snprintf(label, sizeof label, "capture %d", i);
  }
  progressSetLabel(label);
}

} // namespace

int runSeries(CaptureObserver observer) {
  // Every capture starts from the record as the check left it, never from
  // what an earlier capture learnt (the channel the scope reported, say).
  const Settings checked = settings;
  const char *pattern = checked.outputName;
  const bool keepGoing = checked.keepGoing;
  const bool session = checked.format == FORMAT_SR;
  int number = 0;
  Tally tally;
  int64_t startMs = monotonicMs();
  int64_t intervalMs = static_cast<int64_t>(checked.interval * 1000.0 + 0.5);
  for (int starts = 0; checked.count == 0 || tally.tried < checked.count; ++starts) {
    const int i = tally.tried + 1;
    if (starts > 0) {
      int64_t pauseMs = intervalMs;
      if (settings.serialFd < 0 && pauseMs < MISSING_RETRY_MS) {
        pauseMs = MISSING_RETRY_MS;
      }
      if (!waitForStart(startMs + pauseMs, i, checked.count)) {
        writeStopLine(stopSignal(), "%d captures written", tally.written);
        return EXIT_SIGNAL_BASE + stopSignal();
      }
      // Missed starts are never caught up in a burst.
      int64_t now = monotonicMs();
      startMs = startMs + pauseMs > now ? startMs + pauseMs : now;
    }
    forgetErrorText();
    Settings job = checked;
    CaptureResult result;
    int lineStatus = LINE_BACK;
    if (settings.serialFd < 0) {
      lineStatus = reopenLine();
      if (lineStatus == LINE_MISSING) {
        if (!tally.waitingSaid) {
          fprintf(stderr, "%s: waiting for '%s' to return\n", shownProgramName(), checked.device);
          tally.waitingSaid = true;
        }
        continue;
      }
    }
    ++tally.tried;
    if (lineStatus != LINE_BACK) {
      // No file for a capture without a line: only its number is taken.
      char name[PATH_MAX];
      number = seriesFileName(pattern, time(nullptr), number, name, sizeof name);
      if (number <= 0) {
        cannotOpenOutputMessage(pattern);
        return EXIT_CANNOT_CREATE_OUTPUT;
      }
      result.status = lineStatus;
      captureFailed(tally, number, name, result, observer);
      continue;
    }
    // A line opened again has a descriptor of its own.
    job.serialFd = settings.serialFd;
    number = openNextFile(pattern, number, session, job.outputFile);
    if (number <= 0) {
      return EXIT_CANNOT_CREATE_OUTPUT;
    }
    job.outputName = fileName.c_str();
    if (job.outputFile == nullptr) {
      if (!keepGoing) {
        return EXIT_CANNOT_CREATE_OUTPUT;
      }
      result.status = EXIT_CANNOT_CREATE_OUTPUT;
      captureFailed(tally, number, job.outputName, result, observer);
      continue;
    }
    setLabel(i, checked.count);
    int status = captureWaveform(job, result);
    // A session file that found its name taken went to the next number.
    if (session) {
      number = sessionFileNumber();
      fileName = sessionFileName();
      job.outputName = fileName.c_str();
    }
    if (status != EXIT_OK && keepGoing && stopSignal() == 0) {
      captureFailed(tally, number, job.outputName, result, observer);
      continue;
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
    ++tally.written;
  }
  if (keepGoing) {
    fprintf(stderr, "%s: %d of %d captures written\n", shownProgramName(), tally.written,
            tally.tried);
    return tally.written == tally.tried ? EXIT_OK : tally.lastFailure;
  }
  return EXIT_OK;
}
