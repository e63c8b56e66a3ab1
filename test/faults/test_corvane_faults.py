"""corvane under faults: the message bus dies under it, systemd does not
answer or is not there, the register files cannot be read or written, and the
unit name and paths it is given hold printf directives.

Each case checks the lines corvane prints, the unit calls systemd received,
the video mode register and, where corvane goes on, that the state machine
still makes its next transitions.
"""

import errno
import os
import signal
import time

import dbus
import pytest

from conftest import program_command
from corvane_harness import (DEADLINE, MOCK_IFACE, OFF, RUNNING, UNIT, Peers,  # noqa: F401
                             cpu_ticks, registers, run_to_exit, start_corvane, wait_for)

STARTED = "setting render state to running\n"
STOPPED = "setting render state to stopped\n"
ASSUMING = "corvane: error reading VGA scratch register, assuming active\n"
LOST = "corvane: lost connection to dbus\n"
NO_SPACE = "corvane: Can't write video mode reg interface: No space left on device\n"
# CPU time (user and system, in clock ticks) corvane may use between losing
# its bus and exiting. Going away takes well under one tick; a process that
# kept polling a hung-up descriptor would run into hundreds per second.
EXIT_TICKS = 10


def wrapped():
    return len(program_command("CORVANE")) > 1


def wait_exited_unreaped(pid):
    """Waits for pid to exit, leaving it a zombie so its counters stay."""
    end = time.monotonic() + DEADLINE
    while os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT | os.WNOHANG) is None:
        if time.monotonic() > end:
            raise AssertionError("corvane did not exit after its bus died")
        time.sleep(0.01)


# ---- the message bus dies ------------------------------------------------------

def reach(state, peers, registers, corvane):
    """Brings corvane, started with the host off, to one of its states (or
    into a unit call that systemd holds) and returns the lines it has printed
    by then."""
    corvane.sync()
    if state == "host-off":
        return STOPPED
    if state.startswith("waiting-for-systemd"):
        peers.systemd.SetHang(True)
        peers.set_host(RUNNING)
        peers.wait_verbs(2)
        wait_for(lambda: corvane.stderr() == STOPPED + STARTED, "the start line")
        if state.endswith("with-a-decision-waiting"):
            # The stop that the host going off asks for awaits the answer.
            peers.set_host(OFF)
            corvane.sync()
        return STOPPED + STARTED
    peers.set_host(RUNNING)
    corvane.sync()
    if state == "rendering":
        return STOPPED + STARTED
    registers.set_scratch("0xa8\n")
    peers.wait_verbs(3)
    corvane.sync()
    return STOPPED + STARTED + STOPPED


@pytest.mark.parametrize("state", ["host-off", "rendering", "video-taken",
                                   "waiting-for-systemd",
                                   "waiting-for-systemd-with-a-decision-waiting",
                                   "waiting-for-the-host-state"])
def test_bus_daemon_killed(private_bus, registers, start_corvane, state):
    if state == "waiting-for-the-host-state":
        # The first read is held: it fails with the connection, which is
        # not the service failing to answer.
        peers = Peers(private_bus, host_parameters={"HoldReads": True})
        corvane = start_corvane(ready=False)
        wait_for(lambda: peers.host_reads() == 1, "the read")
        printed = ""
    else:
        peers = Peers(private_bus, host_state=OFF)
        corvane = start_corvane()
        printed = reach(state, peers, registers, corvane)
    before = cpu_ticks(corvane.pid)

    os.kill(private_bus.pid, signal.SIGKILL)
    wait_exited_unreaped(corvane.pid)
    used = cpu_ticks(corvane.pid) - before
    assert corvane.wait_exit() == 1

    stderr = corvane.stderr()
    if state.startswith("waiting-for-systemd"):
        # The unit call fails with the connection, then the loop finds it
        # gone; a decision made meanwhile is not carried out against it.
        assert stderr == (printed + f"corvane: failed to start {UNIT}: "
                          "org.freedesktop.DBus.Error.Disconnected\n\n" + LOST)
    else:
        assert stderr == printed + LOST
    if not wrapped():  # a wrapper's own work at exit is not corvane's
        assert used <= EXIT_TICKS


# ---- systemd does not answer, or is not there ------------------------------------

