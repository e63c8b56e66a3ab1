"""corvane's start-up: argument and file checks, the bus connection, the
first host-state reading and the subscription, with their exact lines and
exit statuses; and what it tells systemd once started."""

import errno
import os
import time

import pytest

from conftest import run_with_argument_vector
from corvane_harness import (DEADLINE, OFF, QUIESCED, RUNNING, UNIT, Peers,  # noqa: F401
                             proc_counts, registers, run_to_exit, start_corvane, wait_for)

USAGE = "usage: {} <VGA-reg> <SCU-reg> <renderer-service>\n"


@pytest.mark.parametrize("arguments", [[], ["a", "b"], ["a", "b", "c", "d"]],
                         ids=["none", "two", "four"])
def test_wrong_argument_count_prints_usage_and_opens_nothing(private_bus, arguments):
    # The paths do not exist: had corvane tried them, it would say so.
    result = run_to_exit(arguments, private_bus.env(DBUS_STARTER_BUS_TYPE="system"))
    assert result.returncode == 1
    assert result.stderr == USAGE.format(os.environ["CORVANE"])
    assert result.stdout == ""


@pytest.mark.parametrize("argv", [[], [""]], ids=["empty-vector", "empty-name"])
def test_usage_names_corvane_without_a_program_name(private_bus, argv):
    if os.environ.get("TEST_EXE_WRAPPER"):
        pytest.skip("a wrapper program sets the program name itself")
    result = run_with_argument_vector(os.environ["CORVANE"], argv,
                                      private_bus.env(DBUS_STARTER_BUS_TYPE="system"))
    assert result.stderr == USAGE.format("corvane")
    assert result.returncode == 1


@pytest.mark.parametrize("which", ["scratch", "mode"])
def test_waits_for_a_register_file_that_is_not_there_yet(private_bus, registers, start_corvane,
                                                         tmp_path, which):
    # Its driver loads late, or the platform has not set the path: corvane
    # says so once, tells systemd it has started, touches nothing, and takes
    # the file once it appears.
    present = getattr(registers, f"{which}_path")
    missing = tmp_path / f"late-{which}"
    setattr(registers, f"{which}_path", missing)
    peers = Peers(private_bus, host_state=RUNNING)
    corvane = start_corvane(ready=False)
    assert corvane.next_notification() == f"READY=1\nSTATUS=waiting for {missing}".encode()
    # Asleep a second time: it has tried again, and said nothing more.
    wait_for(lambda: proc_counts(corvane.pid)[0] >= 2, "a second attempt")
    name = "VGA scratch regs" if which == "scratch" else "video mode reg"
    line = f"corvane: can't open {name} interface at {missing}: No such file or directory\n"
    assert corvane.stderr() == line
    assert peers.verbs() == []
    os.rename(present, missing)
    corvane.wait_status("rendering")
    assert peers.verbs() == ["StartUnit"]
    assert registers.mode() == b"1\n"
    assert corvane.stderr() == line + "setting render state to running\n"


def test_unwritable_video_mode_register(private_bus, registers, tmp_path):
    result = run_to_exit([registers.scratch_path, tmp_path, UNIT],
                         private_bus.env(DBUS_STARTER_BUS_TYPE="system"))
    assert result.returncode == 1
    assert result.stderr == (
        f"corvane: can't open video mode reg interface at {tmp_path}: Is a directory\n")


