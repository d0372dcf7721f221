// The records the virtual scope holds in its memory, one per channel.
//
// A record is a list of raw samples 0..255, made from a shape, a number of
// periods over `samples` samples, an amplitude and a centre in counts. The
// channels share the time base: a record longer or shorter than `samples`
// goes on at the same frequency, or stops early. Values
// are rounded and clamped to 0..255; noise comes from a seeded generator, so
// the same options always give the same record.
#pragma once

#include <cstdint>
#include <vector>

enum WaveKind { WAVE_SINE, WAVE_SQUARE, WAVE_TRIANGLE, WAVE_NOISE, WAVE_RAMP };

struct WaveShape {
  long samples = 1000;
  double cycles = 4.0;      // periods over `samples` samples: the frequency
  double amplitude = 100.0; // counts from the centre to a peak
  double offset = 128.0;    // centre in counts
  unsigned long seed = 1;   // noise only
  double duty = 50.0;       // square only: percent of a period at the top
};

// The kind named by `name` ("sine", "square", "triangle", "noise", "ramp");
// false for any other name.
bool parseWaveKind(const char *name, WaveKind &kind);

// The record of `kind` with the given shape, `length` samples long (the
// periods are counted over `length` when shape.samples is 0). A ramp ignores
// the shape: sample i is i mod 256.
std::vector<uint8_t> makeWaveform(WaveKind kind, const WaveShape &shape, long length);
