// The controller's decisions: what each host-state reading and each scratch
// reading does in each state, when a failed unit call is tried again, and
// how long the loop may sleep.
#include "host_state.hpp"
#include "render_control.hpp"

#include <cerrno>
#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

namespace {

struct host_case {
    render_state from;
    bool running;
    render_state to;
    render_action action;
    bool first = false;
};

class HostStateTransition : public testing::TestWithParam<host_case> {};

TEST_P(HostStateTransition, FollowsTheTable) {
    const host_case &c = GetParam();
    const render_transition t = next_on_host_state(c.from, c.running, c.first);
    EXPECT_EQ(t.next, c.to);
    EXPECT_EQ(t.action, c.action);
}

constexpr auto bogus_state = static_cast<render_state>(7);

INSTANTIATE_TEST_SUITE_P(
    Rows, HostStateTransition,
    testing::Values(host_case{HOST_OFF, false, HOST_OFF, render_action::none},
                    host_case{HOST_OFF, true, RENDERING, render_action::check_scratch_then_start},
                    // The first host state learned stops a renderer left running.
                    host_case{HOST_OFF, false, HOST_OFF, render_action::stop_renderer, true},
                    host_case{HOST_OFF, true, RENDERING, render_action::check_scratch_then_start,
                              true},
                    host_case{RENDERING, true, RENDERING, render_action::none},
                    host_case{RENDERING, false, HOST_OFF, render_action::stop_renderer},
                    host_case{HOST_VGA_ACTIVE, true, HOST_VGA_ACTIVE, render_action::none},
                    host_case{HOST_VGA_ACTIVE, false, HOST_OFF, render_action::stop_renderer},
                    host_case{bogus_state, true, bogus_state, render_action::none},
                    host_case{bogus_state, false, bogus_state, render_action::none}));

struct scratch_case {
    render_state from;
    scratch_reading reading;
    render_state to;
    render_action action;
};

class ScratchTransition : public testing::TestWithParam<scratch_case> {};

TEST_P(ScratchTransition, FollowsTheTable) {
    const scratch_case &c = GetParam();
    const render_transition t = next_on_scratch(c.from, c.reading);
    EXPECT_EQ(t.next, c.to);
    EXPECT_EQ(t.action, c.action);
}

constexpr scratch_reading takeover = {true, HOST_VGA_ACTIVE_VALUE, 0};
constexpr scratch_reading other_value = {true, 0x10, 0};
constexpr scratch_reading unreadable = {false, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Rows, ScratchTransition,
    testing::Values(
        scratch_case{RENDERING, takeover, HOST_VGA_ACTIVE, render_action::stop_renderer},
        scratch_case{RENDERING, unreadable, HOST_VGA_ACTIVE, render_action::stop_renderer},
        scratch_case{RENDERING, other_value, RENDERING, render_action::none},
        scratch_case{RENDERING, {true, 0, 0}, RENDERING, render_action::none},
        // Outside RENDERING the register is only looked at, never acted on.
        scratch_case{HOST_OFF, takeover, HOST_OFF, render_action::none},
        scratch_case{HOST_OFF, unreadable, HOST_OFF, render_action::none},
        scratch_case{HOST_VGA_ACTIVE, takeover, HOST_VGA_ACTIVE, render_action::none},
        scratch_case{HOST_VGA_ACTIVE, unreadable, HOST_VGA_ACTIVE, render_action::none}));

TEST(UnitCallRetry, WaitsOneSecondThenTwiceAsLongUpToAMinute) {
    std::uint32_t delay = 0;
    std::vector<std::uint32_t> delays;
    for (int attempt = 0; attempt < 9; ++attempt) {
        delay = next_retry_delay(delay);
        delays.push_back(delay);
    }
    EXPECT_EQ(delays, (std::vector<std::uint32_t>{1000, 2000, 4000, 8000, 16000, 32000, 60000,
                                                  60000, 60000}));
}

struct retry_case {
    render_state state;
    unit_call call;
    bool wanted;
};

class RetryWanted : public testing::TestWithParam<retry_case> {};

TEST_P(RetryWanted, OnlyWhileTheStateStillAsksForTheCall) {
    const retry_case &c = GetParam();
    EXPECT_EQ(retry_still_wanted(c.state, c.call), c.wanted);
}

INSTANTIATE_TEST_SUITE_P(Rows, RetryWanted,
                         testing::Values(retry_case{RENDERING, unit_call::start, true},
                                         retry_case{HOST_OFF, unit_call::start, false},
                                         retry_case{HOST_VGA_ACTIVE, unit_call::start, false},
                                         retry_case{RENDERING, unit_call::stop, false},
                                         retry_case{HOST_OFF, unit_call::stop, true},
                                         retry_case{HOST_VGA_ACTIVE, unit_call::stop, true},
                                         retry_case{RENDERING, unit_call::none, false},
                                         retry_case{bogus_state, unit_call::start, false}));

struct wait_case {
    render_state state;
    std::uint64_t deadline_ms;
    std::uint64_t now_ms;
    int wait_ms;
};

class EventWait : public testing::TestWithParam<wait_case> {};

TEST_P(EventWait, SleepsUntilTheNextPollOrDeadline) {
    const wait_case &c = GetParam();
    EXPECT_EQ(event_wait_ms(c.state, c.deadline_ms, c.now_ms), c.wait_ms);
}

// A clock far past 2^32 ms must not wrap.
constexpr std::uint64_t late = 0x100000000ULL;

INSTANTIATE_TEST_SUITE_P(
    Rows, EventWait,
    testing::Values(wait_case{HOST_OFF, NO_DEADLINE, 0, -1},
                    wait_case{HOST_VGA_ACTIVE, NO_DEADLINE, 0, -1},
                    wait_case{RENDERING, NO_DEADLINE, 0, VGA_POLL_INTERVAL_MS},
                    wait_case{HOST_OFF, 5000, 1000, 4000}, wait_case{HOST_OFF, 5000, 5000, 0},
                    wait_case{HOST_OFF, 5000, 9000, 0},
                    wait_case{RENDERING, 5000, 4000, VGA_POLL_INTERVAL_MS},
                    wait_case{RENDERING, 5000, 4950, 50},
                    wait_case{RENDERING, late + 60000, late, VGA_POLL_INTERVAL_MS},
                    wait_case{HOST_OFF, late + 60000, late, 60000}));

struct bus_wait_case {
    std::uint64_t due_us;
    std::uint64_t now_us;
    int earlier_wait_ms;
    int wait_ms;
};

class BusWait : public testing::TestWithParam<bus_wait_case> {};

// sd-bus fails a call in flight only when the bus is processed after its
// deadline: the loop must wake for it, never before it, whatever else waits.
TEST_P(BusWait, EndsTheWaitAtSdBusDeadline) {
    const bus_wait_case &c = GetParam();
    EXPECT_EQ(shorter_wait_ms(c.earlier_wait_ms, bus_wait_ms(c.due_us, c.now_us)), c.wait_ms);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BusWait,
    testing::Values(bus_wait_case{UINT64_MAX, 0, -1, -1},
                    bus_wait_case{UINT64_MAX, 0, VGA_POLL_INTERVAL_MS, VGA_POLL_INTERVAL_MS},
                    bus_wait_case{25000000, 0, -1, 25000}, bus_wait_case{1000001, 0, -1, 1001},
                    bus_wait_case{1000, 999, -1, 1}, bus_wait_case{1000, 1000, -1, 0},
                    bus_wait_case{1000, 5000, 60000, 0},
                    bus_wait_case{late + 25000000, late, VGA_POLL_INTERVAL_MS,
                                  VGA_POLL_INTERVAL_MS},
                    bus_wait_case{late * 1000, 0, -1, 4294967}));

struct deadline_case {
    unit_call retry_call;
    std::uint64_t retry_due_ms;
    bool reread_wanted;
    std::uint64_t reread_due_ms;
    std::uint64_t deadline_ms;
};

class NextDeadline : public testing::TestWithParam<deadline_case> {};

TEST_P(NextDeadline, IsTheEarliestPendingOne) {
    const deadline_case &c = GetParam();
    render_context ctx = {};
    ctx.retry.call = c.retry_call;
    ctx.retry.due_ms = c.retry_due_ms;
    ctx.reread.wanted = c.reread_wanted;
    ctx.reread.due_ms = c.reread_due_ms;
    EXPECT_EQ(next_deadline_ms(ctx), c.deadline_ms);
}

INSTANTIATE_TEST_SUITE_P(Rows, NextDeadline,
                         testing::Values(deadline_case{unit_call::none, 0, false, 0, NO_DEADLINE},
                                         deadline_case{unit_call::start, 3000, false, 1000, 3000},
                                         deadline_case{unit_call::none, 3000, true, 1000, 1000},
                                         deadline_case{unit_call::stop, 3000, true, 1000, 1000},
                                         deadline_case{unit_call::stop, 3000, true, late, 3000}));

struct done_case {
    bool start;
    const char *error_name;
    bool done;
};

class FailedUnitCall : public testing::TestWithParam<done_case> {};

TEST_P(FailedUnitCall, IsDoneOnlyForAStopOfAnUnloadedUnit) {
    const done_case &c = GetParam();
    EXPECT_EQ(unit_call_failure_means_done(c.start, c.error_name), c.done);
}

constexpr const char *no_such_unit = "org.freedesktop.systemd1.NoSuchUnit";

INSTANTIATE_TEST_SUITE_P(
    Rows, FailedUnitCall,
    testing::Values(done_case{false, no_such_unit, true}, done_case{true, no_such_unit, false},
                    done_case{false, "org.freedesktop.DBus.Error.Failed", false},
                    done_case{false, "org.freedesktop.systemd1.NoSuchUnitFile", false},
                    done_case{false, nullptr, false}));

// A call in flight that sd-bus fails itself is reported as a blocking call's
// failure would be: by why it failed.
TEST(FailedUnitCall, IsNamedByWhySdBusFailedIt) {
    constexpr const char *no_reply = "org.freedesktop.DBus.Error.NoReply";
    EXPECT_STREQ(unit_call_failure_name(no_reply, true, false),
                 "org.freedesktop.DBus.Error.Timeout");
    EXPECT_STREQ(unit_call_failure_name(no_reply, true, true),
                 "org.freedesktop.DBus.Error.Disconnected");
    EXPECT_STREQ(unit_call_failure_name(no_reply, false, true),
                 "org.freedesktop.DBus.Error.Disconnected");
    // systemd gone from the bus with the call unanswered: the bus's own word.
    EXPECT_STREQ(unit_call_failure_name(no_reply, false, false), no_reply);
    EXPECT_STREQ(unit_call_failure_name(no_such_unit, true, true), no_such_unit);
    EXPECT_EQ(unit_call_failure_name(nullptr, true, true), nullptr);
}

TEST(RepeatedFailure, IsNewOnlyWhenItDiffersFromTheOneBefore) {
    char last[FAILURE_TEXT_SIZE] = {};
    struct step {
        const char *reason;
        bool is_new;
    };
    const step steps[] = {{"A", true},  {"A", false}, {"A", false}, {"B", true},
                          {"B", false}, {"A", true},  {"", true}};
    for (const step &s : steps) {
        EXPECT_EQ(remember_failure(last, s.reason), s.is_new) << '"' << s.reason << '"';
    }
}

TEST(HostStateValue, OnlyTheExactRunningValueMeansRunning) {
    EXPECT_TRUE(host_state_is_running("velmora.State.Host.HostState.Running"));
    EXPECT_FALSE(host_state_is_running("velmora.State.Host.HostState.Off"));
    EXPECT_FALSE(host_state_is_running("velmora.State.Host.HostState.Running "));
    EXPECT_FALSE(host_state_is_running("velmora.State.Host.HostState.RunningX"));
    EXPECT_FALSE(host_state_is_running("Running"));
    EXPECT_FALSE(host_state_is_running(""));
    EXPECT_FALSE(host_state_is_running(nullptr));
}

TEST(BusFailure, ConnectionLossIsToldApartFromOtherFailures) {
    for (const int e : {ECONNRESET, ECONNABORTED, ENOTCONN, EPIPE, ESHUTDOWN, EBADF}) {
        EXPECT_TRUE(is_connection_error(-e)) << e;
    }
    for (const int e : {EPERM, EBADMSG, ENOMEM, EINVAL, ENXIO, 0}) {
        EXPECT_FALSE(is_connection_error(-e)) << e;
    }
}

} // namespace
