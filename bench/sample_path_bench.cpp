// The per-sample path on its own: the conversion of one raw sample and the
// formatting of its line, exactly as the data file writer does them, into a
// stdio stream on /dev/null. The whole-capture benchmark compares the tool's
// unpaced rate with BM_WriteSampleLine.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "datafile/data_file.h"
#include "settings/settings.h"

namespace {

// Default calibration, channel 1, precision 10: what a capture without a
// configuration file uses.
bool openSink() {
  settings = Settings{};
  settings.channel = 1;
  settings.outputFile = fopen("/dev/null", "w");
  return settings.outputFile != nullptr;
}

void closeSink() {
  fclose(settings.outputFile);
  settings.outputFile = nullptr;
}

void BM_WriteSampleLine(benchmark::State &state) {
  if (!openSink()) {
    state.SkipWithError("cannot open /dev/null");
    return;
  }
  int index = 0;
  for (auto _ : state) {
    writeSampleLine(index, index & 0xFF);
    ++index;
  }
  state.SetItemsProcessed(state.iterations());
  closeSink();
}
BENCHMARK(BM_WriteSampleLine);

void BM_ConvertSample(benchmark::State &state) {
  settings = Settings{};
  settings.channel = 1;
  int index = 0;
  for (auto _ : state) {
    double time = static_cast<double>(sampleTime(index));
    double volts = static_cast<double>(sampleVolts(index & 0xFF));
    benchmark::DoNotOptimize(time);
    benchmark::DoNotOptimize(volts);
    ++index;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConvertSample);

} // namespace

BENCHMARK_MAIN();
