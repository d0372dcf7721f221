// The number type of every physical computation: x87 extended precision.
//
// The data file's numbers are defined by the x87 extended format (64-bit
// significand with an explicit integer bit, 15-bit exponent, subnormals),
// every operation rounded to nearest-even and the result rounded to double
// once, when it is stored or printed. `Extended` is that type: the hardware
// `long double` on x86, and `SoftExtended` everywhere else, which gives the
// same bits from integer arithmetic alone. Building with QELVO_SOFT_EXTENDED
// selects the software type on x86 too.
//
// Code written against `Extended` uses only what both types offer: the
// arithmetic and comparison operators, construction from int and double,
// static_cast<double>, and the helpers absOf, isInfinite and isNaN.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

// An x87 extended value computed in software. The fields are the 80-bit
// register image: `significand` with its explicit integer bit, and the sign
// in bit 15 of `signExponent` above the biased exponent. Operations behave
// as the x87 does with every exception masked: an invalid operation gives the
// default NaN (negative, significand 0xC000000000000000), a NaN operand is
// passed on quieted (of two, the one with the larger significand, the
// positive one when they tie), comparisons with a NaN are false except !=.
// A signalling NaN double is quieted when it is converted. (The x87 can take
// a double straight from memory, and then prefers a quiet NaN to a
// signalling one; strtod never makes a signalling NaN, so the tool never
// meets that case.)
struct SoftExtended {
  uint64_t significand = 0;
  uint16_t signExponent = 0;

  SoftExtended() = default;
  // Exact, and implicit as for long double, so that mixed expressions read
  // the same with either type.
  SoftExtended(int value);
  SoftExtended(double value);
  // Rounds once to nearest-even with double's range: overflow gives an
  // infinity, tiny values a double subnormal or zero.
  explicit operator double() const;

  static SoftExtended fromBits(uint16_t signExponent, uint64_t significand) {
    SoftExtended x;
    x.significand = significand;
    x.signExponent = signExponent;
    return x;
  }

  SoftExtended &operator+=(SoftExtended other);
  SoftExtended &operator-=(SoftExtended other);
  SoftExtended &operator*=(SoftExtended other);
  SoftExtended &operator/=(SoftExtended other);
};

SoftExtended operator+(SoftExtended a, SoftExtended b);
SoftExtended operator-(SoftExtended a, SoftExtended b);
SoftExtended operator*(SoftExtended a, SoftExtended b);
SoftExtended operator/(SoftExtended a, SoftExtended b);
SoftExtended operator-(SoftExtended a);

bool operator==(SoftExtended a, SoftExtended b);
bool operator!=(SoftExtended a, SoftExtended b);
bool operator<(SoftExtended a, SoftExtended b);
bool operator<=(SoftExtended a, SoftExtended b);
bool operator>(SoftExtended a, SoftExtended b);
bool operator>=(SoftExtended a, SoftExtended b);

SoftExtended absOf(SoftExtended x);
bool isInfinite(SoftExtended x);
bool isNaN(SoftExtended x);

inline long double absOf(long double x) { return std::fabs(x); }
inline bool isInfinite(long double x) { return std::isinf(x); }
inline bool isNaN(long double x) { return std::isnan(x); }

#if (defined(__x86_64__) || defined(__i386__)) && LDBL_MANT_DIG == 64
// The hardware type is there (whichever type `Extended` is): the two can be
// compared, through the register image they share.
#define QELVO_X87_LONG_DOUBLE 1

inline SoftExtended softFromHardware(long double x) {
  SoftExtended result;
  memcpy(&result.significand, &x, sizeof result.significand);
  memcpy(&result.signExponent, reinterpret_cast<const char *>(&x) + 8, sizeof result.signExponent);
  return result;
}

inline long double hardwareFromSoft(SoftExtended x) {
  long double result = 0;
  memcpy(&result, &x.significand, sizeof x.significand);
  memcpy(reinterpret_cast<char *>(&result) + 8, &x.signExponent, sizeof x.signExponent);
  return result;
}
#endif

#if defined(QELVO_X87_LONG_DOUBLE) && !defined(QELVO_SOFT_EXTENDED)
using Extended = long double;
#else
using Extended = SoftExtended;
#endif
