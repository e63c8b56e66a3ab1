"""tamblet under faults: a flash-mapping daemon that is missing, fails, hangs,
answers with the wrong types or goes away in the middle of a run, and command
lines built to hurt (paths past PATH_MAX, symbolic link loops, ':' and spaces,
bytes that are not UTF-8, printf directives everywhere).

Every case checks what the user sees (both output streams, byte for byte, and
the exit status) and what the daemon received, and that the commands after
the failing one still run.
"""

import errno
import os
import subprocess

import dbus
import pytest
from dbusmock import DBusTestCase

from conftest import mock_calls, program_command, wait_for

MOCK_IFACE = "org.freedesktop.DBus.Mock"
DAEMON = ("velmora.Pellarin", "/velmora/Pellarin", "velmora.Pellarin.Control")
DEADLINE = 60


def text(err):
    return os.strerror(err)


def status_of(err):
    return -err & 0xFF


def run(bus, *args, cwd=None, argv0=None, **env):
    """Runs tamblet; arguments may be str or bytes. Output stays bytes, since
    some cases feed it bytes that are not UTF-8. `cwd` may be a directory's
    descriptor, for a directory too deep to name."""
    command = program_command("TAMBLET") + list(args)
    executable = None
    if argv0 is not None:
        executable, command[0] = command[0], argv0
    enter = None
    if isinstance(cwd, int):
        enter, cwd = (lambda fd=cwd: os.fchdir(fd)), None
    return subprocess.run(command, executable=executable, env=bus.env(**env), cwd=cwd,
                          preexec_fn=enter, capture_output=True, timeout=DEADLINE, check=False)


def wrapped():
    return len(program_command("TAMBLET")) > 1


# (member, [arguments]) of every control call the daemon received.
calls = mock_calls


@pytest.fixture
def daemon(private_bus):
    def start(**parameters):
        return private_bus.spawn_template("pellarin", parameters)
    return start


# ---- the daemon misbehaves ---------------------------------------------------

# One run that uses every request; the daemon fails them in different ways.
EVERY_COMMAND = ["--ping", "--daemon-state", "--kill", "--lpc-state", "--resume", "clean",
                 "--backend", "mtd", "--suspend", "--reset", "--clear-cache"]
METHODS = ["Ping", "Kill", "Resume", "SetBackend", "Suspend", "Reset", "MarkFlashModified"]


def every_command_output(err):
    """What EVERY_COMMAND shows when each request fails with errno err."""
    line = text(err)
    stdout = (f"Ping: {line}\nKill: {line}\nSuspend: {line}\nReset: {line}\n"
              f"Clear Cache: {line}\n")
    stderr = f"Failed to post message: {line}\n" * 7
    return stdout.encode(), stderr.encode()


@pytest.mark.parametrize("fault, err", [
    ("absent", errno.EHOSTUNREACH),
    ("error-replies", errno.EIO),
])
def test_every_request_fails_and_every_command_still_runs(private_bus, daemon, fault, err):
    mock = None
    if fault == "error-replies":
        _, mock = daemon(Fail=METHODS + ["DaemonState", "LpcState"])
    result = run(private_bus, *EVERY_COMMAND)
    assert (result.stdout, result.stderr) == every_command_output(err)
    assert result.returncode == status_of(err)
    if mock is not None:
        assert [member for member, _ in calls(mock)] == [
            "Ping", "Kill", "Resume", "SetBackend", "Suspend", "Reset", "MarkFlashModified"]


