"""corvane's event loop: how often it wakes in each state, what ends it, and
what must not.

Wake-ups are counted, never timed: a process blocked in poll gives up the
processor voluntarily once per sleep (the voluntary context switches in
/proc/PID/status), and each wake-up while rendering reads the scratch
register once (the read syscalls in /proc/PID/io; sd-bus receives with
recvmsg, which that count leaves out; a wrapper such as valgrind adds read
syscalls of its own, so that count is only bounded above when corvane runs
bare). Both are exact kernel counters, so the bounds below are loose only
where the machine's load may legitimately stretch the observation window."""

import math
import os
import signal
import subprocess
import threading
import time

import pytest

from conftest import end_with_this_process, stop_process
from corvane_harness import (FLOOD_MEMORY_LIMIT_KIB, OFF, RUNNING, UNIT, Peers,  # noqa: F401
                             cpu_ticks, own_peak_memory, proc_counts, registers, start_corvane,
                             wait_for)

WINDOW = 2.0  # seconds of observation per state
# CPU time (clock ticks) corvane may use in one window: its wake-ups cost
# well under one each, while a loop that never slept would use nearly all
# of the window's 200.
WINDOW_TICKS = 10


def count_wake_ups(corvane, settle):
    """(wake-ups, scratch reads, CPU ticks, seconds observed) over one window.
    A loop that spins never sleeps, so only the ticks show it."""
    if settle:
        before = corvane.wait_idle()
    else:
        before = proc_counts(corvane.pid)
    ticks = cpu_ticks(corvane.pid)
    start = time.monotonic()
    time.sleep(WINDOW)
    after = proc_counts(corvane.pid)
    elapsed = time.monotonic() - start
    return after[0] - before[0], after[1] - before[1], cpu_ticks(corvane.pid) - ticks, elapsed


def test_wake_ups_in_each_state(private_bus, registers, start_corvane):
    # The host-state service holds its first answer past the call timeout:
    # corvane reports it and waits for the answer, with no attempt to make.
    # The timeout is longer than systemd's answers below take.
    peers = Peers(private_bus, host_state=OFF, host_parameters={"HoldReads": True})
    corvane = start_corvane(extra_env={"SYSTEMD_BUS_TIMEOUT": "5"})
    assert corvane.status() == "waiting for velmora.State.Host"
    seen = {}

    seen["waiting"] = count_wake_ups(corvane, settle=True)

    peers.host.HoldReads(False)
    peers.wait_verbs(1)
    seen["host off"] = count_wake_ups(corvane, settle=True)

    peers.set_host(RUNNING)
    corvane.sync()
    assert peers.verbs() == ["StopUnit", "StartUnit"]
    seen["rendering"] = count_wake_ups(corvane, settle=False)

    registers.set_scratch("0xa8\n")
    peers.wait_verbs(3)
    seen["host drives video"] = count_wake_ups(corvane, settle=True)

    peers.set_host(OFF)
    peers.wait_verbs(4)
    seen["host off again"] = count_wake_ups(corvane, settle=True)

    # systemd answers each call after 3 s from here on. It refuses the
    # start, whose retry goes out a second later and is held in turn.
    registers.set_scratch("0\n")
    peers.systemd.SetReplyDelay(3000)
    peers.systemd.RefuseNext(UNIT, ["org.freedesktop.DBus.Error.Failed"])
    peers.set_host(RUNNING)
    peers.wait_verbs(6)
    seen["rendering, retried start held"] = count_wake_ups(corvane, settle=False)
    wait_for(lambda: registers.mode() == b"1\n", "the retried start")

    # A stop refused while the host went on again: the start replaces the
    # stop's retry, and is held past the moment that retry was due.
    peers.systemd.RefuseNext(UNIT, ["org.freedesktop.DBus.Error.Failed"])
    peers.set_host(OFF)
    peers.wait_verbs(7)
    peers.set_host(RUNNING)
    peers.wait_verbs(8)
    seen["rendering, new start held after a refused stop"] = count_wake_ups(corvane, settle=False)

    for state, (wake_ups, reads, ticks, elapsed) in seen.items():
        print(f"{state}: {wake_ups} wake-ups, {reads} scratch reads, {ticks} CPU ticks "
              f"in {elapsed:.2f} s")

    # Under a wrapper (valgrind, qemu) the counters are the wrapper's, whose
    # own housekeeping now and then gives up the processor, and valgrind
    # takes its scheduler lock back with a read(2) around each system call
    # that may block (about five for a bus message); an idle corvane's zero
    # can be seen only when it runs bare. A wrapped corvane that polled would
    # read the register alone 20 times in the window.
    bare = not os.environ.get("TEST_EXE_WRAPPER")
    for state in ("waiting", "host off", "host drives video", "host off again"):
        if bare:
            assert seen[state][:2] == (0, 0), state
        else:
            assert seen[state][1] <= 10, state

    # While rendering, also while a unit call awaits systemd: one wake-up
    # per 100 ms timeout at most; a loaded machine may give fewer, never
    # more. A few spare for the sleeps of the unit call's aftermath.
    for state in ("rendering", "rendering, retried start held",
                  "rendering, new start held after a refused stop"):
        wake_ups, reads, _, elapsed = seen[state]
        most = math.ceil(elapsed / 0.1) + 3
        assert 3 <= wake_ups <= most, state
        assert reads >= 3, state
        if bare:
            assert reads <= most, state
    if bare:
        for state, (_, _, ticks, _) in seen.items():
            assert ticks <= WINDOW_TICKS, state


