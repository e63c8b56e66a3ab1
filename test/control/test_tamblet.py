"""End-to-end tests of tamblet against the simulated flash-mapping daemon.

Each test runs the real binary on a private system bus and checks what a user
and the daemon see: standard output and error, the exit status, and the calls
and arguments the daemon received.
"""

import errno
import os
import subprocess

import pytest

from conftest import mock_calls, program_command, run_with_argument_vector

USAGE = (
    "\nUsage: {} [--silent | -s] <command> [args]\n\n"
    "\t\t--silent\t\t- no output on the command line\n\n"
    "\tCommands: (num args)\n"
    "\t\t--ping\t\t\t- ping the daemon (0)\n"
    "\t\t--daemon-state\t\t- check state of the daemon (0)\n"
    "\t\t--lpc-state\t\t- check the state of the lpc mapping (0)\n"
    "\t\t--kill\t\t\t- stop the daemon [no flush] (0)\n"
    "\t\t--reset\t\t\t- hard reset the daemon state (0)\n"
    "\t\t--point-to-flash\t- point the lpc mapping back to flash (0)\n"
    "\t\t--suspend\t\t- suspend the daemon to inhibit flash accesses (0)\n"
    "\t\t--resume\t\t- resume the daemon (1)\n"
    "\t\t\targ[0]: < \"clean\" | \"modified\" >\n"
    "\t\t--clear-cache\t- tell the daemon to discard any caches (0)\n"
    "\t\t--backend <vpnor|mtd[:PATH]|file:PATH>\n"
)

# The daemon's error replies and a missing daemon, as the user reads them.
EIO_TEXT = os.strerror(errno.EIO)
UNREACHABLE_TEXT = os.strerror(errno.EHOSTUNREACH)
TIMEOUT_TEXT = os.strerror(errno.ETIMEDOUT)


def status_of(err):
    """Exit status for a negative errno result."""
    return err & 0xFF


def run(bus, *args, cwd=None, **env):
    return subprocess.run(program_command("TAMBLET") + list(args), env=bus.env(**env),
                          cwd=cwd, capture_output=True, text=True, timeout=60, check=False)


# The daemon's control calls, in order, as (member, [arguments]).
calls = mock_calls


@pytest.fixture
def daemon(private_bus):
    """Starts the simulated daemon with parameters; returns its mock object."""
    def start(**parameters):
        return private_bus.spawn_template("pellarin", parameters)[1]
    return start


@pytest.fixture
def wrapped():
    return len(program_command("TAMBLET")) > 1


# ---- command line ---------------------------------------------------------

@pytest.mark.parametrize("args", [[], ["--help"], ["-h"], ["--he"]])
def test_usage_on_request_exits_zero(private_bus, daemon, args):
    mock = daemon()
    result = run(private_bus, *args)
    assert result.stdout == USAGE.format(program_command("TAMBLET")[-1])
    assert result.stderr == ""
    assert result.returncode == 0
    assert calls(mock) == []


@pytest.mark.parametrize("args, complaint", [
    (["--bogus"], "--bogus"),
    (["-x"], "'x'"),
    (["-b", "mtd"], "'b'"),
    (["--resume"], "--resume"),
    (["-e"], "'e'"),
    (["--res", "clean"], "--res"),
    (["--ping=x"], "--ping"),
])
def test_usage_error_exits_einval(private_bus, daemon, args, complaint):
    mock = daemon()
    result = run(private_bus, *args)
    assert result.stdout == USAGE.format(program_command("TAMBLET")[-1])
    assert complaint in result.stderr
    assert result.returncode == status_of(-errno.EINVAL)
    assert calls(mock) == []


def test_usage_error_stops_the_walk_after_earlier_commands(private_bus, daemon):
    mock = daemon()
    result = run(private_bus, "--ping", "--bogus", "--kill")
    assert result.stdout == "Ping: Success\n" + USAGE.format(program_command("TAMBLET")[-1])
    assert result.returncode == status_of(-errno.EINVAL)
    assert calls(mock) == [("Ping", [])]


@pytest.mark.parametrize("args, status", [
    (["--silent", "--help"], 0),
    (["--silent", "--bogus"], status_of(-errno.EINVAL)),
])
def test_silent_usage_prints_nothing_of_its_own(private_bus, daemon, args, status):
    daemon()
    result = run(private_bus, *args)
    assert result.stdout == ""
    assert result.returncode == status
    # The option parser's own complaint is not tamblet's to silence.
    assert ("--bogus" in result.stderr) == ("--bogus" in args)


