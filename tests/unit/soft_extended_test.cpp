// The software extended type on this machine gives the results the x87
// gives: digests of generated cases for each operation, recorded from the
// hardware. Where the hardware is present the test checks the recording too.
// (The full bit-for-bit comparison with the hardware runs on x86 only, in
// qelvo_extended_tests.)
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>

#include "common/extended.h"
#include "extended_operands.h"

namespace {

using namespace operands;

constexpr long CASES = 100000;

struct Recorded {
  Check check;
  const char *name;
  uint64_t digest;
};

const Recorded RECORDED[] = {
    {Check::ADD, "add", 0x140D41A3792CDC68ULL},
    {Check::SUBTRACT, "subtract", 0x45820AFA85E725F1ULL},
    {Check::MULTIPLY, "multiply", 0xDD1579F82CBBD499ULL},
    {Check::DIVIDE, "divide", 0xC268024BD50F5A47ULL},
    {Check::COMPARE, "compare", 0xC94E2EBDE01B5F4AULL},
    {Check::FROM_DOUBLE, "from double", 0xD4F75DCF67B97D35ULL},
    {Check::TO_DOUBLE, "to double", 0x874F30F54D5334E8ULL},
};

TEST(SoftExtended, GivesTheRecordedX87Results) {
  for (const Recorded &row : RECORDED) {
    uint64_t soft = digestOf<SoftExtended>(row.check, CASES);
    EXPECT_EQ(soft, row.digest) << row.name;
#ifdef QELVO_X87_LONG_DOUBLE
    uint64_t hardware = digestOf<long double>(row.check, CASES);
    EXPECT_EQ(hardware, row.digest)
        << row.name << ": the hardware gives 0x" << std::hex << hardware;
#endif
  }
}

} // namespace
