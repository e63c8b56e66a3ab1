"""Simulated flash-mapping daemon (velmora.Pellarin) for python-dbusmock.

It serves the control interface that tamblet uses and keeps the state a real
daemon shows through it:

- Suspend makes DaemonState read 1 (suspended), Resume makes it read 0
  (active);
- Reset points the LPC mapping back to flash: LpcState reads 1;
- SetBackend checks its arguments as the daemon would (a known backend name,
  at most one absolute path) and answers InvalidArgs otherwise.

Every call to the control interface lands in the mock's call log
(GetCalls, GetMethodCalls), whether it is answered or not.

Parameters (all optional):
  DaemonState, LpcState  initial readings (default 0, active; 2, BMC memory)
  Fail                   member names answered with an error reply; a
                         property named here is left out, so reading it fails
  Hang                   member names that are never answered
  ExitAfter              member names after whose answer the daemon exits,
                         as a daemon told to Kill does; it gives up its bus
                         name before it answers, so the next call finds no
                         daemon rather than one on its way out
"""

import os
import time

import dbus
import dbus.exceptions
import dbus.service

BUS_NAME = "velmora.Pellarin"
MAIN_OBJ = "/velmora/Pellarin"
MAIN_IFACE = "velmora.Pellarin.Control"
SYSTEM_BUS = True

FAILURE_NAME = "velmora.Pellarin.Error.Failed"

DAEMON_ACTIVE = 0
DAEMON_SUSPENDED = 1
LPC_FLASH = 1
LPC_MEMORY = 2

BACKENDS = ("vpnor", "mtd", "file")


def _set_state(mock, name, value):
    if name in mock.pellarin_fail:
        return
    mock.UpdateProperties(MAIN_IFACE, {name: dbus.Byte(value)})


def _check_backend(_mock, name, arguments):
    if name not in BACKENDS:
        raise dbus.exceptions.DBusException(
            f"unknown backend {name}", name="org.freedesktop.DBus.Error.InvalidArgs")
    if len(arguments) > 1 or any(not a.startswith("/") for a in arguments):
        raise dbus.exceptions.DBusException(
            "backend arguments must be one absolute path",
            name="org.freedesktop.DBus.Error.InvalidArgs")


# member -> (input signature, what the call does to the daemon's state)
MEMBERS = {
    "Ping": ("", lambda mock: None),
    "Kill": ("", lambda mock: None),
    "Reset": ("", lambda mock: _set_state(mock, "LpcState", LPC_FLASH)),
    "Suspend": ("", lambda mock: _set_state(mock, "DaemonState", DAEMON_SUSPENDED)),
    "Resume": ("b", lambda mock, _modified: _set_state(mock, "DaemonState", DAEMON_ACTIVE)),
    "MarkFlashModified": ("", lambda mock: None),
    "SetBackend": ("sas", _check_backend),
}


def _add_member(mock, name, in_signature, action):
    """Export one control method whose answer the mock decides itself.

    The method replies through callbacks, so a member listed in Hang can
    leave its caller waiting while the mock keeps serving everything else."""

    def method(self, *args, reply, fail):
        self.log(f"{name} {args!r}")
        self.call_log.append((int(time.time()), name, list(args)))
        self.MethodCalled(name, list(args))
        if name in self.pellarin_hang:
            return
        if name in self.pellarin_fail:
            fail(dbus.exceptions.DBusException(f"{name} failed", name=FAILURE_NAME))
            return
        try:
            action(self, *args)
        except dbus.exceptions.DBusException as e:
            fail(e)
            return
        leaving = name in self.pellarin_exit_after
        if leaving:
            for location in self.locations:
                location[0].release_name(BUS_NAME)
        reply()
        if leaving:
            for location in self.locations:
                location[0].flush()
            os._exit(0)  # pylint: disable=protected-access

    method.__name__ = name
    exported = dbus.service.method(MAIN_IFACE, out_signature="")(method)
    # pylint: disable=protected-access
    exported._dbus_in_signature = in_signature
    exported._dbus_args = [f"arg{i}" for i in range(len(dbus.Signature(in_signature)))]
    exported._dbus_async_callbacks = ("reply", "fail")
    mock.methods.setdefault(MAIN_IFACE, {})[name] = (in_signature, "", "", exported)


def load(mock, parameters):
    mock.pellarin_fail = set(parameters.get("Fail", []))
    mock.pellarin_hang = set(parameters.get("Hang", []))
    mock.pellarin_exit_after = set(parameters.get("ExitAfter", []))

    for name, (in_signature, action) in MEMBERS.items():
        _add_member(mock, name, in_signature, action)

    readings = {
        "DaemonState": parameters.get("DaemonState", DAEMON_ACTIVE),
        "LpcState": parameters.get("LpcState", LPC_MEMORY),
    }
    mock.AddProperties(MAIN_IFACE, dbus.Dictionary(
        {name: dbus.Byte(value) for name, value in readings.items()
         if name not in mock.pellarin_fail},
        signature="sv"))
