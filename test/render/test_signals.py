"""How corvane takes host-state changes from the bus: the walk through a
PropertiesChanged signal, peers that pose as the host-state service,
changes that arrive while a unit call is still waiting for systemd, and a
host-state service that restarts."""

import errno
import os
import re
import subprocess
import time

import dbus
import dbus.lowlevel
import pytest

from conftest import end_with_this_process, finished_lines, stop_process
from corvane_harness import (DEADLINE, FLOOD_MEMORY_LIMIT_KIB, OFF, RUNNING,  # noqa: F401
                             Peers, distinct_in_a_row, own_peak_memory, registers,
                             start_corvane, wait_for)

STARTED = "setting render state to running\n"
STOPPED = "setting render state to stopped\n"

# Kinds of signal the simulated host-state service can send (see
# test/mocks/host_state.py), each carrying the running state, and whether
# corvane takes it as the host starting.
WALK = {
    "plain": True,
    "other-property-first": True,
    "non-string-first": True,
    "other-interface": False,
    "other-object": False,
    "other-property-only": False,
    "non-string-only": False,
    "empty": False,
}


@pytest.mark.parametrize("kind, applies", WALK.items(), ids=WALK.keys())
def test_signal_walk(private_bus, registers, start_corvane, kind, applies):
    peers = Peers(private_bus, host_state=OFF)
    corvane = start_corvane()
    corvane.sync()
    peers.host.EmitCrafted(kind, RUNNING)
    corvane.sync()
    # The host was off at start: corvane made sure the renderer was stopped.
    assert peers.verbs() == (["StopUnit", "StartUnit"] if applies else ["StopUnit"])
    assert registers.mode() == (b"1\n" if applies else b"0\n")


@pytest.mark.parametrize("directed", [False, True], ids=["broadcast", "directed"])
def test_only_the_host_state_service_changes_the_state(private_bus, registers, start_corvane,
                                                      directed):
    peers = Peers(private_bus, host_state=OFF)
    corvane = start_corvane()
    corvane.sync()

    spoofer = private_bus.connect()
    signal = dbus.lowlevel.SignalMessage("/velmora/state/host0",
                                         "org.freedesktop.DBus.Properties", "PropertiesChanged")
    signal.append("velmora.State.Host",
                  {"CurrentHostState": dbus.String(RUNNING, variant_level=1)},
                  dbus.Array([], signature="s"), signature="sa{sv}as")
    # Nor may it say that the service left the bus.
    owner = dbus.lowlevel.SignalMessage("/org/freedesktop/DBus", "org.freedesktop.DBus",
                                        "NameOwnerChanged")
    owner.append("velmora.State.Host", ":1.1", "", signature="sss")
    for message in (signal, owner):
        if directed:
            message.set_destination(corvane.unique_name())
        spoofer.send_message(message)
    # From the same connection, so it reaches corvane after the signals.
    spoofer.call_blocking(corvane.unique_name(), "/", "org.freedesktop.DBus.Peer", "Ping", "",
                          (), timeout=60)
    spoofer.close()
    assert peers.verbs() == ["StopUnit"]
    assert corvane.stderr() == STOPPED

    # The real service is still heard, the same way.
    if directed:
        peers.host.EmitDirected(corvane.unique_name(), RUNNING)
    else:
        peers.set_host(RUNNING)
    corvane.sync()
    assert peers.verbs() == ["StopUnit", "StartUnit"]