@pytest.mark.parametrize("state", ["host off", "rendering", "in a unit call"])
def test_lost_bus_ends_corvane(private_bus, registers, start_corvane, state):
    peers = Peers(private_bus, host_state=OFF if state == "host off" else RUNNING)
    if state == "in a unit call":
        peers.systemd.SetHang(True)
    corvane = start_corvane(ready=state != "in a unit call")
    if state == "in a unit call":
        peers.wait_verbs(1)
    else:
        corvane.sync()

    os.kill(private_bus.pid, signal.SIGTERM)

    assert corvane.wait_exit() == 1
    lines = corvane.stderr()
    assert lines.endswith("corvane: lost connection to dbus\n")
    if state == "in a unit call":
        assert "corvane: failed to start console-renderer.service: " in lines


INTERRUPTIBLE = {
    # Gives SIGUSR1 a handler, so that it interrupts poll with EINTR.
    "LD_PRELOAD": os.environ.get("CORVANE_INTERRUPT_PRELOAD", ""),
    # The preloaded library comes before the sanitizer runtime, if any.
    "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0",
}


def test_interrupted_wait_is_retried(private_bus, registers, start_corvane):
    peers = Peers(private_bus, host_state=OFF)
    corvane = start_corvane(extra_env=INTERRUPTIBLE)

    for _ in range(3):
        switches = corvane.wait_idle()[0]
        os.kill(corvane.pid, signal.SIGUSR1)
        # Woken by the signal, then asleep in poll again.
        wait_for(lambda: (lambda c: c[0] > switches and c[2] == "S")(proc_counts(corvane.pid)),
                 "corvane to sleep again")
        assert corvane.proc.poll() is None, corvane.stderr()

    peers.set_host(RUNNING)
    corvane.sync()
    assert peers.verbs() == ["StopUnit", "StartUnit"]
    assert corvane.stderr() == "setting render state to stopped\nsetting render state to running\n"


