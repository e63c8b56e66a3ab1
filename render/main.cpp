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

// Reads CurrentHostState once. Returns the result of the read; on failure the
// line has been printed.
int read_host_state(sd_bus *bus, bool &running) {
    error_record error;
    char *value_text = nullptr;
    const int r =
        sd_bus_get_property_string(bus, HOST_STATE_SERVICE, HOST_STATE_PATH, HOST_STATE_INTERFACE,
                                   HOST_STATE_PROPERTY, &error.error, &value_text);
    if (r < 0) {
        // A local failure (no reply at all) leaves the record without a name.
        warnx("error querying host state: %d, %s\n", r,
              sd_bus_error_is_set(&error.error) ? error.error.name : std::strerror(-r));
        return r;
    }
    const owned_string value(value_text);
    running = host_state_is_running(value.get());
    return 0;
}

// What systemd was last told; a line goes out only when this changes.
struct reported_status {
    bool ready;
    render_state state;
    unit_call retrying;
};

// Tells the service manager where corvane stands (`systemctl status` shows
// it), and the first time also that start-up is done. Without a manager
// listening (no NOTIFY_SOCKET) nothing is sent.
void report_status(const render_context &ctx, reported_status &reported) {
    if (reported.ready && reported.state == ctx.state && reported.retrying == ctx.retry.call) {
        return;
    }
    // Indexed by render_state and by unit_call; arrays of characters rather
    // than of pointers need no relocation at start-up.
    static constexpr char state_texts[][18] = {"host off", "rendering", "host drives video"};
    static constexpr char retry_texts[][17] = {"", ", retrying start", ", retrying stop"};
    (void)sd_notifyf(0, "%sSTATUS=%s%s", reported.ready ? "" : "READY=1\n", state_texts[ctx.state],
                     retry_texts[static_cast<int>(ctx.retry.call)]);
    reported = {true, ctx.state, ctx.retry.call};
}

// Runs for ever. Its first report tells systemd that corvane is ready: by
// then it has subscribed and carried out the first host state, unit call and
// all, even when that call failed and waits for its retry.
[[noreturn]] void run_event_loop(render_context &ctx, int bus_fd) {
    pollfd bus_poll = {bus_fd, POLLIN, 0};
    reported_status reported = {false, HOST_OFF, unit_call::none};
    for (;;) {
        drain_bus(ctx.bus);
        report_status(ctx, reported);

        // The clock is read only while a retry is pending; otherwise the wait
        // depends on the state alone.
        const bool retry_pending = ctx.retry.call != unit_call::none;
        const int timeout = event_wait_ms(ctx.state, ctx.retry, retry_pending ? monotonic_ms() : 0);
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
        if (ctx.retry.call != unit_call::none) {
            retry_unit_call(ctx, monotonic_ms());
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

    // The name and the old owner are of no interest: the rule names the
    // service, and a name that lost its owner leaves the state as it was.
    const char *new_owner = nullptr;
    if (sd_bus_message_skip(message, "ss") < 0 ||
        sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &new_owner) <= 0 ||
        new_owner[0] == '\0') {
        return 0;
    }
    bool running = false;
    if (read_host_state(ctx.bus, running) == 0) {
        update_host_state(ctx, running);
    }
    return 0;
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

    render_context ctx = {HOST_OFF, -1, -1, nullptr, argv[3], {unit_call::none, 0, 0}};

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
