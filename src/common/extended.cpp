#include "common/extended.h"

#include <cstring>

// Only 64-bit integer arithmetic is used, no __int128 and no floating point,
// so that every machine computes the same bits as the x86 build that the
// differential tests compare with the hardware.

namespace {

constexpr int32_t BIAS = 16383;
constexpr int32_t MAX_EXPONENT = 0x7FFF;
constexpr uint16_t SIGN_BIT = 0x8000;
constexpr uint64_t INTEGER_BIT = 1ULL << 63;
constexpr uint64_t QUIET_BIT = 1ULL << 62;
constexpr uint64_t LOW_HALF = 0xFFFFFFFFULL;
constexpr uint64_t DEFAULT_NAN_SIGNIFICAND = INTEGER_BIT | QUIET_BIT;

// A finite nonzero value taken apart: the significand shifted until its top
// bit is set, the biased exponent adjusted to match and free to leave the
// format's range.
struct Unpacked {
  bool negative;
  int32_t exponent;
  uint64_t significand;
};

bool negativeOf(SoftExtended x) { return (x.signExponent & SIGN_BIT) != 0; }

int32_t exponentOf(SoftExtended x) { return x.signExponent & MAX_EXPONENT; }

bool isZero(SoftExtended x) { return exponentOf(x) == 0 && x.significand == 0; }

bool isNaNValue(SoftExtended x) {
  return exponentOf(x) == MAX_EXPONENT && (x.significand << 1) != 0;
}

bool isInfValue(SoftExtended x) {
  return exponentOf(x) == MAX_EXPONENT && (x.significand << 1) == 0;
}

uint16_t signField(bool negative) { return negative ? SIGN_BIT : 0; }

SoftExtended zero(bool negative) { return SoftExtended::fromBits(signField(negative), 0); }

SoftExtended infinity(bool negative) {
  return SoftExtended::fromBits(signField(negative) | MAX_EXPONENT, INTEGER_BIT);
}

SoftExtended defaultNaN() {
  return SoftExtended::fromBits(SIGN_BIT | MAX_EXPONENT, DEFAULT_NAN_SIGNIFICAND);
}

int leadingZeros(uint64_t x) { return __builtin_clzll(x); }

Unpacked unpack(SoftExtended x) {
  // A subnormal has the scale of the smallest normal exponent.
  int32_t exponent = exponentOf(x) == 0 ? 1 : exponentOf(x);
  int shift = leadingZeros(x.significand);
  return {negativeOf(x), exponent - shift, x.significand << shift};
}

// Shifts hi:lo right by n bits; whatever falls off is ORed into the lowest
// bit, which is enough to round correctly afterwards.
void shiftRightJam(uint64_t &hi, uint64_t &lo, int32_t n) {
  if (n <= 0) {
    return;
  }
  if (n < 64) {
    lo = (hi << (64 - n)) | (lo >> n) | ((lo << (64 - n)) != 0 ? 1 : 0);
    hi >>= n;
  } else if (n == 64) {
    lo = hi | (lo != 0 ? 1 : 0);
    hi = 0;
  } else if (n < 128) {
    lo = (hi >> (n - 64)) | (((hi << (128 - n)) | lo) != 0 ? 1 : 0);
    hi = 0;
  } else {
    lo = (hi | lo) != 0 ? 1 : 0;
    hi = 0;
  }
}

// The value significand.extra * 2^(exponent - BIAS - 63), with the
// significand's top bit set, rounded to nearest-even into the format: below
// the normal range to a subnormal (or zero), above it to an infinity.
SoftExtended roundPack(bool negative, int32_t exponent, uint64_t significand, uint64_t extra) {
  if (exponent <= 0) {
    shiftRightJam(significand, extra, 1 - exponent);
    exponent = 0;
  }
  if ((extra & INTEGER_BIT) != 0 && ((extra << 1) != 0 || (significand & 1) != 0)) {
    ++significand;
    if (significand == 0) {
      significand = INTEGER_BIT;
      ++exponent;
    }
  }
  if (exponent == 0 && (significand & INTEGER_BIT) != 0) {
    exponent = 1; // a subnormal rounded up to the smallest normal
  }
  if (exponent >= MAX_EXPONENT) {
    return infinity(negative);
  }
  return SoftExtended::fromBits(signField(negative) | static_cast<uint16_t>(exponent), significand);
}

// Of two operands at least one of which is a NaN: the NaN, or of two NaNs
// the one with the larger significand (the positive one on a tie), quieted.
SoftExtended propagateNaN(SoftExtended a, SoftExtended b) {
  SoftExtended result = a;
  if (!isNaNValue(a)) {
    result = b;
  } else if (isNaNValue(b)) {
    if (b.significand > a.significand || (b.significand == a.significand && negativeOf(a))) {
      result = b;
    }
  }
  result.significand |= QUIET_BIT;
  return result;
}

SoftExtended addMagnitudes(bool negative, Unpacked a, Unpacked b) {
  if (a.exponent < b.exponent) {
    Unpacked t = a;
    a = b;
    b = t;
  }
  uint64_t hi = b.significand;
  uint64_t lo = 0;
  shiftRightJam(hi, lo, a.exponent - b.exponent);
  uint64_t sum = a.significand + hi;
  int32_t exponent = a.exponent;
  if (sum < a.significand) {
    lo = (sum << 63) | (lo >> 1) | (lo & 1);
    sum = (sum >> 1) | INTEGER_BIT;
    ++exponent;
  }
  return roundPack(negative, exponent, sum, lo);
}

SoftExtended subtractMagnitudes(bool negative, Unpacked a, Unpacked b) {
  if (a.exponent < b.exponent || (a.exponent == b.exponent && a.significand < b.significand)) {
    Unpacked t = a;
    a = b;
    b = t;
    negative = !negative;
  }
  if (a.exponent == b.exponent && a.significand == b.significand) {
    return zero(false);
  }
  uint64_t subHi = b.significand;
  uint64_t subLo = 0;
  shiftRightJam(subHi, subLo, a.exponent - b.exponent);
  uint64_t lo = 0 - subLo;
  uint64_t hi = a.significand - subHi - (subLo != 0 ? 1 : 0);
  int32_t exponent = a.exponent;
  if (hi == 0) {
    hi = lo;
    lo = 0;
    exponent -= 64;
  }
  int shift = leadingZeros(hi);
  if (shift > 0) {
    hi = (hi << shift) | (lo >> (64 - shift));
    lo <<= shift;
    exponent -= shift;
  }
  return roundPack(negative, exponent, hi, lo);
}

SoftExtended add(SoftExtended a, SoftExtended b, bool negateB) {
  if (isNaNValue(a) || isNaNValue(b)) {
    return propagateNaN(a, b);
  }
  bool negativeA = negativeOf(a);
  bool negativeB = negativeOf(b) != negateB;
  if (isInfValue(a)) {
    return isInfValue(b) && negativeA != negativeB ? defaultNaN() : a;
  }
  if (isInfValue(b)) {
    return infinity(negativeB);
  }
  if (isZero(b)) {
    return isZero(a) ? zero(negativeA && negativeB) : a;
  }
  Unpacked ub = unpack(b);
  ub.negative = negativeB;
  if (isZero(a)) {
    return roundPack(ub.negative, ub.exponent, ub.significand, 0);
  }
  Unpacked ua = unpack(a);
  if (negativeA == negativeB) {
    return addMagnitudes(negativeA, ua, ub);
  }
  return subtractMagnitudes(negativeA, ua, ub);
}

void multiply64(uint64_t a, uint64_t b, uint64_t &hi, uint64_t &lo) {
  uint64_t a0 = a & LOW_HALF;
  uint64_t a1 = a >> 32;
  uint64_t b0 = b & LOW_HALF;
  uint64_t b1 = b >> 32;
  uint64_t p00 = a0 * b0;
  uint64_t p01 = a0 * b1;
  uint64_t p10 = a1 * b0;
  uint64_t p11 = a1 * b1;
  uint64_t middle = (p00 >> 32) + (p01 & LOW_HALF) + (p10 & LOW_HALF);
  lo = (middle << 32) | (p00 & LOW_HALF);
  hi = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
}

// hi:lo divided by d, where d has its top bit set and hi < d, so that the
// quotient fits in 64 bits: long division in 32-bit digits, each estimated
// from the divisor's top digit and corrected at most twice.
uint64_t divide128(uint64_t hi, uint64_t lo, uint64_t d, uint64_t &remainder) {
  constexpr uint64_t DIGIT = 1ULL << 32;
  uint64_t d1 = d >> 32;
  uint64_t d0 = d & LOW_HALF;
  uint64_t n1 = lo >> 32;
  uint64_t n0 = lo & LOW_HALF;

  uint64_t q1 = hi / d1;
  uint64_t rest = hi - q1 * d1;
  while (q1 >= DIGIT || q1 * d0 > ((rest << 32) | n1)) {
    --q1;
    rest += d1;
    if (rest >= DIGIT) {
      break;
    }
  }
  uint64_t partial = (hi << 32) + n1 - q1 * d; // the true value is below d

  uint64_t q0 = partial / d1;
  rest = partial - q0 * d1;
  while (q0 >= DIGIT || q0 * d0 > ((rest << 32) | n0)) {
    --q0;
    rest += d1;
    if (rest >= DIGIT) {
      break;
    }
  }
  remainder = (partial << 32) + n0 - q0 * d;
  return (q1 << 32) | q0;
}

} // namespace

