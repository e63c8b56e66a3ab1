"""corvane's state table end to end: each host-state change and scratch
register reading in each state, with the unit calls systemd receives, the
video mode register's content and corvane's lines; and unit calls that
systemd refuses, which corvane tries again while the state still wants them."""

import os

import pytest

from corvane_harness import (OFF, QUIESCED, RUNNING, UNIT, Peers, collapse_retries,  # noqa: F401
                             distinct_in_a_row, registers, start_corvane, wait_for)

STARTED = "setting render state to running\n"
STOPPED = "setting render state to stopped\n"
ASSUMING = "corvane: error reading VGA scratch register, assuming active\n"
EMPTY_READ = "corvane: Can't read VGA scratch register: Success\n"
TOO_LARGE = "corvane: Can't parse VGA scratch register value: Success\n"


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
    "off-stays-off": (OFF, "0\n", [("host", QUIESCED)], [], b"", ""),
    "off-to-rendering": (OFF, "0\n", [("host", RUNNING)], ["StartUnit"], b"1\n", STARTED),
    "off-to-video-taken": (OFF, "0xa8\n", [("host", RUNNING)], ["StopUnit"], b"0\n", STOPPED),
    "off-to-video-unreadable": (OFF, "", [("host", RUNNING)], ["StopUnit"], b"0\n",
                                EMPTY_READ + ASSUMING + STOPPED),
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
    (True, "org.freedesktop.systemd1.NoSuchUnit"),
    (False, "org.freedesktop.DBus.Error.ServiceUnknown"),
], ids=["unit-refused", "no-systemd"])
def test_failed_unit_call_leaves_register_and_keeps_watching(
        private_bus, registers, start_corvane, with_systemd, error_name):
    peers = Peers(private_bus, host_state=RUNNING, with_systemd=with_systemd,
                  systemd_parameters={"refuse": [UNIT]})
    corvane = start_corvane()
    corvane.sync()
    # A retry may fall due while the test looks; it repeats the same lines.
    assert collapse_retries(corvane.stderr()) == (
        STARTED + f"corvane: failed to start {UNIT}: {error_name}\n\n")
    # Still rendering as far as corvane knows, so the register is still read.
    registers.set_scratch("0xa8\n")
    wait_for(lambda: "failed to stop" in corvane.stderr(), "the stop attempt")
    corvane.sync()
    if with_systemd:
        assert distinct_in_a_row(peers.verbs()) == ["StartUnit", "StopUnit"]
    assert collapse_retries(corvane.stderr()) == (
        STARTED + f"corvane: failed to start {UNIT}: {error_name}\n\n"
        + STOPPED + f"corvane: failed to stop {UNIT}: {error_name}\n\n")
    assert registers.mode() == b""


def refused(verb):
    return f"corvane: failed to {verb} {UNIT}: org.freedesktop.systemd1.NoSuchUnit\n\n"


# (the call systemd refuses once, the calls it receives, video mode, lines)
REFUSED_ONCE = {
    "start": ("StartUnit", ["StartUnit", "StartUnit"], b"1\n",
              STARTED + refused("start") + STARTED),
    "stop": ("StopUnit", ["StartUnit", "StopUnit", "StopUnit"], b"0\n",
             STARTED + STOPPED + refused("stop") + STOPPED),
}


@pytest.mark.parametrize("row", REFUSED_ONCE.values(), ids=REFUSED_ONCE.keys())
def test_unit_call_refused_once_is_retried(private_bus, registers, start_corvane, row):
    refused_call, verbs, mode, lines = row
    peers = Peers(private_bus, host_state=OFF)
    corvane = start_corvane()
    corvane.sync()
    if refused_call == "StopUnit":
        peers.set_host(RUNNING)
        corvane.sync()
    peers.systemd.RefuseUnit(UNIT)
    peers.set_host(OFF if refused_call == "StopUnit" else RUNNING)
    wait_for(lambda: "failed to" in corvane.stderr(), "the refusal")
    peers.systemd.AcceptUnit(UNIT)
    wait_for(lambda: registers.mode() == mode, "the retry")
    corvane.sync()
    assert peers.verbs() == verbs
    assert corvane.stderr() == lines


def test_start_refused_for_ever_is_not_retried_once_the_host_is_off(private_bus, registers,
                                                                    start_corvane):
    peers = Peers(private_bus, host_state=OFF, systemd_parameters={"refuse": [UNIT]})
    corvane = start_corvane()
    corvane.sync()
    peers.set_host(RUNNING)
    wait_for(lambda: "failed to" in corvane.stderr(), "the refusal")
    # The stop replaces the start's retry and is refused in turn; its own
    # retry falls due after the start's would have, so once it has come, a
    # start retried in spite of the host going off would have shown.
    peers.set_host(OFF)
    peers.wait_verbs(3)
    corvane.sync()
    assert distinct_in_a_row(peers.verbs()) == ["StartUnit", "StopUnit"]
    assert collapse_retries(corvane.stderr()) == (STARTED + refused("start")
                                                  + STOPPED + refused("stop"))
    assert registers.mode() == b""


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
    # Held open for both ends so that corvane's open does not wait for a peer.
    holder = os.open(fifo, os.O_RDWR)
    try:
        setattr(registers, f"{which}_path", fifo)
        peers = Peers(private_bus, host_state=RUNNING)
        corvane = start_corvane()
        corvane.sync()
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
