"""corvane's start-up: argument and file checks, the bus connection, the
first host-state reading and the subscription, with their exact lines and
exit statuses; and what it tells systemd once started."""

import errno
import os
import socket
import subprocess

import pytest

from conftest import BUS_CONF, start_private_bus, stop_process
from corvane_harness import (DEADLINE, OFF, QUIESCED, RUNNING, UNIT, Peers,  # noqa: F401
                             registers, run_to_exit, start_corvane, wait_for)

USAGE = "usage: {} <VGA-reg> <SCU-reg> <renderer-service>\n"


@pytest.mark.parametrize("arguments", [[], ["a", "b"], ["a", "b", "c", "d"]],
                         ids=["none", "two", "four"])
def test_wrong_argument_count_prints_usage_and_opens_nothing(private_bus, arguments):
    # The paths do not exist: had corvane tried them, it would say so.
    result = run_to_exit(arguments, private_bus.env(DBUS_STARTER_BUS_TYPE="system"))
    assert result.returncode == 1
    assert result.stderr == USAGE.format(os.environ["CORVANE"])
    assert result.stdout == ""


@pytest.mark.parametrize("exec_argv", ["(ctypes.c_char_p * 1)(None)",
                                       "(ctypes.c_char_p * 2)(b'', None)"],
                         ids=["empty-vector", "empty-name"])
def test_usage_names_corvane_without_a_program_name(private_bus, python, exec_argv):
    if os.environ.get("TEST_EXE_WRAPPER"):
        pytest.skip("a wrapper program sets the program name itself")
    # Python refuses an empty argv itself, so go through the C library.
    exec_empty = ("import ctypes, sys; libc = ctypes.CDLL(None, use_errno=True); "
                  f"argv = {exec_argv}; "
                  "libc.execv(sys.argv[1].encode(), argv); sys.exit(99)")
    result = subprocess.run([python, "-c", exec_empty, os.environ["CORVANE"]],
                            env=private_bus.env(DBUS_STARTER_BUS_TYPE="system"),
                            capture_output=True, text=True, timeout=60, check=False)
    assert result.stderr == USAGE.format("corvane")
    assert result.returncode == 1


def test_missing_scratch_register(private_bus, tmp_path):
    missing = tmp_path / "no-such-scratch"
    result = run_to_exit([missing, tmp_path / "mode", UNIT],
                         private_bus.env(DBUS_STARTER_BUS_TYPE="system"))
    assert result.returncode == 1
    assert result.stderr == (
        f"corvane: can't open VGA scratch regs interface at {missing}: "
        "No such file or directory\n")


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


@pytest.mark.parametrize("host_state, shown", [
    # No host-state service: the bus answers with an error name.
    (None, f"{-errno.EHOSTUNREACH}, org.freedesktop.DBus.Error.ServiceUnknown"),
    # A reply that holds no string fails inside sd-bus, which names its own
    # failures after the errno.
    (5, f"{-errno.ENXIO}, System.Error.ENXIO"),
], ids=["no-service", "not-a-string"])
def test_host_state_query_failure(private_bus, registers, host_state, shown):
    if host_state is not None:
        Peers(private_bus, host_state=host_state)
    result = run_to_exit([registers.scratch_path, registers.mode_path, UNIT],
                         private_bus.env(DBUS_STARTER_BUS_TYPE="system"))
    assert result.returncode == 1
    assert result.stderr == f"corvane: error querying host state: {shown}\n\n"
    assert registers.mode() == b""


def test_refused_subscription(registers, tmp_path):
    # A bus that allows no match rules refuses the host-state subscription.
    conf = tmp_path / "no-matches.conf"
    conf.write_text(BUS_CONF.read_text().replace(
        "</busconfig>",
        '  <limit name="max_match_rules_per_connection">0</limit>\n</busconfig>'))
    bus, address = start_private_bus(conf)
    try:
        env = {k: v for k, v in os.environ.items() if not k.startswith("DBUS_")}
        env.update(DBUS_STARTER_BUS_TYPE="system", DBUS_SYSTEM_BUS_ADDRESS=address)
        result = run_to_exit([registers.scratch_path, registers.mode_path, UNIT], env)
    finally:
        stop_process(bus)
    assert result.returncode == 1
    assert result.stderr == "corvane: can't establish host property change handler\n"


