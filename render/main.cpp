// corvane: follows the host's power state on the bus and keeps the console
// renderer unit running only while the host is up and not driving its own
// video. Start-up, the host-state subscriptions, the reports to systemd and
// the event loop live here; the decisions are in render_control.
#include "host_state.hpp"
#include "owned.hpp"
#include "render_control.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
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

// What a read of the host state that goes unanswered is reported as: what
// the bus itself answers for a recipient that leaves without answering.
constexpr const char *NO_REPLY_ERROR = "org.freedesktop.DBus.Error.NoReply";

[[noreturn]] void lost_connection() {
    errx(1, "lost connection to dbus");
}

// The bus hands out a broadcast signal only through the match rule, which
// names the host-state service as sender. A signal addressed to corvane
// itself is delivered whatever the rule says, and sd-bus cannot tell a
// well-known sender name from the unique name the message carries, so such a
// signal counts only when it comes from the owner the bus last named. That
// costs a comparison, not a call: a peer may send as many as it likes.
bool sent_by_host_state_service(const render_context &ctx, sd_bus_message *message) {
    if (sd_bus_message_get_destination(message) == nullptr) {
        return true;
    }
    const char *sender = sd_bus_message_get_sender(message);
    return sender != nullptr && ctx.host_state_owner[0] != '\0' &&
           std::strcmp(sender, ctx.host_state_owner) == 0;
}

void remember_host_state_owner(render_context &ctx, const char *owner) {
    (void)std::snprintf(ctx.host_state_owner, sizeof ctx.host_state_owner, "%s", owner);
}

// Asks the bus once who owns the host-state service; from then on the bus's
// NameOwnerChanged keeps the answer. No owner, or no answer, leaves it empty.
void read_host_state_owner(render_context &ctx) {
    error_record error;
    sd_bus_message *reply_message = nullptr;
    const int r = sd_bus_call_method(ctx.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "GetNameOwner", &error.error,
                                     &reply_message, "s", HOST_STATE_SERVICE);
    const message_ptr reply(reply_message);
    const char *owner = nullptr;
    if (r >= 0 && sd_bus_message_read_basic(reply.get(), SD_BUS_TYPE_STRING, &owner) > 0) {
        remember_host_state_owner(ctx, owner);
    }
}

// Reads a string-valued variant holding the host state and applies it.
// The message stands inside the dictionary entry, at the variant.
int apply_host_state_variant(sd_bus_message *message, render_context &ctx, const char *contents) {
    if (sd_bus_message_enter_container(message, SD_BUS_TYPE_VARIANT, contents) <= 0) {
        return -1;
    }
    const char *value = nullptr;
    if (sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &value) <= 0) {
        (void)sd_bus_message_exit_container(message);
        return -1;
    }
    // The service's own word is newer than any read still owed.
    ctx.reread = {};
    update_host_state(ctx, host_state_is_running(value));
    (void)sd_bus_message_exit_container(message);
    return 0;
}

// Runs the bus processing: signals that arrived on the descriptor, and those
// that sd-bus already read while a blocking call waited for its reply, which
// the descriptor will never announce again. Returns whether it stopped with
// messages left (MAX_MESSAGES_PER_DRAIN), which the loop then takes without
// waiting.
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

// Subscribes to host-state changes and to restarts of the host-state service;
// start-up ends here if the bus refuses. Returns false, having printed
// nothing, when the rule text cannot even be built.
bool subscribe_to_host_state(render_context &ctx) {
    char *rule_text = nullptr;
    if (asprintf(&rule_text, HOST_STATE_MATCH_FORMAT, HOST_STATE_PATH, PROPERTIES_INTERFACE,
                 PROPERTIES_CHANGED) < 0) {
        return false;
    }
    const owned_string rule(rule_text);

    if (sd_bus_add_match(ctx.bus, nullptr, rule.get(), on_host_properties_changed, &ctx) < 0 ||
        sd_bus_add_match(ctx.bus, nullptr, HOST_STATE_OWNER_MATCH, on_host_state_owner_changed,
                         &ctx) < 0) {
        errx(1, "can't establish host property change handler");
    }
    return true;
}