@pytest.mark.parametrize("option, member, failure_out", [
    (["--ping"], "Ping", "Ping: {}\n"),
    (["--kill"], "Kill", "Kill: {}\n"),
    (["--suspend"], "Suspend", "Suspend: {}\n"),
    (["--point-to-flash"], "Reset", "Reset: {}\n"),
    (["--clear-cache"], "MarkFlashModified", "Clear Cache: {}\n"),
    (["--resume", "modified"], "Resume", ""),
    (["--backend", "vpnor"], "SetBackend", ""),
])
def test_hung_daemon_times_out_and_the_next_command_runs(private_bus, daemon, option, member,
                                                        failure_out):
    _, mock = daemon(Hang=[member])
    result = run(private_bus, *option, "--lpc-state", SYSTEMD_BUS_TIMEOUT="1")
    timed_out = text(errno.ETIMEDOUT)
    assert result.stdout == (failure_out.format(timed_out) + "LPC Bus Maps: BMC Memory\n").encode()
    assert result.stderr == f"Failed to post message: {timed_out}\n".encode()
    assert result.returncode == 0
    assert [name for name, _ in calls(mock)] == [member]


def test_daemon_exits_between_two_commands(private_bus, daemon):
    # A daemon told to Kill answers, then leaves the bus: the commands after
    # it find nobody, and say so.
    _, mock = daemon(ExitAfter=["Kill"])
    result = run(private_bus, "--ping", "--kill", "--ping", "--daemon-state", "--suspend")
    gone = text(errno.EHOSTUNREACH)
    assert result.stdout == f"Ping: Success\nKill: Success\nPing: {gone}\nSuspend: {gone}\n".encode()
    assert result.stderr == f"Failed to post message: {gone}\n".encode() * 2
    assert result.returncode == status_of(errno.EHOSTUNREACH)


