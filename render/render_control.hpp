// Render control: decides whether the console renderer unit runs, from the
// host's power state and the VGA scratch register, and carries each decision
// out through systemd and the SCU video mode register.
//
// The decisions are plain functions of plain values (the scratch text, the
// current state, the host reading, the clock) so that they are testable
// without a bus; update_host_state, check_vga_scratch and retry_unit_call
// apply them to a render_context.
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

// A unit call that systemd refused or never answered is tried again while
// the state still wants it: after 1 s, then after twice the previous wait,
// up to one attempt a minute.
constexpr std::uint32_t UNIT_CALL_FIRST_RETRY_MS = 1000;
constexpr std::uint32_t UNIT_CALL_MAX_RETRY_MS = 60000;

enum class unit_call : std::uint8_t {
    none,
    start,
    stop,
};

struct unit_call_retry {
    unit_call call;         // none: nothing to retry, and no timer runs
    std::uint32_t delay_ms; // how long the pending attempt was put off
    std::uint64_t due_ms;   // on the monotonic clock, counted from the failure
};

struct render_context {
    render_state state;
    int vga_fd;
    int video_mode_fd;
    sd_bus *bus;
    const char *renderer_unit; // from argv, so it lives as long as the process
    unit_call_retry retry;
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

// The wait before the next attempt of a failing unit call, given the wait
// before the attempt that just failed (0 when a new decision failed).
std::uint32_t next_retry_delay(std::uint32_t previous_ms);
// Whether `state` still wants the unit call that failed: the renderer runs
// only while RENDERING.
bool retry_still_wanted(render_state state, unit_call call);
// How long the event loop may sleep at `now_ms`: until the next scratch poll
// while RENDERING, until a pending retry is due, otherwise for ever (-1).
int event_wait_ms(render_state state, const unit_call_retry &retry, std::uint64_t now_ms);
std::uint64_t monotonic_ms();

void update_host_state(render_context &ctx, bool running);
void check_vga_scratch(render_context &ctx);
// Tries the pending unit call again if it is due at `now_ms` and still wanted.
void retry_unit_call(render_context &ctx, std::uint64_t now_ms);
