"""corvane against systemd's real service manager.

A throw-away instance of systemd's user manager runs on its own bus, with a
renderer unit that runs a long sleep; corvane (the real binary, under
TEST_EXE_WRAPPER when cross-built) is pointed at that bus as its system bus,
with a simulated host-state service beside the manager. The tests look at
what systemd did (the unit's state and its process), not at the calls.

Bringing the manager up needs root, a writable cgroup hierarchy and a private
mount namespace; see launch-manager.sh. Everything is torn down on every
path: the manager gets SIGTERM and is waited for, leftover processes in its
cgroups are killed and the cgroups and the state directory are removed.
"""

import os
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import dbus
import pytest
from dbusmock import DBusTestCase, MOCK_IFACE

from conftest import MOCKS, end_with_this_process, finished_lines, program_command, wait_for

HERE = Path(__file__).resolve().parent
LAUNCHER = HERE / "launch-manager.sh"
MANAGER = Path("/lib/systemd/systemd")
DBUS_DAEMON = shutil.which("dbus-daemon") or "/usr/bin/dbus-daemon"

SYSTEMD = "org.freedesktop.systemd1"
SYSTEMD_PATH = "/org/freedesktop/systemd1"
MANAGER_IFACE = "org.freedesktop.systemd1.Manager"
UNIT_IFACE = "org.freedesktop.systemd1.Unit"
SERVICE_IFACE = "org.freedesktop.systemd1.Service"

HOST_BUS_NAME = "velmora.State.Host"
HOST_PATH = "/velmora/state/host0"
HOST_IFACE = "velmora.State.Host"
RUNNING = "velmora.State.Host.HostState.Running"
OFF = "velmora.State.Host.HostState.Off"

RENDERER = "renderer-test.service"
# Generous: start-up takes well under a second, but the machine is shared
# and corvane may run under an emulator.
TIMEOUT = 30

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:tmpdir=/tmp</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
    <allow user="*"/>
  </policy>
</busconfig>
"""

# The smallest unit set the user manager boots with: a bus it joins through
# its own socket and service units, the targets it starts and the exit path
# that SIGTERM takes.
UNITS = {
    "dbus.socket": """[Unit]
Description=Test message bus socket
[Socket]
ListenStream=%t/bus
""",
    "dbus.service": """[Unit]
Description=Test message bus
Requires=dbus.socket
[Service]
ExecStart={dbus_daemon} --config-file={bus_config} --address=systemd: --nofork --nopidfile
""",
    "basic.target": """[Unit]
Description=Basic
Wants=dbus.socket
""",
    "default.target": """[Unit]
Description=Default
Requires=basic.target
After=basic.target
Wants=dbus.service
""",
    "shutdown.target": """[Unit]
Description=Shutdown
DefaultDependencies=no
RefuseManualStart=yes
""",
    "exit.target": """[Unit]
Description=Exit
DefaultDependencies=no
Requires=manager-exit.service
After=manager-exit.service
""",
    # A unit's SuccessAction fires when it finishes, so the exit is a
    # oneshot service that runs once everything else has stopped. It sits in
    # the root slice: the default one conflicts with shutdown.target.
    "manager-exit.service": """[Unit]
Description=Leave the manager
DefaultDependencies=no
Requires=shutdown.target
After=shutdown.target
SuccessAction=exit-force
[Service]
Type=oneshot
Slice=-.slice
ExecStart=/bin/true
""",
    # Type=exec: active only once the command runs. A simple service is
    # active from the fork, while its process may still be systemd's own,
    # named "(sleep)", so what it runs could not be checked yet.
    RENDERER: """[Unit]
