"""What a firmware build gets from `meson install`, and whether the docs agree.

Installs the build tree into a temporary DESTDIR, as an image build does, and
checks the result: every file in its place and nothing else, binaries that
need no C++ runtime library, a unit that systemd accepts, manual pages that
render without warnings and hold every line and status of the README's
tables, and a completion that offers every option. Also checks that the
README's excerpt of the demonstration is what the demonstration prints.
"""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

BUILD_ROOT = os.environ.get("MESON_BUILD_ROOT")
if not BUILD_ROOT:
    pytest.skip("MESON_BUILD_ROOT is not set; run the tests through meson test",
                allow_module_level=True)

TOP = Path(__file__).resolve().parents[2]

# tamblet's command-line interface as scripts and operators know it.
TAMBLET_LONG_OPTIONS = [
    "--silent", "--ping", "--daemon-state", "--lpc-state", "--kill", "--reset",
    "--point-to-flash", "--suspend", "--resume", "--clear-cache", "--backend",
    "--version", "--help",
]


def under(destdir, path):
    return destdir / Path(path).relative_to("/")


@pytest.fixture(scope="module")
def destdir(tmp_path_factory):
    root = tmp_path_factory.mktemp("destdir")
    subprocess.run(
        [os.environ["MESON"], "install", "-C", BUILD_ROOT, "--no-rebuild",
         "--quiet", "--destdir", str(root)],
        check=True, stdout=subprocess.DEVNULL)
    return root


@pytest.fixture(scope="module")
def places(destdir):
    env = os.environ
    return {
        "tamblet": under(destdir, f"{env['BINDIR']}/tamblet"),
        "corvane": under(destdir, f"{env['SBINDIR']}/corvane"),
        "tamblet.1": under(destdir, f"{env['MANDIR']}/man1/tamblet.1"),
        "corvane.8": under(destdir, f"{env['MANDIR']}/man8/corvane.8"),
        "completion": under(destdir, f"{env['COMPLETIONSDIR']}/tamblet"),
        "unit": under(destdir, f"{env['UNITDIR']}/corvane.service"),
    }


def test_every_file_in_place_and_nothing_else(destdir, places):
    installed = {p for p in destdir.rglob("*") if not p.is_dir()}
    assert installed == set(places.values())
    for program in ("tamblet", "corvane"):
        assert os.access(places[program], os.X_OK), program
    for data in ("tamblet.1", "corvane.8", "completion", "unit"):
        assert places[data].stat().st_mode & 0o111 == 0, data


@pytest.mark.parametrize("program", ["tamblet", "corvane"])
def test_binary_needs_libsystemd_but_no_cxx_runtime(places, program):
    dynamic = subprocess.run(["readelf", "-d", str(places[program])],
                             check=True, capture_output=True, text=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)
    assert "libsystemd.so.0" in needed
    assert not [lib for lib in needed if lib.startswith(("libstdc++", "libgcc_s"))]


def unit_settings(path):
    settings = {}
    for line in path.read_text().splitlines():
        if "=" in line and not line.startswith("#"):
            key, _, value = line.partition("=")
            settings.setdefault(key, []).append(value)
    return settings


def test_unit_runs_the_installed_binary_with_the_configured_registers(places):
    env = os.environ
    settings = unit_settings(places["unit"])
    assert settings["ExecStart"] == [
        f"{env['SBINDIR']}/corvane {env['VGA_SCRATCH_REG']} "
        f"{env['VIDEO_MODE_REG']} {env['RENDERER_UNIT']}"]
    assert settings["Restart"] == ["always"]
    assert settings["ReadWritePaths"] == [f"-{env['VIDEO_MODE_REG']}"]
    after = settings["After"][0].split()
    assert "dbus.service" in after and env["HOST_STATE_UNIT"] in after


