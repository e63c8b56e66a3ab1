#!/bin/sh
# Checks the OpenEmbedded recipe (dist/openembedded/) without bitbake, against
# OpenEmbedded-Core 6.0 "wrynose" as of yocto-6.0.2:
#   - its license checksum, its version against meson.build's, and that every
#     -D option it passes is one of the project's (meson_options.txt);
#   - that it passes the four unit settings only when a platform sets them,
#     enables corvane's unit only once both registers are set, and skips
#     itself without SRC_URI;
#   - a build of both programs for 32-bit ARM as meson.bbclass runs it (its
#     meson setup options and cross file), with the recipe's EXTRA_OEMESON
#     and OE's flags for armv7 hard-float, against a Debian armhf root as the
#     sysroot: warnings, the buildtype, nothing stripped, no build path in an
#     installed file, where the unit and its man page point;
#   - that every installed file lands in a package, as oe-core's packaging
#     splits them, and each program's files in that program's package.
# The facts taken from oe-core are in OE_CONF below, in bitbake's syntax,
# with the file each comes from.
# Usage: scripts/oe-recipe-check.sh [ARMHF-ROOT [WORK-DIR]]
#   ARMHF-ROOT: a root bootstrapped by scripts/debian-root.sh (default
#     $ARMHF_ROOT, else build-armhf-root); WORK-DIR (default build-armhf-oe)
#     holds, as a recipe's WORKDIR does, the cross and native files, build/,
#     image/ (the installed tree) and temp/ (the logs); it is rebuilt from
#     scratch on every run.
# Prints one line per check and a verdict; exits 1 when a check fails.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-deps.sh g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf file

armroot=${1:-${ARMHF_ROOT:-build-armhf-root}}
work=${2:-build-armhf-oe}
if [ ! -f "$armroot/root.ini" ] || [ ! -d "$armroot/root/usr/lib/arm-linux-gnueabihf" ]; then
    echo "oe-recipe-check: no armhf root in $armroot (scripts/debian-root.sh armhf $armroot)" >&2
    exit 1
fi
if [ -e "$work" ] && [ -n "$(ls -A "$work")" ] && [ ! -f "$work/.oe-recipe-check" ]; then
    echo "oe-recipe-check: $work is not a directory of this check; give another one" >&2
    exit 1
fi
mkdir -p "$work"
: >"$work/.oe-recipe-check"
armroot=$(cd "$armroot/root" && pwd)
work=$(cd "$work" && pwd)

exec /usr/bin/python3 - "$top" "$armroot" "$work" <<'PY'
import glob, hashlib, json, os, re, shlex, shutil, subprocess, sys, textwrap

top, sysroot, workdir = sys.argv[1:4]

