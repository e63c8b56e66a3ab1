"""corvane's state table end to end: each host-state change and scratch
register reading in each state, with the unit calls systemd receives, the
video mode register's content and corvane's lines; and unit calls that
systemd refuses, which corvane tries again while the state still wants them,
reporting a refusal that lasts once."""

import os
import time

import pytest

from corvane_harness import (OFF, QUIESCED, RUNNING, UNIT, Peers, distinct_in_a_row,  # noqa: F401
                             registers, start_corvane, wait_for)

STARTED = "setting render state to running\n"
STOPPED = "setting render state to stopped\n"
ASSUMING = "corvane: error reading VGA scratch register, assuming active\n"
EMPTY_READ = "corvane: Can't read VGA scratch register: Success\n"
TOO_LARGE = "corvane: Can't parse VGA scratch register value: Success\n"
FAILED = "org.freedesktop.DBus.Error.Failed"
NO_SUCH_UNIT = "org.freedesktop.systemd1.NoSuchUnit"


def act(step, peers, registers, corvane):
    kind, value = step
    calls = len(peers.verbs())
    if kind == "host":
        peers.set_host(value)
        corvane.sync()
    elif kind == "takeover":
        # The reading that stops the renderer is the last one.
        registers.set_scratch(value)
        peers.wait_verbs(calls + 1)
        corvane.sync()
    elif kind == "scratch":
        registers.set_scratch(value)
        corvane.wait_scratch_reads()
    else:
        # Not rendering: the register is not read, so nothing can be awaited.
        registers.set_scratch(value)


# (host at start, scratch at start, steps, unit calls, video mode, lines)
ROWS = {
    # With the host off at start, corvane makes sure the renderer is stopped.
    "off-stays-off": (OFF, "0\n", [("host", QUIESCED)], ["StopUnit"], b"0\n", STOPPED),
    "off-to-rendering": (OFF, "0\n", [("host", RUNNING)], ["StopUnit", "StartUnit"], b"1\n",
                         STOPPED + STARTED),
    "off-to-video-taken": (OFF, "0xa8\n", [("host", RUNNING)], ["StopUnit", "StopUnit"], b"0\n",
                           STOPPED + STOPPED),
    "off-to-video-unreadable": (OFF, "", [("host", RUNNING)], ["StopUnit", "StopUnit"], b"0\n",
                                STOPPED + EMPTY_READ + ASSUMING + STOPPED),
    "rendering-stays": (RUNNING, "0\n", [("host", RUNNING)], ["StartUnit"], b"1\n", STARTED),
    "rendering-to-off": (RUNNING, "0\n", [("host", OFF)], ["StartUnit", "StopUnit"], b"0\n",
                         STARTED + STOPPED),
    "rendering-to-other-state": (RUNNING, "0\n", [("host", QUIESCED)],
                                 ["StartUnit", "StopUnit"], b"0\n", STARTED + STOPPED),
    "rendering-video-taken": (RUNNING, "0\n", [("takeover", "0xa8\n")],
                              ["StartUnit", "StopUnit"], b"0\n", STARTED + STOPPED),
    "rendering-other-value": (RUNNING, "0\n", [("scratch", "0x10\n")], ["StartUnit"], b"1\n",
                              STARTED),
    "video-taken-stays": (RUNNING, "0xa8\n", [("host", RUNNING)], ["StopUnit"], b"0\n",
                          STOPPED),
    "video-taken-to-off": (RUNNING, "0xa8\n", [("host", OFF)], ["StopUnit", "StopUnit"],
                           b"0\n", STOPPED + STOPPED),
    # Once the host has the video, only a power cycle brings the renderer back.
    "power-cycle": (RUNNING, "0\n",
                    [("takeover", "0xa8\n"), ("unwatched", "0\n"), ("host", RUNNING),
                     ("host", OFF), ("host", RUNNING)],
                    ["StartUnit", "StopUnit", "StopUnit", "StartUnit"], b"1\n",
                    STARTED + STOPPED + STOPPED + STARTED),
}