@pytest.mark.parametrize("argv", [[""], ["", "--help"]])
def test_empty_program_name_is_shown_as_tamblet(private_bus, wrapped, argv):
    if wrapped:
        pytest.skip("a wrapper program sets the program name itself")
    result = run_with_argument_vector(program_command("TAMBLET")[0], argv, private_bus.env())
    assert result.stdout == USAGE.format("tamblet")
    assert result.returncode == 0


def test_empty_argument_vector_is_shown_as_tamblet(private_bus, wrapped):
    if wrapped:
        pytest.skip("a wrapper program sets the program name itself")
    result = run_with_argument_vector(program_command("TAMBLET")[0], [], private_bus.env())
    assert result.stdout == USAGE.format("tamblet")
    assert result.returncode == 0


# The build passes the project's version.
VERSION_LINE = f"Ostrivan V{os.environ.get('PROJECT_VERSION')}\n"


@pytest.mark.parametrize("args, stdout", [
    (["--version"], VERSION_LINE),
    (["-v"], VERSION_LINE),
    (["--silent", "--version"], ""),
])
def test_version(private_bus, daemon, args, stdout):
    mock = daemon()
    result = run(private_bus, *args)
    assert (result.stdout, result.stderr, result.returncode) == (stdout, "", 0)
    assert calls(mock) == []


@pytest.mark.parametrize("args", [["--silent"], ["-s"], ["reset"], ["--silent", "ping"]])
def test_no_command_is_a_failure_without_output(private_bus, daemon, args):
    mock = daemon()
    result = run(private_bus, *args)
    assert (result.stdout, result.stderr, result.returncode) == ("", "", 255)
    assert calls(mock) == []


# ---- argument-less daemon methods -----------------------------------------

@pytest.mark.parametrize("option, member, label", [
    ("--ping", "Ping", "Ping"),
    ("-p", "Ping", "Ping"),
    ("--pi", "Ping", "Ping"),
    ("--kill", "Kill", "Kill"),
    ("-k", "Kill", "Kill"),
    ("--reset", "Reset", "Reset"),
    ("-r", "Reset", "Reset"),
    ("--point-to-flash", "Reset", "Reset"),
    ("-f", "Reset", "Reset"),
    ("--suspend", "Suspend", "Suspend"),
    ("-u", "Suspend", "Suspend"),
    ("--clear-cache", "MarkFlashModified", "Clear Cache"),
    ("-c", "MarkFlashModified", "Clear Cache"),
])
def test_method_success(private_bus, daemon, option, member, label):
    mock = daemon()
    result = run(private_bus, option)
    assert (result.stdout, result.stderr, result.returncode) == (f"{label}: Success\n", "", 0)
    assert calls(mock) == [(member, [])]


@pytest.mark.parametrize("option, member, label", [
    ("--ping", "Ping", "Ping"),
    ("--point-to-flash", "Reset", "Reset"),
    ("--clear-cache", "MarkFlashModified", "Clear Cache"),
])
def test_method_error_reply_shows_errno_text_twice(private_bus, daemon, option, member, label):
    mock = daemon(Fail=[member])
    result = run(private_bus, option)
    assert result.stdout == f"{label}: {EIO_TEXT}\n"
    assert result.stderr == f"Failed to post message: {EIO_TEXT}\n"
    assert result.returncode == status_of(-errno.EIO)
    assert calls(mock) == [(member, [])]


def test_commands_run_in_order_on_one_connection(private_bus, daemon):
    mock = daemon()
    result = run(private_bus, "--kill", "--ping")
    assert (result.stdout, result.returncode) == ("Kill: Success\nPing: Success\n", 0)
    assert calls(mock) == [("Kill", []), ("Ping", [])]


@pytest.mark.parametrize("args, members, status", [
    (["--kill", "--ping"], ["Kill", "Ping"], 0),
    (["--ping", "--kill"], ["Ping", "Kill"], status_of(-errno.EIO)),
])
def test_exit_status_is_the_last_commands(private_bus, daemon, args, members, status):
    mock = daemon(Fail=["Kill"])
    result = run(private_bus, *args)
    assert result.returncode == status
    assert [member for member, _ in calls(mock)] == members


def test_state_follows_suspend_resume_and_reset(private_bus, daemon):
    mock = daemon(DaemonState=0, LpcState=2)
    result = run(private_bus, "-d", "-u", "-d", "--resume", "modified", "-d", "-l", "-f", "-l")
    assert result.stdout == (
        "Daemon State: Active\nSuspend: Success\nDaemon State: Suspended\n"
        "Resume: Success\nDaemon State: Active\n"
        "LPC Bus Maps: BMC Memory\nReset: Success\nLPC Bus Maps: Flash Device\n")
    assert result.returncode == 0
    assert calls(mock) == [("Suspend", []), ("Resume", [True]), ("Reset", [])]


# ---- state queries --------------------------------------------------------