# OpenEmbedded-Core, yocto-6.0.2, for a target recipe on armv7 hard-float in a
# systemd distribution. Where oe-core computes a value in Python, the value
# it comes to is written, with where it comes from.
OE_CONF = r'''
# meta/conf/bitbake.conf. root_prefix is exec_prefix with usrmerge, which
# conf/distro/include/init-manager-systemd.inc adds and the systemd recipe
# requires.
base_prefix = ""
prefix = "/usr"
exec_prefix = "${prefix}"
root_prefix = "${exec_prefix}"
baselib = "lib"
base_bindir = "${root_prefix}/bin"
base_sbindir = "${root_prefix}/sbin"
base_libdir = "${root_prefix}/${baselib}"
nonarch_base_libdir = "${root_prefix}/lib"
sysconfdir = "${base_prefix}/etc"
sharedstatedir = "${base_prefix}/com"
localstatedir = "${base_prefix}/var"
datadir = "${prefix}/share"
infodir = "${datadir}/info"
mandir = "${datadir}/man"
docdir = "${datadir}/doc"
systemd_unitdir = "${nonarch_base_libdir}/systemd"
systemd_system_unitdir = "${nonarch_base_libdir}/systemd/system"
nonarch_libdir = "${exec_prefix}/lib"
systemd_user_unitdir = "${nonarch_libdir}/systemd/user"
bindir = "${exec_prefix}/bin"
sbindir = "${exec_prefix}/sbin"
libdir = "${exec_prefix}/${baselib}"
libexecdir = "${exec_prefix}/libexec"
includedir = "${exec_prefix}/include"
BPN = "${PN}"
BP = "${BPN}-${PV}"
UNPACKDIR ??= "${WORKDIR}/sources"
S = "${UNPACKDIR}/${BP}"
SRC_URI = ""
SOLIBS = ".so.*"
SOLIBSDEV = ".so"
PACKAGE_BEFORE_PN ?= ""
PACKAGES = "${PN}-src ${PN}-dbg ${PN}-staticdev ${PN}-dev ${PN}-doc ${PN}-locale ${PACKAGE_BEFORE_PN} ${PN}"
FILES:${PN} = "${bindir}/* ${sbindir}/* ${libexecdir}/* ${libdir}/lib*${SOLIBS} \
            ${sysconfdir} ${sharedstatedir} ${localstatedir} \
            ${base_bindir}/* ${base_sbindir}/* \
            ${base_libdir}/*${SOLIBS} \
            ${base_prefix}/lib/udev ${prefix}/lib/udev \
            ${base_libdir}/udev ${libdir}/udev \
            ${datadir}/${BPN} ${libdir}/${BPN}/* \
            ${datadir}/pixmaps ${datadir}/applications \
            ${datadir}/idl ${datadir}/omf ${datadir}/sounds \
            ${libdir}/bonobo/servers"
FILES:${PN}-doc = "${docdir} ${mandir} ${infodir} ${datadir}/gtk-doc \
            ${datadir}/gnome/help"
FILES_SOLIBSDEV ?= "${base_libdir}/lib*${SOLIBSDEV} ${libdir}/lib*${SOLIBSDEV}"
FILES:${PN}-dev = "${includedir} ${FILES_SOLIBSDEV} ${libdir}/*.la \
                ${libdir}/*.o ${libdir}/pkgconfig ${datadir}/pkgconfig \
                ${datadir}/aclocal ${base_libdir}/*.o \
                ${libdir}/${BPN}/*.la ${base_libdir}/*.la \
                ${libdir}/cmake ${datadir}/cmake"
FILES:${PN}-staticdev = "${libdir}/*.a ${base_libdir}/*.a ${libdir}/${BPN}/*.a"
FILES:${PN}-dbg = "/usr/lib/debug /usr/lib/debug-static /usr/src/debug"
# (meta/lib/oe/package.py, populate_packages, for debug-with-srcpkg)
FILES:${PN}-src = "/usr/src/debug"
FILES:${PN}-locale = "${datadir}/locale"

TARGET_CPPFLAGS = ""
TARGET_CFLAGS = "${TARGET_CPPFLAGS} ${SELECTED_OPTIMIZATION} ${DEBUG_PREFIX_MAP} -pipe"
TARGET_CXXFLAGS = "${TARGET_CFLAGS}"
CFLAGS = "${TARGET_CFLAGS}"
CXXFLAGS = "${TARGET_CXXFLAGS}"
TARGET_LINK_HASH_STYLE ?= "-Wl,--hash-style=gnu"
ASNEEDED ?= "-Wl,--as-needed"
TARGET_LDFLAGS = "-Wl,-O1 ${TARGET_LINK_HASH_STYLE} ${ASNEEDED}"
LDFLAGS = "${TARGET_LDFLAGS}"
TARGET_DBGSRC_DIR ?= "/usr/src/debug/${PN}/${PV}"
DEBUG_PREFIX_MAP_EXTRA ??= ""
# Without -ffile-prefix-map=${STAGING_DIR_NATIVE}=: the native tools here
# are the build machine's own.
DEBUG_PREFIX_MAP ?= "${DEBUG_PREFIX_MAP_EXTRA} \
 -ffile-prefix-map=${S}=${TARGET_DBGSRC_DIR} \
 -ffile-prefix-map=${B}=${TARGET_DBGSRC_DIR} \
 -ffile-prefix-map=${STAGING_DIR_HOST}= \
"
DEBUG_LEVELFLAG ?= "-g"
FULL_OPTIMIZATION = "-O2 ${DEBUG_LEVELFLAG}"
# DEBUG_BUILD is not set.
SELECTED_OPTIMIZATION = "${FULL_OPTIMIZATION}"
BUILD_OPTIMIZATION = "-O2"
# Without -isystem and -L/-rpath of the native sysroot, as above.
BUILD_CFLAGS = "${BUILD_OPTIMIZATION} -pipe"
BUILD_CXXFLAGS = "${BUILD_CFLAGS}"
BUILD_LDFLAGS = "-Wl,-O1"
HOST_CC_ARCH = "${TARGET_CC_ARCH}"
TARGET_CC_ARCH = "${TUNE_CCARGS}"
TOOLCHAIN_OPTIONS = " --sysroot=${STAGING_DIR_TARGET}"

# meta/conf/machine/include/arm/arch-armv7a.inc: DEFAULTTUNE armv7athf,
# TUNE_FEATURES "arm armv7a vfp thumb callconvention-hard"; arch-arm.inc
# (-march), feature-arm-thumb.inc (ARM_INSTRUCTION_SET thumb) and
# feature-arm-vfp.inc (-mfpu, -mfloat-abi) add, in this order:
TUNE_CCARGS = " -march=armv7-a -mthumb -mfpu=vfp -mfloat-abi=hard"

# meta/conf/distro/include/time64.inc (TARGET_CC_ARCH:append:arm), included
# by defaultsetup.conf before security_flags.inc.
GLIBC_64BIT_TIME_FLAGS = " -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64"
TARGET_CC_ARCH:append = "${GLIBC_64BIT_TIME_FLAGS}"

# meta/conf/distro/include/security_flags.inc (the :class-target appends).
# SECURITY_PIE_CFLAGS is empty as GCCPIE is set (gcc built to default to PIE,
# as Debian's is); lcl_maybe_fortify is OPTLEVEL, -O2 here, and the define.
SECURITY_STRINGFORMAT ?= "-Wformat -Wformat-security -Werror=format-security"
SECURITY_PIE_CFLAGS ?= ""
SECURITY_STACK_PROTECTOR ?= "-fstack-protector-strong"
lcl_maybe_fortify ?= "-O2 -D_FORTIFY_SOURCE=2"
SECURITY_CFLAGS ?= "${SECURITY_STACK_PROTECTOR} ${SECURITY_PIE_CFLAGS} ${lcl_maybe_fortify} ${SECURITY_STRINGFORMAT}"
SECURITY_LDFLAGS ?= "-Wl,-z,relro,-z,now"
TARGET_CC_ARCH:append = " ${SECURITY_CFLAGS}"
TARGET_LDFLAGS:append = " ${SECURITY_LDFLAGS}"

# meta/classes/toolchain/gcc.bbclass and gcc-native.bbclass, with Debian's
# cross compiler for HOST_PREFIX (OE's is ${TARGET_SYS}-,
# arm-oe-linux-gnueabi-). -fcanon-prefix-map needs GCC 13: it is dropped
# below when the compiler lacks it.
HOST_PREFIX = "arm-linux-gnueabihf-"
CC = "${HOST_PREFIX}gcc ${HOST_CC_ARCH}${TOOLCHAIN_OPTIONS}"
CXX = "${HOST_PREFIX}g++ ${HOST_CC_ARCH}${TOOLCHAIN_OPTIONS}"
LD = "${HOST_PREFIX}ld${TOOLCHAIN_OPTIONS}"
AR = "${HOST_PREFIX}gcc-ar"
NM = "${HOST_PREFIX}gcc-nm"
STRIP = "${HOST_PREFIX}strip"
OBJCOPY = "${HOST_PREFIX}objcopy"
READELF = "${HOST_PREFIX}readelf"
DEBUG_PREFIX_MAP_EXTRA = "-fcanon-prefix-map"
BUILD_CC = "gcc"
BUILD_CXX = "g++"
BUILD_LD = "ld"
BUILD_AR = "ar"
BUILD_NM = "nm"
BUILD_STRIP = "strip"
BUILD_READELF = "readelf"
BUILD_OBJCOPY = "objcopy"

# meta/classes-recipe/meson.bbclass
B = "${WORKDIR}/build"
MESON_BUILDTYPE ?= "plain"
MESONOPTS = " --buildtype ${MESON_BUILDTYPE} \
              --prefix ${prefix} \
              --bindir ${bindir} \
              --datadir ${datadir} \
              --includedir ${includedir} \
              --infodir ${infodir} \
              --libdir ${libdir} \
              --libexecdir ${libexecdir} \
              --localstatedir ${localstatedir} \
              --mandir ${mandir} \
              --sbindir ${sbindir} \
              --sharedstatedir ${sharedstatedir} \
              --sysconfdir ${sysconfdir} \
              --wrap-mode nodownload \
              --native-file ${WORKDIR}/meson.native"
PACKAGECONFIG_CONFARGS ?= ""
EXTRA_OEMESON:append = " ${PACKAGECONFIG_CONFARGS}"
MESON_CROSS_FILE = "--cross-file ${WORKDIR}/meson.cross"

# meta/classes-recipe/systemd.bbclass
SYSTEMD_PACKAGES ?= "${PN}"
SYSTEMD_AUTO_ENABLE ??= "enable"
'''

