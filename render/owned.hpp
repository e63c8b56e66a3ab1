// Owners for the few C resources corvane creates: a bus error record, a reply
// message, an asynchronous call's slot, and strings that the C library or
// sd-bus allocated.
#pragma once

#include <cstdlib>
#include <memory>
#include <systemd/sd-bus.h>

// Releases the error record whichever way the call that filled it returns.
struct error_record {
    sd_bus_error error = SD_BUS_ERROR_NULL;

    error_record() = default;
    error_record(const error_record &) = delete;
    error_record &operator=(const error_record &) = delete;
    error_record(error_record &&) = delete;
    error_record &operator=(error_record &&) = delete;
    ~error_record() { sd_bus_error_free(&error); }
};

struct message_unref {
    void operator()(sd_bus_message *message) const { sd_bus_message_unref(message); }
};
using message_ptr = std::unique_ptr<sd_bus_message, message_unref>;

struct slot_unref {
    void operator()(sd_bus_slot *slot) const { sd_bus_slot_unref(slot); }
};
using slot_ptr = std::unique_ptr<sd_bus_slot, slot_unref>;

struct free_deleter {
    void operator()(char *text) const { std::free(text); }
};
using owned_string = std::unique_ptr<char, free_deleter>;
