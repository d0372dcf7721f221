// Whatever the line brings: the first byte picks the channel, the rest is
// what the scope sends, all of it waiting before the first command. Every
// command drains first, so a byte of 0x80 or above in the input marks where
// a drain stops and the next reply begins. After the input the scope's end
// is closed: a hung-up line answers at once, so a run costs no waiting.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "datafile/data_file.h"
#include "scope/scope_protocol.h"
#include "scope/serial_line.h"
#include "settings/settings.h"

namespace {

FILE *sink = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  stderr = fopen("/dev/null", "w");
  sink = fopen("/dev/null", "w");
  signal(SIGPIPE, SIG_IGN); // sending to a hung-up scope
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) {
    return 0;
  }
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
    return 0;
  }
  int scope = ends[1];
  fcntl(scope, F_SETFL, O_NONBLOCK);
  size_t sent = 1;
  while (sent < size) {
    ssize_t count = write(scope, data + sent, size - sent);
    if (count <= 0) {
      break; // the rest does not fit in the socket; the prefix is enough
    }
    sent += static_cast<size_t>(count);
  }
  close(scope);

  settings = Settings{};
  settings.serialFd = ends[0];
  fcntl(ends[0], F_SETFL, O_NONBLOCK);
  settings.baudRate = 460800;
  settings.outputFile = sink;
  settings.channel = data[0] % 3;

  selectChannel(settings.channel);
  int status = readStatus();
  if (settings.channel == 0) {
    settings.channel = status >= 0 && (status & STATUS_CHANNEL1) == 0 ? 2 : 1;
  }
  int samples = dumpWaveform(SampleSink{writeColumnHeader, writeSampleLine});
  endExchange();
  if (samples > static_cast<int>(size / 2)) {
    abort(); // every sample needs two digits
  }

  closeSerialLine();
  return 0;
}
