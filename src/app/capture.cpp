#include "app/capture.h"

#include <cstdio>
#include <ctime>

#include "app/progress.h"
#include "common/exit_status.h"
#include "datafile/data_file.h"
#include "datafile/output_file.h"
#include "scope/scope_protocol.h"
#include "scope/serial_line.h"
#include "settings/settings.h"

namespace {

int samplesWritten = 0; // complete sample lines handed to the data file
bool exchangeEnded = false;

// Why a capture ended; endCapture turns each into its messages and status.
enum CaptureEnd {
  CAPTURE_DONE,          // the exchange ran to its end, "0" and "e" sent
  CAPTURE_SIGNALLED,     // a stop signal: nothing more goes to the scope
  CAPTURE_NEVER_SILENT,  // the scope kept sending before it was asked anything
  CAPTURE_NOT_CONNECTED, // no answer to the status query
  CAPTURE_LINE_LOST,     // the line hung up during the dump
};

void writeFailedMessage() {
  fprintf(stderr, "*** Error: Cannot write output file '%s' ***\n", settings.outputName);
}

void notConnectedMessage() {
  fprintf(stderr, "*** Error: Oszi not connected to '%s' or switched off ***\n", settings.device);
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

// The status query is the gate of the exchange. A scope that is not ready is
// told to end its exchange and then asked for its waveform all the same.
CaptureEnd askStatus() {
  if (selectChannel(settings.channel) == PROTOCOL_NEVER_SILENT) {
    return CAPTURE_NEVER_SILENT;
  }
  int status = readStatus();
  if (stopSignal() != 0) {
    return CAPTURE_SIGNALLED;
  }
  if (status == PROTOCOL_NEVER_SILENT) {
    return CAPTURE_NEVER_SILENT;
  }
  if (status < 0) {
    return CAPTURE_NOT_CONNECTED;
  }
  if ((status & STATUS_NOT_READY) != 0) {
    fprintf(stderr, "*** Oszi ist nicht bereit: \n");
    fprintf(stderr, "\t-> Speicherbetrieb\n");
    fprintf(stderr, "\t-> Single Shot\n");
    endExchange();
    if (stopSignal() != 0) {
      return CAPTURE_SIGNALLED;
    }
  }
  if (settings.channel == 0) {
    settings.channel = (status & STATUS_CHANNEL1) != 0 ? 1 : 2;
  }
  return CAPTURE_DONE;
}

// From the header to the end of the exchange; `samples` is the dump's result.
CaptureEnd dumpIntoFile(int &samples) {
  // The capture starts: only now may an earlier one in the file go.
  if (!startOutputFile(settings.outputFile)) {
    noteDataFileWriteFailure();
  }
  writeHeader(time(nullptr));
  samples = dumpWaveform(SampleSink{beginSamples, takeSample});
  progressFinish();
  if (stopSignal() != 0) {
    return CAPTURE_SIGNALLED;
  }
  // What arrived before a hang-up stays in the file, but there is no one
  // left to send the closing commands to.
  if (lineLost()) {
    return CAPTURE_LINE_LOST;
  }
  if (samples < 0) {
    fprintf(stderr, "*** Fehler beim Auslesen ***\n");
  }
  endExchange();
  if (stopSignal() != 0) {
    return CAPTURE_SIGNALLED;
  }
  exchangeEnded = true;
  return CAPTURE_DONE;
}

// Every run that ends with status 6, or with 1 once the header is written,
// says what its file holds.
int withIncompleteNote(int status) {
  if (status == EXIT_WRITE_FAILED || (status == EXIT_NOT_CONNECTED && outputFileStarted())) {
    fprintf(stderr, "*** Capture incomplete: %d samples kept in '%s' ***\n",
            outputFileSamplesKept(), settings.outputName);
  }
  return status;
}

// The one way out of a capture: its messages, the data file closed, and the
// exit status.
int closeCapture(CaptureEnd end, int samples) {
  switch (end) {
  case CAPTURE_SIGNALLED: closeOutputFile(); return reportStop(stopSignal());
  case CAPTURE_NEVER_SILENT:
    fprintf(stderr,
            "*** Error: serial line '%s' never falls silent: is the scope still sending? ***\n",
            settings.device);
    closeOutputFile();
    return EXIT_NOT_CONNECTED;
  case CAPTURE_NOT_CONNECTED:
    notConnectedMessage();
    closeOutputFile();
    return EXIT_NOT_CONNECTED;
  case CAPTURE_LINE_LOST:
    notConnectedMessage();
    if (!closeOutputFile()) {
      writeFailedMessage();
      return EXIT_WRITE_FAILED;
    }
    return EXIT_NOT_CONNECTED;
  case CAPTURE_DONE: break;
  }
  if (!closeOutputFile()) {
    writeFailedMessage();
    return EXIT_WRITE_FAILED;
  }
  if (samples >= 0 && stopSignal() == 0) {
    progressSummary(samples, settings.outputName);
  }
  return EXIT_OK;
}

} // namespace

int captureWaveform() {
  samplesWritten = 0;
  exchangeEnded = false;
  int samples = -1;
  CaptureEnd end = askStatus();
  if (end == CAPTURE_DONE) {
    end = dumpIntoFile(samples);
  }
  return withIncompleteNote(closeCapture(end, samples));
}

bool captureEndedExchange() { return exchangeEnded; }

int reportStop(int sig) {
  progressFinish();
  if (outputFileStarted()) {
    fprintf(stderr, "*** Stopped by signal %d: %d samples kept in '%s' ***\n", sig, samplesWritten,
            settings.outputName);
  } else {
    fprintf(stderr, "*** Stopped by signal %d: nothing captured ***\n", sig);
  }
  return EXIT_SIGNAL_BASE + sig;
}