SoftExtended::SoftExtended(int value) {
  if (value == 0) {
    return;
  }
  bool negative = value < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(static_cast<int64_t>(value))
                                : static_cast<uint64_t>(value);
  int shift = leadingZeros(magnitude);
  significand = magnitude << shift;
  signExponent = signField(negative) | static_cast<uint16_t>(BIAS + 63 - shift);
}

SoftExtended::SoftExtended(double value) {
  uint64_t bits = 0;
  memcpy(&bits, &value, sizeof bits);
  bool negative = (bits >> 63) != 0;
  int32_t exponent = static_cast<int32_t>((bits >> 52) & 0x7FF);
  uint64_t fraction = bits & ((1ULL << 52) - 1);
  signExponent = signField(negative);
  if (exponent == 0x7FF) {
    signExponent |= MAX_EXPONENT;
    // A signalling NaN is quieted on the way in, as the x87 load does.
    significand = fraction == 0 ? INTEGER_BIT : INTEGER_BIT | QUIET_BIT | (fraction << 11);
    return;
  }
  if (exponent == 0) {
    if (fraction == 0) {
      return;
    }
    int shift = leadingZeros(fraction);
    significand = fraction << shift;
    signExponent |= static_cast<uint16_t>(BIAS - 1023 + 1 - (shift - 11));
    return;
  }
  significand = INTEGER_BIT | (fraction << 11);
  signExponent |= static_cast<uint16_t>(exponent - 1023 + BIAS);
}

