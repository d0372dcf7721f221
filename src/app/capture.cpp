#include "app/capture.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "app/progress.h"
#include "common/error_line.h"
#include "common/exit_status.h"
#include "datafile/data_file.h"
#include "datafile/measure.h"
#include "datafile/output_file.h"
#include "scope/scope_protocol.h"
#include "scope/serial_line.h"
#include "settings/settings.h"

namespace {

int samplesWritten = 0;  // complete sample lines handed to the data file
int samplesReceived = 0; // of every dump of the capture
bool exchangeEnded = false;
// With two channels the first one's raw samples wait here, a byte each, and
// become rows as the second one's arrive.
std::vector<unsigned char> held;
bool holding = false;
CaptureResult *result = nullptr; // of the capture in progress
int column = 0;                  // of the dump in progress
SampleHook sampleHook = nullptr;

// Why a capture ended; closeCapture turns each into its messages and status.
enum CaptureEnd {
  CAPTURE_DONE,          // the exchange ran to its end, "0" and "e" sent
  CAPTURE_SIGNALLED,     // a stop signal: nothing more goes to the scope
  CAPTURE_NEVER_SILENT,  // the scope kept sending before it was asked anything
  CAPTURE_NOT_CONNECTED, // no answer to the status query
  CAPTURE_LINE_LOST,     // the line hung up during the dump
};

// With the cause, as for the serial line: a full disk or a file-size limit
// is then told from a pulled card.
void writeFailedMessage() {
  errorLine("Cannot write output file '%s'", settings.outputName);
  int error = dataFileWriteError();
  fprintf(stderr, "qelvo: %s\n", strerror(error != 0 ? error : EIO));
}

void notConnectedMessage() {
  errorLine("Oszi not connected to '%s' or switched off", settings.device);
}

// The data file writer takes every row; the progress line on a terminal
// only counts the samples.
void beginSamples() {
  if (!holding) {
    writeColumnHeader();
  }
  // Both dumps of a capture count on one clock.
  if (samplesReceived == 0) {
    progressStart();
  } else {
    progressContinue();
  }
}

void takeSample(int index, int raw) {
  ++samplesReceived;
  if (holding) {
    held.push_back(static_cast<unsigned char>(raw));
  } else if (settings.channelCount < 2) {
    writeSampleLine(index, raw);
    samplesWritten = index + 1;
  } else if (static_cast<size_t>(index) < held.size()) {
    const int raws[] = {held[static_cast<size_t>(index)], raw};
    writeSampleRow(index, raws);
    samplesWritten = index + 1;
  }
  progressUpdate(samplesReceived);
  if (sampleHook != nullptr) {
    sampleHook(column, index + 1);
  }
}

// The channel of column `k`: that of -c (0 included) for one channel.
int channelOf(int k) {
  return settings.channelCount < 2 ? settings.channel : settings.scales[k].channel;
}

// The status query is the gate of each channel's dump. A scope that is not
// ready is told to end its exchange and then asked for its waveform all the
// same.
CaptureEnd askStatus(int k) {
  if (selectChannel(channelOf(k)) == PROTOCOL_NEVER_SILENT) {
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
  result->channels[k] = channelOf(k);
  return CAPTURE_DONE;
}

// The capture starts: only now may an earlier one in the file go.
void startCapture() {
  if (!startOutputFile(settings.outputFile)) {
    noteDataFileWriteFailure(errno);
  }
  writeHeader(time(nullptr));
}

// Rows written, or -1 when the scope refused a dump. Dumps of different
// length give as many rows as the shorter one has samples.
int rowsOf(const int *counts, int channels) {
  if (channels < 2 || counts[0] < 0 || counts[1] < 0) {
    return counts[channels - 1] < 0 ? -1 : counts[0];
  }
  int rows = counts[0] < counts[1] ? counts[0] : counts[1];
  if (counts[0] != counts[1]) {
    fprintf(stderr,
            "*** Warning: channel %d sent %d samples, channel %d sent %d: %d rows written ***\n",
            channelOf(0), counts[0], channelOf(1), counts[1], rows);
  }
  return rows;
}

// Each channel in turn: select, status, dump; then the end of the exchange.
// `samples` is the number of rows, or -1 when a dump was refused.
CaptureEnd exchange(int &samples) {
  int channels = settings.channelCount;
  int *counts = result->samples;
  for (int k = 0; k < channels; ++k) {
    CaptureEnd end = askStatus(k);
    if (end != CAPTURE_DONE) {
      return end;
    }
    if (k == 0) {
      startCapture();
    }
    holding = k + 1 < channels;
    column = k;
    counts[k] = dumpWaveform(SampleSink{beginSamples, takeSample});
    progressFinish();
    if (stopSignal() != 0) {
      return CAPTURE_SIGNALLED;
    }
    // What arrived before a hang-up stays in the file, but there is no one
    // left to send the closing commands to.
    if (lineLost()) {
      return CAPTURE_LINE_LOST;
    }
    if (counts[k] < 0) {
      fprintf(stderr, "*** Fehler beim Auslesen ***\n");
      channels = k + 1; // no further dump is asked for
    }
  }
  samples = rowsOf(counts, channels);
  endExchange();
  if (stopSignal() != 0) {
    return CAPTURE_SIGNALLED;
  }
  exchangeEnded = true;
  return CAPTURE_DONE;
}

// With --measure, one line per channel for a capture that ended well: on
// standard output, or on standard error when the data goes there.
void printMeasurements() {
  if (!settings.measure) {
    return;
  }
  FILE *stream = outputIsStandardOutput() ? stderr : stdout;
  for (int k = 0; k < settings.channelCount; ++k) {
    result->measurements[k] = measureValues(channelMeasurement(k));
    printMeasurementLine(stream, channelOf(k), result->measurements[k]);
  }
  result->measured = true;
  fflush(stream);
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
    errorLine("serial line '%s' never falls silent: is the scope still sending?", settings.device);
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
  if (stopSignal() == 0) {
    printMeasurements();
  }
  return EXIT_OK;
}

} // namespace

int captureWaveform(const Settings &checked, CaptureResult &captured) {
  settings = checked;
  captured = CaptureResult{};
  captured.channelCount = settings.channelCount;
  result = &captured;
  resetDataFile();
  // Whatever an earlier capture left on the line is waited out before the
  // first command.
  expectStaleInput();
  samplesWritten = 0;
  samplesReceived = 0;
  exchangeEnded = false;
  held.clear();
  int samples = -1;
  CaptureEnd end = exchange(samples);
  captured.rows = end == CAPTURE_DONE ? samples : samplesWritten;
  captured.status = withIncompleteNote(closeCapture(end, samples));
  result = nullptr;
  return captured.status;
}

void setSampleHook(SampleHook hook) { sampleHook = hook; }

bool captureEndedExchange() { return exchangeEnded; }

void writeStopLine(int sig, const char *format, ...) {
  std::va_list values;
  va_start(values, format);
  std::string what = formatText(format, values);
  va_end(values);
  fprintf(stderr, "*** Stopped by signal %d: %s ***\n", sig, what.c_str());
}

int reportStop(int sig) {
  progressFinish();
  if (outputFileStarted()) {
    writeStopLine(sig, "%d samples kept in '%s'", samplesWritten, settings.outputName);
  } else {
    writeStopLine(sig, "nothing captured");
  }
  return EXIT_SIGNAL_BASE + sig;
}
