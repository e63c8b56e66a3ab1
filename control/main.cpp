// tamblet: command-line control client for the flash-mapping daemon. Opens
// the system bus, then carries out each command option in command-line order
// and exits with the result of the last one.
#include "command_line.hpp"
#include "requests.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <memory>

#include <systemd/sd-bus.h>

bool silent = false;

namespace {

constexpr const char *short_options = "spdlkrfue:cvh";

// --backend has no short form; its value is one no short option produces.
// clang-format off
constexpr option long_options[] = {
    {"silent",         no_argument,       nullptr, 's'},
    {"ping",           no_argument,       nullptr, 'p'},
    {"daemon-state",   no_argument,       nullptr, 'd'},
    {"lpc-state",      no_argument,       nullptr, 'l'},
    {"kill",           no_argument,       nullptr, 'k'},
    {"reset",          no_argument,       nullptr, 'r'},
    {"point-to-flash", no_argument,       nullptr, 'f'},
    {"suspend",        no_argument,       nullptr, 'u'},
    {"resume",         required_argument, nullptr, 'e'},
    {"clear-cache",    no_argument,       nullptr, 'c'},
    {"backend",        required_argument, nullptr, 'b'},
    {"version",        no_argument,       nullptr, 'v'},
    {"help",           no_argument,       nullptr, 'h'},
    {nullptr,          0,                 nullptr, 0},
};
// clang-format on

constexpr const char *usage_format =
    "\nUsage: %s [--silent | -s] <command> [args]\n\n"
    "\t\t--silent\t\t- no output on the command line\n\n"
    "\tCommands: (num args)\n"
    "\t\t--ping\t\t\t- ping the daemon (0)\n"
    "\t\t--daemon-state\t\t- check state of the daemon (0)\n"
    "\t\t--lpc-state\t\t- check the state of the lpc mapping (0)\n"
    "\t\t--kill\t\t\t- stop the daemon [no flush] (0)\n"
    "\t\t--reset\t\t\t- hard reset the daemon state (0)\n"
    "\t\t--point-to-flash\t- point the lpc mapping back to flash (0)\n"
    "\t\t--suspend\t\t- suspend the daemon to inhibit flash accesses (0)\n"
    "\t\t--resume\t\t- resume the daemon (1)\n"
    "\t\t\targ[0]: < \"clean\" | \"modified\" >\n"
    "\t\t--clear-cache\t- tell the daemon to discard any caches (0)\n"
    "\t\t--backend <vpnor|mtd[:PATH]|file:PATH>\n";

// A kernel may start us with no argument vector at all, or with an empty
// program name; the usage text still names the program.
const char *program_name(int argc, char **argv) {
    if (argc < 1 || argv[0] == nullptr || argv[0][0] == '\0') {
        return "tamblet";
    }
    return argv[0];
}

void print_usage(const char *name) {
    if (!silent) {
        printf(usage_format, name);
    }
}

int run_control_method(sd_bus *bus, const control_method &method) {
    const int result = invoke_control_method(bus, method.member);
    if (!silent) {
        print_outcome(method.label, result);
    }
    return result;
}

struct bus_unref {
    void operator()(sd_bus *bus) const { sd_bus_unref(bus); }
};
using bus_ptr = std::unique_ptr<sd_bus, bus_unref>;

} // namespace

int run_command_line(sd_bus *bus, int argc, char **argv) {
    // Every walk starts from a clear silent flag and a fresh option parser,
    // so it may run more than once in one process.
    silent = false;
    optind = 0;
    const char *name = program_name(argc, argv);
    if (argc < 2) {
        print_usage(name);
        return 0;
    }
    int result = -1;
    for (;;) {
        const int option = getopt_long(argc, argv, short_options, long_options, nullptr);
        switch (option) {
        case -1:
            return result;
        case 's':
            silent = true;
            break;
        case 'p':
            result = run_control_method(bus, ping_method);
            break;
        case 'k':
            result = run_control_method(bus, kill_method);
            break;
        case 'r':
        case 'f':
            result = run_control_method(bus, reset_method);
            break;
        case 'u':
            result = run_control_method(bus, suspend_method);
            break;
        case 'c':
            result = run_control_method(bus, clear_cache_method);
            break;
        case 'd':
            result = query_daemon_state(bus);
            break;
        case 'l':
            result = query_lpc_state(bus);
            break;
        case 'e':
            result = send_resume(bus, optarg);
            break;
        case 'b':
            result = send_set_backend(bus, optarg);
            break;
        case 'v':
            if (!silent) {
                printf("%s V%s\n", "Ostrivan", TAMBLET_VERSION);
            }
            result = 0;
            break;
        case 'h':
            print_usage(name);
            return 0;
        default:
            // Unknown options, missing arguments and -b: the parser has
            // already complained on standard error. A script must not take
            // a mistyped command for a successful one.
            print_usage(name);
            return -EINVAL;
        }
    }
}

int main(int argc, char **argv) {
    sd_bus *opened = nullptr;
    const int r = sd_bus_default_system(&opened);
    if (r < 0) {
        (void)fprintf(stderr, "Failed to connect to the system bus: %s\n", strerror(-r));
        (void)fprintf(stderr, "Failed to init dbus\n");
        return exit_status(r);
    }
    // Only our reference is dropped at exit; the connection itself lives as
    // long as the process.
    const bus_ptr bus(opened);
    int result = run_command_line(bus.get(), argc, argv);
    // A reading that never reached standard output (a full disk, a closed
    // descriptor) must not look like success to the script that asked for it.
    // The commands themselves have all been carried out by now. After
    // --silent the status alone says so.
    if ((fflush(stdout) != 0 || ferror(stdout) != 0) && result >= 0) {
        if (!silent) {
            (void)fprintf(stderr, "Failed to write output\n");
        }
        result = -EIO;
    }
    return exit_status(result);
}
