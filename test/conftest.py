"""Shared fixtures for the end-to-end tests.

Every test gets its own private dbus-daemon (see mocks/private-bus.conf) that
stands in for the system bus; the programs under test find it through
DBUS_SYSTEM_BUS_ADDRESS. Simulated peers are python-dbusmock templates from
mocks/, spawned on that bus; the same templates drive scripts/demo.sh.
"""

import ctypes
import os
import shlex
import signal
import subprocess
import sys
import time
from pathlib import Path

import dbus
import pytest
from dbusmock import DBusTestCase

MOCKS = Path(__file__).resolve().parent / "mocks"
BUS_CONF = MOCKS / "private-bus.conf"


_LIBC = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def end_with_this_process():
    """For preexec_fn: the kernel sends the child SIGTERM once the test run
    that started it has ended, however it ended (killed, say), so that it
    does not outlive the run."""
    parent = os.getppid()
    _LIBC.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)
    if os.getppid() != parent:  # the run ended before prctl took effect
        os.kill(os.getpid(), signal.SIGTERM)


def start_private_bus(config=BUS_CONF):
    """Start a private dbus-daemon; returns (process, address).

    It is a child of the test run and stays in its process group, rather
    than a daemon of its own (--fork), so that it ends with the run even when
    the run is interrupted or killed before its fixtures clean up. Its
    routine log goes to syslog only, as it did once it had forked; a failure
    to start still shows on standard error."""
    process = subprocess.Popen(
        ["dbus-daemon", "--nofork", "--syslog-only", "--print-address=1",
         f"--config-file={config}"],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True,
        preexec_fn=end_with_this_process)
    address = process.stdout.readline().strip()
    process.stdout.close()
    if not address:
        process.wait()
        raise RuntimeError(f"dbus-daemon did not start (status {process.returncode})")
    return process, address


def stop_process(process, timeout=10):
    """Ends a child process, if still running, and reaps it."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class PrivateBus:
    """A private system bus with helpers to put simulated peers on it."""

    def __init__(self, address, process):
        self.address = address
        self.process = process
        self.pid = process.pid
        self.mocks = []

    def connect(self):
        return dbus.bus.BusConnection(self.address)

    def spawn_template(self, template, parameters=None):
        """Spawn the dbusmock template mocks/<template>.py on this bus.

        Returns (process, main object proxy)."""
        proc, obj = DBusTestCase.spawn_server_template(
            str(MOCKS / f"{template}.py"), parameters or {},
            stdout=subprocess.DEVNULL, system_bus=True)
        self.mocks.append(proc)
        return proc, obj

    def env(self, **extra):
        """Environment for a program under test: only this bus reachable."""
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("DBUS_")}
        env["DBUS_SYSTEM_BUS_ADDRESS"] = self.address
        env.update(extra)
        return env

    def close(self):
        for proc in self.mocks:
            stop_process(proc)
        stop_process(self.process)


def bus_config(directory, limits):
    """A private bus configuration with the given limits (name: value) added,
    written into directory; the plain one without any."""
    if not limits:
        return BUS_CONF
    config = directory / "private-bus-limited.conf"
    added = "".join(f'  <limit name="{name}">{value}</limit>\n' for name, value in limits.items())
    config.write_text(BUS_CONF.read_text().replace("</busconfig>", added + "</busconfig>"))
    return config


@pytest.fixture
def private_bus(monkeypatch, request, tmp_path):
    """The private bus; a test parametrises it indirectly with a dictionary of
    limits to tighten them."""
    process, address = start_private_bus(bus_config(tmp_path, getattr(request, "param", None)))
    monkeypatch.setenv("DBUS_SYSTEM_BUS_ADDRESS", address)
    bus = PrivateBus(address, process)
    yield bus
    bus.close()


def wait_for(predicate, what, timeout=60):
    """Polls predicate until it returns a true value, which it returns; fails
    the test after timeout seconds, a limit only a broken run reaches."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"gave up waiting for {what}")
        time.sleep(0.02)


def finished_lines(text):
    """The lines of a program's output that it has finished writing, each
    with its newline. A message can reach the file in more than one write
    (the program's name, then the rest), so a line still without its newline
    is left for the next look."""
    return text[:text.rfind("\n") + 1].splitlines(keepends=True)


def plain(value):
    """A dbus-python value as the plain Python value it carries."""
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, dbus.Array):
        return [plain(v) for v in value]
    if isinstance(value, str):
        return str(value)
    return value


def mock_calls(mock):
    """The method calls a dbusmock object received, in order, as
    (member, [arguments])."""
    return [(str(name), [plain(a) for a in args]) for _, name, args in mock.GetCalls()]


def program_command(variable):
    """The command that runs a program under test.

    The build passes the binary's path in the environment variable (TAMBLET,
    CORVANE). TEST_EXE_WRAPPER, when set, is put in front of it: an emulator
    for a cross-built binary, or a checker such as valgrind."""
    path = os.environ.get(variable)
    if not path:
        pytest.skip(f"{variable} is not set; run the tests through meson test")
    return shlex.split(os.environ.get("TEST_EXE_WRAPPER", "")) + [path]


def run_with_argument_vector(path, argv, env):
    """Runs the program at `path` with exactly `argv` as its argument vector,
    also an empty one or one whose program name is empty, which Python's
    subprocess refuses (3.13 for an empty name): a child interpreter hands
    it to the C library's execv. Returns the CompletedProcess."""
    exec_argv = ("import ctypes, sys; libc = ctypes.CDLL(None, use_errno=True); "
                 "words = [w.encode() for w in sys.argv[2:]]; "
                 "argv = (ctypes.c_char_p * (len(words) + 1))(*words, None); "
                 "libc.execv(sys.argv[1].encode(), argv); sys.exit(99)")
    return subprocess.run([sys.executable, "-c", exec_argv, str(path), *argv], env=env,
                          capture_output=True, text=True, timeout=60, check=False)
