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

[[noreturn]] void lost_connection() {
    errx(1, "lost connection to dbus");
}

// The bus hands out a broadcast signal only through the match rule, which
// names the host-state service as sender. A signal addressed to corvane
// itself is delivered whatever the rule says, and sd-bus cannot tell a
// well-known sender name from the unique name the message carries, so for
// such a signal ask the bus who owns the service now.
bool sent_by_host_state_service(sd_bus *bus, sd_bus_message *message) {
    if (sd_bus_message_get_destination(message) == nullptr) {
        return true;
    }
    const char *sender = sd_bus_message_get_sender(message);
    if (sender == nullptr) {
        return false;
    }

    error_record error;
    sd_bus_message *reply_message = nullptr;
    const int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "GetNameOwner", &error.error,
                                     &reply_message, "s", HOST_STATE_SERVICE);
    const message_ptr reply(reply_message);
    if (r < 0) {
        return false;
    }
    const char *owner = nullptr;
    return sd_bus_message_read_basic(reply.get(), SD_BUS_TYPE_STRING, &owner) > 0 &&
           std::strcmp(owner, sender) == 0;
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
    if (sent_by_host_state_service(ctx.bus, message)) {
        // The service's own word is newer than any read still owed.
        ctx.reread = {};
        update_host_state(ctx, host_state_is_running(value));
    }
    (void)sd_bus_message_exit_container(message);
    return 0;
}

// Runs the bus processing until nothing is left: signals that arrived on the
// descriptor, and those that sd-bus already read while a blocking call
// waited for its reply, which the descriptor will never announce again.
void drain_bus(sd_bus *bus) {
    int failures = 0;
    for (;;) {
        const int r = sd_bus_process(bus, nullptr);
        if (r == 0) {
            break;
        }
        if (r < 0) {
            if (is_connection_error(r)) {
                lost_connection();
            }
            // A handler's failure or one bad message: carry on with the rest.
            if (++failures >= MAX_PROCESS_FAILURES_PER_DRAIN) {
                break;
            }
        }
    }
    if (sd_bus_is_open(bus) <= 0) {
        lost_connection();
    }
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

void warn_host_state_failure(int r, const char *reason) {
    warnx("error querying host state: %d, %s\n", r, reason);
}

// Reads CurrentHostState once and waits for the answer. Returns the result of
// the read; on failure the line has been printed.
int read_host_state(sd_bus *bus, bool &running) {
    error_record error;
    sd_bus_message *answer_message = nullptr;
    int r = sd_bus_call_method(bus, HOST_STATE_SERVICE, HOST_STATE_PATH, PROPERTIES_INTERFACE,
                               "Get", &error.error, &answer_message, "ss", HOST_STATE_INTERFACE,
                               HOST_STATE_PROPERTY);
    const message_ptr answer(answer_message);
    if (r >= 0) {
        r = host_state_from_answer(answer.get(), running, &error.error);
    }
    if (r < 0) {
        // A local failure (no reply at all) may leave the record without a name.
        warn_host_state_failure(r, sd_bus_error_is_set(&error.error) ? error.error.name
                                                                     : std::strerror(-r));
    }
    return r;
}

// Asks the host-state service for its state again without waiting for the
// answer, which on_host_state_read takes. sd-bus gives up on the answer after
// HOST_STATE_READ_TIMEOUT_MS; the loop wakes by then so that it can.
void send_host_state_read(render_context &ctx) {
    sd_bus_message *call_message = nullptr;
    int r = sd_bus_message_new_method_call(ctx.bus, &call_message, HOST_STATE_SERVICE,
                                           HOST_STATE_PATH, PROPERTIES_INTERFACE, "Get");
    const message_ptr call(call_message);
    sd_bus_slot *slot = nullptr;
    if (r >= 0) {
        r = sd_bus_message_append(call.get(), "ss", HOST_STATE_INTERFACE, HOST_STATE_PROPERTY);
    }
    if (r >= 0) {
        r = sd_bus_call_async(ctx.bus, &slot, call.get(), on_host_state_read, &ctx,
                              HOST_STATE_READ_TIMEOUT_MS * 1000ULL);
    }
    if (r < 0) {
        host_state_read_failed(ctx, r, std::strerror(-r));
        return;
    }
    ctx.reread.in_flight.reset(slot);
    ctx.reread.due_ms = monotonic_ms() + HOST_STATE_READ_TIMEOUT_MS + 1;
}

// What systemd was last told; a line goes out only when this changes.
struct reported_status {
    bool ready;
    render_state state;
    unit_call retrying;
    bool host_state_unknown;
};

// Tells the service manager where corvane stands (`systemctl status` shows
// it), and the first time also that start-up is done. Without a manager
// listening (no NOTIFY_SOCKET) nothing is sent.
void report_status(const render_context &ctx, reported_status &reported) {
    if (reported.ready && reported.state == ctx.state && reported.retrying == ctx.retry.call &&
        reported.host_state_unknown == ctx.reread.unknown) {
        return;
    }
    // Indexed by render_state and by unit_call; arrays of characters rather
    // than of pointers need no relocation at start-up.
    static constexpr char state_texts[][18] = {"host off", "rendering", "host drives video"};
    static constexpr char retry_texts[][17] = {"", ", retrying start", ", retrying stop"};
    (void)sd_notifyf(0, "%sSTATUS=%s%s%s", reported.ready ? "" : "READY=1\n",
                     state_texts[ctx.state], retry_texts[static_cast<int>(ctx.retry.call)],
                     ctx.reread.unknown ? ", host state unknown" : "");
    reported = {true, ctx.state, ctx.retry.call, ctx.reread.unknown};
}

// Runs for ever. Its first report tells systemd that corvane is ready: by
// then it has subscribed and carried out the first host state, unit call and
// all, even when that call failed and waits for its retry.
[[noreturn]] void run_event_loop(render_context &ctx, int bus_fd) {
    pollfd bus_poll = {bus_fd, POLLIN, 0};
    reported_status reported = {false, HOST_OFF, unit_call::none, false};
    for (;;) {
        drain_bus(ctx.bus);
        report_status(ctx, reported);

        // The clock is read only while something is pending; otherwise the
        // wait depends on the state alone.
        const std::uint64_t deadline = next_deadline_ms(ctx);
        const int timeout =
            event_wait_ms(ctx.state, deadline, deadline != NO_DEADLINE ? monotonic_ms() : 0);
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
        // A read in flight is left to sd-bus, which ends it by its answer or
        // its timeout when the bus is next processed.
        if (ctx.reread.wanted && !ctx.reread.in_flight && now >= ctx.reread.due_ms) {
            send_host_state_read(ctx);
        }
    }
}

} // namespace

