// Operands for checking the software extended type against the x87
// hardware, generated the way floating-point test generators make them.
//
// Uniform random operands almost never hit a rounding tie, a carry out of
// the significand or an exact cancellation. Here significands are long runs
// of ones and zeros, exponents cluster at the edges of the range (subnormals,
// overflow, the double range's edges) or close to the other operand's, and
// zeros, infinities and NaNs come up often. The sequences depend only on the
// seed, on every machine.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/extended.h"

namespace operands {

inline constexpr int32_t BIAS = 16383;
inline constexpr int32_t TOP = 0x7FFF;
inline constexpr uint64_t INTEGER_BIT = 1ULL << 63;

// splitmix64: fast, and the same sequence on every run.
class Random {
public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
  int between(int low, int high) { return low + below(high - low + 1); }
  bool chance(int percent) { return below(100) < percent; }

private:
  uint64_t state_;
};

// 64 bits of alternating runs of ones and zeros, each run 1 to 24 bits
// long, or now and then plain random bits.
inline uint64_t runs(Random &random) {
  if (random.chance(10)) {
    return random.next();
  }
  if (random.chance(10)) {
    // All ones, or a one and all zeros, but for a few bits at the bottom.
    uint64_t low = random.next() >> random.between(52, 64 - 1);
    return random.chance(50) ? ~low : INTEGER_BIT | low;
  }
  uint64_t bits = 0;
  bool ones = random.chance(50);
  int position = 64;
  while (position > 0) {
    int length = random.between(1, random.chance(30) ? 64 : 24);
    if (length > position) {
      length = position;
    }
    position -= length;
    if (ones) {
      bits |= (length == 64 ? ~0ULL : ((1ULL << length) - 1)) << position;
    }
    ones = !ones;
  }
  return bits;
}

inline SoftExtended make(bool negative, int32_t exponent, uint64_t significand) {
  return SoftExtended::fromBits(static_cast<uint16_t>((negative ? 0x8000 : 0) | exponent),
                                significand);
}

// A value with the biased `exponent` (clamped to the format), its significand
// made canonical: integer bit set for normal values, clear for subnormals.
inline SoftExtended valueAt(Random &random, int32_t exponent) {
  bool negative = random.chance(50);
  uint64_t bits = runs(random);
  if (exponent >= TOP) {
    if (random.chance(30)) {
      return make(negative, TOP, INTEGER_BIT);
    }
    uint64_t fraction = bits & ~INTEGER_BIT;
    return make(negative, TOP, INTEGER_BIT | (fraction != 0 ? fraction : 1));
  }
  if (exponent <= 0) {
    return make(negative, 0, random.chance(5) ? 0 : bits & ~INTEGER_BIT);
  }
  return make(negative, exponent, bits | INTEGER_BIT);
}

inline int32_t edgeExponent(Random &random) {
  switch (random.below(8)) {
  case 0: return random.between(1, TOP - 1);
  case 1: return random.between(-2, 70);
  case 2: return random.between(TOP - 70, TOP + 1);
  case 3: return random.between(BIAS - 1100, BIAS - 1000); // double's subnormals
  case 4: return random.between(BIAS + 1000, BIAS + 1030); // double's overflow
  case 5: return random.chance(50) ? 0 : TOP;
  default: return random.between(BIAS - 70, BIAS + 70);
  }
}

inline SoftExtended operand(Random &random) { return valueAt(random, edgeExponent(random)); }

enum class Operation { ADD, SUBTRACT, MULTIPLY, DIVIDE };

// A second operand that meets the first where the results are hard: equal
// or neighbouring exponents (cancellation, carries), the same significand
// with a few bits changed, or an exponent that puts the product or quotient
// at the edge of the range.
inline SoftExtended partner(Random &random, SoftExtended a, Operation op) {
  int32_t ea = a.signExponent & TOP;
  switch (random.below(6)) {
  case 0:
  case 1: {
    static const int DELTAS[] = {0, 0, 1, -1, 2, -2, 63, -63, 64, -64, 65, -65, 66, 3};
    int delta = DELTAS[random.below(sizeof DELTAS / sizeof DELTAS[0])];
    return valueAt(random, ea + delta);
  }
  case 2: {
    SoftExtended b = a;
    b.significand ^= random.next() >> random.between(40, 63);
    if (random.chance(50)) {
      b.signExponent ^= 0x8000;
    }
    return b;
  }
  case 3: {
    int32_t target = random.chance(50) ? random.between(-70, 3) : random.between(TOP - 3, TOP + 2);
    int32_t eb = op == Operation::MULTIPLY ? target - ea + BIAS : ea - target + BIAS;
    SoftExtended b = valueAt(random, eb);
    if (eb > 0 && eb < TOP && random.chance(50)) {
      // A factor just above 1 or just below 2: the result keeps the first
      // operand's significand and lands on a rounding boundary.
      uint64_t low = random.next() >> random.between(50, 63);
      b.significand = random.chance(50) ? INTEGER_BIT | low : ~low;
    }
    return b;
  }
  default: return operand(random);
  }
}

// Every class of double: subnormals, the edges of the normal range,
// infinities, quiet and signalling NaNs.
inline double randomDouble(Random &random) {
  uint64_t exponent = 0;
  switch (random.below(5)) {
  case 0: exponent = static_cast<uint64_t>(random.below(0x800)); break;
  case 1: exponent = static_cast<uint64_t>(random.between(0, 3)); break;
  case 2: exponent = static_cast<uint64_t>(random.between(0x7FC, 0x7FF)); break;
  default: exponent = static_cast<uint64_t>(random.between(1023 - 80, 1023 + 80)); break;
  }
  uint64_t fraction = runs(random) >> 12;
  if (random.chance(3)) {
    fraction = 0;
  }
  uint64_t bits = (random.next() & (1ULL << 63)) | exponent << 52 | fraction;
  double value = 0;
  memcpy(&value, &bits, sizeof value);
  return value;
}

// The register image of a value of either type, and a value of type Number
// from an image.
inline SoftExtended imageOf(SoftExtended x) { return x; }
template <typename Number> Number fromImage(SoftExtended x);
template <> inline SoftExtended fromImage<SoftExtended>(SoftExtended x) { return x; }
#ifdef QELVO_X87_LONG_DOUBLE
inline SoftExtended imageOf(long double x) { return softFromHardware(x); }
template <> inline long double fromImage<long double>(SoftExtended x) {
  return hardwareFromSoft(x);
}
#endif

enum class Check { ADD, SUBTRACT, MULTIPLY, DIVIDE, COMPARE, FROM_DOUBLE, TO_DOUBLE };

inline uint64_t mix(uint64_t digest, uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    digest = (digest ^ ((value >> (8 * i)) & 0xFF)) * 0x100000001B3ULL; // FNV-1a
  }
  return digest;
}

