// The soak's peers of corvane, native so that tens of thousands of power
// cycles take seconds: the host-state service (velmora.State.Host with its
// CurrentHostState property and PropertiesChanged) and the systemd manager
// (StartUnit and StopUnit, answered at once and counted), on one connection.
//
// Driven by one command a line on standard input, one answer a line on
// standard output:
//   watch NAME PID VIDEO-MODE   the connection corvane holds, its process and
//                               its video mode register file; unit calls are
//                               counted afresh from here
//   cycles N READS              N power cycles; while the host runs, wake
//                               corvane until its scratch register has been
//                               read at least READS times in that cycle,
//                               waiting for the read after each wake-up.
//                               "ok STARTS STOPS READS" or "fail WHY"
//   calls                       "calls STARTS STOPS": unit calls so far
//   quit                        exit
// Prints "ready" once both bus names are owned.
//
// Each cycle checks that the power-on brings exactly one StartUnit and the
// power-off exactly one StopUnit, that no unit call comes while the host runs
// unchanged, and that the video mode register reads "1\n" and then "0\n".
// Scratch register reads are counted as read(2) calls of corvane's process
// (/proc/PID/io syscr): corvane reads nothing else, as sd-bus receives with
// recvmsg.
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

namespace {

constexpr const char *HOST_PATH = "/velmora/state/host0";
constexpr const char *HOST_INTERFACE = "velmora.State.Host";
constexpr const char *HOST_RUNNING = "velmora.State.Host.HostState.Running";
constexpr const char *HOST_OFF = "velmora.State.Host.HostState.Off";
// Only reached when corvane is stuck or gone.
constexpr std::uint64_t DEADLINE_USEC = 30ULL * 1000 * 1000;

enum class unit_verb { none, start, stop };

struct peers {
    sd_bus *bus = nullptr;
    const char *host_state = HOST_OFF;
    unsigned long starts = 0;
    unsigned long stops = 0;
    unit_verb last_verb = unit_verb::none; // set by the unit handlers
    const char *corvane_name = nullptr;
    int corvane_pid = 0;
    const char *video_mode_path = nullptr;
};

struct error_record {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    error_record() = default;
    error_record(const error_record &) = delete;
    error_record &operator=(const error_record &) = delete;
    ~error_record() { sd_bus_error_free(&error); }
};

struct bus_unref {
    void operator()(sd_bus *bus) const { sd_bus_flush_close_unref(bus); }
};

struct fd_closer {
    int fd;
    explicit fd_closer(int opened) : fd(opened) {}
    fd_closer(const fd_closer &) = delete;
    fd_closer &operator=(const fd_closer &) = delete;
    ~fd_closer() {
        if (fd >= 0) {
            (void)close(fd);
        }
    }
};

std::uint64_t now_usec() {
    timespec ts{};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000 +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000;
}

int get_host_state(sd_bus * /*bus*/, const char * /*path*/, const char * /*interface*/,
                   const char * /*property*/, sd_bus_message *reply,
                   // cppcheck-suppress constParameterCallback ; sd_bus_property_get_t takes void *
                   void *userdata, sd_bus_error * /*error*/) {
    const auto *state = static_cast<const peers *>(userdata);
    return sd_bus_message_append(reply, "s", state->host_state);
}

int answer_unit_call(sd_bus_message *call, peers &state, unit_verb verb) {
    if (verb == unit_verb::start) {
        ++state.starts;
    } else {
        ++state.stops;
    }
    state.last_verb = verb;
    return sd_bus_reply_method_return(call, "o", "/org/freedesktop/systemd1/job/1");
}

int start_unit(sd_bus_message *call, void *userdata, sd_bus_error * /*error*/) {
    return answer_unit_call(call, *static_cast<peers *>(userdata), unit_verb::start);
}

int stop_unit(sd_bus_message *call, void *userdata, sd_bus_error * /*error*/) {
    return answer_unit_call(call, *static_cast<peers *>(userdata), unit_verb::stop);
}

// clang-format off
const sd_bus_vtable host_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("CurrentHostState", "s", get_host_state, 0,
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable manager_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("StartUnit", "ss", "o", start_unit, 0),
    SD_BUS_METHOD("StopUnit", "ss", "o", stop_unit, 0),
    SD_BUS_VTABLE_END,
};
// clang-format on

// Serves the bus until a unit call has come or the deadline passes.
unit_verb wait_for_unit_call(peers &state) {
    const std::uint64_t deadline = now_usec() + DEADLINE_USEC;
    for (;;) {
        int r = 0;
        while (state.last_verb == unit_verb::none && (r = sd_bus_process(state.bus, nullptr)) > 0) {
        }
        if (r < 0) {
            return unit_verb::none;
        }
        if (state.last_verb != unit_verb::none) {
            const unit_verb verb = state.last_verb;
            state.last_verb = unit_verb::none;
            return verb;
        }
        const std::uint64_t now = now_usec();
        if (now >= deadline || sd_bus_wait(state.bus, deadline - now) < 0) {
            return unit_verb::none;
        }
    }
}

// Announces the host state, changed or not: corvane wakes for it either way.
bool emit_host_state(peers &state, const char *host_state) {
    state.host_state = host_state;
    return sd_bus_emit_properties_changed(state.bus, HOST_PATH, HOST_INTERFACE, "CurrentHostState",
                                          nullptr) >= 0;
}

// Returns once corvane has handled everything sent to it before.
bool ping_corvane(const peers &state) {
    error_record error;
    return sd_bus_call_method(state.bus, state.corvane_name, "/", "org.freedesktop.DBus.Peer",
                              "Ping", &error.error, nullptr, "") >= 0;
}

long read_calls(const peers &state) {
    std::array<char, 64> path{};
    (void)std::snprintf(path.data(), path.size(), "/proc/%d/io", state.corvane_pid);
    const fd_closer io(open(path.data(), O_RDONLY | O_CLOEXEC));
    if (io.fd < 0) {
        return -1;
    }
    std::array<char, 512> text{};
    const ssize_t length = read(io.fd, text.data(), text.size() - 1);
    if (length <= 0) {
        return -1;
    }
    const char *field = std::strstr(text.data(), "syscr: ");
    return field == nullptr ? -1 : std::strtol(field + 7, nullptr, 10);
}

// Waits until corvane's read count passes `seen`; false if it never does.
bool wait_for_read_after(const peers &state, long seen, long &now) {
    const std::uint64_t deadline = now_usec() + DEADLINE_USEC;
    const timespec pause = {0, 10000};
    for (;;) {
        now = read_calls(state);
        if (now < 0) {
            return false;
        }
        if (now > seen) {
            return true;
        }
        if (now_usec() >= deadline) {
            return false;
        }
        (void)nanosleep(&pause, nullptr);
    }
}

bool video_mode_is(const peers &state, const char *expected) {
    const fd_closer mode(open(state.video_mode_path, O_RDONLY | O_CLOEXEC));
    std::array<char, 8> text{};
    if (mode.fd < 0 || read(mode.fd, text.data(), text.size() - 1) < 0) {
        return false;
    }
    return std::strcmp(text.data(), expected) == 0;
}

// One power cycle. Returns null on success, else what went wrong.
const char *run_cycle(peers &state, long wanted_reads, long &reads) {
    const long before = read_calls(state);
    if (before < 0) {
        return "cannot read corvane's I/O counters";
    }
    if (!emit_host_state(state, HOST_RUNNING)) {
        return "cannot emit the power-on";
    }
    if (wait_for_unit_call(state) != unit_verb::start) {
        return "power-on brought no StartUnit";
    }
    long now = read_calls(state);
    if (now < 0) {
        return "cannot read corvane's I/O counters";
    }
    while (now - before < wanted_reads) {
        if (!emit_host_state(state, HOST_RUNNING) || !ping_corvane(state)) {
            return "corvane stopped answering while rendering";
        }
        // Wait for the read that follows the wake-up before waking corvane
        // again: a wake-up that came while corvane still took messages from
        // the bus would only prolong that, and poll nothing more.
        const long woken = now;
        if (!wait_for_read_after(state, woken, now)) {
            return "a wake-up while rendering brought no scratch register read";
        }
    }
    if (state.last_verb != unit_verb::none) {
        return "a unit call came while the host ran unchanged";
    }
    if (!video_mode_is(state, "1\n")) {
        return "video mode register does not read 1 while rendering";
    }
    if (!emit_host_state(state, HOST_OFF)) {
        return "cannot emit the power-off";
    }
    if (wait_for_unit_call(state) != unit_verb::stop) {
        return "power-off brought no StopUnit";
    }
    if (!ping_corvane(state) || state.last_verb != unit_verb::none) {
        return "corvane did more after the power-off";
    }
    if (!video_mode_is(state, "0\n")) {
        return "video mode register does not read 0 after the power-off";
    }
    reads += now - before;
    return nullptr;
}

void run_cycles(peers &state, unsigned long count, long wanted_reads) {
    long reads = 0;
    for (unsigned long i = 0; i < count; ++i) {
        const char *failure = run_cycle(state, wanted_reads, reads);
        if (failure != nullptr) {
            std::printf("fail cycle %lu: %s\n", i, failure);
            return;
        }
    }
    std::printf("ok %lu %lu %ld\n", state.starts, state.stops, reads);
}

// Holds the strings `watch` names for as long as the process runs.
std::array<char, 256> watched_name{};
std::array<char, 4096> watched_mode{};

// Splits a command line into at most `words.size()` words, in place.
std::size_t split_words(char *line, std::array<char *, 4> &words) {
    std::size_t count = 0;
    char *rest = nullptr;
    for (char *word = strtok_r(line, " ", &rest); word != nullptr && count < words.size();
         word = strtok_r(nullptr, " ", &rest)) {
        words[count++] = word;
    }
    return count;
}

bool parse_number(const char *text, unsigned long &value) {
    char *end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 10);
    return errno == 0 && end != text && *end == '\0';
}

