// The requests tamblet sends to the flash-mapping daemon: one synchronous
// bus call each, with its own lines on standard output and error.
#include "requests.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <systemd/sd-bus.h>

namespace {

struct message_unref {
    void operator()(sd_bus_message *message) const { sd_bus_message_unref(message); }
};
using message_ptr = std::unique_ptr<sd_bus_message, message_unref>;

struct error_guard {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    error_guard() = default;
    error_guard(const error_guard &) = delete;
    error_guard &operator=(const error_guard &) = delete;
    ~error_guard() { sd_bus_error_free(&error); }
};

struct malloc_free {
    void operator()(char *text) const { free(text); } // NOLINT(cppcoreguidelines-no-malloc)
};
using malloc_ptr = std::unique_ptr<char, malloc_free>;

// Failure lines go to standard error and, like everything else, fall quiet
// once --silent has been seen.
void complain(const char *line) {
    if (!silent) {
        (void)fputs(line, stderr);
    }
}

// The format holds one %s, for the error text of the errno value.
void complain_errno(const char *format, int error) {
    if (!silent) {
        (void)fprintf(stderr, format, strerror(error));
    }
}

int new_method_call(sd_bus *bus, const char *member, message_ptr &message) {
    sd_bus_message *created = nullptr;
    const int r = sd_bus_message_new_method_call(bus, &created, daemon_bus_name, daemon_object_path,
                                                 daemon_interface, member);
    message.reset(created);
    if (r < 0) {
        complain_errno("Failed to init method call: %s\n", -r);
    }
    return r;
}

// Sends the call and waits for the daemon's answer, within the bus library's
// default timeout.
int call_and_wait(sd_bus *bus, const message_ptr &message) {
    error_guard error;
    sd_bus_message *reply = nullptr;
    const int r = sd_bus_call(bus, message.get(), 0, &error.error, &reply);
    const message_ptr reply_owner(reply);
    if (r < 0) {
        complain_errno("Failed to post message: %s\n", -r);
    }
    return fold_result(r);
}

struct state_reading {
    int result;
    std::uint8_t value;
};

state_reading read_state_property(sd_bus *bus, const char *property) {
    error_guard error;
    std::uint8_t value = 0;
    const int r =
        sd_bus_get_property_trivial(bus, daemon_bus_name, daemon_object_path, daemon_interface,
                                    property, &error.error, 'y', &value);
    return {fold_result(r), value};
}

int append_backend_paths(sd_bus_message *message, const char *path) {
    if (path == nullptr) {
        char *none[] = {nullptr};
        return sd_bus_message_append_strv(message, none);
    }
    // The daemon runs elsewhere, so it gets the file's own absolute name,
    // not the caller's relative one or a symbolic link.
    const malloc_ptr resolved(realpath(path, nullptr));
    if (!resolved) {
        const int failure = errno;
        complain_errno("Failed to resolve path: %s\n", failure);
        return -failure;
    }
    char *paths[] = {resolved.get(), nullptr};
    return sd_bus_message_append_strv(message, paths);
}

} // namespace

int invoke_control_method(sd_bus *bus, const char *member) {
    message_ptr message;
    const int r = new_method_call(bus, member, message);
    if (r < 0) {
        return r;
    }
    return call_and_wait(bus, message);
}

void print_outcome(const char *label, int result) {
    printf("%s: %s\n", label, result == 0 ? "Success" : strerror(-result));
}

int query_daemon_state(sd_bus *bus) {
    const state_reading reading = read_state_property(bus, "DaemonState");
    if (reading.result < 0) {
        return reading.result;
    }
    if (!silent) {
        printf("Daemon State: %s\n", daemon_state_text(reading.value));
    }
    return 0;
}

int query_lpc_state(sd_bus *bus) {
    const state_reading reading = read_state_property(bus, "LpcState");
    if (reading.result < 0) {
        return reading.result;
    }
    if (!silent) {
        printf("LPC Bus Maps: %s\n", lpc_state_text(reading.value));
    }
    return 0;
}

int send_resume(sd_bus *bus, const char *argument) {
    if (argument == nullptr) {
        complain("Resume command takes an argument\n");
        return -EINVAL;
    }
    // The message comes first, so a broken connection is reported even for
    // an argument that would be refused.
    message_ptr message;
    int r = new_method_call(bus, "Resume", message);
    if (r < 0) {
        return r;
    }
    const resume_choice choice = judge_resume_argument(argument);
    if (choice == resume_choice::refused) {
        complain("Resume command takes argument < \"clean\" | \"modified\" >\n");
        return -EINVAL;
    }
    const int modified = choice == resume_choice::modified ? 1 : 0;
    r = sd_bus_message_append(message.get(), "b", modified);
    if (r < 0) {
        complain_errno("Failed to add args to message: %s\n", -r);
        return r;
    }
    r = call_and_wait(bus, message);
    if (r == 0 && !silent) {
        printf("Resume: %s\n", "Success");
    }
    return r;
}

int send_set_backend(sd_bus *bus, const char *argument) {
    if (argument == nullptr) {
        complain("Backend command takes an argument\n");
        return -EINVAL;
    }
    message_ptr message;
    int r = new_method_call(bus, "SetBackend", message);
    if (r < 0) {
        return r;
    }
    const backend_choice choice = judge_backend_argument(argument);
    if (choice.vpnor_given_path) {
        complain("Path parameter not supported for vpnor\n");
        return -EINVAL;
    }
    if (choice.name == nullptr) {
        return -EINVAL;
    }
    r = sd_bus_message_append(message.get(), "s", choice.name);
    if (r < 0) {
        return r;
    }
    r = append_backend_paths(message.get(), choice.path);
    if (r < 0) {
        return r;
    }
    r = call_and_wait(bus, message);
    if (r == 0 && !silent) {
        printf("SetBackend: %s\n", "Success");
    }
    return r;
}
