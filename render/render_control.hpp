// Render control: decides whether the console renderer unit runs, from the
// host's power state and the VGA scratch register, and carries each decision
// out through systemd and the SCU video mode register. Also the one context
// corvane keeps, shared with the host-state side (host_state.hpp) and the
// loop (main.cpp).
//
// The decisions are plain functions of plain values (the scratch text, the
// current state, the host reading, the clock) so that they are testable
// without a bus; update_host_state, check_vga_scratch and retry_unit_call
// apply them to a render_context. Unit calls are asynchronous: one at a time
// awaits systemd's answer, and the loop goes on meanwhile.
#pragma once

#include "owned.hpp"

#include <cstddef>
#include <cstdint>
#include <systemd/sd-bus.h>

enum render_state : std::int32_t {
    HOST_OFF = 0,
    RENDERING = 1,
    HOST_VGA_ACTIVE = 2,
};

// The scratch value the host's firmware leaves once it drives the video itself.
constexpr unsigned long HOST_VGA_ACTIVE_VALUE = 0xA8;
constexpr unsigned long VGA_SCRATCH_MAX_VALUE = 255;
// The register file holds a short text; anything longer than this is not a byte.
constexpr std::size_t VGA_SCRATCH_MAX_TEXT = 8;
constexpr int VGA_POLL_INTERVAL_MS = 100;

// A unit call that systemd refused or never answered is tried again while
// the state still wants it, and a failed read of a restarted host-state
// service until one succeeds: after 1 s, then after twice the previous wait,
// up to one attempt a minute.
constexpr std::uint32_t UNIT_CALL_FIRST_RETRY_MS = 1000;
constexpr std::uint32_t UNIT_CALL_MAX_RETRY_MS = 60000;

// A deadline that never comes: nothing is pending.
constexpr std::uint64_t NO_DEADLINE = UINT64_MAX;

// Long enough for any D-Bus name (a bus name, an error name), which the bus
// limits to 255 bytes.
constexpr std::size_t BUS_NAME_SIZE = 256;
constexpr std::size_t FAILURE_TEXT_SIZE = BUS_NAME_SIZE;

enum class unit_call : std::uint8_t {
    none,
    start,
    stop,
};

struct unit_call_retry {
    unit_call call;         // none: nothing to retry, and no timer runs
    std::uint32_t delay_ms; // how long the pending attempt was put off
    std::uint64_t due_ms;   // on the monotonic clock, counted from the failure
    // Why the last attempt failed: an attempt that fails the same way again
    // is not reported again.
    char last_failure[FAILURE_TEXT_SIZE];
};

// The one unit call that awaits systemd's answer, if any. A decision made
// meanwhile is only recorded: the latest one is carried out once the answer
// is in, so however fast decisions come, corvane never awaits more than one
// answer from systemd. sd-bus fails the call after the bus's call timeout.
struct unit_call_in_flight {
    slot_ptr slot;          // empty while no call awaits an answer
    unit_call call;         // what it asks for
    std::uint32_t delay_ms; // for a retried attempt, how long it was put off; 0 for a new decision
    std::uint64_t due_ms;   // when sd-bus gives up on it
    unit_call next;         // the latest decision made meanwhile; none: no new one
};

// The host state read at start-up, and again after the host-state service
// got a new owner: asynchronously, so the loop goes on meanwhile, and again
// after each failure until a read succeeds or the service's own change
// arrives. This is what is owed to the service's current owner; the read
// itself is in host_state_read.
struct host_state_reread {
    bool wanted;            // a read is owed: in flight, or waiting for due_ms
    bool unknown;           // the state held may be stale (owner gone, read failed)
    bool overdue;           // the read in flight has been reported unanswered
    std::uint32_t delay_ms; // how long the pending attempt was put off
    // When the next attempt is due, or while one is in flight and not yet
    // overdue, when it will be; NO_DEADLINE once it is, or while the read
    // must wait for an earlier one to be answered.
    std::uint64_t due_ms;
    char last_failure[FAILURE_TEXT_SIZE];
};

// The one read of the host state that awaits its answer, if any. The bus
// counts a call against corvane until its recipient answers or leaves the
// bus, whatever corvane does with its slot, so the slot is kept until then
// even when the answer no longer matters, and no second read is sent
// meanwhile: a hung service, however often it gives up its name and takes
// it back, is owed one answer at most.
struct host_state_read {
    slot_ptr slot;
    // The unique name it went to; "" when it went to the service's name
    // while the name had no owner.
    char recipient[BUS_NAME_SIZE];
};

// The lines that tell of the host-state service leaving the bus, counted
// in minutes from the first line of each: an owner that gives its name up
// and takes it back as fast as it can costs the journal a few lines a
// minute, and one more that says how many were left out.
constexpr std::uint32_t OWNER_LINES_PER_MINUTE = 3;
constexpr std::uint32_t LINE_MINUTE_MS = 60000;

