// Render control: the state machine that switches the console renderer unit
// and mirrors the choice into the SCU video mode register.
#include "render_control.hpp"

#include "owned.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

render_transition next_on_host_state(render_state current, bool running) {
    switch (current) {
    case HOST_OFF:
        if (running) {
            return {RENDERING, render_action::check_scratch_then_start};
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

namespace {

// Starts or stops the renderer unit through systemd, then records the outcome
// in the video mode register. A failed unit call leaves the register as it
// was, so that it never claims a renderer that systemd refused to start.
void set_render_state(render_context &ctx, bool on) {
    char mode_text[2] = {'0', '\n'};
    const char *verb = on ? "start" : "stop";

    (void)std::fprintf(stderr, "setting render state to %s\n", on ? "running" : "stopped");

    error_record error;
    const int r =
        sd_bus_call_method(ctx.bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                           "org.freedesktop.systemd1.Manager", on ? "StartUnit" : "StopUnit",
                           &error.error, nullptr, "ss", ctx.renderer_unit, "replace");
    if (r < 0) {
        warnx("failed to %s %s: %s\n", verb, ctx.renderer_unit,
              sd_bus_error_is_set(&error.error) ? error.error.name : std::strerror(-r));
        return;
    }
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
    const render_transition next = next_on_host_state(ctx.state, running);
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