def test_signal_stream_does_not_hold_off_the_scratch_poll(private_bus, registers,
                                                          start_corvane):
    peers = Peers(private_bus, host_state=RUNNING)
    corvane = start_corvane(extra_env=INTERRUPTIBLE)
    corvane.sync()

    # Signals far more often than the poll interval: no wait ever times out.
    stop = threading.Event()

    def interrupt():
        while not stop.is_set():
            os.kill(corvane.pid, signal.SIGUSR1)
            time.sleep(0.005)

    interrupter = threading.Thread(target=interrupt)
    interrupter.start()
    try:
        registers.set_scratch("0xa8\n")
        peers.wait_verbs(2)
    finally:
        stop.set()
        interrupter.join()
    assert peers.verbs() == ["StartUnit", "StopUnit"]
    assert registers.mode() == b"0\n"


# How long the flooding peer sends at most: far longer than corvane needs to
# act on the scratch register while it floods, and short enough that a
# corvane blinded by the flood is caught without exhausting the machine.
FLOOD_SECONDS = 20


@pytest.mark.parametrize("during", ["rendering", "slow-start"])
def test_flood_of_signals_blinds_nothing(private_bus, registers, start_corvane, during):
    if os.environ.get("TEST_EXE_WRAPPER"):
        pytest.skip("the flood measures corvane's own pace and memory, which a wrapper replaces")
    slow = during == "slow-start"
    peers = Peers(private_bus, host_state=OFF if slow else RUNNING)
    corvane = start_corvane()
    if slow:
        # systemd takes 2 s to answer each call from here on.
        peers.systemd.SetReplyDelay(2000)
    # Any local user may address signals to corvane, as fast as the bus
    # takes them; none of them comes from the host-state service.
    flood = subprocess.Popen([os.environ["FLOOD_SIGNALS"], corvane.unique_name(),
                              str(FLOOD_SECONDS)],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True,
                             env=private_bus.env(), preexec_fn=end_with_this_process)
    expected = ["StopUnit", "StartUnit", "StopUnit"] if slow else ["StartUnit", "StopUnit"]
    try:
        assert flood.stdout.readline() == "flooding\n"
        if slow:
            peers.set_host(RUNNING)
            peers.wait_verbs(2)
        # During the start's call, if any: the stop follows its answer.
        registers.set_scratch("0xa8\n")
        peers.wait_verbs(len(expected))
        # Acted on while the flood went on, not after it.
        assert flood.poll() is None
    finally:
        stop_process(flood)
    wait_for(lambda: registers.mode() == b"0\n", "the video mode register")
    assert peers.verbs() == expected
    peak = own_peak_memory(corvane.pid)
    print(f"flood while {during}: corvane's peak resident memory {peak} KiB")
    assert peak is None or peak < FLOOD_MEMORY_LIMIT_KIB
    assert corvane.stderr() == ("setting render state to stopped\n" if slow else "") + (
        "setting render state to running\nsetting render state to stopped\n")


def test_signals_during_a_slow_unit_call_do_not_hold_off_the_scratch_poll(
        private_bus, registers, start_corvane):
    peers = Peers(private_bus, host_state=OFF)
    corvane = start_corvane()
    corvane.sync()
    # systemd takes 2 s to answer the start, while a peer sends corvane
    # 2,000 signals: corvane reads the register between small batches of
    # them, not once after all of them.
    peers.systemd.SetReplyDelay(2000)
    reads = proc_counts(corvane.pid)[1]
    peers.set_host(RUNNING)
    peers.wait_verbs(2)
    flood = subprocess.Popen([os.environ["FLOOD_SIGNALS"], corvane.unique_name(), "60", "2000"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True,
                             env=private_bus.env(), preexec_fn=end_with_this_process)
    try:
        # Answered once corvane has taken every signal sent before.
        assert flood.stdout.read() == "flooding\nsent\nanswered\n"
    finally:
        stop_process(flood)
    reads = proc_counts(corvane.pid)[1] - reads
    print(f"slow unit call: {reads} scratch reads while taking 2,000 signals")
    assert reads >= 10
    wait_for(lambda: registers.mode() == b"1\n", "the video mode register")
    assert peers.verbs() == ["StopUnit", "StartUnit"]
