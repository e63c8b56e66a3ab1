'''Simulated systemd manager for corvane's tests and demonstration.

Owns org.freedesktop.systemd1 and serves StartUnit and StopUnit ("ss" -> "o")
on org.freedesktop.systemd1.Manager at /org/freedesktop/systemd1, keeping
each unit's state ("active" after a start, "inactive" after a stop). Every
call is in the mock's call log (GetMethodCalls). Parameters:
  refuse        list of unit names whose calls are refused
  refuse_error  the D-Bus error they are refused with (default
                org.freedesktop.systemd1.NoSuchUnit)
  delay_ms      delay before each answer (default 0)

Control methods on org.freedesktop.DBus.Mock:
  RefuseUnit(s)          answer calls for this unit with NoSuchUnit from now on
  RefuseNext(s, as)      answer the next calls for this unit with these D-Bus
                         errors, one call each, in turn; then serve it again
  AcceptUnit(s)          serve calls for this unit again
  SetReplyDelay(u)       answer each later call after this many milliseconds
  SetHang(b)             hold later calls unanswered (true), or answer the held
                         ones now and the later ones as usual (false)
  ReleaseHeld()          answer the calls held so far, and go on holding later ones
  GetUnitState(s) -> s   "active", "inactive" or "unknown"
'''

import itertools

import dbus
from gi.repository import GLib

from dbusmock import MOCK_IFACE

BUS_NAME = 'org.freedesktop.systemd1'
MAIN_OBJ = '/org/freedesktop/systemd1'
MAIN_IFACE = 'org.freedesktop.systemd1.Manager'
SYSTEM_BUS = True
NO_SUCH_UNIT = 'org.freedesktop.systemd1.NoSuchUnit'


def load(mock, parameters):
    error = str(parameters.get('refuse_error', NO_SUCH_UNIT))
    # unit name -> the errors its next calls are refused with, one each
    mock.refusals = {str(name): itertools.repeat(error) for name in parameters.get('refuse', [])}
    mock.reply_delay_ms = int(parameters.get('delay_ms', 0))
    mock.hang = False
    mock.held = []
    mock.unit_states = {}
    mock.next_job_id = 1


def _refusal(mock, name):
    """The error this call for `name` is refused with, or None to serve it."""
    error = next(mock.refusals.get(name, iter(())), None)
    if error is None:
        mock.refusals.pop(name, None)
    return error


def _answer(mock, verb, name, reply, fail):
    error = _refusal(mock, name)
    if error is not None:
        fail(dbus.exceptions.DBusException(f'Unit {name} refused.', name=error))
        return
    mock.unit_states[name] = 'active' if verb == 'start' else 'inactive'
    job = dbus.ObjectPath(f'{MAIN_OBJ}/job/{mock.next_job_id}')
    mock.next_job_id += 1
    reply(job)


def _unit_call(mock, verb, name, reply, fail):
    name = str(name)
    if mock.hang:
        mock.held.append((verb, name, reply, fail))
        return
    if mock.reply_delay_ms > 0:
        def later():
            _answer(mock, verb, name, reply, fail)
            return False
        GLib.timeout_add(mock.reply_delay_ms, later)
        return
    _answer(mock, verb, name, reply, fail)


@dbus.service.method(MAIN_IFACE, in_signature='ss', out_signature='o',
                     async_callbacks=('reply', 'fail'))
def StartUnit(self, name, _mode, reply, fail):
    _unit_call(self, 'start', name, reply, fail)


@dbus.service.method(MAIN_IFACE, in_signature='ss', out_signature='o',
                     async_callbacks=('reply', 'fail'))
def StopUnit(self, name, _mode, reply, fail):
    _unit_call(self, 'stop', name, reply, fail)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def RefuseUnit(self, name):
    self.refusals[str(name)] = itertools.repeat(NO_SUCH_UNIT)


@dbus.service.method(MOCK_IFACE, in_signature='sas', out_signature='')
def RefuseNext(self, name, errors):
    self.refusals[str(name)] = iter([str(error) for error in errors])


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def AcceptUnit(self, name):
    self.refusals.pop(str(name), None)


@dbus.service.method(MOCK_IFACE, in_signature='u', out_signature='')
def SetReplyDelay(self, milliseconds):
    self.reply_delay_ms = int(milliseconds)


def _answer_held(mock):
    held, mock.held = mock.held, []
    for verb, name, reply, fail in held:
        _answer(mock, verb, name, reply, fail)


@dbus.service.method(MOCK_IFACE, in_signature='b', out_signature='')
def SetHang(self, hang):
    self.hang = bool(hang)
    if not self.hang:
        _answer_held(self)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='')
def ReleaseHeld(self):
    _answer_held(self)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='s')
def GetUnitState(self, name):
    return self.unit_states.get(str(name), 'unknown')