@pytest.mark.parametrize("row", ROWS.values(), ids=ROWS.keys())
def test_state_table(private_bus, registers, start_corvane, row):
    host, scratch, steps, verbs, mode, lines = row
    registers.set_scratch(scratch)
    peers = Peers(private_bus, host_state=host)
    corvane = start_corvane()
    corvane.sync()
    for step in steps:
        act(step, peers, registers, corvane)
    assert peers.unit_calls() == [(verb, UNIT, "replace") for verb in verbs]
    assert registers.mode() == mode
    assert corvane.stderr() == lines


@pytest.mark.parametrize("text, stops, warning", [
    ("0xa8\n", True, ""),
    ("168\n", True, ""),
    ("0250\n", True, ""),
    ("0x1a8\n", True, TOO_LARGE + ASSUMING),
    ("-1\n", True, TOO_LARGE + ASSUMING),
    ("", True, EMPTY_READ + ASSUMING),
    ("letters", False, ""),
    ("0x10\n", False, ""),
])
def test_scratch_reading_while_rendering(private_bus, registers, start_corvane, text, stops,
                                         warning):
    peers = Peers(private_bus, host_state=RUNNING)
    corvane = start_corvane()
    corvane.sync()
    registers.set_scratch(text)
    if stops:
        peers.wait_verbs(2)
        corvane.sync()
    else:
        corvane.wait_scratch_reads()
    assert peers.verbs() == ["StartUnit", "StopUnit"] if stops else ["StartUnit"]
    assert registers.mode() == (b"0\n" if stops else b"1\n")
    assert corvane.stderr() == STARTED + warning + (STOPPED if stops else "")


@pytest.mark.parametrize("with_systemd, error_name", [
    (True, FAILED),
    (False, "org.freedesktop.DBus.Error.ServiceUnknown"),
], ids=["unit-refused", "no-systemd"])
def test_failed_unit_call_leaves_register_and_keeps_watching(
        private_bus, registers, start_corvane, with_systemd, error_name):
    peers = Peers(private_bus, host_state=RUNNING, with_systemd=with_systemd,
                  systemd_parameters={"refuse": [UNIT], "refuse_error": FAILED})
    corvane = start_corvane()
    corvane.sync()
    # Retries that fail the same way say nothing more.
    assert corvane.stderr() == STARTED + refused("start", error_name)
    # Still rendering as far as corvane knows, so the register is still read.
    registers.set_scratch("0xa8\n")
    wait_for(lambda: "failed to stop" in corvane.stderr(), "the stop attempt")
    corvane.sync()
    if with_systemd:
        assert distinct_in_a_row(peers.verbs()) == ["StartUnit", "StopUnit"]
    assert corvane.stderr() == (STARTED + refused("start", error_name)
                                + STOPPED + refused("stop", error_name))
    assert registers.mode() == b""


def refused(verb, error_name):
    return f"corvane: failed to {verb} {UNIT}: {error_name}\n\n"


START, STOP = "StartUnit", "StopUnit"

# (the call systemd refuses, the errors its attempts meet in turn before one is
# served, the calls systemd receives, video mode, lines)
REFUSED = {
    "start-once": (START, [NO_SUCH_UNIT], [START, START], b"1\n",
                   STARTED + refused("start", NO_SUCH_UNIT) + STARTED),
    "stop-once": (STOP, [FAILED], [START, STOP, STOP], b"0\n",
                  STARTED + STOPPED + refused("stop", FAILED) + STOPPED),
    # Reported once while the reason stays the same, again when it changes;
    # the attempt that succeeds says so.
    "start-changing-reasons": (START, [FAILED, FAILED, NO_SUCH_UNIT], [START] * 4, b"1\n",
                               STARTED + refused("start", FAILED)
                               + STARTED + refused("start", NO_SUCH_UNIT) + STARTED),
    # systemd has no such unit loaded, so it is not running: nothing to retry.
    "stop-of-unknown-unit": (STOP, [NO_SUCH_UNIT], [START, STOP], b"0\n", STARTED + STOPPED),
}


@pytest.mark.parametrize("row", REFUSED.values(), ids=REFUSED.keys())
def test_refused_unit_calls(private_bus, registers, start_corvane, row):
    refused_call, errors, verbs, mode, lines = row
    peers = Peers(private_bus, host_state=OFF)
    corvane = start_corvane()
    corvane.sync()
    if refused_call == STOP:
        peers.set_host(RUNNING)
        corvane.sync()
    peers.systemd.RefuseNext(UNIT, errors)
    peers.set_host(OFF if refused_call == STOP else RUNNING)
    wait_for(lambda: registers.mode() == mode, "the call to be served")
    corvane.sync()
    # After the stop of the host being off at start.
    assert peers.verbs() == [STOP] + verbs
    assert corvane.stderr() == STOPPED + lines