def test_systemd_accepts_the_unit(destdir, places):
    if not shutil.which("systemd-analyze"):
        pytest.skip("systemd-analyze is not installed")
    command = ["systemd-analyze", "verify", "--recursive-errors=no",
               f"--root={destdir}", str(places["unit"])]
    if os.geteuid() == 0 and shutil.which("unshare"):
        # Run as root, the verifier stamps /run/systemd; keep that private.
        command = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                   'mount -t tmpfs none /run/systemd 2>/dev/null || true; exec "$@"',
                   "verify"] + command
    env = dict(os.environ, MANPATH=str(under(destdir, os.environ["MANDIR"])))
    result = subprocess.run(command, env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""


def render(page):
    env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8", MANROFFSEQ="")
    return subprocess.run(["man", "--warnings", "-l", str(page)],
                          env=env, capture_output=True, text=True)


@pytest.mark.parametrize("page", ["tamblet.1", "corvane.8"])
def test_man_page_renders_without_warnings(places, page):
    if not shutil.which("man"):
        pytest.skip("man is not installed")
    result = render(places[page])
    assert result.returncode == 0
    assert result.stderr == ""
    assert "@" not in result.stdout  # every build value was filled in
    assert re.search(r"^NAME\n\s+" + page.split(".")[0] + " - ", result.stdout,
                     re.MULTILINE)


def readme_table(first_heading):
    """The rows (lists of cells) of the README table whose first column
    heading is `first_heading`."""
    lines = (TOP / "README.md").read_text().splitlines()
    start = lines.index(next(line for line in lines
                             if line.startswith(f"| {first_heading} |")))
    rows = []
    for line in lines[start + 2:]:
        if not line.startswith("|"):
            break
        cells = re.split(r"(?<!\\)\|", line)[1:-1]
        rows.append([cell.strip().replace("\\|", "|") for cell in cells])
    assert rows, first_heading
    return rows


def quoted(cell):
    """The backquoted texts of a README cell, with its placeholders spelled
    as the pages spell them."""
    return [re.sub(r"\b(ERROR-TEXT|PROGRAM)\b", lambda m: m[1].lower(), text)
            for text in re.findall(r"`([^`]+)`", cell)]


def tamblet_documented():
    """What the README says of tamblet: its options, every line in its
    tables, every exit status with its errno name and text, and the error
    names behind them."""
    texts = list(TAMBLET_LONG_OPTIONS)
    # The output column's remarks in parentheses are not output.
    texts += [t for row in readme_table("Option")
              for t in quoted(re.sub(r"\([^)]*\)", "", row[3]))]
    texts += [t for row in readme_table("Line") for t in quoted(row[0])]
    for status, error_text, causes in readme_table("Status"):
        texts += [status, *quoted(error_text), *quoted(causes)]
    return texts


def corvane_documented():
    """corvane's status texts as the README's table gives them."""
    return [text.removeprefix("...") for row in readme_table("Status text")
            for text in quoted(row[0])]


@pytest.mark.parametrize("page, documented", [
    ("tamblet.1", tamblet_documented),
    ("corvane.8", corvane_documented),
])
def test_man_page_holds_what_the_readme_says(places, page, documented):
    if not shutil.which("man"):
        pytest.skip("man is not installed")
    # Each whole on one rendered line, so that none is hyphenated or broken
    # at 80 columns; spaces are compared one for many.
    lines = [" ".join(line.split()) for line in
             render(places[page]).stdout.replace("\u2010", "-").splitlines()]
    missing = [t for t in documented()
               if not any(" ".join(t.split()) in line for line in lines)]
    assert missing == []


def complete(places, *words):
    """The completion's candidates for the last word of `tamblet WORDS`."""
    words = ["tamblet", *words]
    script = ('source "$1"; shift; COMP_WORDS=("$@"); '
              'COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _tamblet; '
              'printf "%s\\n" "${COMPREPLY[@]}"')
    result = subprocess.run(
        ["bash", "--norc", "--noprofile", "-c", script, "complete",
         str(places["completion"]), *words],
        check=True, capture_output=True, text=True)
    return [line for line in result.stdout.splitlines() if line]


@pytest.mark.parametrize("words, expected", [
    (["--"], TAMBLET_LONG_OPTIONS),
    ([""], TAMBLET_LONG_OPTIONS),
    (["--ping", "--re"], ["--reset", "--resume"]),
    (["--resume", ""], ["clean", "modified"]),
    (["-e", "m"], ["modified"]),
    (["--backend", ""], ["vpnor", "mtd", "mtd:", "file:"]),
])
def test_completion_offers(places, words, expected):
    assert sorted(complete(places, *words)) == sorted(expected)


def test_completion_offers_paths_after_a_backend_colon(places, tmp_path):
    (tmp_path / "flash.img").touch()
    prefix = str(tmp_path / "fla")
    # Readline splits "file:/path" at the colon into three words.
    assert complete(places, "--backend", "file", ":", prefix) == \
        [str(tmp_path / "flash.img")]


def test_readme_excerpt_is_what_the_demonstration_prints():
    if os.environ.get("TEST_EXE_WRAPPER"):
        pytest.skip("the demonstration runs the programs directly, without "
                    "TEST_EXE_WRAPPER")
    readme = (TOP / "README.md").read_text()
    quick_start = readme.split("\n## Quick start\n")[1].split("\n## ")[0]
    excerpt = re.search(r"^```text\n(.*?)^```$", quick_start, re.MULTILINE | re.DOTALL)
    assert excerpt, "no ```text block in the README's Quick start"
    # Runs of lines as printed, "..." standing for the lines left out.
    runs = [run.strip("\n").splitlines() for run in excerpt[1].split("...\n")]
    printed = []
    for script in ("demo-tamblet.sh", "demo-corvane.sh"):
        result = subprocess.run([str(TOP / "scripts" / script)],
                                env=dict(os.environ, BUILD_DIR=BUILD_ROOT),
                                capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        printed += result.stdout.splitlines()
    # Each run whole, in the excerpt's order.
    start = 0
    for run in runs:
        found = [i for i in range(start, len(printed) - len(run) + 1)
                 if printed[i:i + len(run)] == run]
        assert found, "not printed:\n" + "\n".join(run)
        start = found[0] + len(run)