# What a platform's .bbappend sets, each value distinct, to follow each one
# into the unit.
PLATFORM = {
    "SRC_URI": "git://git.example.invalid/bmc/tamblet-corvane.git;protocol=https;branch=main",
    "SRCREV": "0123456789abcdef0123456789abcdef01234567",
    "CORVANE_VGA_SCRATCH_REG": "/sys/devices/platform/ahb/check-scu/vga_scratch",
    "CORVANE_VIDEO_MODE_REG": "/sys/devices/platform/ahb/check-scu/video_mode",
    "CORVANE_RENDERER_UNIT": "check-renderer.service",
    "CORVANE_HOST_STATE_UNIT": "check-host-state.service",
}
UNIT_OPTIONS = {
    "CORVANE_VGA_SCRATCH_REG": "vga_scratch_reg",
    "CORVANE_VIDEO_MODE_REG": "video_mode_reg",
    "CORVANE_RENDERER_UNIT": "renderer_unit",
    "CORVANE_HOST_STATE_UNIT": "host_state_unit",
}


class SkipRecipe(Exception):
    pass


class BB:  # the part of bitbake's module that recipes' Python may use here
    class parse:
        SkipRecipe = SkipRecipe


class Data:
    """A datastore for bitbake's simple assignments: =, ?=, ??=, :=, +=, =+,
    .=, =., :append, :prepend and :remove, ${VAR} and ${@python}."""

    var_expr = re.compile(r"\$\{[a-zA-Z0-9\-_+./~:]+?\}")
    python_expr = re.compile(r"\$\{@(?:\{.*?\}|.)+?\}")

    def __init__(self):
        self.values, self.weak, self.changes = {}, {}, {}
        self.namespace = {"bb": BB, "os": os}
        self.anonymous, self.inherits = [], []

    def getVar(self, name, expand=True):
        value = self.values.get(name, self.weak.get(name))
        removes = []
        for op, text in self.changes.get(name, []):
            if op == "remove":
                removes.append(text)
            elif op == "append":
                value = (value or "") + text
            else:
                value = text + (value or "")
        if value is None or not expand:
            return value
        value = self.expand(value)
        if removes:
            gone = set(self.expand(" ".join(removes)).split())
            value = " ".join(w for w in value.split() if w not in gone)
        return value

    def setVar(self, name, value):
        self.values[name] = value

    def expand(self, text):
        def var(m):
            value = self.getVar(m.group(0)[2:-1])
            return m.group(0) if value is None else value

        def python(m):
            return str(eval(m.group(0)[3:-1], self.namespace, {"d": self}))

        while True:
            new = self.python_expr.sub(python, self.var_expr.sub(var, text))
            if new == text:
                return new
            text = new

    def assign(self, name, op, value):
        name = self.expand(name)
        base, _, last = name.rpartition(":")
        if base and last in ("append", "prepend", "remove"):
            self.changes.setdefault(base, []).append((last, value))
            return
        current = self.values.get(name)
        if op == "=":
            self.values[name] = value
        elif op == "?=":
            if current is None:
                self.values[name] = value
        elif op == "??=":
            self.weak[name] = value
        elif op == ":=":
            self.values[name] = self.expand(value)
        elif op == "+=":
            self.values[name] = (current or "") + " " + value
        elif op == "=+":
            self.values[name] = value + " " + (current or "")
        elif op == ".=":
            self.values[name] = (current or "") + value
        elif op == "=.":
            self.values[name] = value + (current or "")

    statement = re.compile(
        r"^(?:export\s+)?(?P<var>[a-zA-Z0-9\-_+.${}/~:]+?)(?P<flag>\[[^\]]+\])?"
        r"\s*(?P<op>\?\?=|\?=|:=|\+=|=\+|\.=|=\.|=)\s*"
        r"(?P<q>['\"])(?P<value>.*)(?P=q)$")

    def parse(self, text, where):
        """Reads a recipe, a .bbappend or a configuration file; whatever it
        cannot read raises ValueError rather than being passed over."""
        lines = text.split("\n")
        i = 0
        while i < len(lines):
            line, number = lines[i], i + 1
            i += 1
            while line.endswith("\\") and i < len(lines):
                line = line[:-1] + lines[i]
                i += 1
            stripped = line.strip()
            if not stripped or stripped.startswith("#"):
                continue
            if line.startswith("def "):
                body = [line]
                while i < len(lines) and (lines[i][:1] in (" ", "\t") or not lines[i].strip()):
                    body.append(lines[i])
                    i += 1
                exec("\n".join(body), self.namespace)
                continue
            block = re.match(r"^(python\s+)?([\w:${}.-]*)\s*\(\s*\)\s*\{\s*$", line)
            if block:
                body = []
                while i < len(lines) and lines[i].rstrip() != "}":
                    body.append(lines[i])
                    i += 1
                i += 1
                if block.group(1) and block.group(2) in ("", "__anonymous"):
                    self.anonymous.append(textwrap.dedent("\n".join(body)))
                continue
            words = stripped.split()
            if words[0] == "inherit":
                self.inherits += words[1:]
                continue
            if words[0] in ("addtask", "deltask", "EXPORT_FUNCTIONS", "addhandler"):
                continue
            m = self.statement.match(stripped)
            if not m:
                raise ValueError("%s:%d: not read: %s" % (where, number, stripped))
            if not m.group("flag"):
                self.assign(m.group("var"), m.group("op"), m.group("value"))

    def run_anonymous(self):
        for code in self.anonymous:
            exec(code, dict(self.namespace), {"d": self})