def power_cycle(peers, registers, corvane):
    """The host takes the video, which stops the renderer, and a power cycle
    starts it again."""
    calls = len(peers.verbs())
    registers.set_scratch("0xa8\n")
    peers.wait_verbs(calls + 1)
    corvane.sync()
    assert registers.mode() == b"0\n"
    registers.set_scratch("0\n")
    peers.set_host(OFF)
    corvane.sync()
    peers.set_host(RUNNING)
    corvane.sync()
    assert registers.mode() == b"1\n"
    return STOPPED + STOPPED + STARTED


@pytest.mark.parametrize("verb", ["start", "stop"])
def test_unit_call_not_answered(private_bus, registers, start_corvane, verb):
    # The host powers on (off, for the stop, where nothing else wakes corvane).
    start = verb == "start"
    peers = Peers(private_bus, host_state=OFF if start else RUNNING)
    corvane = start_corvane(extra_env={"SYSTEMD_BUS_TIMEOUT": "1"})
    corvane.sync()
    before, progress = (STOPPED, STARTED) if start else (STARTED, STOPPED)
    peers.systemd.SetHang(True)
    peers.set_host(RUNNING if start else OFF)
    timed_out = f"corvane: failed to {verb} {UNIT}: org.freedesktop.DBus.Error.Timeout\n\n"
    wait_for(lambda: corvane.stderr() == before + progress + timed_out, "the timeout")
    assert registers.mode() == (b"0\n" if start else b"1\n")
    # The answer comes after corvane gave up on it, and must change nothing;
    # the retry a second after the timeout is answered and does the work.
    peers.systemd.SetHang(False)
    wait_for(lambda: registers.mode() == (b"1\n" if start else b"0\n"), "the retried call")
    corvane.sync()
    # A slow run may have seen the retry time out too before it was answered;
    # failing the same way, it said nothing.
    called = peers.verbs()
    assert called[0] == ("StopUnit" if start else "StartUnit") and len(called) >= 3
    assert set(called[1:]) == {"StartUnit" if start else "StopUnit"}
    assert corvane.stderr() == before + progress + timed_out + progress
    if not start:
        return

    lines = power_cycle(peers, registers, corvane)
    assert peers.verbs()[len(called):] == ["StopUnit", "StopUnit", "StartUnit"]
    assert corvane.stderr() == STOPPED + STARTED + timed_out + STARTED + lines


def test_systemd_gone_with_a_call_in_flight(private_bus, registers, start_corvane):
    # systemd leaves the bus while it holds the start: the bus answers for
    # it, which is not the call timing out, even with the longest timeout,
    # past 2^32 microseconds.
    peers = Peers(private_bus, host_state=OFF)
    corvane = start_corvane(extra_env={"SYSTEMD_BUS_TIMEOUT": "4295"})
    peers.systemd.SetHang(True)
    peers.set_host(RUNNING)
    peers.wait_verbs(2)
    corvane.wait_scratch_reads()
    peers.systemd_process.terminate()
    no_reply = f"corvane: failed to start {UNIT}: org.freedesktop.DBus.Error.NoReply\n\n"
    wait_for(lambda: no_reply in corvane.stderr(), "the start's failure")
    assert corvane.stderr().startswith(STOPPED + STARTED + no_reply)


def test_systemd_away_then_back(private_bus, registers, start_corvane):
    # systemd re-executing itself is off the bus for a moment, from before
    # corvane's first stop of the renderer to after its first start.
    peers = Peers(private_bus, host_state=OFF, with_systemd=False)
    corvane = start_corvane()
    peers.set_host(RUNNING)
    corvane.sync()
    unknown = ": org.freedesktop.DBus.Error.ServiceUnknown\n\n"
    failed = (STOPPED + f"corvane: failed to stop {UNIT}" + unknown
              + STARTED + f"corvane: failed to start {UNIT}" + unknown)
    assert corvane.stderr() == failed
    assert registers.mode() == b""

    # Once it is back, the pending retry starts the renderer.
    _, systemd = private_bus.spawn_template("systemd_manager", {})
    peers.systemd = dbus.Interface(systemd, MOCK_IFACE)
    wait_for(lambda: registers.mode() == b"1\n", "the retried start")
    corvane.sync()
    assert peers.verbs() == ["StartUnit"]
    assert corvane.stderr() == failed + STARTED

    lines = power_cycle(peers, registers, corvane)
    assert peers.verbs() == ["StartUnit", "StopUnit", "StopUnit", "StartUnit"]
    assert corvane.stderr() == failed + STARTED + lines


