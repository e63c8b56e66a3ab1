// Render control: the state machine that switches the console renderer unit
// and mirrors the choice into the SCU video mode register.
#include "render_control.hpp"

#include "owned.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <err.h>
#include <unistd.h>

scratch_reading parse_vga_scratch(const char *text, std::size_t length) {
    // Only the bytes actually read count: copy them so the conversion cannot
    // run past them.
    char copy[VGA_SCRATCH_MAX_TEXT + 1] = {};
    if (length > VGA_SCRATCH_MAX_TEXT) {
        length = VGA_SCRATCH_MAX_TEXT;
    }
    std::memcpy(copy, text, length);

    const int saved_errno = errno;
    errno = 0;
    const unsigned long value = std::strtoul(copy, nullptr, 0);
    const int parse_errno = errno;
    errno = saved_errno;

    return {parse_errno == 0 && value <= VGA_SCRATCH_MAX_VALUE, value, parse_errno};
}

render_transition next_on_host_state(render_state current, bool running, bool first) {
    switch (current) {
    case HOST_OFF:
        if (running) {
            return {RENDERING, render_action::check_scratch_then_start};
        }
        if (first) {
            return {HOST_OFF, render_action::stop_renderer};
        }
        break;
    case RENDERING:
    case HOST_VGA_ACTIVE:
        if (!running) {
            return {HOST_OFF, render_action::stop_renderer};
        }
        break;
    }
    return {current, render_action::none};
}

render_transition next_on_scratch(render_state current, const scratch_reading &reading) {
    const bool host_drives_video = !reading.valid || reading.value == HOST_VGA_ACTIVE_VALUE;
    if (current == RENDERING && host_drives_video) {
        return {HOST_VGA_ACTIVE, render_action::stop_renderer};
    }
    return {current, render_action::none};
}

std::uint32_t next_retry_delay(std::uint32_t previous_ms) {
    if (previous_ms == 0) {
        return UNIT_CALL_FIRST_RETRY_MS;
    }
    return previous_ms >= UNIT_CALL_MAX_RETRY_MS / 2 ? UNIT_CALL_MAX_RETRY_MS : previous_ms * 2;
}

bool retry_still_wanted(render_state state, unit_call call) {
    switch (call) {
    case unit_call::start:
        return state == RENDERING;
    case unit_call::stop:
        return state == HOST_OFF || state == HOST_VGA_ACTIVE;
    case unit_call::none:
        break;
    }
    return false;
}

bool unit_call_failure_means_done(bool start, const char *error_name) {
    return !start && error_name != nullptr &&
           std::strcmp(error_name, "org.freedesktop.systemd1.NoSuchUnit") == 0;
}

bool remember_failure(char (&last)[FAILURE_TEXT_SIZE], const char *reason) {
    if (std::strncmp(last, reason, sizeof last) == 0) {
        return false;
    }
    (void)std::snprintf(last, sizeof last, "%s", reason);
    return true;
}

std::uint64_t next_deadline_ms(const render_context &ctx) {
    std::uint64_t deadline = NO_DEADLINE;
    if (ctx.retry.call != unit_call::none) {
        deadline = ctx.retry.due_ms;
    }
    if (ctx.reread.wanted && ctx.reread.due_ms < deadline) {
        deadline = ctx.reread.due_ms;
    }
    return deadline;
}

int event_wait_ms(render_state state, std::uint64_t deadline_ms, std::uint64_t now_ms) {
    int wait = state == RENDERING ? VGA_POLL_INTERVAL_MS : -1;
    if (deadline_ms != NO_DEADLINE) {
        const std::uint64_t until_due = deadline_ms > now_ms ? deadline_ms - now_ms : 0;
        if (wait < 0 || until_due < static_cast<std::uint64_t>(wait)) {
            wait = static_cast<int>(until_due);
        }
    }
    return wait;
}