// Takes the host state out of the answer to a read of CurrentHostState.
// Returns 0, or a negative errno with `failure` naming it as sd-bus names an
// errno (an answer that holds no string: System.Error.ENXIO).
int host_state_from_answer(sd_bus_message *answer, bool &running, sd_bus_error *failure) {
    const char *value = nullptr;
    int r = sd_bus_message_read(answer, "v", "s", &value);
    if (r == 0) {
        r = -ENXIO; // an empty answer
    }
    if (r < 0) {
        return sd_bus_error_set_errno(failure, r);
    }
    running = host_state_is_running(value);
    return 0;
}

// A read that failed or went unanswered: reported unless the attempt before
// failed the same way; the host state held is from then on unknown.
void note_host_state_failure(render_context &ctx, int r, const char *reason) {
    if (remember_failure(ctx.reread.last_failure, reason)) {
        warnx("error querying host state: %d, %s\n", r, reason);
    }
    ctx.reread.unknown = true;
}

// How long a call may go unanswered before it counts as failed: the bus's
// own call timeout (25 s unless SYSTEMD_BUS_TIMEOUT says otherwise), kept to
// 32 bits (about 71 minutes at most) so that no 64-bit division is needed.
std::uint32_t call_timeout_ms(sd_bus *bus) {
    std::uint64_t timeout_us = 0;
    if (sd_bus_get_method_call_timeout(bus, &timeout_us) < 0) {
        timeout_us = 25000000;
    }
    return (timeout_us < UINT32_MAX ? static_cast<std::uint32_t>(timeout_us) : UINT32_MAX) / 1000U;
}

// Asks the host-state service for its state without waiting for the answer,
// which on_host_state_read takes whenever it comes: sd-bus is told never to
// give up on it. The loop wakes after the call timeout to report it overdue.
// A read is owed from here until one succeeds.
void send_host_state_read(render_context &ctx) {
    ctx.reread.wanted = true;
    sd_bus_message *call_message = nullptr;
    int r = sd_bus_message_new_method_call(ctx.bus, &call_message, HOST_STATE_SERVICE,
                                           HOST_STATE_PATH, PROPERTIES_INTERFACE, "Get");
    const message_ptr call(call_message);
    sd_bus_slot *slot = nullptr;
    if (r >= 0) {
        r = sd_bus_message_append(call.get(), "ss", HOST_STATE_INTERFACE, HOST_STATE_PROPERTY);
    }
    if (r >= 0) {
        r = sd_bus_call_async(ctx.bus, &slot, call.get(), on_host_state_read, &ctx, UINT64_MAX);
    }
    if (r < 0) {
        host_state_read_failed(ctx, r, std::strerror(-r));
        return;
    }
    ctx.reread.in_flight.reset(slot);
    ctx.reread.overdue = false;
    ctx.reread.due_ms = monotonic_ms() + call_timeout_ms(ctx.bus);
}

// The read in flight has gone unanswered for the call timeout: reported as a
// failure would be, but still awaited, and nothing is sent meanwhile.
void host_state_read_overdue(render_context &ctx) {
    note_host_state_failure(ctx, -ETIMEDOUT, NO_REPLY_ERROR);
    ctx.reread.overdue = true;
    ctx.reread.due_ms = NO_DEADLINE;
}

// What systemd was last told; a line goes out only when this changes.
struct reported_status {
    bool ready;
    bool host_state_known;
    render_state state;
    unit_call retrying;
    bool host_state_unknown;
};