template <std::size_t N>
bool copy_word(std::array<char, N> &into, const char *word) {
    const int length = std::snprintf(into.data(), into.size(), "%s", word);
    return length >= 0 && static_cast<std::size_t>(length) < into.size();
}

bool run_command(peers &state, char *line) {
    std::array<char *, 4> words{};
    const std::size_t count = split_words(line, words);
    unsigned long first = 0;
    unsigned long second = 0;
    if (count == 4 && std::strcmp(words[0], "watch") == 0 && parse_number(words[2], first) &&
        copy_word(watched_name, words[1]) && copy_word(watched_mode, words[3])) {
        state.corvane_name = watched_name.data();
        state.corvane_pid = static_cast<int>(first);
        state.video_mode_path = watched_mode.data();
        state.starts = state.stops = 0;
        state.last_verb = unit_verb::none;
        std::printf("watching\n");
    } else if (count == 3 && std::strcmp(words[0], "cycles") == 0 &&
               parse_number(words[1], first) && parse_number(words[2], second)) {
        if (state.corvane_name == nullptr) {
            std::printf("fail nothing watched\n");
        } else {
            run_cycles(state, first, static_cast<long>(second));
        }
    } else if (count == 1 && std::strcmp(words[0], "calls") == 0) {
        std::printf("calls %lu %lu\n", state.starts, state.stops);
    } else if (count == 1 && std::strcmp(words[0], "quit") == 0) {
        return false;
    } else {
        std::printf("unknown command\n");
    }
    (void)std::fflush(stdout);
    return true;
}