results = []


def report(name, ok, detail):
    results.append((name, ok))
    print("%s %s: %s" % ("ok  " if ok else "FAIL", name, detail), flush=True)


def run(argv, log=None, **kw):
    out = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True, **kw)
    if log:
        with open(log, "w") as f:
            f.write(" ".join(shlex.quote(a) for a in argv) + "\n" + out.stdout)
    return out


def verdict():
    failed = [name for name, ok in results if not ok]
    if failed:
        print("oe-recipe-check: FAILED (%d of %d): %s" % (len(failed), len(results),
                                                            ", ".join(failed)))
        sys.exit(1)
    print("oe-recipe-check: all %d checks passed" % len(results))
    sys.exit(0)


layer = os.path.join(top, "dist", "openembedded")
recipes = sorted(glob.glob(os.path.join(layer, "recipes-*", "*", "*.bb")))
if len(recipes) != 1:
    report("recipe", False, "want one recipe under %s, found %d" % (layer, len(recipes)))
    verdict()
recipe = recipes[0]
recipe_text = open(recipe).read()
pn, _, pv_in_name = os.path.basename(recipe)[:-3].partition("_")
temp = os.path.join(workdir, "temp")


def evaluate(platform):
    """The recipe's datastore after bitbake.conf and the classes, with a
    .bbappend that sets the variables in platform."""
    d = Data()
    for name, value in (("PN", pn), ("PV", pv_in_name or "1.0"),
                        ("WORKDIR", workdir), ("D", os.path.join(workdir, "image")),
                        ("STAGING_DIR_HOST", sysroot), ("STAGING_DIR_TARGET", sysroot)):
        d.setVar(name, value)
    d.parse(OE_CONF, "OE_CONF")
    d.parse(recipe_text, os.path.relpath(recipe, top))
    d.parse("".join('%s = "%s"\n' % item for item in platform.items()), "bbappend")
    # The check builds the working tree, where bitbake would build the fetched
    # copy in ${S}.
    d.recipe_S = d.values["S"]
    d.setVar("S", top)
    return d


