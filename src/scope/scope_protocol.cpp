#include "scope/scope_protocol.h"

#include <cctype>
#include <cstdio>

#include "scope/serial_line.h"

namespace {

// Sends `command` and reports whether the scope echoed it; the caller has
// drained the line.
bool echoed(char command) {
  sendByte(command);
  return receiveByte() == command;
}

} // namespace

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
  int first = readHexDigit();
  if (first <= 0) {
    return -1;
  }
  int second = readHexDigit();
  if (second <= 0) {
    return -2;
  }
  return hexDigitValue(first) * 16 + hexDigitValue(second);
}

int selectChannel(int ch) {
  if (ch < 0 || ch > 2) {
    return -3;
  }
  if (!drainInput()) {
    return PROTOCOL_NEVER_SILENT;
  }
  return echoed(static_cast<char>('0' + ch)) ? 0 : -1 - ch;
}

int readStatus() {
  if (!drainInput()) {
    return PROTOCOL_NEVER_SILENT;
  }
  if (!echoed('s')) {
    return -1;
  }
  int status = readHexByte();
  if (status < 0) {
    fprintf(stderr, "*** Error: invalid Status (%d)***\n", status);
    return -2;
  }
  return status;
}

int dumpWaveform(const SampleSink &sink) {
  // Once the scope has answered its status, a drain that gives up is no
  // reason to give up the dump.
  drainInput();
  if (!echoed('d')) {
    return -1;
  }
  sink.begin();
  int index = 0;
  for (int raw = readHexByte(); raw >= 0; raw = readHexByte()) {
    sink.sample(index, raw);
    ++index;
  }
  return index;
}

void endExchange() {
  drainInput();
  sendByte('0');
  drainInput();
  sendByte('e');
}
