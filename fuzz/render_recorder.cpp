// Records the render control calls corvane's host-state handler makes; see
// render_recorder.hpp.
#include "render_recorder.hpp"

#include "render_control.hpp"

#include <vector>

namespace {

std::vector<host_state_update> updates;
std::size_t scratch_checks = 0;

} // namespace

void start_recording_updates() {
    updates.clear();
    scratch_checks = 0;
}

std::size_t recorded_update_count() {
    return updates.size();
}

const host_state_update &recorded_update(std::size_t index) {
    return updates[index];
}

std::size_t scratch_check_count() {
    return scratch_checks;
}

void update_host_state(render_context &ctx, bool running) {
    updates.push_back({&ctx, running});
}

void check_vga_scratch(render_context & /*ctx*/) {
    ++scratch_checks;
}

// The timing and retries of reads are not the signal handler's business.
std::uint64_t monotonic_ms() {
    return 0;
}

std::uint64_t call_deadline_ms(sd_bus * /*bus*/) {
    return 0;
}

std::uint32_t next_retry_delay(std::uint32_t /*previous_ms*/) {
    return UNIT_CALL_FIRST_RETRY_MS;
}

bool remember_failure([[maybe_unused]] char (&last)[FAILURE_TEXT_SIZE], const char * /*reason*/) {
    return true;
}

// How many lines the owner's comings and goings cost is not either.
std::uint32_t line_budget_close(line_budget & /*budget*/, std::uint64_t /*now_ms*/) {
    return 0;
}

bool line_budget_take(line_budget & /*budget*/, std::uint64_t /*now_ms*/) {
    return true;
}
