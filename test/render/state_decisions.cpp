// The controller's decisions: what each host-state reading and each scratch
// reading does in each state.
#include "host_state.hpp"
#include "render_control.hpp"

#include <cerrno>
#include <gtest/gtest.h>

namespace {

struct host_case {
    render_state from;
    bool running;
    render_state to;
    render_action action;
};

class HostStateTransition : public testing::TestWithParam<host_case> {};

TEST_P(HostStateTransition, FollowsTheTable) {
    const host_case &c = GetParam();
    const render_transition t = next_on_host_state(c.from, c.running);
    EXPECT_EQ(t.next, c.to);
    EXPECT_EQ(t.action, c.action);
}

constexpr auto bogus_state = static_cast<render_state>(7);

INSTANTIATE_TEST_SUITE_P(
    Rows, HostStateTransition,
    testing::Values(host_case{HOST_OFF, false, HOST_OFF, render_action::none},
                    host_case{HOST_OFF, true, RENDERING, render_action::check_scratch_then_start},
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
