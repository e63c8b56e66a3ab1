// Render control: the state machine that switches the console renderer unit
// through systemd's StartUnit and StopUnit, one asynchronous call at a time,
// and mirrors the outcome into the SCU video mode register.
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

bool line_budget_take(line_budget &budget, std::uint64_t now_ms) {
    if (budget.told == 0) {
        budget.ends_ms = now_ms + LINE_MINUTE_MS;
    }
    if (budget.told < OWNER_LINES_PER_MINUTE) {
        ++budget.told;
        return true;
    }
    ++budget.untold;
    return false;
}

std::uint32_t line_budget_close(line_budget &budget, std::uint64_t now_ms) {
    if (budget.told == 0 || now_ms < budget.ends_ms) {
        return 0;
    }
    const std::uint32_t untold = budget.untold;
    budget = {};
    return untold;
}

const char *unit_call_failure_name(const char *name, bool timed_out, bool connection_lost) {
    if (name == nullptr || std::strcmp(name, "org.freedesktop.DBus.Error.NoReply") != 0) {
        return name;
    }
    if (connection_lost) {
        return "org.freedesktop.DBus.Error.Disconnected";
    }
    return timed_out ? "org.freedesktop.DBus.Error.Timeout" : name;
}

std::uint64_t next_deadline_ms(const render_context &ctx) {
    std::uint64_t deadline = NO_DEADLINE;
    if (ctx.retry.call != unit_call::none) {
        deadline = ctx.retry.due_ms;
    }
    if (ctx.reread.wanted && ctx.reread.due_ms < deadline) {
        deadline = ctx.reread.due_ms;
    }
    if (ctx.owner_lines.untold != 0 && ctx.owner_lines.ends_ms < deadline) {
        deadline = ctx.owner_lines.ends_ms;
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

int bus_wait_ms(std::uint64_t due_us, std::uint64_t now_us) {
    if (due_us == UINT64_MAX) {
        return -1;
    }
    if (due_us <= now_us) {
        return 0;
    }
    // Kept to 32 bits (about 71 minutes, beyond any call timeout), so that
    // the division needs no helper library on armhf.
    constexpr std::uint32_t longest_us = UINT32_MAX - 999U;
    const std::uint64_t until_us = due_us - now_us;
    const std::uint32_t wait_us =
        until_us < longest_us ? static_cast<std::uint32_t>(until_us) : longest_us;
    return static_cast<int>((wait_us + 999U) / 1000U);
}

int shorter_wait_ms(int a, int b) {
    if (a < 0) {
        return b;
    }
    return b < 0 || a < b ? a : b;
}

std::uint64_t monotonic_ms() {
    timespec now = {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    // Kept to 32-bit divisions: a 64-bit one needs a helper library on armhf.
    return static_cast<std::uint64_t>(now.tv_sec) * 1000U +
           static_cast<std::uint32_t>(now.tv_nsec) / 1000000U;
}

std::uint64_t monotonic_us() {
    timespec now = {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000U +
           static_cast<std::uint32_t>(now.tv_nsec) / 1000U;
}

std::uint64_t call_deadline_ms(sd_bus *bus) {
    std::uint64_t timeout_us = 0;
    if (sd_bus_get_method_call_timeout(bus, &timeout_us) < 0) {
        timeout_us = 25000000;
    }
    // Kept to 32 bits (about 71 minutes at most), so that the division needs
    // no helper library on armhf.
    const std::uint32_t capped_us =
        timeout_us < UINT32_MAX ? static_cast<std::uint32_t>(timeout_us) : UINT32_MAX;
    return monotonic_ms() + capped_us / 1000U;
}

namespace {

void print_progress(bool on) {
    (void)std::fprintf(stderr, "setting render state to %s\n", on ? "running" : "stopped");
}

// A unit call that failed: reported unless it is a retry that failed just as
// the attempt before it did (a refusal that lasts is reported once), and put
// up for another attempt `next_retry_delay(previous_delay_ms)` after the
// failure. The register is left as it was, so that it never claims a
// renderer that systemd refused to start.
void unit_call_failed(render_context &ctx, unit_call call, std::uint32_t previous_delay_ms,
                      const char *reason) {
    const bool on = call == unit_call::start;
    const bool retrying = previous_delay_ms != 0;
    if (remember_failure(ctx.retry.last_failure, reason) || !retrying) {
        if (retrying) {
            print_progress(on);
        }
        warnx("failed to %s %s: %s\n", on ? "start" : "stop", ctx.renderer_unit, reason);
    }
    // The wait counts from the failure: the call may have taken the bus's
    // whole timeout.
    const std::uint32_t delay_ms = next_retry_delay(previous_delay_ms);
    ctx.retry.call = call;
    ctx.retry.delay_ms = delay_ms;
    ctx.retry.due_ms = monotonic_ms() + delay_ms;
}

// A unit call that did its work: the outcome goes into the video mode
// register. A retried attempt says so only now.
void unit_call_done(render_context &ctx, unit_call call, bool retrying) {
    const bool on = call == unit_call::start;
    const char mode_text[2] = {on ? '1' : '0', '\n'};
    if (retrying) {
        print_progress(on);
    }
    ctx.retry.call = unit_call::none;
    if (lseek(ctx.video_mode_fd, 0, SEEK_SET) < 0) {
        warn("Can't seek video mode reg interface");
        return;
    }
    if (write(ctx.video_mode_fd, mode_text, sizeof mode_text) < 0) {
        warn("Can't write video mode reg interface");
    }
}

int on_unit_call_answer(sd_bus_message *answer, void *userdata, sd_bus_error *unused);

// Sends StartUnit or StopUnit; on_unit_call_answer takes the answer. A new
// decision (previous_delay_ms 0) says what it does before the call, so the
// line is there even while systemd keeps it waiting, and replaces whatever
// attempt was pending. A retried attempt speaks only once it knows the
// outcome.
void send_unit_call(render_context &ctx, unit_call call, std::uint32_t previous_delay_ms) {
    const bool on = call == unit_call::start;
    if (previous_delay_ms == 0) {
        print_progress(on);
        ctx.retry.call = unit_call::none;
    }
    // Taken before sd-bus takes its own, so that by sd-bus's deadline this
    // one has passed too.
    const std::uint64_t due_ms = call_deadline_ms(ctx.bus);
    sd_bus_message *call_message = nullptr;
    int r = sd_bus_message_new_method_call(
        ctx.bus, &call_message, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
        "org.freedesktop.systemd1.Manager", on ? "StartUnit" : "StopUnit");
    const message_ptr message(call_message);
    sd_bus_slot *slot = nullptr;
    if (r >= 0) {
        r = sd_bus_message_append(message.get(), "ss", ctx.renderer_unit, "replace");
    }
    if (r >= 0) {
        // 0: the bus's own call timeout.
        r = sd_bus_call_async(ctx.bus, &slot, message.get(), on_unit_call_answer, &ctx, 0);
    }
    if (r < 0) {
        unit_call_failed(ctx, call, previous_delay_ms, std::strerror(-r));
        return;
    }
    ctx.unit.slot.reset(slot);
    ctx.unit.call = call;
    ctx.unit.delay_ms = previous_delay_ms;
    ctx.unit.due_ms = due_ms;
    // A retry that has gone out is no longer due: its answer decides what
    // comes next. Left due, it would keep the loop from sleeping until then.
    if (previous_delay_ms != 0) {
        ctx.retry.due_ms = NO_DEADLINE;
    }
}

// A decision to start or stop the renderer: made at once, or, while another
// call awaits its answer, recorded for when it comes.
void decide_unit_call(render_context &ctx, unit_call call) {
    if (ctx.unit.slot) {
        ctx.unit.next = call;
        return;
    }
    send_unit_call(ctx, call, 0);
}

// Takes systemd's answer, or the failure sd-bus puts in its place, then
// carries out the latest decision made meanwhile if it differs from the
// call just answered.
int on_unit_call_answer(sd_bus_message *answer, void *userdata, sd_bus_error * /*unused*/) {
    auto &ctx = *static_cast<render_context *>(userdata);
    const unit_call call = ctx.unit.call;
    const std::uint32_t previous_delay_ms = ctx.unit.delay_ms;
    const unit_call next = ctx.unit.next;
    const bool timed_out = monotonic_ms() >= ctx.unit.due_ms;
    // sd-bus holds the slot until this handler returns.
    ctx.unit = {};
    ++ctx.unit_answers;

    const sd_bus_error *error = sd_bus_message_get_error(answer);
    const bool connected = sd_bus_is_open(ctx.bus) > 0;
    if (error != nullptr && !unit_call_failure_means_done(call == unit_call::start, error->name)) {
        unit_call_failed(ctx, call, previous_delay_ms,
                         unit_call_failure_name(error->name, timed_out, !connected));
    } else {
        unit_call_done(ctx, call, previous_delay_ms != 0);
    }
    // Without a connection, the loop ends corvane next.
    if (connected && next != unit_call::none && next != call) {
        send_unit_call(ctx, next, 0);
    }
    return 0;
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
            decide_unit_call(ctx, unit_call::start);
        }
        break;
    case render_action::stop_renderer:
        decide_unit_call(ctx, unit_call::stop);
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
    ctx.state = next.next;
    if (next.action == render_action::stop_renderer) {
        decide_unit_call(ctx, unit_call::stop);
    }
}

void retry_unit_call(render_context &ctx, std::uint64_t now_ms) {
    const unit_call_retry pending = ctx.retry;
    if (pending.call == unit_call::none || now_ms < pending.due_ms || ctx.unit.slot) {
        return;
    }
    if (!retry_still_wanted(ctx.state, pending.call)) {
        ctx.retry.call = unit_call::none;
        return;
    }
    send_unit_call(ctx, pending.call, pending.delay_ms);
}