// Walks PropertiesChanged(s interface, a{sv} changed, as invalidated) for the
// first CurrentHostState that holds a string; everything else is skipped.
int on_host_properties_changed(sd_bus_message *message, void *userdata, sd_bus_error * /*unused*/) {
    auto &ctx = *static_cast<render_context *>(userdata);

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
    // Whatever was owed to the previous owner is void; a new owner starts
    // afresh, with its first failure reported.
    ctx.reread = {};
    if (new_owner[0] == '\0') {
        warnx("%s left the bus; keeping the last host state", HOST_STATE_SERVICE);
        ctx.reread.unknown = true;
        return 0;
    }
    ctx.reread.wanted = true;
    send_host_state_read(ctx);
    return 0;
}

int on_host_state_read(sd_bus_message *answer, void *userdata, sd_bus_error * /*unused*/) {
    auto &ctx = *static_cast<render_context *>(userdata);
    // sd-bus holds the slot until this handler returns.
    ctx.reread.in_flight.reset();

    // An error answer, sd-bus's own too when the service did not answer in
    // time, carries a name.
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
    if (remember_failure(ctx.reread.last_failure, reason)) {
        warn_host_state_failure(r, reason);
    }
    ctx.reread.unknown = true;
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

    render_context ctx = {HOST_OFF, -1, -1, nullptr, argv[3], {}, {}};

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

    bool running = false;
    if (read_host_state(ctx.bus, running) < 0) {
        return 1;
    }
    update_host_state(ctx, running);

    const int bus_fd = sd_bus_get_fd(ctx.bus);
    if (bus_fd < 0) {
        errno = -bus_fd;
        err(1, "can't get the dbus connection's descriptor");
    }

    run_event_loop(ctx, bus_fd);
}
