// The requests tamblet sends to the flash-mapping daemon, and the plain
// decisions behind them: argument judging, state texts, result folding and
// the exit status. The decisions are constexpr so tests reach them without a
// bus; the requests live in requests.cpp.
#pragma once

#include <cstdint>
#include <string_view>

struct sd_bus;

// Set by --silent; once set, tamblet prints nothing more of its own.
extern bool silent;

inline constexpr const char *daemon_bus_name = "velmora.Pellarin";
inline constexpr const char *daemon_object_path = "/velmora/Pellarin";
inline constexpr const char *daemon_interface = "velmora.Pellarin.Control";

// An argument-less daemon method and the label its outcome line carries.
struct control_method {
    const char *member;
    const char *label;
};

inline constexpr control_method ping_method{"Ping", "Ping"};
inline constexpr control_method kill_method{"Kill", "Kill"};
inline constexpr control_method reset_method{"Reset", "Reset"};
inline constexpr control_method suspend_method{"Suspend", "Suspend"};
inline constexpr control_method clear_cache_method{"MarkFlashModified", "Clear Cache"};

// Every request hands back 0 for success; the bus library's positive
// successes carry nothing the caller needs.
constexpr int fold_result(int r) {
    return r < 0 ? r : 0;
}

// The process exit status keeps the low 8 bits of the result, as the kernel
// would: -1 gives 255, -EINVAL gives 234.
constexpr int exit_status(int result) {
    return static_cast<int>(static_cast<unsigned>(result) & 0xffU);
}

enum class resume_choice { clean, modified, refused };

// Judged by the argument's beginning, so "clean" and "modified" may carry
// a suffix.
constexpr resume_choice judge_resume_argument(std::string_view argument) {
    if (argument.starts_with("clean")) {
        return resume_choice::clean;
    }
    if (argument.starts_with("modified")) {
        return resume_choice::modified;
    }
    return resume_choice::refused;
}

struct backend_choice {
    const char *name = nullptr;    // the fixed word sent; null when refused
    const char *path = nullptr;    // what follows the first ':'; null without one
    bool vpnor_given_path = false; // refused with a message of its own
};

// The name sent is always one of the fixed words, never the user's text, so
// "mtdblock" selects "mtd".
constexpr backend_choice judge_backend_argument(const char *argument) {
    const std::string_view text(argument);
    const auto colon = text.find(':');
    const char *path = colon == std::string_view::npos ? nullptr : argument + colon + 1;
    if (text.starts_with("vpnor")) {
        if (path != nullptr) {
            return {.vpnor_given_path = true};
        }
        return {.name = "vpnor"};
    }
    if (text.starts_with("mtd")) {
        return {.name = "mtd", .path = path};
    }
    if (text.starts_with("file")) {
        return {.name = "file", .path = path};
    }
    return {};
}

constexpr const char *daemon_state_text(std::uint8_t value) {
    return value == 0 ? "Active" : "Suspended";
}

constexpr const char *lpc_state_text(std::uint8_t value) {
    switch (value) {
    case 1:
        return "Flash Device";
    case 2:
        return "BMC Memory";
    default:
        return "Invalid System State";
    }
}

// Requests to the daemon. Each returns 0 or a negative errno value and
// prints its own lines unless silent.
int invoke_control_method(sd_bus *bus, const char *member);
void print_outcome(const char *label, int result);
int query_daemon_state(sd_bus *bus);
int query_lpc_state(sd_bus *bus);
int send_resume(sd_bus *bus, const char *argument);
int send_set_backend(sd_bus *bus, const char *argument);
