/* Stand-ins for the two peers of corvane, on one bus connection so that the
 * time from a host-state change to the unit call it causes is measured on one
 * clock without a third process in the path:
 *
 *  - the host-state service: velmora.State.Host at /velmora/state/host0 with
 *    the CurrentHostState property, emitting PropertiesChanged on command;
 *  - the systemd manager: org.freedesktop.systemd1, answering StartUnit and
 *    StopUnit at once and noting when each call arrived.
 *
 * Driven by one command a line on standard input, one answer a line on
 * standard output (times in nanoseconds):
 *   on | off    set the host state, emit the change, wait up to 5 s for the
 *               unit call it causes: "start NS", "stop NS" or "timeout"
 *   wait        wait up to 5 s for a unit call caused by something else,
 *               or take the one that came since the last command: "start",
 *               "stop" or "timeout"
 *   cycles N    N times on then off: "start NS..." then "stop NS..." lines
 *               listing every latency, or "timeout" if a call went missing
 *   calls       "calls STARTS STOPS": unit calls received so far
 *   quit        exit
 * Prints "ready" once both names are owned. */
#include <errno.h>
#include <poll.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#define HOST_PATH "/velmora/state/host0"
#define HOST_INTERFACE "velmora.State.Host"
#define HOST_RUNNING "velmora.State.Host.HostState.Running"
#define HOST_OFF "velmora.State.Host.HostState.Off"
#define CALL_TIMEOUT_NS (5ULL * 1000 * 1000 * 1000)

enum unit_verb { VERB_NONE, VERB_START, VERB_STOP };

struct peers {
    sd_bus *bus;
    const char *host_state;
    unsigned long starts;
    unsigned long stops;
    enum unit_verb last_verb; /* set by the unit handlers, cleared by the waiter */
    uint64_t last_arrival_ns;
};

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ULL + (uint64_t)ts.tv_nsec;
}

static int get_host_state(sd_bus *bus, const char *path, const char *interface,
                          const char *property, sd_bus_message *reply, void *userdata,
                          sd_bus_error *error) {
    (void)bus, (void)path, (void)interface, (void)property, (void)error;
    const struct peers *peers = userdata;
    return sd_bus_message_append(reply, "s", peers->host_state);
}

static int answer_unit_call(sd_bus_message *call, struct peers *peers, enum unit_verb verb) {
    peers->last_arrival_ns = now_ns();
    peers->last_verb = verb;
    if (verb == VERB_START)
        peers->starts++;
    else
        peers->stops++;
    return sd_bus_reply_method_return(call, "o", "/org/freedesktop/systemd1/job/1");
}

static int start_unit(sd_bus_message *call, void *userdata, sd_bus_error *error) {
    (void)error;
    return answer_unit_call(call, userdata, VERB_START);
}

static int stop_unit(sd_bus_message *call, void *userdata, sd_bus_error *error) {
    (void)error;
    return answer_unit_call(call, userdata, VERB_STOP);
}

static const sd_bus_vtable host_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("CurrentHostState", "s", get_host_state, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_VTABLE_END,
};

static const sd_bus_vtable manager_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("StartUnit", "ss", "o", start_unit, 0),
    SD_BUS_METHOD("StopUnit", "ss", "o", stop_unit, 0),
    SD_BUS_VTABLE_END,
};

/* Serves the bus until a unit call arrives or the deadline passes. */
static enum unit_verb wait_for_unit_call(struct peers *peers, uint64_t deadline_ns) {
    for (;;) {
        int r;
        while ((r = sd_bus_process(peers->bus, NULL)) > 0 && peers->last_verb == VERB_NONE) {
        }
        if (r < 0)
            exit(1);
        if (peers->last_verb != VERB_NONE) {
            enum unit_verb verb = peers->last_verb;
            peers->last_verb = VERB_NONE;
            return verb;
        }
        uint64_t now = now_ns();
        if (now >= deadline_ns)
            return VERB_NONE;
        if (sd_bus_wait(peers->bus, (deadline_ns - now) / 1000) < 0)
            exit(1);
    }
}

/* Changes the host state, announces it and returns the latency of the unit
 * call that follows, or 0 when none came. */
static uint64_t change_host_state(struct peers *peers, const char *state, enum unit_verb *verb) {
    peers->host_state = state;
    peers->last_verb = VERB_NONE;
    uint64_t emitted = now_ns();
    if (sd_bus_emit_properties_changed(peers->bus, HOST_PATH, HOST_INTERFACE, "CurrentHostState",
                                       NULL) < 0)
        exit(1);
    *verb = wait_for_unit_call(peers, emitted + CALL_TIMEOUT_NS);
    return *verb == VERB_NONE ? 0 : peers->last_arrival_ns - emitted;
}

