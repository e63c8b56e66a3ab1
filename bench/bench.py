"""Measures tamblet and corvane on a private bus, side by side with the tools
an engineer would use instead and with the cheapest possible sd-bus client,
all in one run so that the machine's noise is shared.

Run through bench/run.sh, which installs the tools, builds the programs and
the stand-ins, and then calls this script. Prints the result tables as
Markdown and keeps them, with the raw numbers, in the build directory.
"""

import argparse
import json
import math
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent
BUS_CONF = TOP / "test" / "mocks" / "private-bus.conf"

DAEMON = "velmora.Pellarin"
DAEMON_PATH = "/velmora/Pellarin"
DAEMON_IFACE = "velmora.Pellarin.Control"
PROPS_IFACE = "org.freedesktop.DBus.Properties"
RENDERER_UNIT = "bench-renderer.service"


# ---------------------------------------------------------------- processes

class Bench:
    """The private bus and everything started on it; stops all of it."""

    def __init__(self, workdir):
        self.workdir = Path(workdir)
        self.procs = []
        out = subprocess.check_output(
            ["dbus-daemon", "--fork", "--print-address=1", "--print-pid=1",
             f"--config-file={BUS_CONF}"], text=True).split()
        self.address, self.bus_pid = out[0], int(out[1])
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("DBUS_")}
        self.env["DBUS_SYSTEM_BUS_ADDRESS"] = self.address
        # corvane connects to the process's default bus: make it this one
        self.env["DBUS_STARTER_BUS_TYPE"] = "system"

    def start_peer(self, path):
        """Start a stand-in that says "ready" once it owns its names."""
        proc = subprocess.Popen([str(path)], env=self.env, text=True,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.procs.append(proc)
        line = proc.stdout.readline().strip()
        if line != "ready":
            sys.exit(f"bench: {path.name} did not start ({line!r})")
        return proc

    def start(self, argv, **kwargs):
        proc = subprocess.Popen([str(a) for a in argv], env=self.env, **kwargs)
        self.procs.append(proc)
        return proc

    def close(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        try:
            os.kill(self.bus_pid, signal.SIGTERM)
        except ProcessLookupError:
            pass


class Peers:
    """The host-state and systemd stand-in, driven over its standard input."""

    def __init__(self, proc):
        self.proc = proc

    def ask(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().split()

    def expect(self, command, verb):
        answer = self.ask(command)
        if not answer or answer[0] != verb:
            sys.exit(f"bench: '{command}' led to {answer!r}, expected {verb}")
        return answer


# ------------------------------------------------------------ measurements

def check_output_of(bench, argv, expected=None):
    """Run once and insist on success, so that no failure gets timed."""
    res = subprocess.run(argv, env=bench.env, capture_output=True, text=True,
                         check=False)
    if res.returncode != 0 or (expected is not None and res.stdout != expected):
        sys.exit(f"bench: {' '.join(argv)} failed: status {res.returncode}, "
                 f"output {res.stdout!r} {res.stderr!r}")


def hyperfine(bench, group, named_commands, runs, warmup, rounds):
    """Median wall times, from rounds that alternate between the commands so
    that a slow spell of the machine does not land on one of them alone."""
    times = {name: [] for name, _ in named_commands}
    for round_no in range(rounds):
        out = bench.workdir / f"hyperfine-{group}-{round_no}.json"
        argv = ["hyperfine", "-N", "--style", "none",
                "--warmup", str(warmup), "--runs", str(max(1, runs // rounds)),
                "--export-json", str(out)]
        for name, cmd in named_commands:
            argv += ["-n", name, " ".join(cmd)]
        subprocess.run(argv, env=bench.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for result in json.loads(out.read_text())["results"]:
            times[result["command"]] += result["times"]
    return {name: {"median_us": statistics.median(t) * 1e6,
                   "runs": len(t)} for name, t in times.items()}


def callgrind(bench, argv, extra=()):
    """Instructions executed by a whole run, dynamic loading included."""
    out = bench.workdir / "callgrind.out"
    res = subprocess.run(["valgrind", "--tool=callgrind",
                          f"--callgrind-out-file={out}", *extra, *argv],
                         env=bench.env, capture_output=True, text=True,
                         check=False)
    found = re.search(r"Collected : (\d+)", res.stderr)
    if res.returncode != 0 or not found:
        sys.exit(f"bench: callgrind of {' '.join(argv)} failed:\n{res.stderr}")
    return int(found.group(1))


def callgrind_interval(bench, argv, before, seconds, settles=True):
    """Instructions and poll() calls of a long-running program over a window
    of seconds, counted after before() has brought it where it should be.
    A program that settles is given time to go idle first."""
    out = bench.workdir / "callgrind-interval.out"
    proc = bench.start(["valgrind", "--tool=callgrind",
                        f"--callgrind-out-file={out}", *argv],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if settles:
        wait_until_settled(proc.pid, quiet_s=1.0, limit_s=30)
    before()
    time.sleep(1)
    subprocess.run(["callgrind_control", "-z", str(proc.pid)], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(seconds)
    subprocess.run(["callgrind_control", "-d", str(proc.pid)], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    dump = Path(f"{out}.1")
    deadline = time.monotonic() + 10
    while not (dump.exists() and "totals:" in dump.read_text()):
        if time.monotonic() > deadline:
            sys.exit(f"bench: no callgrind dump from {' '.join(map(str, argv))}")
        time.sleep(0.1)
    proc.terminate()
    proc.wait()
    text = dump.read_text()
    names, polls, callee = {}, 0, None
    for line in text.splitlines():
        named = re.match(r"c?fn=\((\d+)\)(?: (.*))?", line)
        if named:
            if named.group(2):
                names[named.group(1)] = named.group(2)
            callee = names.get(named.group(1)) if line.startswith("cfn") else None
        elif line.startswith("calls=") and callee in ("poll", "__poll"):
            polls += int(line.split()[0][6:])
    total = int(re.search(r"^totals: (\d+)", text, re.M).group(1))
    return {"instructions": total, "polls": polls}


def tamblet_commands(tamblet, peers_dir):
    ping = [
        ("tamblet", [tamblet, "--ping"]),
        ("floor (C, sd-bus)", [peers_dir / "floor-ping"]),
        ("busctl call", ["busctl", "call", DAEMON, DAEMON_PATH, DAEMON_IFACE,
                         "Ping"]),
        ("dbus-send --print-reply",
         ["dbus-send", "--system", "--print-reply", f"--dest={DAEMON}",
          DAEMON_PATH, f"{DAEMON_IFACE}.Ping"]),
        ("gdbus call", ["gdbus", "call", "--system", "--dest", DAEMON,
                        "--object-path", DAEMON_PATH, "--method",
                        f"{DAEMON_IFACE}.Ping"]),
    ]
    state = [
        ("tamblet", [tamblet, "--daemon-state"]),
        ("floor (C, sd-bus)", [peers_dir / "floor-state"]),
        ("busctl get-property",
         ["busctl", "get-property", DAEMON, DAEMON_PATH, DAEMON_IFACE,
          "DaemonState"]),
        ("dbus-send --print-reply",
         ["dbus-send", "--system", "--print-reply", f"--dest={DAEMON}",
          DAEMON_PATH, f"{PROPS_IFACE}.Get", f"string:{DAEMON_IFACE}",
          "string:DaemonState"]),
        ("gdbus call", ["gdbus", "call", "--system", "--dest", DAEMON,
                        "--object-path", DAEMON_PATH, "--method",
                        f"{PROPS_IFACE}.Get", DAEMON_IFACE, "DaemonState"]),
    ]
    return {"ping": [(n, [str(a) for a in c]) for n, c in ping],
            "daemon-state": [(n, [str(a) for a in c]) for n, c in state]}


def measure_tamblet(bench, tamblet, peers_dir, runs, warmup, rounds):
    groups = tamblet_commands(tamblet, peers_dir)
    check_output_of(bench, groups["ping"][0][1], "Ping: Success\n")
    check_output_of(bench, groups["daemon-state"][0][1],
                    "Daemon State: Active\n")
    results = {}
    for group, commands in groups.items():
        for _, cmd in commands[1:]:
            check_output_of(bench, cmd)
        times = hyperfine(bench, group, commands, runs, warmup, rounds)
        rows = []
        for name, cmd in commands:
            rows.append({"tool": name, **times[name],
                         "instructions": callgrind(bench, cmd)})
        results[group] = rows
    return results


# --- corvane

def schedstat(pid):
    """(CPU nanoseconds, times scheduled in) of a process so far."""
    fields = Path(f"/proc/{pid}/schedstat").read_text().split()
    return int(fields[0]), int(fields[2])


def smaps_rollup(pid, program):
    """Rss, Pss and Private_Dirty in KiB, and Private_Dirty by owner."""
    text = Path(f"/proc/{pid}/smaps_rollup").read_text()
    values = dict(re.findall(r"^(\w+):\s+(\d+) kB", text, re.M))
    res = {k: int(values[k]) for k in ("Rss", "Pss", "Private_Dirty")}
    owners = {"program": 0, "libraries": 0, "heap": 0, "stack": 0,
              "other anonymous": 0}
    owner = None
    for line in Path(f"/proc/{pid}/smaps").read_text().splitlines():
        mapping = re.match(r"^[0-9a-f]+-[0-9a-f]+ \S+ \S+ \S+ \S+\s*(.*)$",
                           line)
        if mapping:
            name = mapping.group(1)
            owner = ("program" if name == str(Path(program).resolve())
                     else "libraries" if name.startswith("/")
                     else "heap" if name == "[heap]"
                     else "stack" if name == "[stack]"
                     else "other anonymous")
        elif line.startswith("Private_Dirty:"):
            owners[owner] += int(line.split()[1])
    res["by_owner"] = owners
    return res


def wait_until_settled(pid, quiet_s=0.5, limit_s=10):
    """Wait until the process has stopped running for quiet_s."""
    deadline = time.monotonic() + limit_s
    last = schedstat(pid)[1]
    quiet_since = time.monotonic()
    while time.monotonic() < deadline:
        time.sleep(0.05)
        now = schedstat(pid)[1]
        if now != last:
            last, quiet_since = now, time.monotonic()
        elif time.monotonic() - quiet_since >= quiet_s:
            return
    sys.exit(f"bench: process {pid} does not settle")


def wakeups_over(pid, seconds):
    cpu0, runs0 = schedstat(pid)
    t0 = time.monotonic()
    time.sleep(seconds)
    cpu1, runs1 = schedstat(pid)
    elapsed = time.monotonic() - t0
    return {"wakeups": runs1 - runs0, "seconds": elapsed,
            "per_second": (runs1 - runs0) / elapsed, "cpu_ns": cpu1 - cpu0}


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def measure_corvane(bench, corvane, peers_dir, cycles, window_s):
    peers = Peers(bench.start_peer(peers_dir / "host-systemd"))
    scratch = bench.workdir / "vga-scratch"
    mode = bench.workdir / "video-mode"
    scratch.write_text("0x00\n")
    mode.write_text("")
    log = open(bench.workdir / "corvane.log", "w", encoding="utf-8")
    proc = bench.start([corvane, scratch, mode, RENDERER_UNIT],
                       stdout=log, stderr=log)
    pid = proc.pid
    wait_until_settled(pid)
    if proc.poll() is not None:
        sys.exit(f"bench: corvane ended at start-up ({proc.returncode})")
    res = {"memory_start": smaps_rollup(pid, corvane)}

    res["host_off"] = wakeups_over(pid, window_s)
    peers.expect("on", "start")
    time.sleep(0.3)
    floor = bench.start([peers_dir / "floor-poll", scratch])
    time.sleep(0.2)
    floor_cpu0, floor_runs0 = schedstat(floor.pid)
    res["rendering"] = wakeups_over(pid, window_s * 2)
    floor_cpu1, floor_runs1 = schedstat(floor.pid)
    floor.terminate()
    res["floor_poll"] = {"wakeups": floor_runs1 - floor_runs0,
                         "cpu_ns": floor_cpu1 - floor_cpu0}
    scratch.write_text("0xa8\n")
    peers.expect("wait", "stop")
    wait_until_settled(pid)
    res["vga_active"] = wakeups_over(pid, window_s)
    scratch.write_text("0x00\n")
    peers.expect("off", "stop")
    wait_until_settled(pid)

    answer = peers.ask(f"cycles {cycles}")
    if answer[:1] != ["start"]:
        sys.exit(f"bench: host-state cycles failed: {answer!r}")
    start_ns = [int(v) for v in answer[1:]]
    stop_ns = [int(v) for v in peers.proc.stdout.readline().split()[1:]]
    res["start_latency_us"] = {
        "median": statistics.median(start_ns) / 1e3,
        "p99": percentile(start_ns, 0.99) / 1e3,
        "count": len(start_ns)}
    res["stop_latency_us"] = {
        "median": statistics.median(stop_ns) / 1e3,
        "p99": percentile(stop_ns, 0.99) / 1e3,
        "count": len(stop_ns)}
    wait_until_settled(pid)
    res["memory_after_cycles"] = smaps_rollup(pid, corvane)
    res["calls"] = peers.ask("calls")[1:]
    if proc.poll() is not None:
        sys.exit(f"bench: corvane ended during the run ({proc.returncode})")
    proc.terminate()
    proc.wait()

    # Instructions per wake-up while rendering, beside the floor's.
    res["callgrind_rendering"] = callgrind_interval(
        bench, [corvane, scratch, mode, RENDERER_UNIT],
        lambda: peers.expect("on", "start"), window_s)
    res["callgrind_floor_poll"] = callgrind_interval(
        bench, [peers_dir / "floor-poll", scratch], lambda: None, window_s,
        settles=False)
    peers.ask("quit")
    return res


# --- sizes

def stripped_size(path, strip="strip"):
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / Path(path).name
        subprocess.run([strip, "--strip-all", "-o", str(out), str(path)],
                       check=True)
        return out.stat().st_size


def text_size(path, size_tool="size"):
    """Bytes of machine code: what compiler options change below the page
    padding that dominates the file size of a program this small."""
    out = subprocess.run([size_tool, "-A", str(path)], capture_output=True,
                         text=True, check=True).stdout
    return int(re.search(r"^\.text\s+(\d+)", out, re.M).group(1))


def machine_description():
    cpu = "unknown"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break

    def first_line(argv):
        try:
            return subprocess.run(argv, capture_output=True, text=True,
                                  check=False).stdout.splitlines()[0]
        except (OSError, IndexError):
            return "?"
    debian = Path("/etc/debian_version")
    return {
        "cpu": f"{cpu}, {os.cpu_count()} cores",
        "kernel": platform.release(),
        "os": f"Debian {debian.read_text().strip()}" if debian.exists() else "?",
        "compiler": first_line(["c++", "--version"]),
        "libsystemd": first_line(["pkg-config", "--modversion", "libsystemd"]),
        "dbus-daemon": first_line(["dbus-daemon", "--version"]),
        "hyperfine": first_line(["hyperfine", "--version"]),
        "valgrind": first_line(["valgrind", "--version"]),
    }


# ------------------------------------------------------- build options

# Each step adds one thing to the step before it; the last rows take one
# thing back out of the full set, to show what it alone is worth there.
SECTIONS = ["-Dcpp_args=-ffunction-sections -fdata-sections"]
GC = "-Wl,--gc-sections"
NO_UNWIND = "-fno-asynchronous-unwind-tables -fno-unwind-tables"
OPTION_STEPS = [
    ("debugoptimized (-O2 -g), the default", ["--buildtype=debugoptimized"]),
    ("release (-O3)", ["--buildtype=release"]),
    ("-O2", ["--buildtype=release", "-Doptimization=2"]),
    ("-Os", ["--buildtype=release", "-Doptimization=s"]),
    ("-Os, LTO", ["--buildtype=release", "-Doptimization=s", "-Db_lto=true"]),
]


def option_variants():
    base = ["--buildtype=release", "-Doptimization=s", "-Db_lto=true"]
    steps = [("+ -ffunction-sections -fdata-sections --gc-sections",
              [], "-ffunction-sections -fdata-sections", GC),
             ("+ no unwind tables", [], NO_UNWIND, ""),
             ("+ -fno-plt", [], "-fno-plt", ""),
             ("+ -Wl,-O1 --hash-style=gnu", [], "", "-Wl,-O1 -Wl,--hash-style=gnu"),
             ("+ -z noseparate-code", [], "", "-Wl,-z,noseparate-code"),
             ("+ -z norelro", [], "", "-Wl,-z,norelro"),
             ("+ -no-pie", [], "-fno-pie", "-no-pie")]
    variants = [(name, args) for name, args in OPTION_STEPS]
    cflags, lflags = "", ""
    for name, extra, cpp, link in steps:
        cflags = f"{cflags} {cpp}".strip()
        lflags = f"{lflags} {link}".strip()
        variants.append((name, base + extra + [f"-Dcpp_args={cflags}",
                                               f"-Dcpp_link_args={lflags}"]))
    full_c, full_l = cflags, lflags
    variants += [
        ("all, but -O2", ["--buildtype=release", "-Doptimization=2",
                          "-Db_lto=true", f"-Dcpp_args={full_c}",
                          f"-Dcpp_link_args={full_l}"]),
        ("all, but no LTO", ["--buildtype=release", "-Doptimization=s",
                             f"-Dcpp_args={full_c}",
                             f"-Dcpp_link_args={full_l}"]),
        ("all, without --as-needed", base + ["-Db_asneeded=false",
                                             f"-Dcpp_args={full_c}",
                                             f"-Dcpp_link_args={full_l}"]),
        ("all, with exceptions and RTTI", base + [
            f"-Dcpp_args={full_c} -fexceptions -frtti",
            f"-Dcpp_link_args={full_l}"]),
    ]
    return variants


def build_variant(directory, args, cross=()):
    extra = [option for file in cross for option in ("--cross-file", str(file))]
    if directory.exists():
        extra.append("--wipe")
    subprocess.run(["meson", "setup", str(directory), str(TOP),
                    "-Dtests=false", *extra, *args],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["meson", "compile", "-C", str(directory)], check=True,
                   stdout=subprocess.DEVNULL)


def corvane_startup_instructions(bench, corvane):
    """Instructions from exec to waiting idle with the host off."""
    scratch = bench.workdir / "vga-scratch"
    mode = bench.workdir / "video-mode"
    log = bench.workdir / "valgrind.log"
    proc = bench.start(["valgrind", "--tool=callgrind",
                        f"--callgrind-out-file={bench.workdir}/cg-start.out",
                        f"--log-file={log}", corvane, scratch, mode,
                        RENDERER_UNIT])
    wait_until_settled(proc.pid, quiet_s=1.0, limit_s=30)
    proc.terminate()
    proc.wait()
    return int(re.search(r"Collected : (\d+)", log.read_text()).group(1))


def measure_options(bench, prefix, peers_dir, armhf_cross):
    peers = Peers(bench.start_peer(peers_dir / "host-systemd"))
    (bench.workdir / "vga-scratch").write_text("0x00\n")
    (bench.workdir / "video-mode").write_text("")
    rows = []
    for number, (name, args) in enumerate(option_variants()):
        directory = Path(f"{prefix}-opt{number}")
        build_variant(directory, args)
        tamblet = directory / "control" / "tamblet"
        corvane = directory / "render" / "corvane"
        row = {"variant": name, "args": args,
               "tamblet_size": stripped_size(tamblet),
               "corvane_size": stripped_size(corvane),
               "tamblet_text": text_size(tamblet),
               "corvane_text": text_size(corvane),
               "ping_instructions": callgrind(bench, [str(tamblet), "--ping"]),
               "corvane_start_instructions":
                   corvane_startup_instructions(bench, corvane)}
        if armhf_cross:
            cross_dir = Path(f"{prefix}-opt{number}-armhf")
            build_variant(cross_dir, args, armhf_cross)
            strip = shutil.which("arm-linux-gnueabihf-strip")
            row["tamblet_armhf"] = stripped_size(
                cross_dir / "control" / "tamblet", strip)
            row["corvane_armhf"] = stripped_size(
                cross_dir / "render" / "corvane", strip)
            row["tamblet_armhf_text"] = text_size(
                cross_dir / "control" / "tamblet", "arm-linux-gnueabihf-size")
            row["corvane_armhf_text"] = text_size(
                cross_dir / "render" / "corvane", "arm-linux-gnueabihf-size")
        rows.append(row)
        print(f"bench: built and measured {name}", file=sys.stderr)
    peers.ask("quit")
    return rows


def report_options(rows):
    lines = ["", "## Build options", "",
             "Stripped file size / machine code (.text) in bytes, x86-64 and "
             "armhf; instructions of one `tamblet --ping` and of corvane's "
             "start-up to idle (x86-64, whole process).", "",
             "| build | tamblet x86-64 | corvane x86-64 | tamblet armhf "
             "| corvane armhf | ping instructions "
             "| corvane start-up instructions |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        lines.append(
            f"| {r['variant']} "
            f"| {r['tamblet_size']:,} / {r['tamblet_text']:,} "
            f"| {r['corvane_size']:,} / {r['corvane_text']:,} "
            f"| {r.get('tamblet_armhf', 0):,} / {r.get('tamblet_armhf_text', 0):,} "
            f"| {r.get('corvane_armhf', 0):,} / {r.get('corvane_armhf_text', 0):,} "
            f"| {r['ping_instructions']:,} "
            f"| {r['corvane_start_instructions']:,} |")
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------- report

def report(results):
    lines = ["## Machine", ""]
    for key, value in results["machine"].items():
        lines.append(f"- {key}: {value}")
    for group, rows in results["tamblet"].items():
        floor = next(r for r in rows if r["tool"].startswith("floor"))
        lines += ["", f"## tamblet --{group} and its peers", "",
                  "| tool | median wall time | vs floor | instructions "
                  "| vs floor |",
                  "|---|---:|---:|---:|---:|"]
        for r in rows:
            lines.append(
                f"| {r['tool']} | {r['median_us']:.0f} µs "
                f"| {100 * (r['median_us'] / floor['median_us'] - 1):+.1f}% "
                f"| {r['instructions']:,} "
                f"| {100 * (r['instructions'] / floor['instructions'] - 1):+.2f}% |")
    c = results["corvane"]
    per_poll_ns = c["rendering"]["cpu_ns"] / max(1, c["rendering"]["wakeups"])
    lines += ["", "## corvane", "",
              "| measure | value |", "|---|---:|",
              f"| host change to StartUnit, median "
              f"| {c['start_latency_us']['median']:.0f} µs |",
              f"| host change to StartUnit, 99th percentile "
              f"| {c['start_latency_us']['p99']:.0f} µs |",
              f"| host change to StopUnit, median "
              f"| {c['stop_latency_us']['median']:.0f} µs |",
              f"| host change to StopUnit, 99th percentile "
              f"| {c['stop_latency_us']['p99']:.0f} µs |",
              f"| changes measured | {c['start_latency_us']['count']} on, "
              f"{c['stop_latency_us']['count']} off |"]
    for key, label in (("host_off", "HOST_OFF"), ("rendering", "RENDERING"),
                       ("vga_active", "HOST_VGA_ACTIVE")):
        w = c[key]
        lines.append(f"| wake-ups per second, {label} | {w['per_second']:.2f} "
                     f"({w['wakeups']} in {w['seconds']:.1f} s) |")
    floor_ns = c["floor_poll"]["cpu_ns"] / max(1, c["floor_poll"]["wakeups"])
    cg, cgf = c["callgrind_rendering"], c["callgrind_floor_poll"]
    lines += [f"| CPU time of 10,000 scratch polls (per wake-up x 10,000) "
              f"| {per_poll_ns * 1e4 / 1e6:.0f} ms |",
              f"| the same for the floor loop (poll, lseek, read, strtoul) "
              f"| {floor_ns * 1e4 / 1e6:.0f} ms |",
              f"| instructions per wake-up while rendering "
              f"| {cg['instructions'] / max(1, cg['polls']):.0f} "
              f"({cg['polls']} wake-ups) |",
              f"| the same for the floor loop "
              f"| {cgf['instructions'] / max(1, cgf['polls']):.0f} "
              f"({cgf['polls']} wake-ups) |"]
    for key, label in (("memory_start", "idle after start-up"),
                       ("memory_after_cycles", "idle after the changes")):
        m = c[key]
        owners = ", ".join(f"{k} {v}" for k, v in m["by_owner"].items())
        lines.append(f"| memory {label}: Rss / Pss / Private_Dirty "
                     f"| {m['Rss']} / {m['Pss']} / {m['Private_Dirty']} KiB |")
        lines.append(f"| Private_Dirty {label}, by owner (KiB) | {owners} |")
    lines += ["", "## Stripped sizes", "", "| binary | size |", "|---|---:|"]
    for name, size in results["sizes"].items():
        lines.append(f"| {name} | {size:,} bytes ({size / 1024:.1f} KiB) |")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, required=True,
                        help="meson build directory of the programs")
    parser.add_argument("--peers", type=Path, required=True,
                        help="build directory of bench/")
    parser.add_argument("--armhf", type=Path,
                        help="cross build directory of the programs (armhf)")
    parser.add_argument("--armhf-root", type=Path,
                        help="directory of the armhf root that the cross "
                        "build is built against (its root.ini)")
    parser.add_argument("--options", action="store_true",
                        help="also build and measure the release options "
                        "one by one (in BUILD-optN directories)")
    parser.add_argument("--runs", type=int, default=300)
    parser.add_argument("--warmup", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--cycles", type=int, default=1000)
    parser.add_argument("--window", type=float, default=5.0,
                        help="seconds to count wake-ups in each state")
    args = parser.parse_args()

    tamblet = args.build / "control" / "tamblet"
    corvane = args.build / "render" / "corvane"
    results = {"machine": machine_description()}
    with tempfile.TemporaryDirectory(prefix="bench-") as workdir:
        bench = Bench(workdir)
        try:
            bench.start_peer(args.peers / "flash-daemon")
            results["tamblet"] = measure_tamblet(bench, tamblet, args.peers,
                                                 args.runs, args.warmup,
                                                 args.rounds)
            results["corvane"] = measure_corvane(bench, corvane, args.peers,
                                                 args.cycles, args.window)
            if args.options:
                cross = ([args.armhf_root / "root.ini", TOP / "cross" / "armhf.ini"]
                         if args.armhf else ())
                results["options"] = measure_options(bench, args.build,
                                                     args.peers, cross)
        finally:
            bench.close()
    results["sizes"] = {
        "tamblet (x86-64)": stripped_size(tamblet),
        "corvane (x86-64)": stripped_size(corvane),
        "floor-ping (x86-64)": stripped_size(args.peers / "floor-ping"),
    }
    if args.armhf:
        strip = shutil.which("arm-linux-gnueabihf-strip") or "strip"
        for prog in ("control/tamblet", "render/corvane"):
            results["sizes"][f"{Path(prog).name} (armhf)"] = stripped_size(
                args.armhf / prog, strip)

    text = report(results)
    if args.options:
        text += report_options(results["options"])
    (args.build / "bench-results.json").write_text(json.dumps(results, indent=1))
    (args.build / "bench-results.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