@pytest.mark.parametrize("during", ["start-up", "host-start", "takeover", "power-off"])
def test_change_during_a_unit_call_is_handled_at_once(private_bus, registers, start_corvane,
                                                     during):
    after, mode = OFF, b"0\n"
    if during == "start-up":
        # The host runs as corvane starts: it calls StartUnit before its loop.
        peers = Peers(private_bus, host_state=RUNNING)
        peers.systemd.SetHang(True)
        corvane = start_corvane(ready=False)
        peers.wait_verbs(1)
        expected = ["StartUnit", "StopUnit"]
    else:
        peers = Peers(private_bus, host_state=OFF if during == "host-start" else RUNNING)
        corvane = start_corvane()
        corvane.sync()
        peers.systemd.SetHang(True)
        if during == "host-start":
            # StartUnit called from the handler of the host's start.
            peers.set_host(RUNNING)
            expected = ["StopUnit", "StartUnit", "StopUnit"]
        elif during == "takeover":
            # Rendering, then the host takes the video: corvane stops the
            # renderer and will wait with no timeout once that call is
            # answered. The power-off during the stop wants the renderer
            # stopped as well: the call in flight does it, and the state
            # follows the host.
            registers.set_scratch("0xa8\n")
            expected = ["StartUnit", "StopUnit"]
        else:
            # The host goes off, and on again behind 200 stray signals
            # addressed to corvane, more than it takes in one go.
            peers.set_host(OFF)
            after, mode = RUNNING, b"1\n"
            expected = ["StartUnit", "StopUnit", "StartUnit"]
        peers.wait_verbs(2)
        if during == "power-off":
            flood = subprocess.Popen([os.environ["FLOOD_SIGNALS"], corvane.unique_name(), "60",
                                      "200"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     text=True, env=private_bus.env(),
                                     preexec_fn=end_with_this_process)
            assert flood.stdout.readline() == "flooding\n"
            assert flood.stdout.readline() == "sent\n"

    # corvane waits for systemd; meanwhile the host changes. Whatever corvane
    # took in meanwhile and did not act on yet, the descriptor will not
    # announce again.
    peers.set_host(after)
    peers.systemd.SetHang(False)

    # Nothing else is sent to corvane (a sync would wake it): the change must
    # be handled on its own.
    assert peers.wait_verbs(len(expected)) == expected
    wait_for(lambda: registers.mode() == mode, "the video mode register")
    if during == "power-off":
        assert flood.stdout.read() == "answered\n"
        stop_process(flood)
    corvane.wait_status("rendering" if after == RUNNING else "host off")
    corvane.sync()
    assert peers.verbs() == expected


def test_status_follows_each_answer_while_calls_follow_each_other(private_bus, registers,
                                                                  start_corvane):
    # systemd answers each call only once the host has changed again, so
    # that each answer is followed at once by the next call and corvane is
    # never without a call in flight: readiness comes with the first answer,
    # and a status with each one.
    peers = Peers(private_bus, host_state=RUNNING)
    peers.systemd.SetHang(True)
    corvane = start_corvane(ready=False)
    peers.wait_verbs(1)
    expected = []
    for calls, state in enumerate([OFF, RUNNING, OFF, RUNNING], start=2):
        peers.set_host(state)
        corvane.sync()
        peers.systemd.ReleaseHeld()
        peers.wait_verbs(calls)
        expected.append(corvane.next_notification().decode())
    assert expected == ["READY=1\nSTATUS=host off", "STATUS=rendering", "STATUS=host off",
                        "STATUS=rendering"]
    assert peers.verbs() == ["StartUnit", "StopUnit", "StartUnit", "StopUnit", "StartUnit"]


LEFT = "corvane: velmora.State.Host left the bus; keeping the last host state\n"
# sd-bus gives this error name the errno EBADR.
UNREADABLE = (f"corvane: error querying host state: -{errno.EBADR}, "
              "org.freedesktop.DBus.Error.UnknownProperty\n\n")

# How the new instance comes up: (its reading, None for none yet; whether it
# holds its answers), then the unit calls, the video mode and corvane's lines.
RESTARTS = {
    # Read again and found as it was: nothing to do.
    "same-state": ((RUNNING, False), ["StartUnit"], b"1\n", STARTED + LEFT),
    # Read again, and the new instance's own changes followed as well.
    "another-state": ((OFF, False), ["StartUnit", "StopUnit", "StartUnit"], b"1\n",
                      STARTED + LEFT + STOPPED + STARTED),
    # ... also those it addresses to corvane alone.
    "another-state-directed": ((OFF, False), ["StartUnit", "StopUnit", "StartUnit"], b"1\n",
                               STARTED + LEFT + STOPPED + STARTED),
    # Read again and again, reported once, until the service's change comes.
    "unreadable": ((None, False), ["StartUnit", "StopUnit"], b"0\n",
                   STARTED + LEFT + UNREADABLE + STOPPED),
    # Its name taken before its property is there: followed once it is.
    "ready-later": ((None, False), ["StartUnit", "StopUnit"], b"0\n",
                    STARTED + LEFT + UNREADABLE + STOPPED),
    # A read that is never answered holds nothing up: the host takes the
    # video meanwhile, and the late answer is applied.
    "never-answers": ((OFF, True), ["StartUnit", "StopUnit", "StopUnit"], b"0\n",
                      STARTED + LEFT + STOPPED + STOPPED),
    # Gone again with the read unanswered: nothing is owed to nobody.
    "leaves-unanswered": ((OFF, True), ["StartUnit"], b"1\n", STARTED + LEFT + LEFT),
    # The name passes on to a third instance, which is read once the second,
    # still connected, answers the read it holds.
    "handed-over-with-the-read-held": ((RUNNING, True), ["StartUnit", "StopUnit"], b"0\n",
                                       STARTED + LEFT + STOPPED),
    # Its own change is applied before its read fails: the failure is old news.
    "announces-while-a-failing-read-is-held": ((None, True), ["StartUnit", "StopUnit"], b"0\n",
                                               STARTED + LEFT + STOPPED),
}


@pytest.mark.parametrize("how", RESTARTS.keys())
def test_restarted_host_state_service_is_read_again(private_bus, registers, start_corvane,
                                                   how):
    (new_reading, holds_reads), expected, mode, lines = RESTARTS[how]
    peers = Peers(private_bus, host_state=RUNNING)
    # Far beyond the tests' deadline: a loop that waited for the read would
    # still be waiting when they give up.
    corvane = start_corvane(extra_env={"SYSTEMD_BUS_TIMEOUT": "600"})
    corvane.sync()
    peers.stop_host()
    wait_for(lambda: corvane.stderr() == STARTED + LEFT, "the line on the service leaving")
    peers.start_host(new_reading, holds_reads)
    if how == "same-state":
        # Answered before the mock says it was asked; the sync below follows
        # the answer to corvane.
        wait_for(lambda: peers.host_reads() >= 1, "the read")
    elif how == "another-state":
        peers.wait_verbs(2)
        peers.set_host(RUNNING)
    elif how == "another-state-directed":
        peers.wait_verbs(2)
        peers.host.EmitDirected(corvane.unique_name(), RUNNING)
    elif how == "unreadable":
        wait_for(lambda: peers.host_reads() >= 2, "a read tried again")
        peers.set_host(OFF)
    elif how == "leaves-unanswered":
        wait_for(lambda: peers.host_reads() >= 1, "the read")
        peers.stop_host()
        wait_for(lambda: corvane.stderr() == lines, "the line on the service leaving")
    elif how == "handed-over-with-the-read-held":
        wait_for(lambda: peers.host_reads() >= 1, "the read")
        holder = peers.host
        peers.start_host(OFF, queue=True)
        holder.RetakeServiceName()
        corvane.sync()
        holder.HoldReads(False)
    elif how == "announces-while-a-failing-read-is-held":
        wait_for(lambda: peers.host_reads() >= 1, "the read")
        peers.host.EmitCrafted("plain", OFF)
        peers.wait_verbs(2)
        peers.host.HoldReads(False)
    elif how == "ready-later":
        wait_for(lambda: peers.host_reads() >= 2, "a read tried again")
        peers.host.SetHostStateQuietly(OFF)
    else:
        wait_for(lambda: peers.host_reads() >= 1, "the read")
        registers.set_scratch("0xa8\n")
        peers.wait_verbs(2)
        assert peers.host_reads() == 1
        peers.host.HoldReads(False)
    assert peers.wait_verbs(len(expected)) == expected
    wait_for(lambda: registers.mode() == mode, "the video mode register")
    corvane.sync()
    assert peers.verbs() == expected
    assert corvane.stderr() == lines
    assert corvane.proc.poll() is None
    if how == "unreadable":
        # The service's own word ended the reads owed to it: none follows,
        # though the next was due 2 s after the last, and the state is known.
        reads = peers.host_reads()
        time.sleep(5)
        assert peers.host_reads() == reads
        assert corvane.status() == "host off"


NO_REPLY = (f"corvane: error querying host state: -{errno.ETIMEDOUT}, "
            "org.freedesktop.DBus.Error.NoReply\n\n")


# The bus counts each call still owed an answer against the caller; with two
# allowed, one read left waiting and one unit call use them up.
@pytest.mark.parametrize("private_bus", [{"max_replies_per_connection": 2}], indirect=True,
                         ids=["two-answers-owed-at-most"])
@pytest.mark.parametrize("how", ["restarted", "takes-its-name-back"])
def test_owner_that_never_answers_is_asked_once(private_bus, registers, start_corvane, how):
    peers = Peers(private_bus, host_state=RUNNING)
    if how == "restarted":
        # Calls count as unanswered after 2 s rather than 25.
        corvane = start_corvane(extra_env={"SYSTEMD_BUS_TIMEOUT": "2"})
        peers.stop_host()
        peers.start_host(RUNNING, hold_reads=True)
        lines = STARTED + LEFT + NO_REPLY
        wait_for(lambda: corvane.stderr() == lines, "the read reported unanswered")
        # Thirty 100 ms polls later, long after a retry would have been due,
        # the read is still awaited rather than sent again.
        corvane.wait_scratch_reads(count=30)
        reads = 1
    else:
        # The same connection gives the name up and takes it back, three
        # times, with the read it was sent the first time still unanswered:
        # that read serves each new owner, and is reported once it has gone
        # unanswered for the call timeout.
        corvane = start_corvane(extra_env={"SYSTEMD_BUS_TIMEOUT": "5"})
        peers.host.HoldReads(True)
        for _ in range(3):
            peers.host.RetakeServiceName()
        lines = STARTED + 3 * LEFT + NO_REPLY
        wait_for(lambda: corvane.stderr() == lines, "the read reported unanswered")
        corvane.sync()
        reads = 2  # the first, answered at start, and one more
    assert peers.host_reads() == reads
    registers.set_scratch("0xa8\n")
    wait_for(lambda: registers.mode() == b"0\n", "the video mode register")
    corvane.sync()
    assert peers.verbs() == ["StartUnit", "StopUnit"]
    assert corvane.stderr() == lines + STOPPED


UNTOLD = re.compile(r"corvane: velmora\.State\.Host left the bus (\d+) more times in the last "
                    r"minute; not told each time\n")


def test_owner_coming_and_going_costs_few_lines(private_bus, registers, start_corvane):
    # The owner gives its name up and takes it back, staying connected, as
    # fast as it can: each minute tells of three times at most, and then in
    # one line of how many more it left out, which only a minute shows.
    peers = Peers(private_bus, host_state=RUNNING)
    corvane = start_corvane()
    flaps = 2000
    for _ in range(flaps):
        peers.host.RetakeServiceName()

    def accounted():
        lines = finished_lines(corvane.stderr()[len(STARTED):])
        told = lines.count(LEFT)
        untold = [int(m.group(1)) for m in map(UNTOLD.fullmatch, lines) if m]
        assert told + len(untold) == len(lines), lines
        return told + sum(untold) == flaps and (lines, told, len(untold))

    lines, told, summaries = wait_for(accounted, "every time accounted for", timeout=DEADLINE * 2)
    print(f"{flaps} times the owner left: {told} lines, {summaries} telling of the rest")
    assert lines[:3] == 3 * [LEFT]
    assert 1 <= summaries and told <= 3 * (summaries + 1)
    assert corvane.stderr().startswith(STARTED)
    assert peers.verbs() == ["StartUnit"]


def test_owner_changing_as_fast_as_it_can(private_bus, registers, start_corvane):
    peers = Peers(private_bus, host_state=OFF)
    corvane = start_corvane()
    # 20,001 changes in a row, the last one to running: one unit call at a
    # time awaits systemd, each carrying out the latest state when it goes.
    peers.host.EmitChanges(20001, timeout=DEADLINE)
    corvane.wait_status("rendering")
    corvane.sync()
    verbs = peers.verbs()
    print(f"20,001 changes: {len(verbs)} unit calls")
    assert verbs[0] == "StopUnit" and verbs[-1] == "StartUnit"
    assert distinct_in_a_row(verbs) == verbs
    assert registers.mode() == b"1\n"
    assert corvane.stderr() == "".join(STARTED if v == "StartUnit" else STOPPED for v in verbs)
    peak = own_peak_memory(corvane.pid)
    print(f"20,001 changes: corvane's peak resident memory {peak} KiB")
    assert peak is None or peak < FLOOD_MEMORY_LIMIT_KIB
