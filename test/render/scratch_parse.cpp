// The VGA scratch register text and what it reads as.
#include "render_control.hpp"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>

namespace {

struct scratch_case {
    const char *text;
    std::size_t length; // bytes read; may stop inside `text`
    bool valid;
    unsigned long value;
};

class ScratchParse : public testing::TestWithParam<scratch_case> {};

TEST_P(ScratchParse, ReadsOnlyTheBytesGiven) {
    const scratch_case &c = GetParam();
    const scratch_reading reading = parse_vga_scratch(c.text, c.length);
    EXPECT_EQ(reading.valid, c.valid) << '"' << c.text << '"';
    if (c.valid) {
        EXPECT_EQ(reading.value, c.value) << '"' << c.text << '"';
        EXPECT_EQ(reading.parse_errno, 0);
    }
}

scratch_case whole(const char *text, bool valid, unsigned long value) {
    return {text, std::strlen(text), valid, value};
}

INSTANTIATE_TEST_SUITE_P(Texts, ScratchParse,
                         testing::Values(
                             // The host's takeover value in every base the register may show.
                             whole("0xa8\n", true, 0xA8), whole("0XA8\n", true, 0xA8),
                             whole("168\n", true, 168), whole("0250\n", true, 0250),
                             whole("  \t168\n", true, 168), whole("+168", true, 168),
                             // Byte limits.
                             whole("0\n", true, 0), whole("255\n", true, 255),
                             whole("0xff\n", true, 255), whole("256\n", false, 0),
                             whole("0x1a8\n", false, 0), whole("0400\n", false, 0),
                             // A minus sign wraps in unsigned arithmetic, so only -0 is a byte.
                             whole("-1\n", false, 0), whole("-0\n", true, 0),
                             // Parsing stops at the first non-digit; no digit at all reads as 0.
                             whole("12ab\n", true, 12), whole("letters", true, 0),
                             whole("0x\n", true, 0), whole("09\n", true, 0), whole("", true, 0),
                             // Only the bytes read count, never what lies beyond them.
                             scratch_case{"16899", 3, true, 168}, scratch_case{"1689", 0, true, 0},
                             // The register text is at most 8 bytes; longer input is cut there.
                             whole("000000168", true, 016), whole("999999999", false, 0)));

TEST(ScratchParse, LeavesErrnoAsItWas) {
    errno = EAGAIN;
    (void)parse_vga_scratch("0x1a8\n", 6);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(ScratchParse, OutOfRangeByValueCarriesNoConversionError) {
    // The warning shows errno text; a merely too-large value has none.
    const scratch_reading reading = parse_vga_scratch("0x1a8\n", 6);
    EXPECT_FALSE(reading.valid);
    EXPECT_EQ(reading.parse_errno, 0);
}

} // namespace
