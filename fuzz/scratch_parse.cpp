// Fuzz target: the VGA scratch register text, any bytes the register file may
// hold. The parse must read only the bytes it is given (at most the register's
// 8), agree with strtoul over a terminated copy of them, and call a reading
// valid only when it is a byte.
#include "render_control.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::size_t counted = size < VGA_SCRATCH_MAX_TEXT ? size : VGA_SCRATCH_MAX_TEXT;
    char terminated[VGA_SCRATCH_MAX_TEXT + 1] = {};
    std::memcpy(terminated, data, counted);

    errno = 0;
    const unsigned long expected = std::strtoul(terminated, nullptr, 0);
    const int expected_errno = errno;

    // The input buffer is exactly `size` bytes, so any read beyond the bytes
    // given is an AddressSanitizer report.
    errno = EINTR;
    const scratch_reading reading = parse_vga_scratch(reinterpret_cast<const char *>(data), size);
    if (errno != EINTR) {
        std::abort(); // errno belongs to the caller's warning
    }

    if (reading.parse_errno != expected_errno) {
        std::abort();
    }
    const bool expected_valid = expected_errno == 0 && expected <= VGA_SCRATCH_MAX_VALUE;
    if (reading.valid != expected_valid) {
        std::abort();
    }
    if (reading.valid && (reading.value > VGA_SCRATCH_MAX_VALUE || reading.value != expected)) {
        std::abort();
    }
    return 0;
}