SoftExtended::operator double() const {
  uint64_t bits = static_cast<uint64_t>(negativeOf(*this)) << 63;
  if (isNaNValue(*this)) {
    bits |= 0x7FFULL << 52 | 1ULL << 51 | ((significand >> 11) & ((1ULL << 52) - 1));
  } else if (isInfValue(*this) || exponentOf(*this) - BIAS > 1023) {
    bits |= 0x7FFULL << 52;
  } else if (!isZero(*this)) {
    Unpacked u = unpack(*this);
    int32_t unbiased = u.exponent - BIAS;
    // 11 bits drop off a normal double; below its range one more per binade.
    int32_t shift = 11 + (unbiased < -1022 ? -1022 - unbiased : 0);
    uint64_t kept = 0;
    bool half = false;
    bool below = false;
    if (shift < 64) {
      kept = u.significand >> shift;
      uint64_t dropped = u.significand << (64 - shift);
      half = (dropped & INTEGER_BIT) != 0;
      below = (dropped << 1) != 0;
    } else if (shift == 64) {
      half = true; // the significand's top bit is set
      below = (u.significand << 1) != 0;
    }
    if (half && (below || (kept & 1) != 0)) {
      ++kept;
    }
    if (unbiased >= -1022) {
      // Adding the integer bit lifts the exponent field from biased - 1 to
      // biased; a carry out of rounding lifts it once more.
      uint64_t field = static_cast<uint64_t>(unbiased + 1023 - 1);
      uint64_t magnitude = (field << 52) + kept;
      bits |= magnitude >= 0x7FFULL << 52 ? 0x7FFULL << 52 : magnitude;
    } else {
      bits |= kept; // a carry into bit 52 is the smallest normal
    }
  }
  double result = 0;
  memcpy(&result, &bits, sizeof result);
  return result;
}

SoftExtended &SoftExtended::operator+=(SoftExtended other) { return *this = *this + other; }
SoftExtended &SoftExtended::operator-=(SoftExtended other) { return *this = *this - other; }
SoftExtended &SoftExtended::operator*=(SoftExtended other) { return *this = *this * other; }
SoftExtended &SoftExtended::operator/=(SoftExtended other) { return *this = *this / other; }

SoftExtended operator+(SoftExtended a, SoftExtended b) { return add(a, b, false); }

SoftExtended operator-(SoftExtended a, SoftExtended b) { return add(a, b, true); }

