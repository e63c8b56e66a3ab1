// Scratch register texts whose meaning depends on the width of unsigned long.
// On the 32-bit target strtoul wraps negatives modulo 2^32, so
// "-4294967128" would come out as exactly 0xA8; the 8-byte read window and the
// byte range check must refuse such texts there as they do on 64-bit hosts.
#include "render_control.hpp"

#include <cstring>
#include <gtest/gtest.h>

namespace {

struct wide_case {
    const char *text;
    bool valid;
    unsigned long value;
};

class TargetWidth : public testing::TestWithParam<wide_case> {};

TEST_P(TargetWidth, SameVerdictOnEveryWordSize) {
    const wide_case &c = GetParam();
    const scratch_reading reading = parse_vga_scratch(c.text, std::strlen(c.text));
    EXPECT_EQ(reading.valid, c.valid) << '"' << c.text << "\" sizeof(long)=" << sizeof(long);
    if (c.valid) {
        EXPECT_EQ(reading.value, c.value) << '"' << c.text << '"';
    }
    // No 8-byte text reaches 2^32, so the conversion never overflows, even
    // with a 32-bit unsigned long.
    EXPECT_EQ(reading.parse_errno, 0) << '"' << c.text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TargetWidth,
    testing::Values(wide_case{"-168\n", false, 0}, wide_case{"-0xa8\n", false, 0},
                    wide_case{"-255\n", false, 0}, wide_case{"-4294967128\n", false, 0},
                    wide_case{"0x1000000a8\n", false, 0}, wide_case{"4294967464\n", false, 0},
                    wide_case{"99999999", false, 0}, wide_case{"0xffffff", false, 0},
                    wide_case{"0x0000a8\n", true, 0xA8}, wide_case{"+0xa8\n", true, 0xA8}));

} // namespace
