#include "scope/scope_protocol.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/error_line.h"
#include "scope/serial_line.h"

namespace {

// The status query and its three-character reply, and a USB adapter's
// latency timer with room to spare.
constexpr int PROBE_CHARACTERS = 4;
constexpr int PROBE_SLACK_MS = 50;

// The last reply came whole and well-formed, and was the last thing the
// scope owed: nothing stale can follow it.
bool replyWhole = false;

// Sends `command` and reports whether the scope echoed it; the caller has
// drained the line.
bool echoed(char command) {
  sendByte(command);
  return receiveByte() == command;
}

// The drain before a command. After a whole reply it waits only for a short
// guard of quiet after the reply's last byte; a byte 0x80 or above ends the
// guard as it ends any drain. Anything else that comes, and any doubt, means
// a wait for quiet. False when the line never fell silent.
bool drainBeforeCommand() {
  bool whole = replyWhole;
  replyWhole = false;
  if (whole) {
    int stray = receiveBeforeGuard();
    if (stray < 0) {
      return true;
    }
  }
  return drainInput();
}

// The drain before "0" and "e". Their replies are taken for nothing, and the
// next capture starts with a wait for quiet: after a whole reply these only
// discard what has already arrived, and wait for quiet only when something
// had.
bool drainBeforeClosing() {
  bool settled = replyWhole && !inputArrived();
  replyWhole = false;
  return settled || drainInput();
}

// A pair of hex digits as readHexByte reads it; `lineFeed` tells whether a
// line feed stood in place of the first digit.
int readHexPair(bool &lineFeed) {
  int first = readHexDigit();
  lineFeed = first == 0;
  if (first <= 0) {
    return HEX_FIRST_DIGIT_MISSING;
  }
  int second = readHexDigit();
  if (second <= 0) {
    return HEX_SECOND_DIGIT_MISSING;
  }
  return hexDigitValue(first) * 16 + hexDigitValue(second);
}

} // namespace

void expectStaleInput() { replyWhole = false; }

int hexDigitValue(int c) {
  if (c <= '9') {
    return c - '0';
  }
  return toupper(c) - 55;
}

int readHexDigit() {
  int c = receiveByte();
  if (c == '\n') {
    return 0;
  }
  if (c >= 0 && isxdigit(c)) {
    return c;
  }
  return -1;
}

int readHexByte() {
  bool lineFeed = false;
  return readHexPair(lineFeed);
}

int selectChannel(int ch) {
  if (ch < 0 || ch > 2) {
    return PROTOCOL_NO_SUCH_CHANNEL;
  }
  if (!drainBeforeCommand()) {
    return PROTOCOL_NEVER_SILENT;
  }
  if (!echoed(static_cast<char>('0' + ch))) {
    return channelNotEchoed(ch);
  }
  replyWhole = true;
  return 0;
}

int readStatus() {
  if (!drainBeforeCommand()) {
    return PROTOCOL_NEVER_SILENT;
  }
  if (!echoed('s')) {
    return PROTOCOL_NO_ECHO;
  }
  int status = readHexByte();
  if (status < 0) {
    // The line's own form, without a space before its end.
    fprintf(stderr, "*** Error: invalid Status (%d)***\n", status);
    noteErrorText("invalid Status (" + std::to_string(status) + ")");
    return PROTOCOL_BAD_STATUS;
  }
  replyWhole = true;
  return status;
}

bool statusAnswersPromptly() {
  replyWhole = false;
  if (!drainInput()) {
    return false;
  }
  sendByte('s');
  int64_t deadline = lineDeadlineMs(PROBE_SLACK_MS, PROBE_CHARACTERS);
  if (receiveBy(deadline) != 's') {
    return false;
  }
  for (int digit = 0; digit < 2; ++digit) {
    int c = receiveBy(deadline);
    if (c < 0 || !isxdigit(c)) {
      return false;
    }
  }
  replyWhole = true;
  return true;
}

int dumpWaveform(const SampleSink &sink) {
  // Once the scope has answered its status, a drain that gives up is no
  // reason to give up the dump.
  drainBeforeCommand();
  if (!echoed('d')) {
    return PROTOCOL_NO_ECHO;
  }
  sink.begin();
  int index = 0;
  bool lineFeed = false;
  for (int raw = readHexPair(lineFeed); raw >= 0; raw = readHexPair(lineFeed)) {
    sink.sample(index, raw);
    ++index;
  }
  replyWhole = lineFeed;
  return index;
}

void endExchange() {
  drainBeforeClosing();
  sendByte('0');
  // The echo of "0" is all the scope owes; the drain before "e" ends as soon
  // as it has come. Silence, or a byte of 0x80 or above, ends a drain as ever.
  int reply = receiveBeforeSilence();
  if (reply == '0') {
    replyWhole = true;
    drainBeforeClosing();
  } else if (reply >= 0) {
    drainInput();
  }
  sendByte('e');
  // Whatever comes after "e" belongs to no reply: the next exchange starts
  // with a wait for quiet.
  replyWhole = false;
}
