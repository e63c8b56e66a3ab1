/* Stand-in for the host-state service in the booted test system: owns
 * velmora.State.Host on the system bus and serves /velmora/state/host0 with a
 * writable CurrentHostState property. Setting it (busctl set-property) emits
 * PropertiesChanged, as the real service does when the host powers on or off.
 * The host starts off. Runs as a Type=dbus service until it is stopped. */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <systemd/sd-bus.h>

#define HOST_PATH "/velmora/state/host0"
#define HOST_INTERFACE "velmora.State.Host"

static char *host_state;

static int get_state(sd_bus *bus, const char *path, const char *interface, const char *property,
                     sd_bus_message *reply, void *userdata, sd_bus_error *error) {
    (void)bus, (void)path, (void)interface, (void)property, (void)userdata, (void)error;
    return sd_bus_message_append(reply, "s", host_state);
}

static int set_state(sd_bus *bus, const char *path, const char *interface, const char *property,
                     sd_bus_message *value, void *userdata, sd_bus_error *error) {
    (void)userdata, (void)error;
    const char *state;
    int r = sd_bus_message_read(value, "s", &state);
    if (r < 0)
        return r;
    char *copy = strdup(state);
    if (!copy)
        return -ENOMEM;
    free(host_state);
    host_state = copy;
    return sd_bus_emit_properties_changed(bus, path, interface, property, NULL);
}

static const sd_bus_vtable host_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_WRITABLE_PROPERTY("CurrentHostState", "s", get_state, set_state, 0,
                             SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_VTABLE_END,
};

int main(void) {
    sd_bus *bus = NULL;
    host_state = strdup("velmora.State.Host.HostState.Off");
    int r = host_state ? sd_bus_open_system(&bus) : -ENOMEM;
    if (r >= 0)
        r = sd_bus_add_object_vtable(bus, NULL, HOST_PATH, HOST_INTERFACE, host_vtable, NULL);
    if (r >= 0)
        r = sd_bus_request_name(bus, "velmora.State.Host", 0);
    if (r < 0) {
        fprintf(stderr, "host-state: cannot serve velmora.State.Host: %s\n", strerror(-r));
        return 1;
    }
    for (;;) {
        r = sd_bus_process(bus, NULL);
        if (r > 0)
            continue;
        if (r >= 0)
            r = sd_bus_wait(bus, UINT64_MAX);
        if (r < 0)
            return 1;
    }
}