// Tells the service manager where corvane stands (`systemctl status` shows
// it), and the first time also that start-up is done: once the first read of
// the host state has been carried out, unit call and all, or has failed or
// gone unanswered, so that corvane waits for the service as a running unit.
// Without a manager listening (no NOTIFY_SOCKET) nothing is sent.
void report_status(const render_context &ctx, reported_status &reported) {
    if (!reported.ready && !ctx.host_state_known && ctx.reread.in_flight && !ctx.reread.overdue) {
        return;
    }
    if (reported.ready && reported.host_state_known == ctx.host_state_known &&
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
    reported = {true, ctx.host_state_known, ctx.state, ctx.retry.call, ctx.reread.unknown};
}

// Runs for ever, from the first read of the host state on.
[[noreturn]] void run_event_loop(render_context &ctx, int bus_fd) {
    pollfd bus_poll = {bus_fd, POLLIN, 0};
    reported_status reported = {false, false, HOST_OFF, unit_call::none, false};
    for (;;) {
        const bool more = drain_bus(ctx.bus);
        report_status(ctx, reported);

        // The clock is read only while something is pending; otherwise the
        // wait depends on the state alone. Messages left by the drain are
        // taken at once.
        const std::uint64_t deadline = next_deadline_ms(ctx);
        const int timeout =
            more ? 0
                 : event_wait_ms(ctx.state, deadline, deadline != NO_DEADLINE ? monotonic_ms() : 0);
        bus_poll.revents = 0;
        // An interrupted wait counts as a wake-up: a stream of signals must
        // not put off the scratch poll or a due retry.
        if (poll(&bus_poll, 1, timeout) < 0 && errno != EINTR) {
            err(1, "poll failure");
        }
        if ((bus_poll.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            lost_connection();
        }
        if (bus_poll.revents != 0) {
            drain_bus(ctx.bus);
        }
        if (ctx.state == RENDERING) {
            check_vga_scratch(ctx);
        }
        if (next_deadline_ms(ctx) == NO_DEADLINE) {
            continue;
        }
        const std::uint64_t now = monotonic_ms();
        if (ctx.retry.call != unit_call::none) {
            retry_unit_call(ctx, now);
        }
        if (ctx.reread.wanted && now >= ctx.reread.due_ms) {
            if (ctx.reread.in_flight) {
                host_state_read_overdue(ctx);
            } else {
                send_host_state_read(ctx);
            }
        }
    }
}

} // namespace

// Walks PropertiesChanged(s interface, a{sv} changed, as invalidated) for the
// first CurrentHostState that holds a string; everything else is skipped.
int on_host_properties_changed(sd_bus_message *message, void *userdata, sd_bus_error * /*unused*/) {
    auto &ctx = *static_cast<render_context *>(userdata);
    if (!sent_by_host_state_service(ctx, message)) {
        return 0;
    }

    const char *interface = sd_bus_message_get_interface(message);
    const char *member = sd_bus_message_get_member(message);
    if (interface == nullptr || member == nullptr ||
        std::strcmp(interface, PROPERTIES_INTERFACE) != 0 ||
        std::strcmp(member, PROPERTIES_CHANGED) != 0) {
        return 0;
    }

    const char *changed_interface = nullptr;
    if (sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &changed_interface) <= 0 ||
        std::strcmp(changed_interface, HOST_STATE_INTERFACE) != 0) {
        return 0;
    }

    const int entered = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "{sv}");
    if (entered < 0) {
        return -1;
    }
    if (entered == 0) {
        return 0;
    }

    for (;;) {
        if (sd_bus_message_enter_container(message, SD_BUS_TYPE_DICT_ENTRY, "sv") <= 0) {
            return 0;
        }

        const char *key = nullptr;
        if (sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &key) <= 0) {
            (void)sd_bus_message_exit_container(message);
            return 0;
        }

        if (std::strcmp(key, HOST_STATE_PROPERTY) != 0) {
            (void)sd_bus_message_skip(message, "v");
            (void)sd_bus_message_exit_container(message);
            continue;
        }

        char type = 0;
        const char *contents = nullptr;
        if (sd_bus_message_peek_type(message, &type, &contents) <= 0) {
            (void)sd_bus_message_exit_container(message);
            return 0;
        }

        if (type == SD_BUS_TYPE_VARIANT && contents != nullptr &&
            contents[0] == SD_BUS_TYPE_STRING) {
            (void)apply_host_state_variant(message, ctx, contents);
            (void)sd_bus_message_exit_container(message);
            return 0;
        }

        const char skip_type[2] = {type, '\0'};
        (void)sd_bus_message_skip(message, skip_type);
        (void)sd_bus_message_exit_container(message);
    }
}