try:
    plain = evaluate({})
    d = evaluate(PLATFORM)
except Exception as e:  # whatever the recipe's Python raises
    report("recipe", False, "%s: %s" % (type(e).__name__, e))
    verdict()
os.makedirs(temp, exist_ok=True)

# The layer and the recipe as bitbake takes them.
problems = []
compat = re.search(r'^LAYERSERIES_COMPAT_\S+\s*=\s*"([^"]*)"',
                   open(os.path.join(layer, "conf", "layer.conf")).read(), re.M)
if not compat or "wrynose" not in compat.group(1).split():
    problems.append("conf/layer.conf is not LAYERSERIES_COMPAT with wrynose")
missing = [c for c in ("meson", "pkgconfig", "systemd") if c not in d.inherits]
if missing:
    problems.append("does not inherit " + " ".join(missing))
if "systemd" not in (d.getVar("DEPENDS") or "").split():
    problems.append("does not DEPEND on systemd")
if plain.recipe_S != "${UNPACKDIR}/${BP}":
    # insane.bbclass (do_qa_unpack) stops at ${UNPACKDIR}/git and ${WORKDIR}.
    problems.append("sets S to %s; bitbake.conf's ${UNPACKDIR}/${BP} is where the "
                    "git fetcher unpacks" % plain.recipe_S)
skipped = []
for label, value in (("without SRC_URI", ""), ("with SRC_URI", PLATFORM["SRC_URI"])):
    plain.setVar("SRC_URI", value)
    try:
        plain.run_anonymous()
    except SkipRecipe:
        skipped.append(label)
if "without SRC_URI" not in skipped:
    problems.append("does not skip itself without SRC_URI")
if "with SRC_URI" in skipped:
    problems.append("skips itself with SRC_URI set")
report("recipe", not problems, "; ".join(problems) or
       "%s: %s %s for wrynose, inherits meson pkgconfig systemd, S from "
       "bitbake.conf, skips itself without SRC_URI"
       % (os.path.relpath(recipe, top), pn, d.getVar("PV")))

# LIC_FILES_CHKSUM, as insane.bbclass's populate_lic_qa_checksum computes it.
problems, seen = [], []
for url in (d.getVar("LIC_FILES_CHKSUM") or "").split():
    path, *params = url[len("file://"):].split(";")
    params = dict(p.split("=", 1) for p in params)
    data = open(os.path.join(top, path), "rb").read()
    begin, end = int(params.get("beginline", 0)), int(params.get("endline", 0))
    if begin or end:
        lines = data.splitlines(keepends=True)
        data = b"".join(lines[max(begin, 1) - 1:end or None])
    md5 = hashlib.md5(data).hexdigest()
    seen.append("%s md5 %s" % (path, md5))
    if params.get("md5") != md5:
        problems.append("%s: md5 %s in the recipe, %s in the file" % (path, params.get("md5"), md5))
if not seen:
    problems.append("no LIC_FILES_CHKSUM")
report("license checksum", not problems, "; ".join(problems) or
       "LICENSE %s, %s" % (d.getVar("LICENSE"), ", ".join(seen)))

