// A stand-in for corvane's render control that records the host-state
// readings it is handed instead of switching the renderer, so the host-state
// signal handler can be driven from a fuzzer.
#pragma once

#include "render_control.hpp"

#include <cstddef>

struct host_state_update {
    const render_context *ctx;
    bool running;
};

void start_recording_updates();
std::size_t recorded_update_count();
const host_state_update &recorded_update(std::size_t index);
// check_vga_scratch belongs to the event loop, never to the signal handler.
std::size_t scratch_check_count();
