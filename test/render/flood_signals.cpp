// Floods one connection with host-state PropertiesChanged signals addressed
// to it, as fast as the bus takes them, from a peer that does not own the
// host-state service: what any local user may do on a system bus.
//
//   flood_signals DESTINATION SECONDS [COUNT]
//
// Prints "flooding" once the first signals are on their way, then sends until
// it is killed or SECONDS have passed. Each signal says the host runs, so one
// that corvane wrongly believed would change nothing while it renders.
// With COUNT it sends that many at most, then pings DESTINATION: it prints
// "sent" once all are written to the bus and "answered" once DESTINATION
// has answered the ping, so has handled every signal before it.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <systemd/sd-bus.h>

namespace {

struct bus_unref {
    void operator()(sd_bus *bus) const { sd_bus_flush_close_unref(bus); }
};
struct message_unref {
    void operator()(sd_bus_message *message) const { sd_bus_message_unref(message); }
};
using message_ptr = std::unique_ptr<sd_bus_message, message_unref>;

time_t now() {
    timespec ts{};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

int send_one(sd_bus *bus, const char *destination) {
    sd_bus_message *built = nullptr;
    int r = sd_bus_message_new_signal(bus, &built, "/velmora/state/host0",
                                      "org.freedesktop.DBus.Properties", "PropertiesChanged");
    const message_ptr signal(built);
    if (r >= 0) {
        r = sd_bus_message_set_destination(signal.get(), destination);
    }
    if (r >= 0) {
        r = sd_bus_message_append(signal.get(), "sa{sv}as", "velmora.State.Host", 1,
                                  "CurrentHostState", "s", "velmora.State.Host.HostState.Running",
                                  0);
    }
    if (r >= 0) {
        r = sd_bus_send(bus, signal.get(), nullptr);
    }
    // Whatever sd-bus could not write at once is written before the next one.
    return r < 0 ? r : sd_bus_flush(bus);
}

// A positive number, or 0 when the text is not one.
long positive(const char *text) {
    char *rest = nullptr;
    const long value = std::strtol(text, &rest, 10);
    return *rest == '\0' && value > 0 ? value : 0;
}

void say(const char *what) {
    (void)std::printf("%s\n", what);
    (void)std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 3 && argc != 4) {
        (void)std::fprintf(stderr, "usage: flood_signals DESTINATION SECONDS [COUNT]\n");
        return 2;
    }
    const long seconds = positive(argv[2]);
    const long count = argc == 4 ? positive(argv[3]) : LONG_MAX;
    if (seconds == 0 || count == 0) {
        (void)std::fprintf(stderr, "flood_signals: not a number: %s\n", argv[argc - 1]);
        return 2;
    }
    sd_bus *opened = nullptr;
    int r = sd_bus_open_system(&opened);
    const std::unique_ptr<sd_bus, bus_unref> bus(opened);
    const time_t end = now() + seconds;
    for (long sent = 0; r >= 0 && sent < count && now() < end; ++sent) {
        r = send_one(bus.get(), argv[1]);
        if (sent == 0 && r >= 0) {
            say("flooding");
        }
    }
    if (r >= 0 && argc == 4) {
        say("sent");
        r = sd_bus_call_method(bus.get(), argv[1], "/", "org.freedesktop.DBus.Peer", "Ping",
                               nullptr, nullptr, "");
        if (r >= 0) {
            say("answered");
        }
    }
    if (r < 0) {
        (void)std::fprintf(stderr, "flood_signals: %s\n", std::strerror(-r));
        return 1;
    }
    return 0;
}