Description=Stand-in console renderer
[Service]
Type=exec
ExecStart=/bin/sleep 1000000
""",
}


# --- cgroups --------------------------------------------------------------

def tracking_hierarchies():
    """(mount point, our cgroup path) of each hierarchy systemd tracks its
    processes in: the unified (v2) one and the named v1 'systemd' one."""
    ours = {}
    for line in Path("/proc/self/cgroup").read_text().splitlines():
        _, controllers, path = line.split(":", 2)
        ours[controllers] = path
    found = []
    for line in Path("/proc/self/mountinfo").read_text().splitlines():
        fields, _, tail = line.partition(" - ")
        fields = fields.split()
        fstype, _, options = tail.split()
        root, mount_point = fields[3], fields[4]
        if fstype == "cgroup2":
            key = ""
        elif fstype == "cgroup" and "name=systemd" in options.split(","):
            key = "name=systemd"
        else:
            continue
        path = ours.get(key)
        if path is None or not path.startswith(root):
            continue
        found.append((mount_point, path[len(root):].lstrip("/")))
    return found


def make_cgroups(name):
    """A child of our own cgroup in each tracking hierarchy, or a skip."""
    hierarchies = tracking_hierarchies()
    if not hierarchies:
        pytest.skip("no cgroup hierarchy that systemd could track its "
                    "processes in is mounted")
    made = []
    for mount_point, path in hierarchies:
        directory = Path(mount_point) / path / name
        try:
            directory.mkdir()
        except OSError as error:
            for done in made:
                remove_cgroup(done)
            pytest.skip(f"cgroup hierarchy {mount_point} is not writable "
                        f"({error.strerror}); the manager needs a cgroup "
                        "of its own")
        made.append(directory)
    return made


def cgroup_pids(top):
    pids = []
    for directory, _, files in os.walk(top):
        if "cgroup.procs" in files:
            text = (Path(directory) / "cgroup.procs").read_text()
            pids += [int(pid) for pid in text.split()]
    return pids


def remove_cgroup(top):
    if not top.exists():
        return
    for _ in range(100):
        pids = cgroup_pids(top)
        if not pids:
            break
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.05)
    for _ in range(100):
        try:
            for directory, _, _ in os.walk(top, topdown=False):
                os.rmdir(directory)
            return
        except FileNotFoundError:
            return
        except OSError:
            time.sleep(0.05)  # a killed process may not have left yet
    raise RuntimeError(f"could not remove cgroup {top}")


# --- the manager ----------------------------------------------------------

class Manager:
    """A running user manager, its bus and the test's files."""

    def __init__(self, state, process):
        self.state = state
        self.process = process
        self.address = f"unix:path={state}/runtime/bus"
        self.bus = None

    def console(self):
        return (self.state / "console").read_text(errors="replace")

    def connect(self):
        def up():
            if self.process.poll() is not None:
                pytest.fail("the manager exited during start-up "
                            f"(status {self.process.returncode}):\n"
                            + self.console())
            if not (self.state / "runtime" / "bus").exists():
                return None
            try:
                bus = dbus.bus.BusConnection(self.address)
            except dbus.exceptions.DBusException:
                return None
            if not bus.name_has_owner(SYSTEMD):
                bus.close()
                return None
            return bus
        self.bus = wait_for(up, "the manager to join its bus")

    def systemd(self):
        return dbus.Interface(self.bus.get_object(SYSTEMD, SYSTEMD_PATH),
                              MANAGER_IFACE)

    def unit_property(self, unit, interface, name):
        path = self.systemd().LoadUnit(unit)
        return self.bus.get_object(SYSTEMD, path).Get(
            interface, name, dbus_interface=dbus.PROPERTIES_IFACE)

    def active_state(self, unit):
        return str(self.unit_property(unit, UNIT_IFACE, "ActiveState"))

    def main_pid(self, unit):
        return int(self.unit_property(unit, SERVICE_IFACE, "MainPID"))

    def wait_state(self, unit, state):
        wait_for(lambda: self.active_state(unit) == state,
                 f"{unit} to become {state}")


def write_state(state, extra_units):
    (state / "run" / "systemd" / "system").mkdir(parents=True)
    (state / "home").mkdir()
    (state / "runtime").mkdir(mode=0o700)
    (state / "units").mkdir()
    (state / "console").touch()
    (state / "bus.conf").write_text(BUS_CONFIG)
    units = dict(UNITS, **extra_units)
    for name, text in units.items():
        (state / "units" / name).write_text(text.format(
            dbus_daemon=DBUS_DAEMON, bus_config=state / "bus.conf"))


