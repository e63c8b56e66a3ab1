// A stand-in for tamblet's daemon requests that records each call instead of
// using the bus, so the option walk can be driven from a fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>

struct sd_bus;

enum class request_kind { control_method, outcome, daemon_state, lpc_state, resume, backend };

struct recorded_request {
    request_kind kind;
    sd_bus *bus;
    const char *text; // the member, the outcome label, or the option's argument
    int result;       // what the stand-in returned, or the result an outcome shows
    bool silent;      // the silent flag as the call saw it
};

// Clears the record. Request number n (from 0) succeeds when bit n % 8 of
// `successes` is set and otherwise fails with its own result, -(100 + n).
void start_recording(std::uint8_t successes);

std::size_t recorded_count();
const recorded_request &recorded(std::size_t index);
