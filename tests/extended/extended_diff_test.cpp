// The software extended type against the x87 hardware, bit for bit.
//
// Uniform random operands almost never hit a rounding tie, a carry out of
// the significand or an exact cancellation, so the operands are built the
// way floating-point test generators build them: significands of long runs of
// ones and zeros, exponents clustered at the edges of the range (subnormals,
// overflow, the double range's edges) or close to the other operand's, plus
// zeros, infinities and NaNs. QELVO_EXTENDED_OPERANDS sets the number of
// operands per operation (10 million by default); sanitizer and debug builds
// lower it.
#include <gtest/gtest.h>

#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/extended.h"
#include "datafile/data_file.h"
#include "datafile/eng_format.h"
#include "settings/command_line.h"
#include "settings/settings.h"

namespace {

constexpr int32_t BIAS = 16383;
constexpr int32_t TOP = 0x7FFF;
constexpr uint64_t INTEGER_BIT = 1ULL << 63;

long operandCount() {
  const char *text = getenv("QELVO_EXTENDED_OPERANDS");
  long count = text != nullptr ? strtol(text, nullptr, 10) : 0;
  return count > 0 ? count : 10'000'000;
}

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
uint64_t runs(Random &random) {
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

SoftExtended make(bool negative, int32_t exponent, uint64_t significand) {
  return SoftExtended::fromBits(static_cast<uint16_t>((negative ? 0x8000 : 0) | exponent),
                                significand);
}

// A value with the biased `exponent` (clamped to the format), its significand
// made canonical: integer bit set for normal values, clear for subnormals.
SoftExtended valueAt(Random &random, int32_t exponent) {
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

int32_t edgeExponent(Random &random) {
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

SoftExtended operand(Random &random) { return valueAt(random, edgeExponent(random)); }

enum class Operation { ADD, SUBTRACT, MULTIPLY, DIVIDE };

// A second operand that meets the first where the results are hard: equal
// or neighbouring exponents (cancellation, carries), the same significand
// with a few bits changed, or an exponent that puts the product or quotient
// at the edge of the range.
SoftExtended partner(Random &random, SoftExtended a, Operation op) {
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

bool sameBits(SoftExtended soft, long double hardware) {
  SoftExtended expected = softFromHardware(hardware);
  return soft.significand == expected.significand && soft.signExponent == expected.signExponent;
}

bool sameBits(double a, double b) { return memcmp(&a, &b, sizeof a) == 0; }

std::string text(SoftExtended x) {
  char buffer[40];
  snprintf(buffer, sizeof buffer, "%04x:%016" PRIx64, x.signExponent, x.significand);
  return buffer;
}

// Counts operations and mismatches, keeps the first few mismatches for the
// failure message and prints the totals, which land in the test log.
class Tally {
public:
  explicit Tally(const char *name) : name_(name) {}
  // `describe` makes the text of a mismatch, only when there is one.
  template <typename Describe> void check(bool same, Describe describe) {
    ++count_;
    if (!same && ++mismatches_ <= 5) {
      examples_ += "\n  " + std::string(describe());
    }
  }
  ~Tally() {
    printf("%-14s %10ld operands, %ld mismatches\n", name_, count_, mismatches_);
    EXPECT_EQ(mismatches_, 0) << name_ << examples_;
  }

private:
  const char *name_;
  long count_ = 0;
  long mismatches_ = 0;
  std::string examples_;
};

// The hardware operations out of line, so that nothing is folded at
// compile time with the compiler's own arithmetic.
__attribute__((noinline)) long double hardware(Operation op, long double a, long double b) {
  switch (op) {
  case Operation::ADD: return a + b;
  case Operation::SUBTRACT: return a - b;
  case Operation::MULTIPLY: return a * b;
  case Operation::DIVIDE: return a / b;
  }
  return 0;
}

SoftExtended software(Operation op, SoftExtended a, SoftExtended b) {
  switch (op) {
  case Operation::ADD: return a + b;
  case Operation::SUBTRACT: return a - b;
  case Operation::MULTIPLY: return a * b;
  case Operation::DIVIDE: return a / b;
  }
  return {};
}

void checkOperation(Operation op, const char *name, uint64_t seed) {
  Random random(seed);
  Tally tally(name);
  for (long i = operandCount(); i > 0; --i) {
    SoftExtended a = operand(random);
    SoftExtended b = partner(random, a, op);
    if (random.chance(50)) {
      std::swap(a, b);
    }
    SoftExtended soft = software(op, a, b);
    long double hard = hardware(op, hardwareFromSoft(a), hardwareFromSoft(b));
    tally.check(sameBits(soft, hard), [&] {
      return text(a) + " " + name + " " + text(b) + ": " + text(soft) + ", hardware " +
             text(softFromHardware(hard));
    });
  }
}

TEST(SoftExtended, ArithmeticMatchesHardware) {
  checkOperation(Operation::ADD, "add", 1);
  checkOperation(Operation::SUBTRACT, "subtract", 2);
  checkOperation(Operation::MULTIPLY, "multiply", 3);
  checkOperation(Operation::DIVIDE, "divide", 4);
}

// Every class of double: subnormals, the edges of the normal range,
// infinities, quiet and signalling NaNs.
double randomDouble(Random &random) {
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

__attribute__((noinline)) long double widen(double x) { return x; }
__attribute__((noinline)) double narrow(long double x) { return static_cast<double>(x); }

TEST(SoftExtended, ConversionsMatchHardware) {
  Random random(5);
  {
    Tally tally("from double");
    for (long i = operandCount(); i > 0; --i) {
      double x = randomDouble(random);
      SoftExtended soft(x);
      tally.check(sameBits(soft, widen(x)),
                  [&] { return text(soft) + " from " + std::to_string(x); });
    }
  }
  {
    Tally tally("to double");
    for (long i = operandCount(); i > 0; --i) {
      SoftExtended x = operand(random);
      double soft = static_cast<double>(x);
      double hard = narrow(hardwareFromSoft(x));
      tally.check(sameBits(soft, hard), [&] {
        char what[96];
        snprintf(what, sizeof what, "%s: %a, hardware %a", text(x).c_str(), soft, hard);
        return std::string(what);
      });
    }
  }
  {
    Tally tally("from int");
    for (long i = operandCount() / 10; i > 0; --i) {
      int n = static_cast<int>(static_cast<uint32_t>(random.next() >> random.between(32, 63)));
      if (random.chance(1)) {
        n = random.chance(50) ? INT32_MIN : INT32_MAX;
      }
      tally.check(sameBits(SoftExtended(n), static_cast<long double>(n)),
                  [&] { return std::to_string(n); });
    }
  }
}

__attribute__((noinline)) int hardwareOrder(long double a, long double b) {
  return (a < b) | (a <= b) << 1 | (a > b) << 2 | (a >= b) << 3 | (a == b) << 4 | (a != b) << 5;
}

int softwareOrder(SoftExtended a, SoftExtended b) {
  return (a < b) | (a <= b) << 1 | (a > b) << 2 | (a >= b) << 3 | (a == b) << 4 | (a != b) << 5;
}

TEST(SoftExtended, ComparisonsMatchHardware) {
  Random random(6);
  Tally tally("compare");
  for (long i = operandCount(); i > 0; --i) {
    SoftExtended a = operand(random);
    SoftExtended b = random.chance(10) ? a : partner(random, a, Operation::SUBTRACT);
    if (random.chance(5)) {
      b = make(random.chance(50), 0, 0); // a zero of either sign
      a = random.chance(50) ? make(random.chance(50), 0, 0) : a;
    }
    int soft = softwareOrder(a, b);
    int hard = hardwareOrder(hardwareFromSoft(a), hardwareFromSoft(b));
    tally.check(soft == hard, [&] {
      return text(a) + " ? " + text(b) + ": " + std::to_string(soft) + ", hardware " +
             std::to_string(hard);
    });
  }
}

// A double as strtod may give it: any double but a signalling NaN, which
// strtod never returns. (Compilers fold a double operand into the x87
// instruction, which then picks a NaN by other rules than for two extended
// operands; the tool never meets that case.)
double readableDouble(Random &random) {
  double x = randomDouble(random);
  if (std::isnan(x)) {
    uint64_t bits = 0;
    memcpy(&bits, &x, sizeof bits);
    bits |= 1ULL << 51;
    memcpy(&x, &bits, sizeof x);
  }
  return x;
}

// A calibration value: ordinary numbers most of the time, now and then
// zero, an infinity, a NaN or any double at all.
double calibration(Random &random, double typical) {
  switch (random.below(20)) {
  case 0: return 0.0;
  case 1: return random.chance(50) ? HUGE_VAL : -HUGE_VAL;
  case 2: return std::copysign(std::nan(""), random.chance(50) ? 1.0 : -1.0);
  case 3: return readableDouble(random);
  default: {
    double scale = std::ldexp(static_cast<double>(random.next() >> 11), -53); // [0, 1)
    return typical * (0.5 + scale) * (random.chance(10) ? -1 : 1);
  }
  }
}

// The tool's own sequences, through the same templates it instantiates
// with Extended: every raw count under random calibrations (offsets chosen
// now and then to cancel a raw count exactly), the decade search and the
// powers of ten, and the prefix product for every prefix letter.
TEST(SoftExtended, ToolSequencesMatchHardware) {
  Random random(7);
  long calibrations = operandCount() / 256 / 4 + 1;
  {
    Tally tally("sample");
    Settings s;
    for (long i = 0; i < calibrations; ++i) {
      s.channel = random.between(1, 2);
      s.xSamplesPerDiv = calibration(random, 99.2);
      s.xOffset = calibration(random, 1.0);
      s.timePerDiv = calibration(random, 1e-3);
      s.ySamplesPerDiv[s.channel] = calibration(random, 28.5);
      s.yOffset[s.channel] = random.chance(30)
                                 ? random.between(0, 255) / s.ySamplesPerDiv[s.channel]
                                 : calibration(random, 0.44);
      s.yZero = random.chance(50) ? 0.0 : calibration(random, 2.0);
      s.voltsPerDiv = calibration(random, 1.0);
      s.probeFactor = random.chance(50) ? 1.0 : calibration(random, 10.0);
      for (int raw = 0; raw <= 255; ++raw) {
        int index = random.below(1 << 20);
        SoftExtended time = sampleTimeIn<SoftExtended>(s, index);
        SoftExtended volts = sampleVoltsIn<SoftExtended>(s, raw);
        long double hardTime = sampleTimeIn<long double>(s, index);
        long double hardVolts = sampleVoltsIn<long double>(s, raw);
        tally.check(sameBits(time, hardTime) && sameBits(volts, hardVolts) &&
                        sameBits(static_cast<double>(volts), static_cast<double>(hardVolts)) &&
                        sameBits(static_cast<double>(time), static_cast<double>(hardTime)),
                    [&] {
                      char what[400];
                      snprintf(
                          what, sizeof what,
                          "raw %d index %d: x %a %a %a y %a %a %a %a %a: %s %s, hardware %s %s",
                          raw, index, s.xSamplesPerDiv, s.xOffset, s.timePerDiv,
                          s.ySamplesPerDiv[s.channel], s.yOffset[s.channel], s.yZero, s.voltsPerDiv,
                          s.probeFactor, text(time).c_str(), text(volts).c_str(),
                          text(softFromHardware(hardTime)).c_str(),
                          text(softFromHardware(hardVolts)).c_str());
                      return std::string(what);
                    });
      }
    }
  }
  {
    Tally tally("decade");
    for (long i = operandCount() / 20; i > 0; --i) {
      double x = randomDouble(random);
      tally.check(decadeOfIn<SoftExtended>(x) == decadeOfIn<long double>(x),
                  [&] { return std::to_string(x); });
    }
    // Every power of ten a double holds, and its neighbours.
    for (int n = -324; n <= 308; ++n) {
      double power = strtod(("1e" + std::to_string(n)).c_str(), nullptr);
      for (double x : {power, std::nextafter(power, 0.0), std::nextafter(power, HUGE_VAL)}) {
        tally.check(decadeOfIn<SoftExtended>(x) == decadeOfIn<long double>(x),
                    [&] { return std::to_string(n); });
      }
    }
  }
  {
    Tally tally("ten to the");
    for (int n = -400; n <= 400; ++n) {
      tally.check(sameBits(tenToTheIn<SoftExtended>(n), tenToTheIn<long double>(n)),
                  [&] { return std::to_string(n); });
    }
  }
  {
    Tally tally("prefix");
    const char letters[] = "YZEPTGMkmunpfazy\xB5x";
    long perLetter = operandCount() / 100 + 1;
    for (const char *letter = letters; *letter != '\0'; ++letter) {
      char prefix[2] = {*letter, '\0'};
      double factor = prefixFactor(prefix);
      for (long i = 0; i < perLetter; ++i) {
        double number =
            random.chance(50) ? randomDouble(random) : random.between(-99999, 99999) / 1000.0;
        tally.check(sameBits(prefixProduct<SoftExtended>(number, factor),
                             prefixProduct<long double>(number, factor)),
                    [&] { return prefix + std::string(" ") + std::to_string(number); });
      }
    }
  }
}

// The x87 rules a uniform generator would rarely show, spelled out.
TEST(SoftExtended, InvalidOperationsGiveTheNegativeDefaultNaN) {
  SoftExtended inf(HUGE_VAL);
  SoftExtended zero(0.0);
  for (SoftExtended result : {zero / zero, inf - inf, inf + -inf, zero * inf, inf / inf}) {
    EXPECT_EQ(text(result), "ffff:c000000000000000");
  }
  char printed[16];
  snprintf(printed, sizeof printed, "%f", static_cast<double>(zero / zero));
  EXPECT_STREQ(printed, "-nan");
  EXPECT_TRUE(isNaN(zero / zero));
  EXPECT_FALSE(zero / zero == zero / zero);
  EXPECT_TRUE(isInfinite(SoftExtended(1) / zero));
  EXPECT_TRUE(absOf(SoftExtended(-2.5)) == SoftExtended(2.5));
}

} // namespace