@pytest.fixture
def manager_state():
    """The state directory, under /run rather than /tmp so that a unit with
    PrivateTmp= and ProtectHome= still sees the bus and the test's files."""
    if os.geteuid() != 0:
        pytest.skip("a private systemd manager needs root")
    for tool in (str(MANAGER), "unshare", "mount", DBUS_DAEMON):
        if not shutil.which(tool):
            pytest.skip(f"{tool} is not installed")
    if not Path("/run/systemd").is_dir():
        pytest.skip("/run/systemd is missing, so there is nothing to mount "
                    "the manager's /run/systemd/system over")
    state = Path(tempfile.mkdtemp(prefix="corvane-systemd-test-", dir="/run"))
    yield state
    shutil.rmtree(state, ignore_errors=True)


@pytest.fixture
def start_manager(manager_state):
    """Starts the manager with the standard units plus the given ones."""
    started = []
    cgroups = []

    def start(extra_units=None):
        write_state(manager_state, extra_units or {})
        cgroups.extend(make_cgroups(manager_state.name))
        with open(manager_state / "console", "ab") as console:
            # The launcher execs the manager, which therefore also gets
            # SIGTERM, and shuts down with its bus, if the run is killed.
            process = subprocess.Popen(
                [str(LAUNCHER), str(manager_state)] + [str(c) for c in cgroups],
                stdin=subprocess.DEVNULL, stdout=console, stderr=console,
                preexec_fn=end_with_this_process)
        manager = Manager(manager_state, process)
        started.append(manager)
        manager.connect()
        return manager

    yield start

    for manager in started:
        if manager.bus is not None:
            manager.bus.close()
        if manager.process.poll() is None:
            manager.process.send_signal(signal.SIGTERM)
            try:
                manager.process.wait(timeout=TIMEOUT)
            except subprocess.TimeoutExpired:
                manager.process.kill()
                manager.process.wait()
    for cgroup in cgroups:
        remove_cgroup(cgroup)


@pytest.fixture
def host(monkeypatch, manager_state):
    """Returns a function that puts the simulated host-state service
    (test/mocks/host_state.py) on the manager's bus with the given host
    state, and returns its control interface; its SetHostState emits
    PropertiesChanged as the real service does."""
    processes = []

    def spawn(manager, host_state):
        monkeypatch.setenv("DBUS_SYSTEM_BUS_ADDRESS", manager.address)
        process, obj = DBusTestCase.spawn_server_template(
            str(MOCKS / "host_state.py"), {"CurrentHostState": host_state},
            stdout=subprocess.DEVNULL, system_bus=True)
        processes.append(process)
        return dbus.Interface(obj, MOCK_IFACE)

    yield spawn

    for process in processes:
        process.terminate()
        process.wait(timeout=TIMEOUT)


@pytest.fixture
def registers(manager_state):
    scratch = manager_state / "vga-scratch"
    video_mode = manager_state / "video-mode"
    scratch.write_text("0\n")
    video_mode.write_text("")
    return scratch, video_mode