info = json.loads(run(["meson", "introspect", "--projectinfo", "meson.build"], cwd=top).stdout)
pv = d.getVar("PV")
report("version", pv.split("+")[0] == info["version"] and pv_in_name in ("", "git", pv),
       "PV %s, meson.build %s%s" % (pv, info["version"],
                                    "" if pv_in_name in ("", "git", pv) else
                                    ", file name %s" % pv_in_name))

# Every -D option must be one of the project's: the built-in ones (buildtype,
# optimization, debug, strip, b_lto, werror...) are OpenEmbedded's to set.
options = json.loads(run(["meson", "introspect", "--buildoptions", "meson.build"],
                         cwd=top).stdout)
project_options = {o["name"] for o in options if o["section"] == "user"}
extra = shlex.split(d.getVar("EXTRA_OEMESON"))
passed = [a[2:].split("=", 1)[0] for a in extra if a.startswith("-D")]
foreign = [a for a in extra if not a.startswith("-D")]
unknown = [o for o in passed if o not in project_options]
report("options", not unknown and not foreign,
       "; ".join(filter(None, [
           unknown and "not in meson_options.txt: " + " ".join(unknown),
           foreign and "not a -D option: " + " ".join(foreign)]))
       or "EXTRA_OEMESON " + " ".join(extra))

# The unit's settings pass only when set, and the unit is enabled only once
# both registers are named.
cases = [
    ({}, "disable"),
    ({"CORVANE_VGA_SCRATCH_REG": PLATFORM["CORVANE_VGA_SCRATCH_REG"]}, "disable"),
    ({"CORVANE_VIDEO_MODE_REG": PLATFORM["CORVANE_VIDEO_MODE_REG"]}, "disable"),
    ({k: PLATFORM[k] for k in ("CORVANE_RENDERER_UNIT", "CORVANE_HOST_STATE_UNIT")}, "disable"),
    ({k: PLATFORM[k] for k in UNIT_OPTIONS}, "enable"),
]
problems = []
for settings, enable in cases:
    e = evaluate(settings)
    words = shlex.split(e.getVar("EXTRA_OEMESON"))
    want = ["-D%s=%s" % (UNIT_OPTIONS[k], v) for k, v in settings.items()]
    got = [w for w in words if w[2:].split("=", 1)[0] in UNIT_OPTIONS.values()]
    action = e.getVar("SYSTEMD_AUTO_ENABLE:corvane") or e.getVar("SYSTEMD_AUTO_ENABLE")
    label = " ".join(sorted(settings)) or "nothing"
    if sorted(got) != sorted(want):
        problems.append("with %s set: passes %s" % (label, " ".join(got) or "none"))
    if action != enable:
        problems.append("with %s set: SYSTEMD_AUTO_ENABLE:corvane %s" % (label, action))
report("platform settings", not problems, "; ".join(problems) or
       "each of the four passes only when set; the unit is enabled only with "
       "both registers (%d cases)" % len(cases))

# The cross and native files as meson.bbclass's do_write_config writes them.
compiler = d.getVar("CC").split()[0]
if run([compiler, "-fcanon-prefix-map", "-E", "-x", "c", "/dev/null", "-o", "/dev/null"]).returncode:
    d.setVar("DEBUG_PREFIX_MAP_EXTRA", "")
# Meson before 1.3 names pkg-config "pkgconfig" in machine files.
meson_version = tuple(int(x) for x in run(["meson", "--version"]).stdout.split(".")[:2])
pkgconfig_key = "pkg-config" if meson_version >= (1, 3) else "pkgconfig"


def meson_array(var):
    items = d.getVar(var).split()
    return repr(items[0] if len(items) == 1 else items)


def machine_file(prefix, pkgconfig, rest=""):
    """The binaries and built-in options of a machine file as do_write_config
    writes them: CC, CXX, ... for the target (prefix ""), BUILD_CC, ... for
    the build machine (prefix "BUILD_")."""
    tools = ["c = %s" % meson_array(prefix + "CC"), "cpp = %s" % meson_array(prefix + "CXX")]
    tools += ["%s = %s" % (tool.lower(), meson_array(prefix + tool))
              for tool in ("LD", "AR", "NM", "STRIP", "READELF", "OBJCOPY")]
    tools.append("%s = %s" % (pkgconfig_key, pkgconfig))
    flags = {"c_args": "CFLAGS", "c_link_args": "LDFLAGS", "cpp_args": "CXXFLAGS",
             "cpp_link_args": "LDFLAGS"}
    options = ["%s = %s" % (name, meson_array(prefix + var)) for name, var in flags.items()]
    return ("[binaries]\n%s\n\n[built-in options]\n%s\n%s"
            % ("\n".join(tools), "\n".join(options), rest))