def test_start_refused_for_ever_is_not_retried_once_the_host_is_off(private_bus, registers,
                                                                    start_corvane):
    peers = Peers(private_bus, host_state=OFF)
    corvane = start_corvane()
    peers.systemd.RefuseNext(UNIT, [FAILED] * 1000)
    peers.set_host(RUNNING)
    wait_for(lambda: "failed to" in corvane.stderr(), "the refusal")
    # Tried again 1, 2, 4 ... s after each failure: at 1 and 3 s, so three
    # attempts in 6.5 s, or four on a slow machine; every second would be 7.
    time.sleep(6.5)
    assert peers.verbs().count("StartUnit") <= 4
    # The stop replaces the start's retry and is refused in turn; its own
    # retry falls due after the start's would have, so once it has come, a
    # start retried in spite of the host going off would have shown.
    peers.set_host(OFF)
    wait_for(lambda: peers.verbs()[1:].count("StopUnit") >= 2, "the stop's retry")
    corvane.sync()
    assert distinct_in_a_row(peers.verbs()) == ["StopUnit", "StartUnit", "StopUnit"]
    assert corvane.stderr() == (STOPPED + STARTED + refused("start", FAILED)
                                + STOPPED + refused("stop", FAILED))
    # As the stop at start left it.
    assert registers.mode() == b"0\n"


def test_stop_decided_during_a_retried_start_is_a_new_decision(private_bus, registers,
                                                               start_corvane):
    # The host goes off while the start's retry awaits systemd: the stop is
    # a new decision, which says so before its call and whose refusal is
    # reported, though the start's retry was refused the same way.
    peers = Peers(private_bus, host_state=OFF)
    corvane = start_corvane()
    peers.systemd.RefuseNext(UNIT, [FAILED] * 3)
    peers.systemd.SetHang(True)
    peers.set_host(RUNNING)
    peers.wait_verbs(2)
    peers.systemd.ReleaseHeld()
    peers.wait_verbs(3)
    peers.set_host(OFF)
    corvane.sync()
    peers.systemd.ReleaseHeld()
    peers.wait_verbs(4)
    # The stop is refused; its retry is served.
    peers.systemd.SetHang(False)
    wait_for(lambda: corvane.stderr().count(STOPPED) == 3, "the retried stop")
    corvane.sync()
    assert peers.verbs() == [STOP, START, START, STOP, STOP]
    assert corvane.stderr() == (STOPPED + STARTED + refused("start", FAILED)
                                + STOPPED + refused("stop", FAILED) + STOPPED)


def test_full_video_mode_register(private_bus, registers, start_corvane):
    registers.mode_path = "/dev/full"
    peers = Peers(private_bus, host_state=RUNNING)
    corvane = start_corvane()
    corvane.sync()
    assert peers.verbs() == ["StartUnit"]
    assert corvane.stderr() == (
        STARTED + "corvane: Can't write video mode reg interface: No space left on device\n")


@pytest.mark.parametrize("which", ["scratch", "mode"])
def test_unseekable_registers(private_bus, registers, start_corvane, tmp_path, which):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    # Held open for both ends so that corvane's open does not wait for a peer;
    # read afterwards, so that a write into it would show.
    holder = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)
    try:
        setattr(registers, f"{which}_path", fifo)
        peers = Peers(private_bus, host_state=RUNNING)
        corvane = start_corvane()
        corvane.sync()
        with pytest.raises(BlockingIOError):
            os.read(holder, 16)
    finally:
        os.close(holder)
    if which == "scratch":
        assert peers.verbs() == ["StopUnit"]
        assert corvane.stderr() == ("corvane: Can't seek VGA scratch reg interface: "
                                    "Illegal seek\n" + ASSUMING + STOPPED)
    else:
        assert peers.verbs() == ["StartUnit"]
        assert corvane.stderr() == (
            STARTED + "corvane: Can't seek video mode reg interface: Illegal seek\n")