@pytest.fixture
def corvane(manager_state, registers):
    """Starts corvane on the manager's bus as a child of the test."""
    processes = []
    scratch, video_mode = registers

    def start(manager, unit):
        env = {k: v for k, v in os.environ.items() if not k.startswith("DBUS_")}
        env["DBUS_SYSTEM_BUS_ADDRESS"] = manager.address
        log = open(manager_state / "corvane.log", "wb")
        process = subprocess.Popen(
            program_command("CORVANE") + [str(scratch), str(video_mode), unit],
            env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        log.close()
        processes.append(process)
        return process

    yield start

    for process in processes:
        if process.poll() is None:
            process.terminate()
            process.wait(timeout=TIMEOUT)


def corvane_log(state):
    return (state / "corvane.log").read_text(errors="replace")


def assert_renderer_sleeping(manager):
    pid = manager.main_pid(RENDERER)
    assert pid > 0
    cmdline = Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")
    assert cmdline[:2] == [b"/bin/sleep", b"1000000"]


def test_renderer_follows_host_power_and_vga(start_manager, host, registers,
                                             corvane):
    scratch, video_mode = registers
    manager = start_manager()
    set_host = host(manager, OFF).SetHostState
    corvane(manager, RENDERER)

    set_host(RUNNING)
    manager.wait_state(RENDERER, "active")
    assert_renderer_sleeping(manager)
    wait_for(lambda: video_mode.read_text() == "1\n", "video mode 1")

    # The host takes the video: the next poll of the scratch register stops
    # the renderer.
    scratch.write_text("0xa8\n")
    manager.wait_state(RENDERER, "inactive")
    wait_for(lambda: video_mode.read_text() == "0\n", "video mode 0")

    # Only a power cycle brings the renderer back; a power-off stops it.
    set_host(OFF)
    scratch.write_text("0\n")
    set_host(RUNNING)
    manager.wait_state(RENDERER, "active")
    wait_for(lambda: video_mode.read_text() == "1\n", "video mode 1 again")
    set_host(OFF)
    manager.wait_state(RENDERER, "inactive")
    wait_for(lambda: video_mode.read_text() == "0\n", "video mode 0 again")
    assert manager.main_pid(RENDERER) == 0


def test_missing_unit_names_the_error(start_manager, host, registers, corvane,
                                      manager_state):
    _, video_mode = registers
    manager = start_manager()
    host(manager, RUNNING)
    corvane(manager, "absent-renderer.service")

    line = wait_for(
        lambda: next((l.rstrip("\n") for l in finished_lines(corvane_log(manager_state))
                      if "failed to start" in l), None),
        "the start failure line")
    assert line.endswith("failed to start absent-renderer.service: "
                         "org.freedesktop.systemd1.NoSuchUnit")
    assert video_mode.read_text() == ""


def unit_under_test(unit_text, command, scratch, video_mode, address):
    """The built unit's service type and readiness settings around a command
    line pointed at the test's files. Its sandbox is left out: some of it
    needs systemd as PID 1, and the booted-system leg (scripts/boot-test.sh)
    runs the unit as built."""
    kept = [line for line in unit_text.splitlines()
            if line.startswith(("Type=", "NotifyAccess="))]
    return "\n".join([
        "[Unit]", "Description=corvane as built, without its sandbox",
        "[Service]", *kept,
        f"ExecStart={' '.join(command)} {scratch} {video_mode} {RENDERER}",
        f"Environment=DBUS_SYSTEM_BUS_ADDRESS={address}",
        f"StandardOutput=append:{scratch.parent}/corvane.log",
    ]) + "\n"


def test_built_unit_is_active_only_once_it_applied_the_host_state(
        start_manager, host, registers, manager_state):
    unit_path = os.environ.get("CORVANE_UNIT")
    if not unit_path:
        pytest.skip("CORVANE_UNIT is not set; run the tests through meson test")
    scratch, video_mode = registers
    address = f"unix:path={manager_state}/runtime/bus"
    unit = unit_under_test(Path(unit_path).read_text(), program_command("CORVANE"),
                           scratch, video_mode, address)
    manager = start_manager({"corvane.service": unit})
    host_state = host(manager, RUNNING)
    # corvane will wait for its first reading until the test lets it through.
    host_state.HoldReads(True)
    manager.systemd().StartUnit("corvane.service", "replace")

    wait_for(lambda: any(name == "Get" for _, name, _ in host_state.GetCalls()),
             "corvane's first host-state read")
    assert manager.active_state("corvane.service") == "activating"
    assert video_mode.read_text() == ""

    host_state.HoldReads(False)
    manager.wait_state("corvane.service", "active")
    # Ready means the first reading has been carried out, unit call and all.
    assert video_mode.read_text() == "1\n"
    manager.wait_state(RENDERER, "active")

    def status():
        return str(manager.unit_property("corvane.service", SERVICE_IFACE, "StatusText"))

    assert status() == "rendering"

    host_state.SetHostState(OFF)
    manager.wait_state(RENDERER, "inactive")
    wait_for(lambda: status() == "host off", "the status after power-off")
    assert video_mode.read_text() == "0\n"
    assert manager.active_state("corvane.service") == "active"