def test_daemon_dies_while_a_command_waits(private_bus, daemon):
    # The bus answers a call whose receiver vanished with NoReply, which the
    # user sees as a timeout; the next command finds no daemon.
    proc, mock = daemon(Hang=["Kill"])
    tamblet = subprocess.Popen(program_command("TAMBLET") + ["--kill", "--ping", "--lpc-state"],
                               env=private_bus.env(), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    try:
        wait_for(lambda: calls(mock), "the Kill call")
        proc.kill()
        stdout, stderr = tamblet.communicate(timeout=DEADLINE)
    finally:
        if tamblet.poll() is None:
            tamblet.kill()
            tamblet.wait()
    timed_out, gone = text(errno.ETIMEDOUT), text(errno.EHOSTUNREACH)
    assert stdout == f"Kill: {timed_out}\nPing: {gone}\n".encode()
    assert stderr == (f"Failed to post message: {timed_out}\n"
                      f"Failed to post message: {gone}\n").encode()
    assert tamblet.returncode == status_of(errno.EHOSTUNREACH)


@pytest.fixture
def odd_daemon(private_bus):
    """A daemon whose replies and properties have the wrong types."""
    proc = DBusTestCase.spawn_server(*DAEMON, system_bus=True, stdout=subprocess.DEVNULL)
    private_bus.mocks.append(proc)
    obj = private_bus.connect().get_object(DAEMON[0], DAEMON[1])
    mock = dbus.Interface(obj, MOCK_IFACE)
    for member in ("Ping", "Kill"):
        mock.AddMethod(DAEMON[2], member, "", "sa{sv}", 'ret = ("unexpected", {"x": 1})')
    mock.AddMethod(DAEMON[2], "Resume", "b", "b", "ret = False")
    mock.AddProperty(DAEMON[2], "DaemonState", dbus.String("Active"))
    mock.AddProperty(DAEMON[2], "LpcState", dbus.UInt32(1))
    return mock


def test_replies_of_unexpected_types(private_bus, odd_daemon):
    # Method replies are not read, so their content cannot matter; a state of
    # the wrong type is a failed reading, and shows nothing.
    result = run(private_bus, "--ping", "--daemon-state", "--resume", "clean", "--kill",
                 "--lpc-state")
    assert result.stdout == b"Ping: Success\nResume: Success\nKill: Success\n"
    assert result.stderr == b""
    assert result.returncode == status_of(errno.ENXIO)
    assert [str(call[1]) for call in odd_daemon.GetCalls()] == ["Ping", "Resume", "Kill"]


# ---- hostile command lines -----------------------------------------------------

PATH_MAX = os.pathconf("/", "PC_PATH_MAX")


def make_path(top, length):
    """Creates a file whose absolute name is exactly `length` bytes long, in
    a chain of directories under `top` (made through descriptors, since the
    deepest ones are past what a path can name). Returns (name, deepest
    directory's descriptor)."""
    top = os.path.realpath(top)
    fd = os.open(top, os.O_RDONLY | os.O_DIRECTORY)
    name = top
    while length - len(name) > 256:
        component = "d" * min(200, length - len(name) - 256)
        os.mkdir(component, dir_fd=fd)
        inner = os.open(component, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd, name = inner, f"{name}/{component}"
    leaf = "f" * (length - len(name) - 1)
    os.close(os.open(leaf, os.O_CREAT | os.O_WRONLY, dir_fd=fd))
    return f"{name}/{leaf}", fd


@pytest.mark.parametrize("length, fits", [
    (1000, True),
    (PATH_MAX - 1, True),
    (PATH_MAX, False),
    (PATH_MAX + 500, False),
])
def test_long_backend_paths(private_bus, daemon, tmp_path, length, fits):
    _, mock = daemon()
    path, fd = make_path(tmp_path, length)
    os.close(fd)
    assert len(path) == length
    result = run(private_bus, "--backend", f"file:{path}", "--ping")
    if fits:
        assert result.stdout == b"SetBackend: Success\nPing: Success\n"
        assert result.stderr == b""
        assert calls(mock) == [("SetBackend", ["file", [path]]), ("Ping", [])]
    else:
        assert result.stdout == b"Ping: Success\n"
        assert result.stderr == f"Failed to resolve path: {text(errno.ENAMETOOLONG)}\n".encode()
        assert calls(mock) == [("Ping", [])]
    assert result.returncode == 0


def test_relative_path_from_a_directory_too_deep_to_name(private_bus, daemon, tmp_path):
    _, mock = daemon()
    _, fd = make_path(tmp_path, PATH_MAX + 300)
    os.close(os.open("flash.img", os.O_CREAT | os.O_WRONLY, dir_fd=fd))
    try:
        result = run(private_bus, "--backend", "mtd:flash.img", cwd=fd)
    finally:
        os.close(fd)
    assert result.stdout == b""
    assert result.stderr == f"Failed to resolve path: {text(errno.ENAMETOOLONG)}\n".encode()
    assert result.returncode == status_of(errno.ENAMETOOLONG)
    assert calls(mock) == []


def test_huge_arguments_are_judged_by_their_beginning(private_bus, daemon):
    # Each close to the kernel's limit for one argument (32 pages).
    _, mock = daemon()
    huge = 120_000
    result = run(private_bus, "--resume", "modified" + "x" * huge, "--backend", "mtd" + "y" * huge,
                 "--resume", "z" * huge, "--backend", "q" * huge, "--backend", "vpnor:" + "/" * huge)
    assert result.stdout == b"Resume: Success\nSetBackend: Success\n"
    assert result.stderr == (b'Resume command takes argument < "clean" | "modified" >\n'
                             b"Path parameter not supported for vpnor\n")
    assert result.returncode == status_of(errno.EINVAL)
    assert calls(mock) == [("Resume", [True]), ("SetBackend", ["mtd", []])]


@pytest.fixture
def odd_files(tmp_path):
    """Files whose names hold ':', spaces, '%' and bytes that are not UTF-8,
    and symbolic links that loop."""
    (tmp_path / "a b:c").mkdir()
    (tmp_path / "a b:c" / "flash image.img").write_bytes(b"\xff")
    (tmp_path / ":x").write_bytes(b"\xff")
    (tmp_path / "%s%n%d.img").write_bytes(b"\xff")
    os.close(os.open(bytes(tmp_path) + b"/\xff\xfe.img", os.O_CREAT | os.O_WRONLY))
    (tmp_path / "self").symlink_to("self")
    (tmp_path / "ping").symlink_to("pong")
    (tmp_path / "pong").symlink_to("ping")
    (tmp_path / "dir-loop").symlink_to("dir-loop/flash.img")
    # A finite chain longer than the 40 links path resolution follows.
    for i in range(41):
        (tmp_path / f"chain{i}").symlink_to(f"chain{i + 1}")
    (tmp_path / "chain41").symlink_to("a b:c/flash image.img")
    return tmp_path


@pytest.mark.parametrize("argument, sent", [
    # Only the first ':' separates; the rest belongs to the path.
    ("file:{top}/a b:c/flash image.img", ("file", ["{top}/a b:c/flash image.img"])),
    ("mtd:a b:c/../a b:c/flash image.img", ("mtd", ["{top}/a b:c/flash image.img"])),
    ("file::x", ("file", ["{top}/:x"])),
    ("file:%s%n%d.img", ("file", ["{top}/%s%n%d.img"])),
    ("file:chain2", ("file", ["{top}/a b:c/flash image.img"])),
])
def test_odd_paths_are_sent_as_resolved(private_bus, daemon, odd_files, argument, sent):
    _, mock = daemon()
    top = str(odd_files)
    result = run(private_bus, "--backend", argument.format(top=top), cwd=odd_files)
    assert (result.stdout, result.stderr, result.returncode) == (b"SetBackend: Success\n", b"", 0)
    name, paths = sent
    assert calls(mock) == [("SetBackend", [name, [p.format(top=top) for p in paths]])]


@pytest.mark.parametrize("argument, err", [
    ("file:self", errno.ELOOP),
    ("file:ping", errno.ELOOP),
    ("mtd:dir-loop", errno.ELOOP),
    ("file:chain0", errno.ELOOP),
    ("file:self/", errno.ELOOP),
    ("file:a b:c/flash image.img/x", errno.ENOTDIR),
    ("file:%s%n%x", errno.ENOENT),
])
def test_unresolvable_paths_are_refused_and_the_next_command_runs(
        private_bus, daemon, odd_files, argument, err):
    _, mock = daemon()
    result = run(private_bus, "--backend", argument, "--daemon-state", cwd=odd_files)
    assert result.stdout == b"Daemon State: Active\n"
    assert result.stderr == f"Failed to resolve path: {text(err)}\n".encode()
    assert result.returncode == 0
    assert calls(mock) == []


def test_path_that_is_not_utf8_cannot_be_sent(private_bus, daemon, odd_files):
    # A D-Bus string must be UTF-8, so the bus library will not carry the
    # name; the request fails before anything is sent.
    _, mock = daemon()
    result = run(private_bus, "--backend", b"file:\xff\xfe.img", "--ping", cwd=odd_files)
    assert (result.stdout, result.stderr, result.returncode) == (b"Ping: Success\n", b"", 0)
    result = run(private_bus, "--backend", b"file:\xff\xfe.img", cwd=odd_files)
    assert (result.stdout, result.stderr) == (b"", b"")
    assert result.returncode == status_of(errno.EINVAL)
    assert [name for name, _ in calls(mock)] == ["Ping"]


@pytest.mark.parametrize("args, stdout, stderr, status, sent", [
    # Judged by the beginning only; the bytes after it are never sent.
    ([b"--resume", b"clean\xff\xfe"], b"Resume: Success\n", b"", 0, [("Resume", [False])]),
    ([b"--backend", b"mtd\xc3\x28"], b"SetBackend: Success\n", b"", 0, [("SetBackend", ["mtd", []])]),
    ([b"--resume", b"\xffclean"], b"",
     b'Resume command takes argument < "clean" | "modified" >\n', status_of(errno.EINVAL), []),
    ([b"--backend", b"\xfe"], b"", b"", status_of(errno.EINVAL), []),
])
def test_arguments_that_are_not_utf8(private_bus, daemon, args, stdout, stderr, status, sent):
    _, mock = daemon()
    result = run(private_bus, *args)
    assert (result.stdout, result.stderr, result.returncode) == (stdout, stderr, status)
    assert calls(mock) == sent


def usage_head(name):
    return b"\nUsage: " + name + b" [--silent | -s] <command> [args]\n"


@pytest.mark.parametrize("option", [b"--\xff\xfe", b"--%n%s%s%s", b"-%"])
def test_unknown_option_is_shown_as_given(private_bus, daemon, option):
    _, mock = daemon()
    result = run(private_bus, "--ping", option, "--kill")
    name = os.fsencode(program_command("TAMBLET")[-1])
    assert result.stdout.startswith(b"Ping: Success\n" + usage_head(name))
    # The option parser quotes the option (or its letter) as given.
    shown = option if option.startswith(b"--") else b"'%'"
    assert shown in result.stderr
    assert result.returncode == status_of(errno.EINVAL)
    assert calls(mock) == [("Ping", [])]


@pytest.mark.parametrize("argv0", [b"%s%n%s%n%x", b"\xff\xfe tamblet", b"a" * 100_000])
def test_program_name_is_printed_as_given(private_bus, daemon, argv0):
    if wrapped():
        pytest.skip("a wrapper program sets the program name itself")
    daemon()
    result = run(private_bus, "--help", argv0=argv0)
    assert result.stdout.startswith(usage_head(argv0))
    assert result.returncode == 0


def test_printf_directives_in_every_argument(private_bus, daemon, odd_files):
    _, mock = daemon()
    result = run(private_bus, "--resume", "%s%n%s%n", "--backend", "%n%n%n%n",
                 "--backend", "file:%n%s%p", "--backend", "vpnor:%s%n",
                 "--backend", "mtd:%s%n%d.img", "--resume", "modified%s%n", cwd=odd_files)
    assert result.stdout == b"SetBackend: Success\nResume: Success\n"
    assert result.stderr == (
        b'Resume command takes argument < "clean" | "modified" >\n'
        + f"Failed to resolve path: {text(errno.ENOENT)}\n".encode()
        + b"Path parameter not supported for vpnor\n")
    assert result.returncode == 0
    assert calls(mock) == [("SetBackend", ["mtd", [f"{odd_files}/%s%n%d.img"]]),
                           ("Resume", [True])]


@pytest.mark.parametrize("output, silenced", [("full", False), ("closed", False),
                                               ("full", True)],
                         ids=["full", "closed", "full-then-silent"])
def test_lost_standard_output_does_not_stop_the_commands(private_bus, daemon, output, silenced):
    # The commands are the point of a run; a lost outcome line is not a
    # reason to leave later ones undone.
    if output == "closed" and wrapped():
        pytest.skip("a wrapper program would take the closed descriptor for its own files")
    _, mock = daemon()
    # Lines of --ping and --suspend are lost before --silent stops the rest.
    commands = ["--ping", "--suspend"] + (["--silent"] if silenced else []) + [
        "--daemon-state", "--kill"]
    command = program_command("TAMBLET") + commands
    with open("/dev/full", "wb") as full:
        result = subprocess.run(command, env=private_bus.env(), timeout=DEADLINE, check=False,
                                stdout=full if output == "full" else None, stderr=subprocess.PIPE,
                                preexec_fn=(lambda: os.close(1)) if output == "closed" else None)
    # ...but a script must not take a reading it never got for a success;
    # after --silent it learns that from the status alone.
    assert result.stderr == (b"" if silenced else b"Failed to write output\n")
    assert result.returncode == 256 - errno.EIO
    assert [name for name, _ in calls(mock)] == ["Ping", "Suspend", "Kill"]


def test_silent_run_with_closed_output_succeeds(private_bus, daemon):
    # Nothing is written when silent, so a closed standard output loses nothing.
    if wrapped():
        pytest.skip("a wrapper program would take the closed descriptor for its own files")
    _, mock = daemon()
    command = program_command("TAMBLET") + ["--silent", "--ping", "--daemon-state"]
    result = subprocess.run(command, env=private_bus.env(), timeout=DEADLINE, check=False,
                            stderr=subprocess.PIPE, preexec_fn=lambda: os.close(1))
    assert result.stderr == b""
    assert result.returncode == 0
    assert [name for name, _ in calls(mock)] == ["Ping"]