static void print_call(enum unit_verb verb, uint64_t latency_ns) {
    if (verb == VERB_NONE)
        printf("timeout\n");
    else
        printf("%s %llu\n", verb == VERB_START ? "start" : "stop", (unsigned long long)latency_ns);
}

static void run_cycles(struct peers *peers, unsigned long count) {
    uint64_t *start_ns = calloc(count ? count : 1, sizeof *start_ns);
    uint64_t *stop_ns = calloc(count ? count : 1, sizeof *stop_ns);
    if (!start_ns || !stop_ns)
        exit(1);
    for (unsigned long i = 0; i < count; i++) {
        enum unit_verb on_verb;
        enum unit_verb off_verb;
        start_ns[i] = change_host_state(peers, HOST_RUNNING, &on_verb);
        stop_ns[i] = change_host_state(peers, HOST_OFF, &off_verb);
        if (on_verb != VERB_START || off_verb != VERB_STOP) {
            printf("timeout\n");
            free(start_ns);
            free(stop_ns);
            return;
        }
    }
    const char *labels[2] = {"start", "stop"};
    const uint64_t *lists[2] = {start_ns, stop_ns};
    for (int l = 0; l < 2; l++) {
        printf("%s", labels[l]);
        for (unsigned long i = 0; i < count; i++)
            printf(" %llu", (unsigned long long)lists[l][i]);
        printf("\n");
    }
    free(start_ns);
    free(stop_ns);
}

static bool run_command(struct peers *peers, const char *line) {
    enum unit_verb verb;
    uint64_t latency;
    if (strcmp(line, "on") == 0 || strcmp(line, "off") == 0) {
        latency = change_host_state(peers, line[1] == 'n' ? HOST_RUNNING : HOST_OFF, &verb);
        print_call(verb, latency);
    } else if (strcmp(line, "wait") == 0) {
        verb = wait_for_unit_call(peers, now_ns() + CALL_TIMEOUT_NS);
        printf("%s\n", verb == VERB_START ? "start" : verb == VERB_STOP ? "stop" : "timeout");
    } else if (strncmp(line, "cycles ", 7) == 0) {
        run_cycles(peers, strtoul(line + 7, NULL, 10));
    } else if (strcmp(line, "calls") == 0) {
        printf("calls %lu %lu\n", peers->starts, peers->stops);
    } else if (strcmp(line, "quit") == 0) {
        return false;
    } else {
        printf("unknown command\n");
    }
    fflush(stdout);
    return true;
}

int main(void) {
    static struct peers peers = {.host_state = HOST_OFF};
    int r = sd_bus_open_system(&peers.bus);
    if (r >= 0)
        r = sd_bus_add_object_vtable(peers.bus, NULL, HOST_PATH, HOST_INTERFACE, host_vtable,
                                     &peers);
    if (r >= 0)
        r = sd_bus_add_object_vtable(peers.bus, NULL, "/org/freedesktop/systemd1",
                                     "org.freedesktop.systemd1.Manager", manager_vtable, &peers);
    if (r >= 0)
        r = sd_bus_request_name(peers.bus, "velmora.State.Host", 0);
    if (r >= 0)
        r = sd_bus_request_name(peers.bus, "org.freedesktop.systemd1", 0);
    if (r < 0) {
        fprintf(stderr, "host-systemd: cannot serve on the system bus: %s\n", strerror(-r));
        return 1;
    }
    printf("ready\n");
    fflush(stdout);

    char line[64];
    size_t used = 0;
    for (;;) {
        while ((r = sd_bus_process(peers.bus, NULL)) > 0) {
        }
        if (r < 0)
            return 1;
        struct pollfd fds[2] = {
            {.fd = STDIN_FILENO, .events = POLLIN},
            {.fd = sd_bus_get_fd(peers.bus), .events = (short)sd_bus_get_events(peers.bus)},
        };
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return 1;
        if (!(fds[0].revents & (POLLIN | POLLHUP)))
            continue;
        ssize_t n = read(STDIN_FILENO, line + used, sizeof line - 1 - used);
        if (n <= 0)
            return 0;
        used += (size_t)n;
        char *end;
        while ((end = memchr(line, '\n', used)) != NULL) {
            *end = '\0';
            if (!run_command(&peers, line))
                return 0;
            size_t rest = used - (size_t)(end + 1 - line);
            memmove(line, end + 1, rest);
            used = rest;
        }
        if (used == sizeof line - 1)
            used = 0; /* an over-long line is nonsense: drop it */
    }
}