def test_host_off_at_start_touches_nothing(private_bus, registers, start_corvane):
    peers = Peers(private_bus, host_state=OFF)
    corvane = start_corvane()
    corvane.sync()
    assert peers.unit_calls() == []
    assert registers.mode() == b""
    assert corvane.stderr() == ""


def test_host_running_and_video_taken_at_start(private_bus, registers, start_corvane):
    registers.set_scratch("0xa8\n")
    peers = Peers(private_bus, host_state=RUNNING)
    corvane = start_corvane()
    assert peers.wait_verbs(1) == ["StopUnit"]
    wait_for(lambda: registers.mode() == b"0\n", "the video mode register")
    corvane.sync()
    assert peers.unit_calls() == [("StopUnit", UNIT, "replace")]
    assert corvane.stderr() == "setting render state to stopped\n"


def test_host_running_at_start_starts_the_renderer(private_bus, registers, start_corvane):
    peers = Peers(private_bus, host_state=RUNNING)
    corvane = start_corvane()
    assert peers.wait_verbs(1) == ["StartUnit"]
    wait_for(lambda: registers.mode() == b"1\n", "the video mode register")
    corvane.sync()
    assert peers.unit_calls() == [("StartUnit", UNIT, "replace")]
    assert corvane.stderr() == "setting render state to running\n"


@pytest.mark.parametrize("first", [OFF, QUIESCED])
def test_change_while_starting_is_not_lost(private_bus, registers, start_corvane, first):
    # The host starts right after corvane has read the state: the change must
    # still be seen, not only at the next one.
    peers = Peers(private_bus, host_state=first,
                  host_parameters={"StateAfterFirstGet": RUNNING})
    corvane = start_corvane()
    assert peers.wait_verbs(1) == ["StartUnit"]
    wait_for(lambda: registers.mode() == b"1\n", "the video mode register")
    corvane.sync()
    assert corvane.stderr() == "setting render state to running\n"


def test_tells_systemd_when_ready_and_where_it_stands(private_bus, registers, start_corvane,
                                                      tmp_path):
    # What systemd's notification socket would receive.
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(str(tmp_path / "notify"))
    notify.settimeout(DEADLINE)
    peers = Peers(private_bus, host_state=RUNNING)
    corvane = start_corvane(extra_env={"NOTIFY_SOCKET": str(tmp_path / "notify")})

    messages = [notify.recv(4096)]
    # Ready only once the first reading has been carried out.
    assert peers.verbs() == ["StartUnit"]
    assert registers.mode() == b"1\n"

    registers.set_scratch("0xa8\n")
    messages.append(notify.recv(4096))
    peers.set_host(OFF)
    messages.append(notify.recv(4096))
    registers.set_scratch("0\n")
    peers.systemd.RefuseUnit(UNIT)
    peers.set_host(RUNNING)
    messages.append(notify.recv(4096))
    peers.systemd.AcceptUnit(UNIT)
    messages.append(notify.recv(4096))
    # While the host-state service is away, the state held may be stale.
    peers.stop_host()
    messages.append(notify.recv(4096))
    peers.start_host(RUNNING)
    messages.append(notify.recv(4096))
    notify.close()

    assert messages == [b"READY=1\nSTATUS=rendering", b"STATUS=host drives video",
                        b"STATUS=host off", b"STATUS=rendering, retrying start",
                        b"STATUS=rendering", b"STATUS=rendering, host state unknown",
                        b"STATUS=rendering"]
    assert registers.mode() == b"1\n"