SoftExtended operator*(SoftExtended a, SoftExtended b) {
  if (isNaNValue(a) || isNaNValue(b)) {
    return propagateNaN(a, b);
  }
  bool negative = negativeOf(a) != negativeOf(b);
  if (isInfValue(a) || isInfValue(b)) {
    return isZero(a) || isZero(b) ? defaultNaN() : infinity(negative);
  }
  if (isZero(a) || isZero(b)) {
    return zero(negative);
  }
  Unpacked ua = unpack(a);
  Unpacked ub = unpack(b);
  uint64_t hi = 0;
  uint64_t lo = 0;
  multiply64(ua.significand, ub.significand, hi, lo);
  int32_t exponent = ua.exponent + ub.exponent - BIAS + 1;
  if ((hi & INTEGER_BIT) == 0) {
    hi = (hi << 1) | (lo >> 63);
    lo <<= 1;
    --exponent;
  }
  return roundPack(negative, exponent, hi, lo);
}

SoftExtended operator/(SoftExtended a, SoftExtended b) {
  if (isNaNValue(a) || isNaNValue(b)) {
    return propagateNaN(a, b);
  }
  bool negative = negativeOf(a) != negativeOf(b);
  if (isInfValue(a)) {
    return isInfValue(b) ? defaultNaN() : infinity(negative);
  }
  if (isInfValue(b)) {
    return zero(negative);
  }
  if (isZero(b)) {
    return isZero(a) ? defaultNaN() : infinity(negative);
  }
  if (isZero(a)) {
    return zero(negative);
  }
  Unpacked ua = unpack(a);
  Unpacked ub = unpack(b);
  int32_t exponent = ua.exponent - ub.exponent + BIAS;
  uint64_t hi = ua.significand;
  uint64_t lo = 0;
  if (ua.significand >= ub.significand) {
    lo = hi << 63;
    hi >>= 1;
  } else {
    --exponent;
  }
  uint64_t remainder = 0;
  uint64_t quotient = divide128(hi, lo, ub.significand, remainder);
  // The rest of the quotient as round and sticky bits: remainder/divisor
  // compared with one half.
  uint64_t extra = 0;
  if (remainder != 0) {
    if ((remainder & INTEGER_BIT) != 0 || remainder * 2 > ub.significand) {
      extra = INTEGER_BIT | 1;
    } else if (remainder * 2 == ub.significand) {
      extra = INTEGER_BIT;
    } else {
      extra = 1;
    }
  }
  return roundPack(negative, exponent, quotient, extra);
}

SoftExtended operator-(SoftExtended a) {
  a.signExponent ^= SIGN_BIT;
  return a;
}

namespace {

enum class Order { LESS, EQUAL, GREATER, UNORDERED };

Order compare(SoftExtended a, SoftExtended b) {
  if (isNaNValue(a) || isNaNValue(b)) {
    return Order::UNORDERED;
  }
  if (isZero(a) && isZero(b)) {
    return Order::EQUAL;
  }
  bool negativeA = negativeOf(a);
  if (negativeA != negativeOf(b)) {
    return negativeA ? Order::LESS : Order::GREATER;
  }
  // Same sign: the magnitudes order as (exponent, significand) does.
  int32_t ea = exponentOf(a);
  int32_t eb = exponentOf(b);
  if (ea == eb && a.significand == b.significand) {
    return Order::EQUAL;
  }
  bool aSmaller = ea < eb || (ea == eb && a.significand < b.significand);
  return aSmaller != negativeA ? Order::LESS : Order::GREATER;
}

} // namespace

bool operator==(SoftExtended a, SoftExtended b) { return compare(a, b) == Order::EQUAL; }
bool operator!=(SoftExtended a, SoftExtended b) { return compare(a, b) != Order::EQUAL; }
bool operator<(SoftExtended a, SoftExtended b) { return compare(a, b) == Order::LESS; }
bool operator>(SoftExtended a, SoftExtended b) { return compare(a, b) == Order::GREATER; }

bool operator<=(SoftExtended a, SoftExtended b) {
  Order order = compare(a, b);
  return order == Order::LESS || order == Order::EQUAL;
}

bool operator>=(SoftExtended a, SoftExtended b) {
  Order order = compare(a, b);
  return order == Order::GREATER || order == Order::EQUAL;
}

SoftExtended absOf(SoftExtended x) {
  x.signExponent &= MAX_EXPONENT;
  return x;
}

bool isInfinite(SoftExtended x) { return isInfValue(x); }

bool isNaN(SoftExtended x) { return isNaNValue(x); }