int serve(peers &state) {
    std::array<char, 4400> line{};
    std::size_t used = 0;
    for (;;) {
        int r = 0;
        while ((r = sd_bus_process(state.bus, nullptr)) > 0) {
        }
        if (r < 0) {
            return 1;
        }
        std::array<pollfd, 2> fds = {{
            {STDIN_FILENO, POLLIN, 0},
            {sd_bus_get_fd(state.bus), static_cast<short>(sd_bus_get_events(state.bus)), 0},
        }};
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
            return 1;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP)) == 0) {
            continue;
        }
        const ssize_t n = read(STDIN_FILENO, line.data() + used, line.size() - 1 - used);
        if (n <= 0) {
            return 0;
        }
        used += static_cast<std::size_t>(n);
        char *end = nullptr;
        while ((end = static_cast<char *>(std::memchr(line.data(), '\n', used))) != nullptr) {
            *end = '\0';
            if (!run_command(state, line.data())) {
                return 0;
            }
            const std::size_t rest = used - static_cast<std::size_t>(end + 1 - line.data());
            std::memmove(line.data(), end + 1, rest);
            used = rest;
        }
        if (used == line.size() - 1) {
            used = 0; // an over-long line is nonsense: drop it
        }
    }
}

} // namespace

int main() {
    static peers state;
    int r = sd_bus_open_system(&state.bus);
    const std::unique_ptr<sd_bus, bus_unref> bus(state.bus);
    if (r >= 0) {
        r = sd_bus_add_object_vtable(state.bus, nullptr, HOST_PATH, HOST_INTERFACE, host_vtable,
                                     &state);
    }
    if (r >= 0) {
        r = sd_bus_add_object_vtable(state.bus, nullptr, "/org/freedesktop/systemd1",
                                     "org.freedesktop.systemd1.Manager", manager_vtable, &state);
    }
    if (r >= 0) {
        r = sd_bus_request_name(state.bus, "velmora.State.Host", 0);
    }
    if (r >= 0) {
        r = sd_bus_request_name(state.bus, "org.freedesktop.systemd1", 0);
    }
    if (r < 0) {
        (void)std::fprintf(stderr, "soak-peers: cannot serve on the system bus: %s\n",
                           std::strerror(-r));
        return 1;
    }
    std::printf("ready\n");
    (void)std::fflush(stdout);
    return serve(state);
}