# pkg-config: OE's wrapper is pkgconf with PKG_CONFIG_FDO_SYSROOT_RULES=1, and
# pkgconfig.bbclass limits it to the sysroot's .pc files, as cross/armhf.ini
# limits it to the Debian root's.
multiarch = "/usr/lib/arm-linux-gnueabihf/pkgconfig"
machine = """
[properties]
needs_exe_wrapper = true
sys_root = '{root}'
pkg_config_libdir = ['{root}{multiarch}', '{root}/usr/share/pkgconfig']

[host_machine]
system = 'linux'
cpu_family = 'arm'
cpu = 'arm'
endian = 'little'

[target_machine]
system = 'linux'
cpu_family = 'arm'
cpu = 'arm'
endian = 'little'
""".format(root=sysroot, multiarch=multiarch)
with open(os.path.join(workdir, "meson.cross"), "w") as f:
    f.write(machine_file("", "['env', 'PKG_CONFIG_FDO_SYSROOT_RULES=1', 'pkg-config']", machine))
with open(os.path.join(workdir, "meson.native"), "w") as f:
    f.write(machine_file("BUILD_", "'pkg-config'"))

# meson_do_configure, meson_do_compile and meson_do_install, in a fresh B and D
# (do_configure[cleandirs] = "${B}").
B, D = d.getVar("B"), d.getVar("D")
for path in (B, D):
    shutil.rmtree(path, ignore_errors=True)
os.makedirs(B)
setup = (["meson", "setup"] + shlex.split(d.getVar("MESONOPTS")) + [top, B]
         + shlex.split(d.getVar("MESON_CROSS_FILE")) + extra)
steps = [
    ("configure", setup),
    ("compile", ["meson", "compile", "-v", "-C", B]),
    ("install", ["meson", "install", "--destdir", D, "--no-rebuild", "-C", B]),
]
for step, argv in steps:
    log = os.path.join(temp, "log.do_" + step)
    out = run(argv, log=log, cwd=B)
    if out.returncode:
        tail = "\n".join(out.stdout.splitlines()[-15:])
        report(step, False, "failed (%s):\n%s" % (log, tail))
        verdict()
    if step == "configure":
        built_in = {o["name"]: o["value"] for o in json.loads(
            run(["meson", "introspect", "--buildoptions", B]).stdout)}
        wanted = {"buildtype": "plain", "optimization": "plain", "debug": False,
                  "strip": False, "b_lto": False}
        wrong = ["%s=%s" % (k, str(built_in[k]).lower()) for k in wanted
                 if built_in[k] != wanted[k]]
        report("configure", not wrong,
               ("OpenEmbedded's are overridden: " + " ".join(wrong)) if wrong else
               "meson setup as meson.bbclass runs it: " + ", ".join(
                   "%s=%s" % (k, str(v).lower()) for k, v in wanted.items()))
    if step == "compile":
        warnings = [l for l in out.stdout.splitlines() if re.search(r"\bwarning:", l)]
        report("compile", not warnings, "\n".join(warnings) or
               "no warning; CXX %s; CXXFLAGS %s; LDFLAGS %s" % tuple(
                   " ".join(d.getVar(v).split()) for v in ("CXX", "CXXFLAGS", "LDFLAGS")))

installed = []
for dirpath, dirnames, filenames in os.walk(D):
    for name in dirnames + filenames:
        installed.append("/" + os.path.relpath(os.path.join(dirpath, name), D))
files = [p for p in installed if not os.path.isdir(D + p) or os.path.islink(D + p)]
programs = {d.expand("${bindir}/tamblet"): "tamblet", d.expand("${sbindir}/corvane"): "corvane"}

# Nothing stripped: oe.package.is_elf's test, which the already-stripped QA
# error follows, on every ELF file; and debug information for the -dbg package.
problems, elves = [], []
for path in files:
    kind = run(["file", "-b", D + path]).stdout
    if "ELF" not in kind:
        continue
    elves.append(path)
    if "not stripped" not in kind:
        problems.append("%s is stripped (file(1): ...%s)" % (path, kind.strip()[-30:]))
    elif ".debug_info" not in run([d.getVar("READELF"), "-S", "-W", D + path]).stdout:
        problems.append("%s has no debug information" % path)
for path in programs:
    if path not in elves:
        problems.append("%s is not installed as an ELF file" % path)
report("not stripped", not problems, "; ".join(problems) or
       ", ".join(elves) + ": not stripped, with debug information")

# No build path in what installs (insane.bbclass's buildpaths error is on
# TMPDIR, which holds S, B and the sysroot): absolute ones only, not the tail
# of a relative one (../../work/...), which GCC before 13 leaves unmapped.
problems = []
for path in files:
    if os.path.islink(D + path):
        continue
    content = open(D + path, "rb").read()
    for label, build_path in (("source", top), ("build", B), ("sysroot", sysroot)):
        if re.search(rb"(?<![\w.~-])" + re.escape(build_path.encode()), content):
            problems.append("%s names the %s directory %s" % (path, label, build_path))
report("build paths", not problems, "; ".join(problems) or
       "no installed file names %s, %s or %s" % (top, B, sysroot))