@pytest.mark.parametrize("option, prop, value, line", [
    ("--daemon-state", "DaemonState", 0, "Daemon State: Active\n"),
    ("-d", "DaemonState", 1, "Daemon State: Suspended\n"),
    ("-d", "DaemonState", 200, "Daemon State: Suspended\n"),
    ("--lpc-state", "LpcState", 1, "LPC Bus Maps: Flash Device\n"),
    ("-l", "LpcState", 2, "LPC Bus Maps: BMC Memory\n"),
    ("-l", "LpcState", 0, "LPC Bus Maps: Invalid System State\n"),
    ("-l", "LpcState", 3, "LPC Bus Maps: Invalid System State\n"),
])
def test_state_reading(private_bus, daemon, option, prop, value, line):
    daemon(**{prop: value})
    result = run(private_bus, option)
    assert (result.stdout, result.stderr, result.returncode) == (line, "", 0)


@pytest.mark.parametrize("option, prop", [("-d", "DaemonState"), ("-l", "LpcState")])
def test_state_read_failure_prints_nothing(private_bus, daemon, option, prop):
    daemon(Fail=[prop])
    result = run(private_bus, option)
    assert (result.stdout, result.stderr) == ("", "")
    assert result.returncode not in (0, 255)


# ---- resume ----------------------------------------------------------------

@pytest.mark.parametrize("argument, modified", [
    ("clean", False), ("modified", True), ("cleanly", False), ("modified!", True),
])
def test_resume_sends_the_flag(private_bus, daemon, argument, modified):
    mock = daemon(DaemonState=1)
    result = run(private_bus, "--resume", argument, "-d")
    assert result.stdout == "Resume: Success\nDaemon State: Active\n"
    assert (result.stderr, result.returncode) == ("", 0)
    assert calls(mock) == [("Resume", [modified])]


@pytest.mark.parametrize("args", [
    ["--resume", "dirty"], ["-e", "Clean"], ["--resume", ""], ["--resume", "--ping"],
    ["--resume=modifie"],
])
def test_resume_refuses_other_arguments(private_bus, daemon, args):
    mock = daemon()
    result = run(private_bus, *args)
    assert result.stdout == ""
    assert result.stderr == 'Resume command takes argument < "clean" | "modified" >\n'
    assert result.returncode == status_of(-errno.EINVAL)
    assert calls(mock) == []


def test_resume_error_reply_is_reported_on_stderr_only(private_bus, daemon):
    mock = daemon(Fail=["Resume"])
    result = run(private_bus, "--resume", "clean")
    assert (result.stdout, result.stderr) == ("", f"Failed to post message: {EIO_TEXT}\n")
    assert result.returncode == status_of(-errno.EIO)
    assert calls(mock) == [("Resume", [False])]


# ---- backend ---------------------------------------------------------------

@pytest.mark.parametrize("argument, sent", [
    ("vpnor", ("vpnor", [])),
    ("mtd", ("mtd", [])),
    ("mtdblock", ("mtd", [])),
    ("file", ("file", [])),
])
def test_backend_without_path(private_bus, daemon, argument, sent):
    mock = daemon()
    result = run(private_bus, "--backend", argument)
    assert (result.stdout, result.stderr, result.returncode) == ("SetBackend: Success\n", "", 0)
    assert calls(mock) == [("SetBackend", list(sent))]


@pytest.fixture
def image(tmp_path):
    """A backing file, a symbolic link to it and a directory beside it."""
    (tmp_path / "images").mkdir()
    target = tmp_path / "images" / "flash.img"
    target.write_bytes(b"\xff" * 64)
    (tmp_path / "current.img").symlink_to(target)
    (tmp_path / "work").mkdir()
    return tmp_path, os.path.realpath(target)


@pytest.mark.parametrize("argument, cwd", [
    ("file:{top}/images/flash.img", "."),
    ("file:images/flash.img", "."),
    ("file:./images/../images/flash.img", "."),
    ("file:../images/flash.img", "work"),
    ("file:current.img", "."),
    ("file:{top}/current.img", "work"),
    ("mtd:../current.img", "work"),
])
def test_backend_path_is_sent_absolute_and_resolved(private_bus, daemon, image, argument, cwd):
    top, resolved = image
    mock = daemon()
    name = argument.split(":")[0]
    result = run(private_bus, "--backend", argument.format(top=top), cwd=top / cwd)
    assert (result.stdout, result.stderr, result.returncode) == ("SetBackend: Success\n", "", 0)
    assert calls(mock) == [("SetBackend", [name, [resolved]])]


