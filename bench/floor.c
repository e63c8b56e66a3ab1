/* The cheapest possible client of the flash-mapping daemon: connect to the
 * system bus and make one call, nothing else. Benchmarks measure tamblet
 * against this to see what its own code costs on top of sd-bus.
 *
 * Built as floor-ping (the Ping method call) and, with -DFLOOR_READ_STATE,
 * as floor-state (a one-byte read of the DaemonState property). Exit status
 * is 0 on success and 1 on failure; nothing is printed. */
#include <stdint.h>
#include <systemd/sd-bus.h>

int main(void) {
    sd_bus *bus = NULL;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_default_system(&bus);
    if (r < 0)
        return 1;
#ifdef FLOOR_READ_STATE
    uint8_t state = 0;
    r = sd_bus_get_property_trivial(bus, "velmora.Pellarin", "/velmora/Pellarin",
                                    "velmora.Pellarin.Control", "DaemonState", &error, 'y', &state);
#else
    r = sd_bus_call_method(bus, "velmora.Pellarin", "/velmora/Pellarin", "velmora.Pellarin.Control",
                           "Ping", &error, NULL, "");
#endif
    sd_bus_error_free(&error);
    return r < 0;
}
