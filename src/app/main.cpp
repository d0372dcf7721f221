// Entry point and the one fixed sequence of a run: start-up, settings, scope
// exchange, data file, teardown. One invocation fetches one waveform.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "app/progress.h"
#include "app/startup.h"
#include "common/exit_status.h"
#include "datafile/data_file.h"
#include "scope/scope_protocol.h"
#include "scope/serial_line.h"
#include "settings/command_line.h"
#include "settings/config_file.h"
#include "settings/output_file.h"
#include "settings/settings.h"
#include "settings/settings_check.h"

namespace {

int samplesWritten = 0; // complete sample lines handed to the data file

// Flushes and closes the data file; false when any of it was not written.
bool closeDataFile() {
  FILE *file = settings.outputFile;
  settings.outputFile = nullptr;
  bool written = fflush(file) == 0 && ferror(file) == 0 && !dataFileWriteFailed();
  return fclose(file) == 0 && written;
}

// Says what a stop signal leaves behind, then ends with 128 plus the signal.
[[noreturn]] void endBySignal(int sig) {
  progressFinish();
  if (outputFileStarted()) {
    fprintf(stderr, "*** Stopped by signal %d: %d samples kept in '%s' ***\n", sig, samplesWritten,
            settings.outputName);
  } else {
    fprintf(stderr, "*** Stopped by signal %d: nothing captured ***\n", sig);
  }
  exit(EXIT_SIGNAL_BASE + sig);
}

// After a stop signal no further command goes out: keep what was captured
// and give the line its attributes back.
void stopIfSignalled() {
  int sig = stopSignal();
  if (sig == 0) {
    return;
  }
  closeDataFile();
  abandonLine();
  endBySignal(sig);
}

// A drain before the status query gave up: the scope is still sending (the
// rest of an interrupted dump, say), so there is no point asking it anything.
void stopIfNeverSilent(int result) {
  if (result != PROTOCOL_NEVER_SILENT) {
    return;
  }
  fprintf(stderr,
          "*** Error: serial line '%s' never falls silent: is the scope still sending? ***\n",
          settings.device);
  abandonLine();
  exit(EXIT_NOT_CONNECTED);
}

// The line went away during the dump (scope switched off, adapter pulled):
// what arrived stays in the file, but the capture is cut short and there is
// no one left to send the closing commands to.
void stopIfLineLost() {
  if (!lineLost()) {
    return;
  }
  fprintf(stderr, "*** Error: Oszi not connected to '%s' or switched off ***\n", settings.device);
  bool written = closeDataFile();
  abandonLine();
  if (!written) {
    fprintf(stderr, "*** Error: Cannot write output file '%s' ***\n", settings.outputName);
    exit(EXIT_WRITE_FAILED);
  }
  exit(EXIT_NOT_CONNECTED);
}

// The data file writer takes every sample; the progress line on a terminal
// only counts them.
void beginSamples() {
  writeColumnHeader();
  progressStart();
}

void takeSample(int index, int raw) {
  writeSampleLine(index, raw);
  samplesWritten = index + 1;
  progressUpdate(samplesWritten);
}

} // namespace

int main(int argc, char *argv[]) {
  settings.programName = baseNameOf(argv[0]);
  printBanner();
  handleInfoOptions(argc, argv);
  applyFloatPrecision();
  loadConfig();
  readCommandLine(argc, argv);
  if (checkSettings() > 0) {
    printHelp();
    exit(EXIT_BAD_SETTINGS);
  }

  installStopHandlers();
  // A FIFO or pipe whose reader goes away must not kill the run with the line
  // still raw: the write fails instead, and the run ends with status 6.
  signal(SIGPIPE, SIG_IGN);
  // The data file is brought up to date whenever the tool waits for the scope.
  setWaitHook(flushDataFileWhenDue);
  if (configureLine() != LINE_READY) {
    abandonLine();
    exit(EXIT_BAD_SETTINGS);
  }
  if (!clearToSend()) {
    abandonLine();
    exit(EXIT_NOT_CONNECTED);
  }
  stopIfNeverSilent(selectChannel(settings.channel));
  int status = readStatus();
  stopIfSignalled();
  stopIfNeverSilent(status);
  if (status < 0) {
    fprintf(stderr, "*** Error: Oszi not connected to '%s' or switched off ***\n", settings.device);
    abandonLine();
    exit(EXIT_NOT_CONNECTED);
  }
  if ((status & STATUS_NOT_READY) != 0) {
    fprintf(stderr, "*** Oszi ist nicht bereit: \n");
    fprintf(stderr, "\t-> Speicherbetrieb\n");
    fprintf(stderr, "\t-> Single Shot\n");
    endExchange();
    stopIfSignalled();
  }
  if (settings.channel == 0) {
    settings.channel = (status & STATUS_CHANNEL1) != 0 ? 1 : 2;
  }

  // The capture starts: only now may an earlier one in the file go.
  if (!startOutputFile(settings.outputFile)) {
    noteDataFileWriteFailure();
  }
  writeHeader(time(nullptr));
  int samples = dumpWaveform(SampleSink{beginSamples, takeSample});
  progressFinish();
  stopIfSignalled();
  stopIfLineLost();
  if (samples < 0) {
    fprintf(stderr, "*** Fehler beim Auslesen ***\n");
  }
  endExchange();
  stopIfSignalled();
  finishLine();

  if (!closeDataFile()) {
    fprintf(stderr, "*** Error: Cannot write output file '%s' ***\n", settings.outputName);
    exit(EXIT_WRITE_FAILED);
  }
  // A stop signal that came after the line was restored still counts.
  if (stopSignal() != 0) {
    endBySignal(stopSignal());
  }
  if (samples >= 0) {
    progressSummary(samples, settings.outputName);
  }
  return EXIT_OK;
}