int on_host_state_owner_changed(sd_bus_message *message, void *userdata,
                                sd_bus_error * /*unused*/) {
    auto &ctx = *static_cast<render_context *>(userdata);

    // Only the bus itself speaks for the names on it. sd-bus cannot hold a
    // signal addressed to corvane to the rule's sender, but the bus stamps
    // every message with its true sender, which no peer can make its own.
    const char *sender = sd_bus_message_get_sender(message);
    if (sender == nullptr || std::strcmp(sender, "org.freedesktop.DBus") != 0) {
        return 0;
    }

    // The name is the one the rule names; the old owner is of no interest.
    const char *new_owner = nullptr;
    if (sd_bus_message_skip(message, "ss") < 0 ||
        sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &new_owner) <= 0) {
        return 0;
    }
    remember_host_state_owner(ctx, new_owner);
    if (new_owner[0] == '\0') {
        // While corvane still waits for a first host state, its attempts go
        // on: the bus fails a read in flight, which is retried as any other.
        if (!ctx.host_state_known) {
            return 0;
        }
        warnx("%s left the bus; keeping the last host state", HOST_STATE_SERVICE);
        ctx.reread = {};
        ctx.reread.unknown = true;
        return 0;
    }
    // Whatever was owed to the previous owner is void; a new owner starts
    // afresh, with its first failure reported. A state that was unknown
    // stays so until the new owner's answer, or its change, is applied.
    const bool unknown = ctx.reread.unknown;
    ctx.reread = {};
    ctx.reread.unknown = unknown;
    send_host_state_read(ctx);
    return 0;
}

int on_host_state_read(sd_bus_message *answer, void *userdata, sd_bus_error * /*unused*/) {
    auto &ctx = *static_cast<render_context *>(userdata);
    // sd-bus holds the slot until this handler returns.
    ctx.reread.in_flight.reset();

    // An error answer carries a name; the bus answers so for a service that
    // leaves without answering.
    error_record error;
    bool running = false;
    int r = sd_bus_error_copy(&error.error, sd_bus_message_get_error(answer));
    if (r == 0) {
        r = host_state_from_answer(answer, running, &error.error);
    }
    if (r < 0) {
        host_state_read_failed(ctx, r, error.error.name);
        return 0;
    }
    ctx.reread = {};
    update_host_state(ctx, running);
    return 0;
}

void host_state_read_failed(render_context &ctx, int r, const char *reason) {
    note_host_state_failure(ctx, r, reason);
    ctx.reread.delay_ms = next_retry_delay(ctx.reread.delay_ms);
    ctx.reread.due_ms = monotonic_ms() + ctx.reread.delay_ms;
}

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

    ctx.vga_fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (ctx.vga_fd < 0) {
        err(1, "can't open VGA scratch regs interface at %s", argv[1]);
    }
    ctx.video_mode_fd = open(argv[2], O_WRONLY | O_CLOEXEC);
    if (ctx.video_mode_fd < 0) {
        err(1, "can't open video mode reg interface at %s", argv[2]);
    }

    int r = sd_bus_default(&ctx.bus);
    if (r < 0) {
        errno = -r;
        err(1, "can't connect to dbus");
    }

    // Subscribe before reading, so that a change made while we start is queued
    // for the loop rather than missed until the next one.
    if (!subscribe_to_host_state(ctx)) {
        return 1;
    }

    // The first read of the host state is the loop's: corvane waits for a
    // service that is late or not ready rather than ending.
    read_host_state_owner(ctx);
    send_host_state_read(ctx);

    const int bus_fd = sd_bus_get_fd(ctx.bus);
    if (bus_fd < 0) {
        errno = -bus_fd;
        err(1, "can't get the dbus connection's descriptor");
    }

    run_event_loop(ctx, bus_fd);
}