struct line_budget {
    std::uint32_t told;    // lines told in the current minute; 0: none begun
    std::uint32_t untold;  // lines left out in it
    std::uint64_t ends_ms; // when it ends, on the monotonic clock
};

struct render_context {
    render_state state;
    int vga_fd;
    int video_mode_fd;
    sd_bus *bus;
    const char *renderer_unit; // from argv, so it lives as long as the process
    unit_call_in_flight unit;
    unit_call_retry retry;
    host_state_reread reread;
    host_state_read read;
    // Answers to unit calls taken so far: the status goes to systemd after
    // each one, also when the next call goes out at once.
    std::uint32_t unit_answers;
    line_budget owner_lines;
    // Until the first host state is learned, corvane waits for it and
    // touches nothing.
    bool host_state_known;
    // The unique name that owns the host-state service's name, "" while none
    // does: a signal addressed to corvane counts only when it comes from it.
    char host_state_owner[BUS_NAME_SIZE];
};

struct scratch_reading {
    bool valid;
    unsigned long value;
    int parse_errno; // errno as the conversion left it, for the warning
};

// Reads the first `length` bytes of `text` (at most VGA_SCRATCH_MAX_TEXT) as a
// strtoul base-0 number; valid when the conversion succeeded and the value is
// a byte. `text` need not be NUL-terminated. errno is left as it was.
scratch_reading parse_vga_scratch(const char *text, std::size_t length);

enum class render_action {
    none,
    // Enter RENDERING: look at the scratch register first, start the renderer
    // only if the host has not taken the video.
    check_scratch_then_start,
    stop_renderer,
};

struct render_transition {
    render_state next;
    render_action action;
};

// `first` is the first host state corvane learns: it is carried out whatever
// the state held, since a renderer that an earlier corvane started may still
// run while the host is off.
render_transition next_on_host_state(render_state current, bool running, bool first);
// `reading` is invalid when the register could not be sought, read or parsed.
render_transition next_on_scratch(render_state current, const scratch_reading &reading);

// The wait before the next attempt of a failing unit call, given the wait
// before the attempt that just failed (0 when a new decision failed).
std::uint32_t next_retry_delay(std::uint32_t previous_ms);
// Whether `state` still wants the unit call that failed: the renderer runs
// only while RENDERING.
bool retry_still_wanted(render_state state, unit_call call);
// Whether a failed unit call has nonetheless done its work: a stop of a unit
// that systemd has not loaded (NoSuchUnit) finds it not running.
bool unit_call_failure_means_done(bool start, const char *error_name);
// Records `reason` as the last failure; returns whether it differs from the
// one recorded before (an empty record differs from any non-empty reason).
bool remember_failure(char (&last)[FAILURE_TEXT_SIZE], const char *reason);
// Ends the budget's minute if it is over at `now_ms`; returns how many lines
// it left out, which are then to be told as one.
std::uint32_t line_budget_close(line_budget &budget, std::uint64_t now_ms);
// Whether one more line may be told at `now_ms` (once line_budget_close has
// ended a minute that is over), counting it as told or left out.
bool line_budget_take(line_budget &budget, std::uint64_t now_ms);
// The name a failed unit call is reported with. sd-bus fails a call that
// systemd has not answered by its deadline with NoReply, and every call in
// flight with NoReply once the connection is gone; those are told by the
// reason they failed for, as a blocking call would tell them. `name` is
// the error the answer carries, null when there is none.
const char *unit_call_failure_name(const char *name, bool timed_out, bool connection_lost);
// The earliest moment something pending wants the loop: a unit call's
// retry, the host state's re-read, or the end of a minute that left lines
// out; NO_DEADLINE when nothing is pending.
std::uint64_t next_deadline_ms(const render_context &ctx);
// How long the event loop may sleep at `now_ms`: until the next scratch poll
// while RENDERING, until `deadline_ms`, otherwise for ever (-1).
int event_wait_ms(render_state state, std::uint64_t deadline_ms, std::uint64_t now_ms);
// How long the loop may sleep at `now_us` until sd-bus's own deadline
// `due_us` (sd_bus_get_timeout; UINT64_MAX for none: -1), rounded up so
// that it never wakes before it.
int bus_wait_ms(std::uint64_t due_us, std::uint64_t now_us);
// The shorter of two waits in milliseconds, where -1 is for ever.
int shorter_wait_ms(int a, int b);
std::uint64_t monotonic_ms();
std::uint64_t monotonic_us();
// When a call sent now counts as unanswered, on monotonic_ms's clock: after
// the bus's own call timeout (25 s unless SYSTEMD_BUS_TIMEOUT says otherwise).
std::uint64_t call_deadline_ms(sd_bus *bus);

void update_host_state(render_context &ctx, bool running);
void check_vga_scratch(render_context &ctx);
// Tries the pending unit call again if it is due at `now_ms`, still wanted,
// and no other call awaits its answer.
void retry_unit_call(render_context &ctx, std::uint64_t now_ms);