def test_no_bus_shows_the_real_failure(registers, tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("DBUS_")}
    env.update(DBUS_STARTER_BUS_TYPE="system",
               DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={tmp_path}/no-bus-here")
    result = run_to_exit([registers.scratch_path, registers.mode_path, UNIT], env)
    assert result.returncode == 1
    assert result.stderr == "corvane: can't connect to dbus: No such file or directory\n"


NO_SERVICE = f"{-errno.EHOSTUNREACH}, org.freedesktop.DBus.Error.ServiceUnknown"
NOT_READY = f"{-errno.EBADR}, org.freedesktop.DBus.Error.UnknownProperty"


def failed_read(shown):
    return f"corvane: error querying host state: {shown}\n\n"


# Each returns the lines corvane printed meanwhile.
def appear_running(peers, corvane):
    peers.start_host(RUNNING)
    return ""


def become_a_string(peers, corvane):
    peers.set_host(RUNNING)
    return ""


def get_ready_quietly(peers, corvane):
    # The failed reads are tried again, silently, 1, 2, 4 ... s apart: at 0,
    # 1, 3 and 7 s, so four in the first 8.5 s, and three even on a machine
    # too busy to keep the schedule.
    time.sleep(8.5)
    assert 3 <= peers.host_reads() <= 5
    peers.host.SetHostStateQuietly(OFF)
    return ""


def leave_and_come_back(peers, corvane):
    # Gone before corvane learned anything: there is no last host state to
    # keep, so it goes on reading, and says whom it finds no more.
    peers.stop_host()
    wait_for(lambda: corvane.stderr().endswith(failed_read(NO_SERVICE)), "the read finding nobody")
    assert corvane.status() == "waiting for velmora.State.Host"
    peers.start_host(RUNNING)
    return failed_read(NO_SERVICE)


def hand_over_twice(peers, corvane):
    # Each new instance starts afresh: its first failure is reported, and
    # its reads are tried again from 1 s on.
    for _ in range(2):
        wait_for(lambda: peers.host_reads() >= 2, "a read tried again")
        peers.hand_over_host(None)
    wait_for(lambda: peers.host_reads() >= 2, "a read tried again")
    peers.host.SetHostStateQuietly(OFF)
    return 2 * failed_read(NOT_READY)


# How the host-state service is when corvane starts, the line that says so,
# how it comes right, and what corvane does then.
LATE = {
    # Not on the bus: the bus answers with an error name.
    "no-service": (dict(with_host=False), NO_SERVICE,
                   appear_running, ["StartUnit"], b"1\n", "rendering", "running"),
    # A reply that holds no string fails inside sd-bus, which names its own
    # failures after the errno.
    "not-a-string": (dict(host_state=5), f"{-errno.ENXIO}, System.Error.ENXIO",
                     become_a_string, ["StartUnit"], b"1\n", "rendering", "running"),
    # Its name taken before its property is there.
    "not-ready": (dict(host_parameters={"Unreadable": True}), NOT_READY,
                  get_ready_quietly, ["StopUnit"], b"0\n", "host off", "stopped"),
    "not-ready-then-gone": (dict(host_parameters={"Unreadable": True}), NOT_READY,
                            leave_and_come_back, ["StartUnit"], b"1\n", "rendering", "running"),
    "not-ready-handed-over": (dict(host_parameters={"Unreadable": True}), NOT_READY,
                              hand_over_twice, ["StopUnit"], b"0\n", "host off", "stopped"),
}


@pytest.mark.parametrize("how", LATE.keys())
def test_waits_for_a_late_host_state_service(private_bus, registers, start_corvane, how):
    peers_setup, shown, come_right, verbs, mode, status, progress = LATE[how]
    peers = Peers(private_bus, **peers_setup)
    corvane = start_corvane()
    # Ready at once, touching nothing while it waits.
    assert corvane.notifications == [b"READY=1\nSTATUS=waiting for velmora.State.Host"]
    failed = failed_read(shown)
    assert corvane.stderr() == failed
    assert peers.verbs() == []
    failed += come_right(peers, corvane)
    wait_for(lambda: registers.mode() == mode, "the video mode register")
    corvane.wait_status(status)
    assert peers.verbs() == verbs
    assert corvane.stderr() == failed + f"setting render state to {progress}\n"
    assert corvane.proc.poll() is None


@pytest.mark.parametrize("private_bus", [{"max_match_rules_per_connection": 0}], indirect=True,
                         ids=["no-match-rules"])
def test_refused_subscription(private_bus, registers):
    # A bus that allows no match rules refuses the host-state subscription.
    result = run_to_exit([registers.scratch_path, registers.mode_path, UNIT],
                         private_bus.env(DBUS_STARTER_BUS_TYPE="system"))
    assert result.returncode == 1
    assert result.stderr == "corvane: can't establish host property change handler\n"


@pytest.mark.parametrize("before", ["nothing", "rendering"])
def test_host_off_at_start_stops_the_renderer(private_bus, registers, start_corvane, before):
    # A corvane that ended while the renderer ran, and a host that powered off
    # before the next one started, must not leave the renderer running.
    peers = Peers(private_bus, host_state=OFF if before == "nothing" else RUNNING)
    if before == "rendering":
        start_corvane().stop()
        peers.set_host(OFF)
    corvane = start_corvane()
    assert peers.unit_calls()[-1:] == [("StopUnit", UNIT, "replace")]
    assert peers.verbs().count("StopUnit") == 1
    assert peers.systemd.GetUnitState(UNIT) == "inactive"
    assert registers.mode() == b"0\n"
    assert corvane.status() == "host off"
    assert corvane.stderr() == "setting render state to stopped\n"


def test_host_running_and_video_taken_at_start(private_bus, registers, start_corvane):
    registers.set_scratch("0xa8\n")
    peers = Peers(private_bus, host_state=RUNNING)
    corvane = start_corvane()
    assert peers.wait_verbs(1) == ["StopUnit"]
    wait_for(lambda: registers.mode() == b"0\n", "the video mode register")
    corvane.sync()
    assert peers.unit_calls() == [("StopUnit", UNIT, "replace")]
    assert corvane.stderr() == "setting render state to stopped\n"


@pytest.mark.parametrize("how", ["answered-at-once", "answered-after-1s",
                                 "announced-while-the-read-is-held"])
def test_host_running_at_start_starts_the_renderer(private_bus, registers, start_corvane, how):
    held = how != "answered-at-once"
    peers = Peers(private_bus, host_state=RUNNING, host_parameters={"HoldReads": held})
    corvane = start_corvane(ready=not held, extra_env={"SYSTEMD_BUS_TIMEOUT": "600"})
    if held:
        wait_for(lambda: peers.host_reads() == 1, "the read")
    if how == "answered-after-1s":
        # Far within the call timeout: neither a failure nor a reason to
        # report ready before the state is carried out.
        time.sleep(1)
        peers.host.HoldReads(False)
    elif how == "announced-while-the-read-is-held":
        # The service's own word, carried out: corvane is ready, with the
        # read still unanswered.
        peers.set_host(RUNNING)
    if held:
        corvane.wait_ready()
    assert peers.wait_verbs(1) == ["StartUnit"]
    wait_for(lambda: registers.mode() == b"1\n", "the video mode register")
    corvane.sync()
    assert peers.unit_calls() == [("StartUnit", UNIT, "replace")]
    assert corvane.stderr() == "setting render state to running\n"
    assert corvane.status() == "rendering"


@pytest.mark.parametrize("first", [OFF, QUIESCED])
def test_change_while_starting_is_not_lost(private_bus, registers, start_corvane, first):
    # The host starts right after corvane has read the state: the change must
    # still be seen, not only at the next one.
    peers = Peers(private_bus, host_state=first,
                  host_parameters={"StateAfterFirstGet": RUNNING})
    corvane = start_corvane()
    assert peers.wait_verbs(2) == ["StopUnit", "StartUnit"]
    wait_for(lambda: registers.mode() == b"1\n", "the video mode register")
    corvane.sync()
    assert corvane.stderr() == "setting render state to stopped\nsetting render state to running\n"


def test_tells_systemd_when_ready_and_where_it_stands(private_bus, registers, start_corvane):
    peers = Peers(private_bus, host_state=RUNNING)
    corvane = start_corvane()
    # Ready only once the first reading has been carried out.
    assert peers.verbs() == ["StartUnit"]
    assert registers.mode() == b"1\n"

    def after(change):
        change()
        return corvane.next_notification().decode()

    assert after(lambda: registers.set_scratch("0xa8\n")) == "STATUS=host drives video"
    assert after(lambda: peers.set_host(OFF)) == "STATUS=host off"
    registers.set_scratch("0\n")
    peers.systemd.RefuseUnit(UNIT)
    assert after(lambda: peers.set_host(RUNNING)) == "STATUS=rendering, retrying start"
    assert after(lambda: peers.systemd.AcceptUnit(UNIT)) == "STATUS=rendering"
    # While the host-state service is away, the state held may be stale, and
    # it stays so until a new instance's answer is applied.
    assert after(peers.stop_host) == "STATUS=rendering, host state unknown"
    peers.start_host(RUNNING, hold_reads=True)
    wait_for(lambda: peers.host_reads() >= 1, "the read")
    assert (after(lambda: registers.set_scratch("0xa8\n"))
            == "STATUS=host drives video, host state unknown")
    assert after(lambda: peers.host.HoldReads(False)) == "STATUS=host drives video"
    # A new instance taking the name over without leaving a gap: its state is
    # unknown from the first failed read until one succeeds.
    assert (after(lambda: peers.hand_over_host(None))
            == "STATUS=host drives video, host state unknown")
    assert after(lambda: peers.host.SetHostStateQuietly(RUNNING)) == "STATUS=host drives video"
    assert peers.verbs() == ["StartUnit", "StopUnit", "StopUnit", "StartUnit", "StartUnit",
                             "StopUnit"]
    assert registers.mode() == b"0\n"
