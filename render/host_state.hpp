// The host-state service as corvane sees it: its bus names, the value that
// means the host runs, the owner of its name, the subscriptions to its
// changes and to its restarts, the reads of its state, with their handlers
// (host_state.cpp), and which bus failures mean the connection is gone.
#pragma once

#include "render_control.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <systemd/sd-bus.h>

constexpr const char *HOST_STATE_SERVICE = "velmora.State.Host";
constexpr const char *HOST_STATE_PATH = "/velmora/state/host0";
constexpr const char *HOST_STATE_INTERFACE = "velmora.State.Host";
constexpr const char *HOST_STATE_PROPERTY = "CurrentHostState";
constexpr const char *HOST_STATE_RUNNING = "velmora.State.Host.HostState.Running";

constexpr const char *PROPERTIES_INTERFACE = "org.freedesktop.DBus.Properties";
constexpr const char *PROPERTIES_CHANGED = "PropertiesChanged";

// The sender is part of the rule so that the bus delivers host-state changes
// only from the host-state service, never from another peer posing as it.
constexpr const char *HOST_STATE_MATCH_FORMAT =
    "type='signal',sender='velmora.State.Host',path='%s',interface='%s',member='%s'";

// A restarted service announces nothing of its state, so corvane reads it
// afresh whenever the bus gives the service's name a new owner.
constexpr const char *HOST_STATE_OWNER_MATCH =
    "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',"
    "arg0='velmora.State.Host'";

// Subscribes to host-state changes and to restarts of the host-state service,
// then asks the bus once who owns it. Start-up ends here if the bus refuses
// a subscription. Returns false, having printed nothing, when the rule text
// cannot even be built.
bool follow_host_state_service(render_context &ctx);

// A read of the host state is owed from now on (at start-up, or to a new
// owner): sent at once, unless one still awaits its answer.
void request_host_state_read(render_context &ctx);

// What the loop does for the host-state service when a deadline has come at
// `now_ms`: sends a read that is due, or reports the one in flight as
// unanswered; says how many lines about the service leaving a minute that
// is over left out.
void host_state_timers(render_context &ctx, std::uint64_t now_ms);

// Handler of the subscription: applies the first CurrentHostState string in a
// PropertiesChanged of the host-state interface to the render_context given as
// `userdata` (through update_host_state), when the service sent it. Returns 0,
// or -1 when the changed properties cannot be entered.
int on_host_properties_changed(sd_bus_message *message, void *userdata, sd_bus_error *unused);

// Handler of the restart subscription: NameOwnerChanged(s name, s old owner,
// s new owner), for the render_context given as `userdata`. Keeps the owner.
// When the service leaves the bus, says so and keeps the state, which is
// from then on unknown; when it has a new owner, owes it a read of the host
// state (request_host_state_read). Returns 0.
int on_host_state_owner_changed(sd_bus_message *message, void *userdata, sd_bus_error *unused);

// Only the exact running value means running; every other value, and none at
// all, means the host is not running.
inline bool host_state_is_running(const char *value) {
    return value != nullptr && std::strcmp(value, HOST_STATE_RUNNING) == 0;
}

// Failures of sd_bus_process after which the connection cannot recover.
inline bool is_connection_error(int result) {
    switch (-result) {
    case ECONNRESET:
    case ECONNABORTED:
    case ENOTCONN:
    case EPIPE:
    case ESHUTDOWN:
    case EBADF:
        return true;
    default:
        return false;
    }
}