@pytest.mark.parametrize("argument, stderr, err", [
    ("vpnor:/var/lib/pnor", "Path parameter not supported for vpnor\n", -errno.EINVAL),
    ("nfs:/export/flash", "", -errno.EINVAL),
    ("MTD", "", -errno.EINVAL),
    ("file:/nonexistent/flash.img",
     f"Failed to resolve path: {os.strerror(errno.ENOENT)}\n", -errno.ENOENT),
    ("mtd:", f"Failed to resolve path: {os.strerror(errno.ENOENT)}\n", -errno.ENOENT),
])
def test_backend_refused(private_bus, daemon, argument, stderr, err):
    mock = daemon()
    result = run(private_bus, "--backend", argument)
    assert (result.stdout, result.stderr) == ("", stderr)
    assert result.returncode == status_of(err)
    assert calls(mock) == []


def test_backend_error_reply_is_reported_on_stderr_only(private_bus, daemon):
    mock = daemon(Fail=["SetBackend"])
    result = run(private_bus, "--backend", "mtd")
    assert (result.stdout, result.stderr) == ("", f"Failed to post message: {EIO_TEXT}\n")
    assert result.returncode == status_of(-errno.EIO)
    assert calls(mock) == [("SetBackend", ["mtd", []])]


# ---- the silent flag -------------------------------------------------------

@pytest.mark.parametrize("args, stdout, status, members", [
    (["--silent", "--ping"], "", 0, ["Ping"]),
    (["--ping", "--silent"], "Ping: Success\n", 0, ["Ping"]),
    (["--ping", "--silent", "--kill"], "Ping: Success\n", 0, ["Ping", "Kill"]),
    (["-s", "-d", "-l"], "", 0, []),
    (["-s", "--resume", "clean"], "", 0, ["Resume"]),
    (["-s", "--backend", "file"], "", 0, ["SetBackend"]),
    (["-s", "--resume", "dirty"], "", status_of(-errno.EINVAL), []),
    (["-s", "--backend", "vpnor:/x"], "", status_of(-errno.EINVAL), []),
    (["-s", "--backend", "file:/nonexistent"], "", status_of(-errno.ENOENT), []),
    (["-s", "--clear-cache"], "", status_of(-errno.EIO), ["MarkFlashModified"]),
])
def test_silent_reaches_every_line_after_it(private_bus, daemon, args, stdout, status, members):
    mock = daemon(Fail=["MarkFlashModified"])
    result = run(private_bus, *args)
    assert (result.stdout, result.stderr, result.returncode) == (stdout, "", status)
    # Silence changes what is printed, never what is sent.
    assert [member for member, _ in calls(mock)] == members


# ---- no daemon, no answer, no bus ----------------------------------------

@pytest.mark.parametrize("args, stdout, stderr", [
    (["--ping"], f"Ping: {UNREACHABLE_TEXT}\n", f"Failed to post message: {UNREACHABLE_TEXT}\n"),
    (["--resume", "clean"], "", f"Failed to post message: {UNREACHABLE_TEXT}\n"),
    (["--backend", "vpnor"], "", f"Failed to post message: {UNREACHABLE_TEXT}\n"),
    (["--daemon-state"], "", ""),
])
def test_daemon_absent(private_bus, args, stdout, stderr):
    result = run(private_bus, *args)
    assert (result.stdout, result.stderr) == (stdout, stderr)
    assert result.returncode == status_of(-errno.EHOSTUNREACH)


def test_daemon_not_answering_times_out_and_the_next_command_still_runs(private_bus, daemon):
    mock = daemon(Hang=["Ping"])
    result = run(private_bus, "--ping", "--daemon-state", SYSTEMD_BUS_TIMEOUT="2")
    assert result.stdout == f"Ping: {TIMEOUT_TEXT}\nDaemon State: Active\n"
    assert result.stderr == f"Failed to post message: {TIMEOUT_TEXT}\n"
    assert result.returncode == 0
    assert calls(mock) == [("Ping", [])]


def test_daemon_not_answering_resume(private_bus, daemon):
    mock = daemon(Hang=["Resume"])
    result = run(private_bus, "--resume", "modified", SYSTEMD_BUS_TIMEOUT="2")
    assert (result.stdout, result.stderr) == ("", f"Failed to post message: {TIMEOUT_TEXT}\n")
    assert result.returncode == status_of(-errno.ETIMEDOUT)
    assert calls(mock) == [("Resume", [True])]


@pytest.mark.parametrize("args", [[], ["--ping"], ["--silent", "--ping"], ["--help"]])
def test_no_system_bus(private_bus, tmp_path, args):
    result = run(private_bus, *args,
                 DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={tmp_path}/no-bus-here")
    assert result.stdout == ""
    assert result.stderr == ("Failed to connect to the system bus: "
                             f"{os.strerror(errno.ENOENT)}\nFailed to init dbus\n")
    assert result.returncode == status_of(-errno.ENOENT)