std::uint64_t monotonic_ms() {
    timespec now = {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    // Kept to 32-bit divisions: a 64-bit one needs a helper library on armhf.
    return static_cast<std::uint64_t>(now.tv_sec) * 1000U +
           static_cast<std::uint32_t>(now.tv_nsec) / 1000000U;
}

namespace {

void print_progress(bool on) {
    (void)std::fprintf(stderr, "setting render state to %s\n", on ? "running" : "stopped");
}

// Starts or stops the renderer unit through systemd, then records the outcome
// in the video mode register. A failed unit call leaves the register as it
// was, so that it never claims a renderer that systemd refused to start, and
// is put up for another attempt `next_retry_delay(previous_delay_ms)` after
// the failure. Any call replaces the attempt that was pending before it.
//
// A new decision says what it does before the call, so the line is there
// even while systemd keeps it waiting. A retried attempt (previous_delay_ms
// not 0) speaks only once it knows the outcome, and not at all when it failed
// just as the attempt before it did: a refusal that lasts is reported once.
void set_render_state(render_context &ctx, bool on, std::uint32_t previous_delay_ms = 0) {
    char mode_text[2] = {'0', '\n'};
    const char *verb = on ? "start" : "stop";
    const bool retrying = previous_delay_ms != 0;

    if (!retrying) {
        print_progress(on);
    }

    error_record error;
    const int r =
        sd_bus_call_method(ctx.bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                           "org.freedesktop.systemd1.Manager", on ? "StartUnit" : "StopUnit",
                           &error.error, nullptr, "ss", ctx.renderer_unit, "replace");
    if (r < 0 && !unit_call_failure_means_done(on, error.error.name)) {
        const char *reason =
            sd_bus_error_is_set(&error.error) ? error.error.name : std::strerror(-r);
        if (remember_failure(ctx.retry.last_failure, reason) || !retrying) {
            if (retrying) {
                print_progress(on);
            }
            warnx("failed to %s %s: %s\n", verb, ctx.renderer_unit, reason);
        }
        // The wait counts from the failure: the call may have taken the bus's
        // whole timeout.
        const std::uint32_t delay_ms = next_retry_delay(previous_delay_ms);
        ctx.retry.call = on ? unit_call::start : unit_call::stop;
        ctx.retry.delay_ms = delay_ms;
        ctx.retry.due_ms = monotonic_ms() + delay_ms;
        return;
    }
    if (retrying) {
        print_progress(on);
    }
    ctx.retry.call = unit_call::none;
    if (on) {
        mode_text[0] = '1';
    }

    if (lseek(ctx.video_mode_fd, 0, SEEK_SET) < 0) {
        warn("Can't seek video mode reg interface");
        return;
    }
    if (write(ctx.video_mode_fd, mode_text, sizeof mode_text) < 0) {
        warn("Can't write video mode reg interface");
    }
}

scratch_reading read_vga_scratch(const render_context &ctx) {
    const scratch_reading unreadable = {false, 0, 0};

    if (lseek(ctx.vga_fd, 0, SEEK_SET) < 0) {
        warn("Can't seek VGA scratch reg interface");
        return unreadable;
    }

    char text[VGA_SCRATCH_MAX_TEXT];
    // An empty read sets no errno; clear it so the warning does not show a
    // stale one left by an earlier call.
    errno = 0;
    const ssize_t length = read(ctx.vga_fd, text, sizeof text);
    if (length <= 0) {
        warn("Can't read VGA scratch register");
        return unreadable;
    }

    const scratch_reading reading = parse_vga_scratch(text, static_cast<std::size_t>(length));
    if (!reading.valid) {
        errno = reading.parse_errno;
        warn("Can't parse VGA scratch register value");
    }
    return reading;
}

} // namespace

void update_host_state(render_context &ctx, bool running) {
    const render_transition next = next_on_host_state(ctx.state, running, !ctx.host_state_known);
    ctx.host_state_known = true;
    ctx.state = next.next;

    switch (next.action) {
    case render_action::check_scratch_then_start:
        check_vga_scratch(ctx);
        if (ctx.state == RENDERING) {
            set_render_state(ctx, true);
        }
        break;
    case render_action::stop_renderer:
        set_render_state(ctx, false);
        break;
    case render_action::none:
        break;
    }
}

void check_vga_scratch(render_context &ctx) {
    const scratch_reading reading = read_vga_scratch(ctx);
    if (!reading.valid) {
        warnx("error reading VGA scratch register, assuming active");
    }

    const render_transition next = next_on_scratch(ctx.state, reading);
    if (next.action == render_action::stop_renderer) {
        set_render_state(ctx, false);
    }
    ctx.state = next.next;
}

void retry_unit_call(render_context &ctx, std::uint64_t now_ms) {
    const unit_call_retry pending = ctx.retry;
    if (pending.call == unit_call::none || now_ms < pending.due_ms) {
        return;
    }
    if (!retry_still_wanted(ctx.state, pending.call)) {
        ctx.retry.call = unit_call::none;
        return;
    }
    set_render_state(ctx, pending.call == unit_call::start, pending.delay_ms);
}
