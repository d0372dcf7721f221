#include "sim/instrument.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <string>

static const int RUN_END_SILENCE_MS = 300;
// Longest wait without looking at `stopRequested`, should a signal slip in
// just before a poll.
static const int STOP_CHECK_MS = 250;

struct Scope {
  const SimOptions &options;
  SimLine &line;
  const std::vector<uint8_t> *records;
  int channel;
  // The tool's captures, counted from the scope's start whatever the runs:
  // a capture starts with the first command, or with a channel selection
  // right after an "e" (not with the dump that a not-ready scope is asked
  // for after its "0" and "e").
  long capture = 1;
  bool afterEnd = false;
  long captureSamples = 0; // sent in the dumps of this capture
  long captureDumps = 0;   // "d" commands received in this capture
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

// The dump's characters, sent a chunk at a time.
struct DumpOut {
  SimLine &line;
  char chunk[512];
  size_t used = 0;

  bool put(char c) {
    chunk[used++] = c;
    return used < sizeof chunk || flush();
  }
  bool flush() {
    bool sent = sendReply(line, chunk, used);
    used = 0;
    return sent;
  }
};

// A byte that ends the tool's reading of a dump: anything but a hex digit.
static char noiseByte(uint64_t &state) {
  for (;;) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    int c = static_cast<int>(state >> 56);
    if (!isxdigit(c)) {
      return static_cast<char>(c);
    }
  }
}

// The power fails: the process ends at once and the kernel closes the
// master, which hangs the tool's side of the line up.
[[noreturn]] static void vanish() {
  kill(getpid(), SIGKILL);
  _exit(1);
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
  DumpOut out{scope.line, {}, 0};
  uint64_t noiseState = (scope.options.shape.seed + 1) * 0x9E3779B97F4A7C15ull | 1;
  long sent = 0;
  bool dying = faults.dieInCapture == scope.capture;
  if (faults.dieAfter == 0 || (dying && scope.captureSamples >= faults.dieInCaptureAfter)) {
    vanish();
  }
  do {
    for (size_t i = 0; i < whole; ++i) {
      if (!out.put(HEX_DIGITS[record[i] >> 4]) || !out.put(HEX_DIGITS[record[i] & 0xF])) {
        return false;
      }
      ++sent;
      ++scope.captureSamples;
      if (sent == faults.dieAfter || (dying && scope.captureSamples == faults.dieInCaptureAfter)) {
        out.flush();
        vanish();
      }
      if (faults.noiseEvery > 0 && sent % faults.noiseEvery == 0 &&
          !out.put(noiseByte(noiseState))) {
        return false;
      }
    }
  } while (faults.endless && whole > 0);
  if (faults.dumpCut >= 0) {
    // Half a pair and then nothing, as if the scope stopped mid-sample.
    out.put(whole < record.size() ? HEX_DIGITS[record[whole] >> 4] : '0');
  } else {
    out.put(faults.dumpB5 ? '\xB5' : '\n');
  }
  return out.flush();
}

// Talks without pause and never listens; what the tool sends is only logged.
// Unpaced, so that the tool always finds input waiting, however late this
// process gets the CPU.
static void chatter(Scope &scope, int logFd) {
  static const char STREAM[] = "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~";
  while (!stopRequested) {
    pollfd line{scope.line.fd, POLLIN | POLLOUT, 0};
    poll(&line, 1, STOP_CHECK_MS);
    char bytes[256];
    ssize_t count = read(scope.line.fd, bytes, sizeof bytes);
    if (count > 0) {
      appendToLog(logFd, bytes, static_cast<size_t>(count));
    } else if (peerClosed(scope.line, count)) {
      return;
    }
    // As much as the line takes; a full line is no reason to stop listening.
    if (write(scope.line.fd, STREAM, sizeof STREAM - 1) < 0 && errno != EAGAIN) {
      poll(nullptr, 0, STOP_CHECK_MS);
    }
  }
}

// False when a reply was cut short by a stop request or a gone tool.
static bool answer(Scope &scope, char command) {
  const SimFaults &faults = scope.options.faults;
  bool selection = command == '0' || command == '1' || command == '2';
  if (scope.afterEnd && selection) {
    ++scope.capture;
    scope.captureSamples = 0;
    scope.captureDumps = 0;
  }
  scope.afterEnd = command == 'e';
  scope.captureDumps += command == 'd';
  bool refusedDump = command == 'd' && scope.captureDumps == faults.ignoredDump;
  if (faults.silent || refusedDump || faults.ignored.find(command) != std::string::npos) {
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

void serveRuns(const SimOptions &options, SimLine &line, const std::vector<uint8_t> records[2],
               int logFd) {
  using Clock = std::chrono::steady_clock;
  Scope scope{options, line, records, options.panelChannel};
  if (options.faults.chatter) {
    chatter(scope, logFd);
    return;
  }
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
        // What the tool left unread must not greet the next run.
        discardToolInput(line);
        if (++runsDone == options.runs) {
          return;
        }
        continue;
      }
      timeoutMs = left.count() < timeoutMs ? static_cast<int>(left.count()) + 1 : timeoutMs;
    }
    pollfd readable{line.fd, POLLIN, 0};
    if (poll(&readable, 1, timeoutMs) <= 0) {
      continue; // timeout or signal
    }
    char bytes[256];
    ssize_t count = read(line.fd, bytes, sizeof bytes);
    if (count <= 0) {
      if (peerClosed(line, count)) {
        return;
      }
      if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
        continue;
      }
      // Nothing to read yet the master is not quiet; wait rather than spin.
      poll(nullptr, 0, 100);
      continue;
    }
    std::string heard = heardByScope(line, bytes, static_cast<size_t>(count));
    appendToLog(logFd, heard.data(), heard.size());
    for (size_t i = 0; i < heard.size() && !stopRequested; ++i) {
      endSeen = heard[i] == 'e';
      if (endSeen) {
        endAt = Clock::now();
      }
      answer(scope, heard[i]);
    }
  }
}
