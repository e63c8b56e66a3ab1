SUMMARY = "Flash-mapping daemon control client and console renderer controller"
DESCRIPTION = "tamblet is the command-line control client of the flash-mapping \
daemon. corvane runs the console renderer unit while the host is on and not \
driving its own video."
SECTION = "base"
LICENSE = "Apache-2.0"
LIC_FILES_CHKSUM = "file://LICENSE;md5=3b83ef96387f14655fc854ddc3c6bd57"

# The version in meson.build; "+git" has the packages' version end in the
# revision that SRCREV selects. scripts/oe-recipe-check.sh holds the two equal.
PV = "2.1.1+git"

# There is no public repository: the platform's layer sets SRC_URI (its mirror
# of the repository) and SRCREV in a .bbappend. S is left as bitbake.conf has
# it, ${UNPACKDIR}/${BP}, where the git fetcher unpacks by default.
python __anonymous () {
    if not d.getVar("SRC_URI"):
        raise bb.parse.SkipRecipe("SRC_URI is not set: the platform's layer sets "
                                  "SRC_URI and SRCREV to its mirror of the repository "
                                  "in a %s_git.bbappend" % d.getVar("PN"))
}

DEPENDS = "systemd"

inherit meson pkgconfig systemd features_check

# Both programs use libsystemd's sd-bus; corvane runs under systemd as PID 1.
REQUIRED_DISTRO_FEATURES = "systemd"

# corvane's unit, set by the platform's layer. Each one left empty keeps the
# project's default (meson_options.txt); the two registers' are placeholders.
CORVANE_VGA_SCRATCH_REG ??= ""
CORVANE_VIDEO_MODE_REG ??= ""
CORVANE_RENDERER_UNIT ??= ""
CORVANE_HOST_STATE_UNIT ??= ""

def corvane_meson_option(d, var, option):
    import shlex
    value = d.getVar(var)
    return "-D%s=%s" % (option, shlex.quote(value)) if value else ""

# OpenEmbedded builds it as it builds everything: meson.bbclass's plain
# buildtype with the distribution's flags, and its own stripping into the
# -dbg packages; so there is no buildtype, optimisation or strip here. The
# tests need GoogleTest and Python modules that a target sysroot lacks. The
# unit installs in OE's unit directory, not in one read from systemd.pc.
EXTRA_OEMESON += " \
    -Dtests=false \
    -Dsystemdsystemunitdir=${systemd_system_unitdir} \
    ${@corvane_meson_option(d, 'CORVANE_VGA_SCRATCH_REG', 'vga_scratch_reg')} \
    ${@corvane_meson_option(d, 'CORVANE_VIDEO_MODE_REG', 'video_mode_reg')} \
    ${@corvane_meson_option(d, 'CORVANE_RENDERER_UNIT', 'renderer_unit')} \
    ${@corvane_meson_option(d, 'CORVANE_HOST_STATE_UNIT', 'host_state_unit')} \
"
EXTRA_OEMESON[vardeps] += "CORVANE_VGA_SCRATCH_REG CORVANE_VIDEO_MODE_REG \
                           CORVANE_RENDERER_UNIT CORVANE_HOST_STATE_UNIT"

# An image takes tamblet, corvane or both. The completion needs nothing from
# the bash-completion package, so it goes with tamblet. The manual pages stay
# in ${PN}-doc, which an image takes with the doc-pkgs feature.
PACKAGE_BEFORE_PN += "tamblet corvane"
FILES:tamblet = "${bindir}/tamblet ${datadir}/bash-completion/completions/tamblet"
FILES:corvane = "${sbindir}/corvane"

SYSTEMD_PACKAGES = "corvane"
SYSTEMD_SERVICE:corvane = "corvane.service"
# Enabled only once the platform has named both registers: the defaults are
# placeholders, not the register files of any platform.
SYSTEMD_AUTO_ENABLE:corvane ?= "${@'enable' if d.getVar('CORVANE_VGA_SCRATCH_REG') and d.getVar('CORVANE_VIDEO_MODE_REG') else 'disable'}"
