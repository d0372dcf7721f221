// The software extended type against the x87 hardware, bit for bit, on
// generated operands (extended_operands.h) and on the tool's own sequences.
// QELVO_EXTENDED_OPERANDS sets the number of operands per operation (10
// million by default); sanitizer and debug builds lower it.
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
#include "extended_operands.h"
#include "settings/command_line.h"
#include "settings/settings.h"

namespace {

using namespace operands;

long operandCount() {
  const char *text = getenv("QELVO_EXTENDED_OPERANDS");
  long count = text != nullptr ? strtol(text, nullptr, 10) : 0;
  return count > 0 ? count : 10'000'000;
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
    int soft = orderOf(a, b);
    int hard = orderOf(hardwareFromSoft(a), hardwareFromSoft(b));
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
