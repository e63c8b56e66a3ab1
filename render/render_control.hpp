// Render control: decides whether the console renderer unit runs, from the
// host's power state and the VGA scratch register, and carries each decision
// out through systemd and the SCU video mode register.
//
// The decisions are plain functions of plain values (the scratch text, the
// current state, the host reading) so that they are testable without a bus;
// update_host_state and check_vga_scratch apply them to a render_context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <systemd/sd-bus.h>

enum render_state : std::int32_t {
    HOST_OFF = 0,
    RENDERING = 1,
    HOST_VGA_ACTIVE = 2,
};

// The scratch value the host's firmware leaves once it drives the video itself.
constexpr unsigned long HOST_VGA_ACTIVE_VALUE = 0xA8;
constexpr unsigned long VGA_SCRATCH_MAX_VALUE = 255;
// The register file holds a short text; anything longer than this is not a byte.
constexpr std::size_t VGA_SCRATCH_MAX_TEXT = 8;
constexpr int VGA_POLL_INTERVAL_MS = 100;

struct render_context {
    render_state state;
    int vga_fd;
    int video_mode_fd;
    sd_bus *bus;
    const char *renderer_unit; // from argv, so it lives as long as the process
};

struct scratch_reading {
    bool valid;
    unsigned long value;
    int parse_errno; // errno as the conversion left it, for the warning
};

// Reads the first `length` bytes of `text` (at most VGA_SCRATCH_MAX_TEXT) as a
// strtoul base-0 number; valid when the conversion succeeded and the value is
// a byte. `text` need not be NUL-terminated. errno is left as it was.
scratch_reading parse_vga_scratch(const char *text, std::size_t length);

enum class render_action {
    none,
    // Enter RENDERING: look at the scratch register first, start the renderer
    // only if the host has not taken the video.
    check_scratch_then_start,
    stop_renderer,
};

struct render_transition {
    render_state next;
    render_action action;
};

render_transition next_on_host_state(render_state current, bool running);
// `reading` is invalid when the register could not be sought, read or parsed.
render_transition next_on_scratch(render_state current, const scratch_reading &reading);

void update_host_state(render_context &ctx, bool running);
void check_vga_scratch(render_context &ctx);
