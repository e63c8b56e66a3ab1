// The host-state service as corvane sees it: its bus names, the value that
// means the host runs, the subscriptions to its changes and to its restarts
// with their handlers, and which bus failures mean the connection is gone.
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

// Handler of the subscription: applies the first CurrentHostState string in a
// PropertiesChanged of the host-state interface to the render_context given as
// `userdata` (through update_host_state), when the service sent it. Returns 0,
// or -1 when the changed properties cannot be entered.
int on_host_properties_changed(sd_bus_message *message, void *userdata, sd_bus_error *unused);

// Handler of the restart subscription: NameOwnerChanged(s name, s old owner,
// s new owner), for the render_context given as `userdata`. Keeps the owner.
// When the service leaves the bus, says so and keeps the state, which is
// from then on unknown; when it has a new owner, sends a read of the host
// state (host_state_reread). Returns 0.
int on_host_state_owner_changed(sd_bus_message *message, void *userdata, sd_bus_error *unused);

// Takes the answer to that read: applies the host state it holds, or counts
// a failed attempt (host_state_read_failed). Returns 0.
int on_host_state_read(sd_bus_message *answer, void *userdata, sd_bus_error *unused);

// A failed read, with its negative errno and the name of the failure:
// reported unless the attempt before failed the same way, and tried again
// after the next retry delay. The host state is unknown until a read or the
// service's own change succeeds.
void host_state_read_failed(render_context &ctx, int r, const char *reason);

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