# The unit: where systemd.bbclass finds it, from the platform's settings; the
# manual page names where it is.
unitdir = d.getVar("systemd_system_unitdir")
problems = []
found = {}
for pkg in d.getVar("SYSTEMD_PACKAGES").split():
    if pkg not in d.getVar("PACKAGES").split():
        problems.append("SYSTEMD_PACKAGES names %s, which is not in PACKAGES" % pkg)
    for service in (d.getVar("SYSTEMD_SERVICE:" + pkg) or d.getVar("SYSTEMD_SERVICE") or "").split():
        for searchdir in (d.expand("${sysconfdir}/systemd/system"), unitdir,
                          d.expand("${sysconfdir}/systemd/user"),
                          d.getVar("systemd_user_unitdir")):
            if os.path.lexists(D + searchdir + "/" + service):
                found[searchdir + "/" + service] = pkg
                break
        else:
            problems.append("Didn't find service unit '%s', specified in SYSTEMD_SERVICE:%s"
                            % (service, pkg))
unit = unitdir + "/corvane.service"
if unit not in found:
    problems.append("%s is not a SYSTEMD_SERVICE unit (installed: %s)" % (
        unit, " ".join(p for p in files if p.endswith(".service")) or "none"))
else:
    text = open(D + unit).read()
    arguments = [PLATFORM[k] for k in ("CORVANE_VGA_SCRATCH_REG", "CORVANE_VIDEO_MODE_REG",
                                       "CORVANE_RENDERER_UNIT")]
    exec_start = (re.findall(r"^ExecStart=(.*)$", text, re.M) or [""])[0].split()
    if exec_start[:1] != [d.expand("${sbindir}/corvane")] or \
            [w for w in exec_start if w in arguments] != arguments:
        problems.append("%s runs %s, not %s with %s" % (
            unit, " ".join(exec_start), d.expand("${sbindir}/corvane"), " ".join(arguments)))
    after = " ".join(re.findall(r"^After=(.*)$", text, re.M)).split()
    if PLATFORM["CORVANE_HOST_STATE_UNIT"] not in after:
        problems.append("%s is not ordered after %s" % (unit, PLATFORM["CORVANE_HOST_STATE_UNIT"]))
man = d.expand("${mandir}/man8/corvane.8")
if not os.path.exists(D + man) or unit not in open(D + man).read():
    problems.append("%s does not name %s" % (man, unit))
report("unit", not problems, "; ".join(problems) or
       "%s with the platform's four settings, SYSTEMD_SERVICE:corvane; named in %s"
       % (unit, man))

# Packaging as oe.package.populate_packages splits D: -src, then -dbg, then
# PACKAGES in order; each FILES pattern globbed, a directory taking all under
# it; the first package to match a file takes it; directories holding a
# shipped file are shipped with it. systemd.bbclass has added the units to
# FILES of their package (systemd_populate_packages runs first).
packages = d.getVar("PACKAGES").split()
order = sorted(packages, key=lambda p: (10 if p.endswith("-src") else
                                        30 if p.endswith("-dbg") else 50, packages.index(p)))
owner, shipped = {}, set()
for pkg in order:
    patterns = (d.getVar("FILES:" + pkg) or "").split()
    patterns += [path for path, p in found.items() if p == pkg]
    matched = []
    for pattern in patterns:
        hits = glob.glob(D + pattern, recursive=True)
        matched += [h[len(D):] for h in hits]
    for path in matched:
        if os.path.isdir(D + path) and not os.path.islink(D + path):
            matched += [p for p in installed if p.startswith(path + "/")]
    for path in matched:
        if path in shipped:
            continue
        shipped.add(path)
        owner[path] = pkg
        parent = os.path.dirname(path)
        while parent != "/":
            shipped.add(parent)
            parent = os.path.dirname(parent)
expected = {path: pkg for path, pkg in programs.items()}
expected[d.expand("${datadir}/bash-completion/completions/tamblet")] = "tamblet"
expected[unit] = "corvane"
for page in ("${mandir}/man1/tamblet.1", "${mandir}/man8/corvane.8"):
    expected[d.expand(page)] = pn + "-doc"
problems = []
unshipped = [p for p in installed if p not in shipped]
if unshipped:
    problems.append("installed but not shipped in any package: " + " ".join(unshipped))
for path, pkg in sorted(expected.items()):
    if owner.get(path) != pkg:
        problems.append("%s is in %s, not %s" % (path, owner.get(path, "no package"), pkg))
in_pn = sorted(p for p, pkg in owner.items() if pkg == pn)
if in_pn:
    problems.append("%s, which an image does not take by name, holds %s" % (pn, " ".join(in_pn)))
report("packages", not problems, "; ".join(problems) or "; ".join(
    "%s: %s" % (pkg, " ".join(sorted(p for p, o in owner.items() if o == pkg)))
    for pkg in order if any(o == pkg for o in owner.values())))

verdict()
PY