def test_unit_name_is_never_a_format(private_bus, registers, start_corvane):
    unit = "render%s%n%x@%d.service"
    peers = Peers(private_bus, host_state=OFF, systemd_parameters={"refuse": [unit]})
    corvane = start_corvane(unit=unit)
    corvane.sync()
    peers.set_host(RUNNING)
    corvane.sync()
    # Retries that fall due meanwhile repeat the same call, silently; the
    # stop at start found the unit not loaded, which is done.
    assert peers.unit_calls()[0] == ("StopUnit", unit, "replace")
    assert set(peers.unit_calls()[1:]) == {("StartUnit", unit, "replace")}
    assert corvane.stderr() == (
        STOPPED + STARTED
        + f"corvane: failed to start {unit}: org.freedesktop.systemd1.NoSuchUnit\n\n")


@pytest.mark.parametrize("which", ["scratch", "mode"])
def test_paths_are_never_a_format(private_bus, tmp_path, which):
    existing = tmp_path / "register"
    existing.write_bytes(b"0\n")
    # Through a file: a path that can never be opened, which ends corvane.
    unusable = existing / "%s%n%s%n"
    arguments = [unusable, existing] if which == "scratch" else [existing, unusable]
    result = run_to_exit(arguments + [UNIT], private_bus.env(DBUS_STARTER_BUS_TYPE="system"))
    name = "VGA scratch regs" if which == "scratch" else "video mode reg"
    assert result.stderr == (f"corvane: can't open {name} interface at {unusable}: "
                             f"{os.strerror(errno.ENOTDIR)}\n")
    assert result.returncode == 1


# ---- register files that fail ---------------------------------------------------

@pytest.mark.parametrize("scratch, lines, verbs, mode", [
    # Opened as a register, read as a directory.
    ("directory", f"corvane: Can't read VGA scratch register: {os.strerror(21)}\n" + ASSUMING
     + STOPPED, ["StopUnit"], b"0\n"),
    # Always empty.
    ("/dev/null", "corvane: Can't read VGA scratch register: Success\n" + ASSUMING + STOPPED,
     ["StopUnit"], b"0\n"),
    # NUL bytes hold no digit, so they read as 0.
    ("/dev/zero", STARTED, ["StartUnit"], b"1\n"),
])
def test_scratch_register_of_another_kind(private_bus, registers, start_corvane, tmp_path,
                                          scratch, lines, verbs, mode):
    if scratch == "directory":
        scratch = tmp_path / "scratch-directory"
        scratch.mkdir()
    registers.scratch_path = scratch
    peers = Peers(private_bus, host_state=RUNNING)
    corvane = start_corvane()
    corvane.sync()
    assert peers.verbs() == verbs
    assert registers.mode() == mode
    assert corvane.stderr() == lines


def test_scratch_register_emptied_while_the_host_has_the_video(private_bus, registers,
                                                               start_corvane):
    # Not watched in that state: nothing is read, nothing happens; the next
    # power-on reads it and takes the empty register for the host's video.
    peers = Peers(private_bus, host_state=RUNNING)
    corvane = start_corvane()
    corvane.sync()
    registers.set_scratch("0xa8\n")
    peers.wait_verbs(2)
    corvane.sync()
    registers.set_scratch("")
    peers.set_host(RUNNING)
    corvane.sync()
    assert peers.verbs() == ["StartUnit", "StopUnit"]
    peers.set_host(OFF)
    corvane.sync()
    peers.set_host(RUNNING)
    corvane.sync()
    assert peers.verbs() == ["StartUnit", "StopUnit", "StopUnit", "StopUnit"]
    assert corvane.stderr() == (STARTED + STOPPED + STOPPED
                                + "corvane: Can't read VGA scratch register: Success\n"
                                + ASSUMING + STOPPED)


def test_full_video_mode_register_through_a_power_cycle(private_bus, registers, start_corvane):
    registers.mode_path = "/dev/full"
    peers = Peers(private_bus, host_state=OFF)
    corvane = start_corvane()
    corvane.sync()
    peers.set_host(RUNNING)
    corvane.sync()
    registers.set_scratch("0xa8\n")
    peers.wait_verbs(3)
    corvane.sync()
    registers.set_scratch("0\n")
    peers.set_host(OFF)
    peers.set_host(RUNNING)
    corvane.sync()
    assert peers.verbs() == ["StopUnit", "StartUnit", "StopUnit", "StopUnit", "StartUnit"]
    assert corvane.stderr() == (STOPPED + NO_SPACE + STARTED + NO_SPACE + STOPPED + NO_SPACE
                                + STOPPED + NO_SPACE + STARTED + NO_SPACE)
