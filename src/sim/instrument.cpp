#include "sim/instrument.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

static const int RUN_END_SILENCE_MS = 300;
// Longest wait without looking at `stopRequested`, should a signal slip in
// just before a poll.
static const int STOP_CHECK_MS = 250;

struct Scope {
  const SimOptions &options;
  SimLine &line;
  const std::vector<uint8_t> *records;
  int channel;
};

static const char HEX_DIGITS[] = "0123456789ABCDEF";

static bool echo(Scope &scope, char command) {
  beginReply(scope.line);
  return sendReply(scope.line, &command, 1);
}

static bool answerStatus(Scope &scope) {
  const SimFaults &faults = scope.options.faults;
  int status =
      (scope.channel == 1 ? STATUS_CHANNEL1 : 0) | (scope.options.notReady ? STATUS_NOT_READY : 0);
  char reply[3] = {'s', HEX_DIGITS[status >> 4], HEX_DIGITS[status & 0xF]};
  size_t length = faults.statusMissing ? 1 : faults.statusCut ? 2 : 3;
  beginReply(scope.line);
  return sendReply(scope.line, reply, length);
}

static bool answerDump(Scope &scope) {
  const SimFaults &faults = scope.options.faults;
  const std::vector<uint8_t> &record = scope.records[scope.channel - 1];
  if (!echo(scope, 'd')) {
    return false;
  }
  if (scope.options.delayMs > 0 && !pauseReply(scope.line, scope.options.delayMs)) {
    return false;
  }
  size_t whole = record.size();
  if (faults.dumpCut >= 0 && static_cast<size_t>(faults.dumpCut) < whole) {
    whole = static_cast<size_t>(faults.dumpCut);
  }
  char chunk[512];
  size_t used = 0;
  for (size_t i = 0; i < whole; ++i) {
    chunk[used++] = HEX_DIGITS[record[i] >> 4];
    chunk[used++] = HEX_DIGITS[record[i] & 0xF];
    if (used == sizeof chunk) {
      if (!sendReply(scope.line, chunk, used)) {
        return false;
      }
      used = 0;
    }
  }
  if (faults.dumpCut >= 0) {
    // Half a pair and then nothing, as if the scope stopped mid-sample.
    chunk[used++] = whole < record.size() ? HEX_DIGITS[record[whole] >> 4] : '0';
  } else {
    chunk[used++] = faults.dumpB5 ? '\xB5' : '\n';
  }
  return sendReply(scope.line, chunk, used);
}

// False when a reply was cut short by a stop request or a gone tool.
static bool answer(Scope &scope, char command) {
  const SimFaults &faults = scope.options.faults;
  if (faults.silent || faults.ignored.find(command) != std::string::npos) {
    return true;
  }
  switch (command) {
  case '0': scope.channel = scope.options.panelChannel; return echo(scope, command);
  case '1':
  case '2': scope.channel = command - '0'; return echo(scope, command);
  case 's': return answerStatus(scope);
  case 'd': return answerDump(scope);
  default: return true;
  }
}

static void appendToLog(int logFd, const char *bytes, size_t count) {
  while (logFd >= 0 && count > 0) {
    ssize_t written = write(logFd, bytes, count);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;
    }
    bytes += written;
    count -= static_cast<size_t>(written);
  }
}

void serveRuns(const SimOptions &options, SimLine &line, const std::vector<uint8_t> records[2],
               int logFd) {
  using Clock = std::chrono::steady_clock;
  Scope scope{options, line, records, options.panelChannel};
  long runsDone = 0;
  bool endSeen = false;
  Clock::time_point endAt{};
  while (!stopRequested) {
    int timeoutMs = STOP_CHECK_MS;
    if (endSeen) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          endAt + std::chrono::milliseconds(RUN_END_SILENCE_MS) - Clock::now());
      if (left.count() <= 0) {
        endSeen = false;
        scope.channel = options.panelChannel;
        // A closed serial port receives nothing: what the tool left unread
        // must not greet the next run.
        tcflush(line.slave, TCIFLUSH);
        if (++runsDone == options.runs) {
          return;
        }
        continue;
      }
      timeoutMs = left.count() < timeoutMs ? static_cast<int>(left.count()) + 1 : timeoutMs;
    }
    pollfd readable{line.master, POLLIN, 0};
    if (poll(&readable, 1, timeoutMs) <= 0) {
      continue; // timeout or signal
    }
    char bytes[256];
    ssize_t count = read(line.master, bytes, sizeof bytes);
    if (count <= 0) {
      if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
        continue;
      }
      // Nothing to read yet the master is not quiet; wait rather than spin.
      poll(nullptr, 0, 100);
      continue;
    }
    appendToLog(logFd, bytes, static_cast<size_t>(count));
    for (ssize_t i = 0; i < count && !stopRequested; ++i) {
      endSeen = bytes[i] == 'e';
      if (endSeen) {
        endAt = Clock::now();
      }
      answer(scope, bytes[i]);
    }
  }
}
