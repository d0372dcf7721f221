#include "sim/waveform.h"

#include <cmath>
#include <cstring>
#include <numbers>

bool parseWaveKind(const char *name, WaveKind &kind) {
  static const struct {
    const char *name;
    WaveKind kind;
  } kinds[] = {{"sine", WAVE_SINE},
               {"square", WAVE_SQUARE},
               {"triangle", WAVE_TRIANGLE},
               {"noise", WAVE_NOISE},
               {"ramp", WAVE_RAMP}};
  for (const auto &entry : kinds) {
    if (strcmp(name, entry.name) == 0) {
      kind = entry.kind;
      return true;
    }
  }
  return false;
}

// A small xorshift generator: fixed across platforms and library versions,
// unlike rand(), so a noise record can be reproduced from its seed.
static uint64_t nextRandom(uint64_t &state) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

static uint8_t toRaw(double value) {
  if (!(value > 0.0)) {
    return 0;
  }
  if (value >= 255.0) {
    return 255;
  }
  return static_cast<uint8_t>(std::lround(value));
}

// The shape's value at `phase` (in periods), between -1 and 1.
static double unitValue(WaveKind kind, double phase, double duty, uint64_t &random) {
  double fraction = phase - std::floor(phase);
  switch (kind) {
  case WAVE_SINE: return std::sin(2.0 * std::numbers::pi * phase);
  case WAVE_SQUARE: return fraction < duty / 100.0 ? 1.0 : -1.0;
  case WAVE_TRIANGLE: return 1.0 - 4.0 * std::fabs(fraction - 0.5);
  case WAVE_NOISE: return static_cast<double>(nextRandom(random) >> 11) * 0x1p-52 - 1.0;
  case WAVE_RAMP: break;
  }
  return 0.0;
}

std::vector<uint8_t> makeWaveform(WaveKind kind, const WaveShape &shape, long length) {
  std::vector<uint8_t> raw;
  if (length <= 0) {
    return raw;
  }
  raw.reserve(static_cast<size_t>(length));
  double periodsOver = static_cast<double>(shape.samples > 0 ? shape.samples : length);
  // Scrambled so that small seeds, 0 included, give a nonzero state.
  uint64_t random = (static_cast<uint64_t>(shape.seed) + 1) * 0x9E3779B97F4A7C15ull;
  if (random == 0) {
    random = 0x9E3779B97F4A7C15ull;
  }
  for (long i = 0; i < length; ++i) {
    if (kind == WAVE_RAMP) {
      raw.push_back(static_cast<uint8_t>(i % 256));
      continue;
    }
    double phase = shape.cycles * static_cast<double>(i) / periodsOver;
    raw.push_back(
        toRaw(shape.offset + shape.amplitude * unitValue(kind, phase, shape.duty, random)));
  }
  return raw;
}
