"""What corvane's end-to-end tests share: the register files, the two
simulated peers (test/mocks/host_state.py and systemd_manager.py), the running
program, and ways to wait for what it does without guessing how long it takes.

Waiting is by condition with a generous deadline, never by a fixed sleep. The
exact synchronisations are `Corvane.sync`, built on a Peer.Ping that sd-bus
answers from inside corvane's bus processing (a message routed to corvane
before the ping, a host-state signal say, has been handled, and any unit call
it caused sent, by the time the ping's answer arrives; a round trip to the
simulated systemd and another ping then see the call's answer handled too),
and the readiness corvane reports as systemd would see it, once it has
carried out the first host state it learned or has found that it must wait
for one.
"""

import itertools
import os
import socket
import subprocess
import threading

import dbus
import pytest
from dbusmock import DBusTestCase

from conftest import MOCKS, program_command, wait_for  # noqa: F401 (re-exported to the tests)

RUNNING = "velmora.State.Host.HostState.Running"
OFF = "velmora.State.Host.HostState.Off"
QUIESCED = "velmora.State.Host.HostState.Quiesced"
UNIT = "console-renderer.service"
MOCK_IFACE = "org.freedesktop.DBus.Mock"
HOST_PATH = "/velmora/state/host0"
HOST_IFACE = "velmora.State.Host"
DEADLINE = 60  # seconds; only ever reached when something is broken
# Peak resident memory allowed under a flood (of signals, of changes); an
# idle corvane needs ~3 MiB.
FLOOD_MEMORY_LIMIT_KIB = 16 * 1024


class Registers:
    """The VGA scratch register and video mode register files; either may be
    replaced by a special file (a FIFO, /dev/full) to make it fail."""

    def __init__(self, directory, scratch="0\n"):
        self.scratch_path = directory / "vga-scratch"
        self.mode_path = directory / "video-mode"
        self.scratch_path.write_bytes(b"")
        self.mode_path.write_bytes(b"")
        self.set_scratch(scratch)

    def set_scratch(self, text):
        # In place, as the kernel's file would change: corvane keeps the file
        # open, so a replacement file would never be seen. The new text goes
        # over the old before the tail is cut; every text the tests use ends
        # in a non-digit or reads the same with any tail, so a read in between
        # cannot see a different number.
        data = text.encode()
        fd = os.open(self.scratch_path, os.O_WRONLY)
        try:
            os.pwrite(fd, data, 0)
            os.ftruncate(fd, len(data))
        finally:
            os.close(fd)

    def mode(self):
        return self.mode_path.read_bytes()


class Peers:
    """The simulated host-state service and systemd manager."""

    def __init__(self, bus, host_state=OFF, host_parameters=None, systemd_parameters=None,
                 with_systemd=True, with_host=True):
        parameters = {"CurrentHostState": host_state}
        parameters.update(host_parameters or {})
        self.bus = bus
        self.instances = itertools.count()
        self.host_process = self.host = None
        if with_host:
            self.host_process, host = bus.spawn_template("host_state", parameters)
            self.host = dbus.Interface(host, MOCK_IFACE)
        self.systemd_process = self.systemd = None
        if with_systemd:
            self.systemd_process, systemd = bus.spawn_template("systemd_manager",
                                                               systemd_parameters or {})
            self.systemd = dbus.Interface(systemd, MOCK_IFACE)

    def set_host(self, state):
        self.host.SetHostState(state)

    def stop_host(self):
        """Ends the host-state service: its name loses its owner."""
        self.host_process.terminate()
        self.host_process.wait(timeout=DEADLINE)

    def start_host(self, host_state, hold_reads=False, queue=False):
        """Starts a new instance of the host-state service reading
        `host_state` (None: one without the property yet, so that reading it
        fails), holding its answers to reads if asked. It serves its object
        before it owns the service's name, as a real service does, so whoever
        follows the name finds it there; it announces nothing. With `queue`
        it waits in line for a name that is taken."""
        standby = f"velmora.Test.HostStateStandby{next(self.instances)}"
        self.host_process = DBusTestCase.spawn_server(standby, HOST_PATH, HOST_IFACE,
                                                      system_bus=True, stdout=subprocess.DEVNULL)
        self.bus.mocks.append(self.host_process)
        host = dbus.Interface(self.bus.connect().get_object(standby, HOST_PATH), MOCK_IFACE)
        parameters = {"Unreadable": True} if host_state is None else {"CurrentHostState": host_state}
        host.AddTemplate(str(MOCKS / "host_state.py"), parameters)
        host.HoldReads(hold_reads)
        host.TakeServiceName(queue)
        self.host = host

    def hand_over_host(self, host_state):
        """Starts a new instance of the host-state service (as start_host),
        queued for the name, then ends the old one: the bus gives the name
        straight to the new instance, and the service never leaves the bus."""
        old = self.host_process
        self.start_host(host_state, queue=True)
        old.terminate()
        old.wait(timeout=DEADLINE)

    def host_reads(self):
        """How many reads of its properties the host-state service received."""
        return sum(1 for _, name, _ in self.host.GetCalls() if name == "Get")

    def unit_calls(self):
        """[(method, unit, mode)] in the order systemd received them."""
        return [(str(name), str(args[0]), str(args[1]))
                for _, name, args in self.systemd.GetCalls()
                if name in ("StartUnit", "StopUnit")]

    def verbs(self):
        return [name for name, _, _ in self.unit_calls()]

    def wait_verbs(self, count):
        return wait_for(lambda: len(self.verbs()) >= count and self.verbs(),
                        f"{count} unit calls")


