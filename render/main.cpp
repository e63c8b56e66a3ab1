// corvane: follows the host's power state on the bus and keeps the console
// renderer unit running only while the host is up and not driving its own
// video. Start-up, the event loop and the reports to systemd live here; the
// host-state service's side is in host_state, the decisions and the unit
// calls in render_control.
//
// The loop never waits for a peer: every call goes out asynchronously and
// its answer is one more message. corvane awaits at most two answers at any
// time, one unit call (render_control) and one read of the host state
// (host_state), and handles a bounded batch of messages per wake-up.
#include "host_state.hpp"
#include "render_control.hpp"

#include <cerrno>
#include <cstdio>
#include <err.h>
#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>

namespace {

// Sd-bus can keep failing on the same broken input without consuming it; this
// many failures in one drain end the drain so the loop never spins on them.
constexpr int MAX_PROCESS_FAILURES_PER_DRAIN = 16;
// A drain handles at most this many messages before the loop reads the
// scratch register and looks at its timers, so that a peer flooding corvane
// with messages cannot hold off either.
constexpr int MAX_MESSAGES_PER_DRAIN = 64;

[[noreturn]] void lost_connection() {
    errx(1, "lost connection to dbus");
}

// Runs the bus processing: messages that arrived on the descriptor, those
// that sd-bus already read (during the owner's lookup at start-up), which
// the descriptor will never announce again, and calls whose time is up.
// Returns whether it stopped with messages left (MAX_MESSAGES_PER_DRAIN),
// which the loop then takes without waiting.
bool drain_bus(sd_bus *bus) {
    int failures = 0;
    bool more = true;
    for (int handled = 0; handled < MAX_MESSAGES_PER_DRAIN; ++handled) {
        const int r = sd_bus_process(bus, nullptr);
        if (r == 0) {
            more = false;
            break;
        }
        if (r < 0) {
            if (is_connection_error(r)) {
                lost_connection();
            }
            // A handler's failure or one bad message: carry on with the rest,
            // but only until the descriptor has something new.
            if (++failures >= MAX_PROCESS_FAILURES_PER_DRAIN) {
                more = false;
                break;
            }
        }
    }
    if (sd_bus_is_open(bus) <= 0) {
        lost_connection();
    }
    return more;
}

// What systemd was last told; a line goes out only when this changes.
struct reported_status {
    bool ready; // READY=1 has gone out
    bool sent;  // a status from the loop has gone out, and the fields below are it
    bool host_state_known;
    render_state state;
    unit_call retrying;
    bool host_state_unknown;
    std::uint32_t unit_answers; // the context's count when last looked at
};

// Tells the service manager where corvane stands (`systemctl status` shows
// it), and the first time also that start-up is done: once the first read of
// the host state has been carried out, unit call answered and all, or has
// failed or gone unanswered, so that corvane waits for the service as a
// running unit.
// A decision made while no unit call awaits its answer is reported once its
// call is answered, with whether the call waits for its retry. After each
// answer the status goes out at once, also when the answer is followed by
// the call of a decision made meanwhile: the status then names that newer
// decision while its call awaits systemd. So the status is at most one
// answer behind, however closely calls follow each other. Without a
// manager listening (no NOTIFY_SOCKET) nothing is sent.
void report_status(const render_context &ctx, reported_status &reported) {
    const bool first_read_awaited = !ctx.host_state_known && ctx.read.slot && !ctx.reread.overdue;
    const std::uint32_t answers = ctx.unit_answers;
    const bool answered = answers != reported.unit_answers;
    reported.unit_answers = answers;
    if ((!reported.sent && first_read_awaited) || (ctx.unit.slot && !answered)) {
        return;
    }
    if (reported.sent && reported.host_state_known == ctx.host_state_known &&
        reported.state == ctx.state && reported.retrying == ctx.retry.call &&
        reported.host_state_unknown == ctx.reread.unknown) {
        return;
    }
    const char *ready = reported.ready ? "" : "READY=1\n";
    if (!ctx.host_state_known) {
        (void)sd_notifyf(0, "%sSTATUS=waiting for %s", ready, HOST_STATE_SERVICE);
    } else {
        // Indexed by render_state and by unit_call; arrays of characters
        // rather than of pointers need no relocation at start-up.
        static constexpr char state_texts[][18] = {"host off", "rendering", "host drives video"};
        static constexpr char retry_texts[][17] = {"", ", retrying start", ", retrying stop"};
        (void)sd_notifyf(0, "%sSTATUS=%s%s%s", ready, state_texts[ctx.state],
                         retry_texts[static_cast<int>(ctx.retry.call)],
                         ctx.reread.unknown ? ", host state unknown" : "");
    }
    reported = {.ready = true,
                .sent = true,
                .host_state_known = ctx.host_state_known,
                .state = ctx.state,
                .retrying = ctx.retry.call,
                .host_state_unknown = ctx.reread.unknown,
                .unit_answers = answers};
}

// How long the loop may sleep: until the next scratch poll, retry or read is
// due, and until sd-bus gives up on a call in flight, which it does only
// when the bus is processed after its deadline. The clock is read only while
// something is pending; otherwise the wait depends on the state alone.
int loop_wait_ms(const render_context &ctx) {
    const std::uint64_t deadline = next_deadline_ms(ctx);
    int wait = event_wait_ms(ctx.state, deadline, deadline != NO_DEADLINE ? monotonic_ms() : 0);
    std::uint64_t bus_due_us = UINT64_MAX;
    if (sd_bus_get_timeout(ctx.bus, &bus_due_us) > 0) {
        wait = shorter_wait_ms(wait, bus_wait_ms(bus_due_us, monotonic_us()));
    }
    return wait;
}

// Runs for ever, from the first read of the host state on. `ready` tells
// whether systemd has been told already that corvane has started.
[[noreturn]] void run_event_loop(render_context &ctx, int bus_fd, bool ready) {
    pollfd bus_poll = {bus_fd, POLLIN, 0};
    reported_status reported = {};
    reported.ready = ready;
    for (;;) {
        // Messages left by the drain are taken without waiting.
        const bool more = drain_bus(ctx.bus);
        report_status(ctx, reported);
        bus_poll.revents = 0;
        // An interrupted wait counts as a wake-up: a stream of signals must
        // not put off the scratch poll or a due retry.
        if (poll(&bus_poll, 1, more ? 0 : loop_wait_ms(ctx)) < 0 && errno != EINTR) {
            err(1, "poll failure");
        }
        if ((bus_poll.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            // Its last messages first: the failure of a call in flight.
            drain_bus(ctx.bus);
            lost_connection();
        }
        if (bus_poll.revents != 0) {
            drain_bus(ctx.bus);
        }
        if (ctx.state == RENDERING) {
            check_vga_scratch(ctx);
        }
        if (next_deadline_ms(ctx) != NO_DEADLINE) {
            const std::uint64_t now = monotonic_ms();
            retry_unit_call(ctx, now);
            host_state_timers(ctx, now);
        }
    }
}

// Whether a register file could not be opened because it is not there
// (yet): its driver has not appeared, or the platform has not set its path.
// Any other failure (a directory, no permission, a read-only sandbox) is the
// platform's to mend, and ends corvane.
bool register_absent(int error) {
    return error == ENOENT || error == ENODEV || error == ENXIO;
}

// Opens a register file, waiting while it is absent, as corvane waits for a
// late host-state service rather than ending and being started again every
// second: it says so once, tells systemd that it has started, with the
// status "waiting for PATH", and tries again on the retry schedule, so that
// a file that appears later is taken within a minute. `ready` is set once
// systemd has been told.
int open_register(const char *path, int flags, const char *what, bool &ready) {
    std::uint32_t delay_ms = 0;
    for (;;) {
        const int fd = open(path, flags | O_CLOEXEC);
        if (fd >= 0) {
            return fd;
        }
        if (!register_absent(errno)) {
            err(1, "can't open %s interface at %s", what, path);
        }
        if (delay_ms == 0) {
            warn("can't open %s interface at %s", what, path);
            (void)sd_notifyf(0, "%sSTATUS=waiting for %s", ready ? "" : "READY=1\n", path);
            ready = true;
        }
        delay_ms = next_retry_delay(delay_ms);
        // Nothing else to wait for yet: not even on the bus.
        (void)poll(nullptr, 0, static_cast<int>(delay_ms));
    }
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 4) {
        // A kernel may start us with no argument vector or an empty program
        // name; the usage line still names the program then.
        const char *name =
            argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ? argv[0] : "corvane";
        (void)std::fprintf(stderr, "usage: %s <VGA-reg> <SCU-reg> <renderer-service>\n", name);
        return 1;
    }

    render_context ctx = {}; // host off, nothing pending, no owner known yet
    ctx.renderer_unit = argv[3];

    bool ready = false;
    ctx.vga_fd = open_register(argv[1], O_RDONLY, "VGA scratch regs", ready);
    ctx.video_mode_fd = open_register(argv[2], O_WRONLY, "video mode reg", ready);

    const int r = sd_bus_default(&ctx.bus);
    if (r < 0) {
        errno = -r;
        err(1, "can't connect to dbus");
    }

    if (!follow_host_state_service(ctx)) {
        return 1;
    }
    // The first read of the host state is the loop's: corvane waits for a
    // service that is late or not ready rather than ending.
    request_host_state_read(ctx);

    const int bus_fd = sd_bus_get_fd(ctx.bus);
    if (bus_fd < 0) {
        errno = -bus_fd;
        err(1, "can't get the dbus connection's descriptor");
    }

    run_event_loop(ctx, bus_fd, ready);
}