inline uint64_t mix(uint64_t digest, SoftExtended x) {
  return mix(mix(digest, x.significand), x.signExponent);
}

template <typename Number> int orderOf(Number a, Number b) {
  return (a < b) | (a <= b) << 1 | (a > b) << 2 | (a >= b) << 3 | (a == b) << 4 | (a != b) << 5;
}

// A digest of the results of `count` generated cases of `check`, computed
// in Number: equal digests for SoftExtended and the x87 hardware mean equal
// results, bit for bit.
template <typename Number> uint64_t digestOf(Check check, long count) {
  Random random(static_cast<uint64_t>(check) + 100);
  uint64_t digest = 0xCBF29CE484222325ULL;
  for (long i = 0; i < count; ++i) {
    SoftExtended a = operand(random);
    Number x = fromImage<Number>(a);
    switch (check) {
    case Check::FROM_DOUBLE: {
      double d = randomDouble(random);
      digest = mix(digest, imageOf(static_cast<Number>(d)));
      continue;
    }
    case Check::TO_DOUBLE: {
      double d = static_cast<double>(x);
      uint64_t bits = 0;
      memcpy(&bits, &d, sizeof bits);
      digest = mix(digest, bits);
      continue;
    }
    default: break;
    }
    static const Operation OPERATION[] = {Operation::ADD, Operation::SUBTRACT, Operation::MULTIPLY,
                                          Operation::DIVIDE, Operation::SUBTRACT};
    Number y = fromImage<Number>(partner(random, a, OPERATION[static_cast<int>(check)]));
    switch (check) {
    case Check::ADD: digest = mix(digest, imageOf(x + y)); break;
    case Check::SUBTRACT: digest = mix(digest, imageOf(x - y)); break;
    case Check::MULTIPLY: digest = mix(digest, imageOf(x * y)); break;
    case Check::DIVIDE: digest = mix(digest, imageOf(x / y)); break;
    default: digest = mix(digest, static_cast<uint64_t>(orderOf(x, y))); break;
    }
  }
  return digest;
}

} // namespace operands
