/* A fast stand-in for the flash-mapping daemon, so that benchmarks of its
 * clients measure the clients and the bus, never the server. It owns
 * velmora.Pellarin, answers every control method with an empty reply and
 * serves DaemonState (0, active) and LpcState (1, flash device). Any caller
 * the bus lets through may call it: who may is the bus policy's to decide.
 *
 * Prints "ready" on standard output once the name is owned, then serves until
 * it is terminated. */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <systemd/sd-bus.h>

static int reply_empty(sd_bus_message *call, void *userdata, sd_bus_error *error) {
    (void)userdata;
    (void)error;
    return sd_bus_reply_method_return(call, "");
}

struct daemon_properties {
    uint8_t daemon_state;
    uint8_t lpc_state;
};

static const sd_bus_vtable control_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Ping", "", "", reply_empty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Kill", "", "", reply_empty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Reset", "", "", reply_empty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Suspend", "", "", reply_empty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("MarkFlashModified", "", "", reply_empty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Resume", "b", "", reply_empty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetBackend", "sas", "", reply_empty, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("DaemonState", "y", NULL, offsetof(struct daemon_properties, daemon_state),
                    SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("LpcState", "y", NULL, offsetof(struct daemon_properties, lpc_state),
                    SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

int main(void) {
    sd_bus *bus = NULL;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        fprintf(stderr, "flash-daemon: cannot connect to the system bus: %d\n", r);
        return 1;
    }
    static struct daemon_properties properties = {.daemon_state = 0, .lpc_state = 1};
    r = sd_bus_add_object_vtable(bus, NULL, "/velmora/Pellarin", "velmora.Pellarin.Control",
                                 control_vtable, &properties);
    if (r >= 0)
        r = sd_bus_request_name(bus, "velmora.Pellarin", 0);
    if (r < 0) {
        fprintf(stderr, "flash-daemon: cannot serve velmora.Pellarin: %d\n", r);
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        r = sd_bus_process(bus, NULL);
        if (r < 0)
            return 1;
        if (r > 0)
            continue;
        r = sd_bus_wait(bus, UINT64_MAX);
        if (r < 0)
            return 1;
    }
}
