// The software extended type against the x87 hardware on any operands: the
// first byte picks the operation, the next ten and the ten after are the
// operands' register images (significand, then sign and exponent, as the
// x87 stores them). Any difference in the result's bits aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/extended.h"

namespace {

// The tool only ever makes canonical values, from doubles and ints: the
// integer bit is set exactly when the exponent field is not zero. Encodings
// the x87 rejects (unnormals, pseudo-NaNs) are made canonical first.
SoftExtended operandAt(const uint8_t *bytes) {
  SoftExtended x;
  memcpy(&x.significand, bytes, sizeof x.significand);
  memcpy(&x.signExponent, bytes + sizeof x.significand, sizeof x.signExponent);
  if ((x.signExponent & 0x7FFF) == 0) {
    x.significand &= ~(1ULL << 63);
  } else {
    x.significand |= 1ULL << 63;
  }
  return x;
}

bool same(SoftExtended soft, long double hardware) {
  SoftExtended expected = softFromHardware(hardware);
  return soft.significand == expected.significand && soft.signExponent == expected.signExponent;
}

bool sameDouble(double a, double b) { return memcmp(&a, &b, sizeof a) == 0; }

int order(SoftExtended a, SoftExtended b) {
  return (a < b) | (a <= b) << 1 | (a > b) << 2 | (a >= b) << 3 | (a == b) << 4 | (a != b) << 5;
}

int order(long double a, long double b) {
  return (a < b) | (a <= b) << 1 | (a > b) << 2 | (a >= b) << 3 | (a == b) << 4 | (a != b) << 5;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  constexpr size_t IMAGE = 10;
  if (size < 1 + 2 * IMAGE) {
    return 0;
  }
  SoftExtended a = operandAt(data + 1);
  SoftExtended b = operandAt(data + 1 + IMAGE);
  long double ha = hardwareFromSoft(a);
  long double hb = hardwareFromSoft(b);
  double d = 0;
  memcpy(&d, data + 1, sizeof d);
  bool ok = true;
  switch (data[0] % 8) {
  case 0: ok = same(a + b, ha + hb); break;
  case 1: ok = same(a - b, ha - hb); break;
  case 2: ok = same(a * b, ha * hb); break;
  case 3: ok = same(a / b, ha / hb); break;
  case 4: ok = order(a, b) == order(ha, hb); break;
  case 5: ok = sameDouble(static_cast<double>(a), static_cast<double>(ha)); break;
  case 6: ok = same(SoftExtended(d), static_cast<long double>(d)); break;
  default: {
    int n = 0;
    memcpy(&n, data + 1, sizeof n);
    ok = same(SoftExtended(n), static_cast<long double>(n));
    break;
  }
  }
  if (!ok) {
    abort();
  }
  return 0;
}