def distinct_in_a_row(items):
    """items with runs of equal neighbours cut to one (repeated attempts)."""
    return [item for item, _ in itertools.groupby(items)]


def status_field(pid, name):
    """A number field of /proc/PID/status: VmRSS or VmHWM (in KiB), say."""
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(name + ":"))


def own_peak_memory(pid):
    """corvane's peak resident memory in KiB (VmHWM), or None where it is not
    corvane's own: under a wrapper program, or under AddressSanitizer, whose
    quarantine and books grow with the work done."""
    if os.environ.get("TEST_EXE_WRAPPER") or "address" in os.environ.get("SANITIZE", ""):
        return None
    return status_field(pid, "VmHWM")


def cpu_ticks(pid):
    """utime + stime of pid in clock ticks, also readable while it is a zombie."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def proc_counts(pid):
    """(voluntary context switches, read syscalls, scheduler state) of pid.

    A process blocked in poll gives up the processor voluntarily once per
    sleep, so the first number counts wake-ups; the second counts scratch
    register reads (sd-bus receives with recvmsg, which is not counted).

    The switch is counted as the process falls asleep, so the state is read
    first: a process seen asleep has its sleep in the counts that follow,
    whereas counts read just before it fell asleep would leave that sleep
    to whatever window they open."""
    with open(f"/proc/{pid}/stat") as f:
        state = f.read().rsplit(")", 1)[1].split()[0]
    switches = status_field(pid, "voluntary_ctxt_switches")
    with open(f"/proc/{pid}/io") as f:
        reads = next(int(line.split()[1]) for line in f if line.startswith("syscr:"))
    return switches, reads, state


class Corvane:
    """corvane running in the background on the private bus, with a socket
    that takes what it tells systemd (unless `notify` is false: then it is
    told of none, as outside systemd)."""

    def __init__(self, bus, registers, directory, unit=UNIT, extra_env=None, notify=True):
        self.bus = bus
        self.registers = registers
        self.stderr_path = directory / "corvane.stderr"
        self.stdout_path = directory / "corvane.stdout"
        self.notifications = []
        self.notifications_taken = 0
        self.arrived = threading.Condition()
        self.listener = None
        env = bus.env(DBUS_STARTER_BUS_TYPE="system", **(extra_env or {}))
        if notify:
            # Read as it comes, as systemd would: a socket left full would
            # hold corvane up in its next report.
            notify_path = directory / f"notify-{len(list(directory.glob('notify-*')))}"
            self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            self.notify.bind(str(notify_path))
            self.notify.settimeout(0.1)
            self.listening = True
            self.listener = threading.Thread(target=self.take_notifications, daemon=True)
            self.listener.start()
            env["NOTIFY_SOCKET"] = str(notify_path)
        command = program_command("CORVANE") + [
            str(registers.scratch_path), str(registers.mode_path), unit]
        with open(self.stderr_path, "wb") as err, open(self.stdout_path, "wb") as out:
            self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=err, env=env)
        self.connection = bus.connect()
        self._unique_name = None

    @property
    def pid(self):
        return self.proc.pid

    def stderr(self):
        return self.stderr_path.read_text()

    def take_notifications(self):
        while self.listening:
            try:
                message = self.notify.recv(4096)
            except socket.timeout:
                continue
            with self.arrived:
                self.notifications.append(message)
                self.arrived.notify_all()

    def next_notification(self):
        """Waits for the next message corvane sends to systemd, in order."""
        with self.arrived:
            if not self.arrived.wait_for(lambda: len(self.notifications) > self.notifications_taken,
                                         timeout=DEADLINE):
                raise AssertionError(f"no message to systemd; so far {self.notifications}")
            self.notifications_taken += 1
            return self.notifications[self.notifications_taken - 1]

    def wait_ready(self):
        """Waits until corvane tells systemd that it has started."""
        while not self.next_notification().startswith(b"READY=1\n"):
            pass

    def status(self):
        """The status corvane last reported, of what has arrived so far."""
        with self.arrived:
            statuses = [m.split(b"STATUS=", 1)[1] for m in self.notifications if b"STATUS=" in m]
        return statuses[-1].decode() if statuses else None

    def wait_status(self, text):
        wait_for(lambda: self.status() == text, f"the status {text!r}")

    def unique_name(self):
        """corvane's connection name, found by its process id."""
        if self._unique_name is None:
            dbus_iface = dbus.Interface(
                self.connection.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus"),
                "org.freedesktop.DBus")

            def find():
                assert self.proc.poll() is None, f"corvane exited early:\n{self.stderr()}"
                for name in dbus_iface.ListNames():
                    if not name.startswith(":"):
                        continue
                    try:
                        if dbus_iface.GetConnectionUnixProcessID(name) == self.pid:
                            return str(name)
                    except dbus.exceptions.DBusException:
                        continue  # gone meanwhile
                return None

            self._unique_name = wait_for(find, "corvane on the bus")
        return self._unique_name

    def ping(self):
        """Returns once corvane has handled everything routed to it so far."""
        self.connection.call_blocking(self.unique_name(), "/", "org.freedesktop.DBus.Peer",
                                      "Ping", "", (), timeout=DEADLINE)

    def unit_calls_received(self):
        """How many calls the simulated systemd has received, or None when
        none answers for it. The question goes to systemd itself, so its
        answers to those calls are on their way to corvane once it is
        answered."""
        try:
            calls = self.connection.call_blocking(
                "org.freedesktop.systemd1", "/org/freedesktop/systemd1", MOCK_IFACE,
                "GetCalls", "", (), timeout=DEADLINE)
        except dbus.exceptions.DBusException:
            return None
        return sum(1 for _, name, _ in calls if name in ("StartUnit", "StopUnit"))

    def sync(self):
        """Returns once corvane has handled everything routed to it so far,
        and the answers to the unit calls that caused, as far as systemd (or
        the bus, for a systemd that is not there) gives them at once: ping,
        ask systemd, ping again, until a round brings systemd no new call."""
        self.ping()
        calls = self.unit_calls_received()
        while True:
            self.ping()
            if calls is None:
                break
            before, calls = calls, self.unit_calls_received()
            if calls == before:
                break

    def wait_idle(self):
        """Waits until corvane sleeps in its loop's poll and returns the counts
        then. Call after `sync` in a state where corvane makes no unit call."""
        self.sync()
        return wait_for(lambda: (lambda c: c if c[2] == "S" else None)(proc_counts(self.pid)),
                        "corvane asleep")

    def wait_scratch_reads(self, count=3):
        """Waits until corvane has woken `count` more times, so that at least
        one scratch register read and its decision followed the caller's last
        change of the register (while rendering, every wake-up reads it once);
        then syncs. Wake-ups rather than read syscalls are counted because a
        wrapper such as valgrind makes read syscalls of its own."""
        start = proc_counts(self.pid)[0]
        wait_for(lambda: proc_counts(self.pid)[0] >= start + count, "wake-ups")
        self.sync()

    def wait_exit(self):
        try:
            return self.proc.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"corvane did not exit:\n{self.stderr()}") from None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=DEADLINE)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.connection.close()
        if self.listener is not None:
            self.listening = False
            self.listener.join()
            self.notify.close()


def run_to_exit(arguments, env):
    """Runs corvane until it exits by itself; returns the CompletedProcess."""
    return subprocess.run(program_command("CORVANE") + [str(a) for a in arguments],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          env=env, timeout=DEADLINE, check=False)


@pytest.fixture
def registers(tmp_path):
    return Registers(tmp_path)


@pytest.fixture
def start_corvane(private_bus, registers, tmp_path):
    """Starts corvane (after the peers the test set up) and stops it after.
    Unless told not to, waits until it is ready: it has carried out the
    first host state, unit call included, or it waits for one."""
    started = []

    def start(ready=True, **kwargs):
        corvane = Corvane(private_bus, registers, tmp_path, **kwargs)
        started.append(corvane)
        if ready:
            corvane.wait_ready()
        return corvane

    yield start
    for corvane in started:
        corvane.stop()
