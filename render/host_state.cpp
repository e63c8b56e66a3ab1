// corvane's side of the host-state service: the owner of its name, the
// subscriptions to its changes and restarts, and the reads of its state,
// with their handlers. What a host state means for the renderer is
// render_control's business (update_host_state).
//
// At most one read awaits its answer at any time (host_state_read): the bus
// counts each unanswered call against corvane's allowance until its
// recipient answers or leaves, so a read is never sent while another one is
// unanswered, and its slot is kept until the bus answers it.
#include "host_state.hpp"
#include "owned.hpp"
#include "render_control.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <systemd/sd-bus.h>

namespace {

// What a read of the host state that goes unanswered is reported as: what
// the bus itself answers for a recipient that leaves without answering.
constexpr const char *NO_REPLY_ERROR = "org.freedesktop.DBus.Error.NoReply";

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

void remember_name(char (&name)[BUS_NAME_SIZE], const char *value) {
    (void)std::snprintf(name, sizeof name, "%s", value);
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
        remember_name(ctx.host_state_owner, owner);
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

// A failed read, with its negative errno and the name of the failure: tried
// again after the next retry delay.
void host_state_read_failed(render_context &ctx, int r, const char *reason) {
    note_host_state_failure(ctx, r, reason);
    ctx.reread.delay_ms = next_retry_delay(ctx.reread.delay_ms);
    ctx.reread.due_ms = monotonic_ms() + ctx.reread.delay_ms;
}

// Whether the answer to the read in flight is one the owed read can take:
// it must be owed still, and from the owner: the connection it was sent to,
// or, for a read sent while the name had no owner, the one that answered.
bool answer_is_owed(const render_context &ctx, sd_bus_message *answer) {
    if (!ctx.reread.wanted) {
        return false;
    }
    if (std::strcmp(ctx.read.recipient, ctx.host_state_owner) == 0) {
        return true;
    }
    const char *sender = sd_bus_message_get_sender(answer);
    return ctx.read.recipient[0] == '\0' && sender != nullptr &&
           std::strcmp(sender, ctx.host_state_owner) == 0;
}

int on_host_state_read(sd_bus_message *answer, void *userdata, sd_bus_error *unused);

// Once a minute that left lines about the service leaving out is over, says
// how many in one line.
void tell_lines_left_out(render_context &ctx, std::uint64_t now_ms) {
    const std::uint32_t untold = line_budget_close(ctx.owner_lines, now_ms);
    if (untold != 0) {
        warnx("%s left the bus %u more times in the last minute; not told each time",
              HOST_STATE_SERVICE, static_cast<unsigned>(untold));
    }
}

// Asks the owner for its state without waiting for the answer, which
// on_host_state_read takes whenever it comes: sd-bus is told never to give
// up on it. The loop wakes after the call timeout to report it overdue.
// Addressed to the owner's unique name, so that the answer is known to be
// the owner's even if the name changes hands meanwhile.
void send_host_state_read(render_context &ctx) {
    const char *destination =
        ctx.host_state_owner[0] != '\0' ? ctx.host_state_owner : HOST_STATE_SERVICE;
    sd_bus_message *call_message = nullptr;
    int r = sd_bus_message_new_method_call(ctx.bus, &call_message, destination, HOST_STATE_PATH,
                                           PROPERTIES_INTERFACE, "Get");
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
    ctx.read.slot.reset(slot);
    remember_name(ctx.read.recipient, ctx.host_state_owner);
    ctx.reread.overdue = false;
    ctx.reread.due_ms = call_deadline_ms(ctx.bus);
}

int on_host_state_read(sd_bus_message *answer, void *userdata, sd_bus_error * /*unused*/) {
    auto &ctx = *static_cast<render_context *>(userdata);
    const bool owed = answer_is_owed(ctx, answer);
    // sd-bus holds the slot until this handler returns.
    ctx.read = {};
    // A connection that is gone fails every call in flight with NoReply:
    // the service did not fail to answer, and the loop ends corvane next.
    if (sd_bus_is_open(ctx.bus) <= 0) {
        return 0;
    }
    if (!owed) {
        // An answer nobody waits for any more, from an owner that has gone
        // or been heard from since. A read owed to a newer owner waited for
        // this one, and goes now.
        if (ctx.reread.wanted) {
            send_host_state_read(ctx);
        }
        return 0;
    }

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

} // namespace

bool follow_host_state_service(render_context &ctx) {
    char *rule_text = nullptr;
    if (asprintf(&rule_text, HOST_STATE_MATCH_FORMAT, HOST_STATE_PATH, PROPERTIES_INTERFACE,
                 PROPERTIES_CHANGED) < 0) {
        return false;
    }
    const owned_string rule(rule_text);
    // Subscribed before the owner is asked for and the state read, so that a
    // change made meanwhile is queued for the loop rather than missed.
    if (sd_bus_add_match(ctx.bus, nullptr, rule.get(), on_host_properties_changed, &ctx) < 0 ||
        sd_bus_add_match(ctx.bus, nullptr, HOST_STATE_OWNER_MATCH, on_host_state_owner_changed,
                         &ctx) < 0) {
        errx(1, "can't establish host property change handler");
    }
    read_host_state_owner(ctx);
    return true;
}

void request_host_state_read(render_context &ctx) {
    ctx.reread.wanted = true;
    if (!ctx.read.slot) {
        send_host_state_read(ctx);
        return;
    }
    ctx.reread.overdue = false;
    if (std::strcmp(ctx.read.recipient, ctx.host_state_owner) == 0) {
        // Already asked and not yet answered: that read serves, and is
        // reported if it stays unanswered for another call timeout.
        ctx.reread.due_ms = call_deadline_ms(ctx.bus);
    } else {
        // Sent when the read in flight is answered.
        ctx.reread.due_ms = NO_DEADLINE;
    }
}

void host_state_timers(render_context &ctx, std::uint64_t now_ms) {
    tell_lines_left_out(ctx, now_ms);
    if (!ctx.reread.wanted || now_ms < ctx.reread.due_ms) {
        return;
    }
    if (!ctx.read.slot) {
        send_host_state_read(ctx);
        return;
    }
    // Gone unanswered for the call timeout: reported as a failure would be,
    // but still awaited, and nothing is sent meanwhile.
    note_host_state_failure(ctx, -ETIMEDOUT, NO_REPLY_ERROR);
    ctx.reread.overdue = true;
    ctx.reread.due_ms = NO_DEADLINE;
}

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
    remember_name(ctx.host_state_owner, new_owner);
    if (new_owner[0] == '\0') {
        // While corvane still waits for a first host state, its attempts go
        // on: a read in flight to the owner that left is no longer owed, and
        // once the bus has answered it, the next goes to the service's name.
        if (!ctx.host_state_known) {
            return 0;
        }
        const std::uint64_t now_ms = monotonic_ms();
        tell_lines_left_out(ctx, now_ms);
        if (line_budget_take(ctx.owner_lines, now_ms)) {
            warnx("%s left the bus; keeping the last host state", HOST_STATE_SERVICE);
        }
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
    request_host_state_read(ctx);
    return 0;
}
