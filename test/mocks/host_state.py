'''Simulated host-state service for corvane's tests and demonstration.

Owns velmora.State.Host and serves /velmora/state/host0 with the string
property CurrentHostState on the interface velmora.State.Host. Parameters:
  CurrentHostState    the state at start (default: the "Off" value)
  Unreadable          when true, the service has no CurrentHostState, so
                      reading it fails
  StateAfterFirstGet  when given, the service changes to this state (and emits
                      the change) right after it answers the first read of
                      CurrentHostState, as a host powering on just then would
  HoldReads           when true, reads are held from the start (HoldReads below)

Control methods on org.freedesktop.DBus.Mock:
  SetHostState(s)       set CurrentHostState and emit the standard
                        PropertiesChanged, as the real service does
  SetHostStateQuietly(s)  set CurrentHostState and announce nothing, as a
                        service that adds its property after it took its
                        name
  EmitCrafted(s, s)     emit an unusual PropertiesChanged from this service
                        (kinds in CRAFTED below) carrying the given state,
                        without changing the property
  EmitDirected(s, s)    emit the standard PropertiesChanged carrying the given
                        state (second) to one connection (first) only
  HoldReads(b)          leave reads of the property unanswered (true), or
                        answer the held ones now and the later ones at once
  TakeServiceName(b)    own velmora.State.Host as well: an instance started
                        under a stand-by name with this template loaded takes
                        over the service, its object and property already in
                        place, as a restarted real service does; when true,
                        waits in line for it while another instance has it
  RetakeServiceName()   give velmora.State.Host up and take it back at once,
                        staying connected, as a confused service might
  EmitChanges(u)        set and announce this many changes in a row, the
                        running state first, then off, and so on
'''

import dbus
import dbus.bus
import dbus.lowlevel
import dbus.service
from gi.repository import GLib

from dbusmock import MOCK_IFACE

BUS_NAME = 'velmora.State.Host'
MAIN_OBJ = '/velmora/state/host0'
MAIN_IFACE = 'velmora.State.Host'
SYSTEM_BUS = True

RUNNING = 'velmora.State.Host.HostState.Running'
OFF = 'velmora.State.Host.HostState.Off'
PROPERTIES_IFACE = 'org.freedesktop.DBus.Properties'


class _RepeatableKey(str):
    '''A dictionary key that never equals another, so that one a{sv} can
    carry the same property name twice, as the wire format allows.'''
    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


def _variant(value):
    if isinstance(value, str):
        return dbus.String(value, variant_level=1)
    return value


def _changed(*entries):
    return {_RepeatableKey(name): _variant(value) for name, value in entries}


# Each kind: (interface argument, object path or None for the main object,
# changed properties as (name, value) pairs given the requested state).
CRAFTED = {
    'plain': (MAIN_IFACE, None, lambda s: _changed(('CurrentHostState', s))),
    'other-interface': ('velmora.State.Chassis', None,
                        lambda s: _changed(('CurrentHostState', s))),
    'other-object': (MAIN_IFACE, '/velmora/state/host1',
                     lambda s: _changed(('CurrentHostState', s))),
    'other-property-only': (MAIN_IFACE, None,
                            lambda s: _changed(('RequestedHostTransition', s))),
    'other-property-first': (MAIN_IFACE, None,
                             lambda s: _changed(('RequestedHostTransition', 'x'),
                                                ('CurrentHostState', s))),
    'non-string-only': (MAIN_IFACE, None,
                        lambda s: _changed(('CurrentHostState', dbus.Int32(1, variant_level=1)))),
    'non-string-first': (MAIN_IFACE, None,
                         lambda s: _changed(('CurrentHostState', dbus.UInt32(1, variant_level=1)),
                                            ('CurrentHostState', s))),
    'empty': (MAIN_IFACE, None, lambda s: _changed()),
}


def _send_properties_changed(mock, interface, changed, path=None, destination=None):
    signal = dbus.lowlevel.SignalMessage(path or mock.path, PROPERTIES_IFACE,
                                         'PropertiesChanged')
    signal.append(interface, changed, dbus.Array([], signature='s'), signature='sa{sv}as')
    if destination:
        signal.set_destination(destination)
    for location in mock.locations:
        location[0].send_message(signal)


def load(mock, parameters):
    properties = {'RequestedHostTransition': 'velmora.State.Host.Transition.Off'}
    if not parameters.get('Unreadable', False):
        properties['CurrentHostState'] = parameters.get('CurrentHostState', OFF)
    mock.AddProperties(MAIN_IFACE, dbus.Dictionary(properties, signature='sv'))
    mock.state_after_first_get = parameters.get('StateAfterFirstGet')
    mock.held_reads = [] if parameters.get('HoldReads', False) else None


def _set_host_state(mock, state):
    mock.props[MAIN_IFACE]['CurrentHostState'] = dbus.String(state)
    _send_properties_changed(mock, MAIN_IFACE, _changed(('CurrentHostState', str(state))))


@dbus.service.method(PROPERTIES_IFACE, in_signature='ss', out_signature='v',
                     async_callbacks=('reply', 'fail'))
def Get(self, interface_name, property_name, reply, fail):
    if self.held_reads is not None:
        self.held_reads.append((interface_name, property_name, reply, fail))
        return
    try:
        value = self.props[str(interface_name) or MAIN_IFACE][str(property_name)]
    except KeyError:
        fail(dbus.exceptions.DBusException(
            f'no such property {property_name}',
            name='org.freedesktop.DBus.Error.UnknownProperty'))
        return
    reply(value)
    if self.state_after_first_get is not None:
        state, self.state_after_first_get = self.state_after_first_get, None

        # Runs once the reply has been sent, so the change follows it on the bus.
        def change():
            _set_host_state(self, state)
            return False
        GLib.idle_add(change)


@dbus.service.method(MOCK_IFACE, in_signature='b', out_signature='')
def HoldReads(self, hold):
    if hold:
        if self.held_reads is None:
            self.held_reads = []
        return
    held, self.held_reads = self.held_reads or [], None
    for interface_name, property_name, reply, fail in held:
        Get(self, interface_name, property_name, reply, fail)


@dbus.service.method(MOCK_IFACE, in_signature='b', out_signature='')
def TakeServiceName(self, queue):
    self.service_name = dbus.service.BusName(BUS_NAME, self.bus_name.get_bus(),
                                             do_not_queue=not queue)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='')
def RetakeServiceName(self):
    bus = self.bus_name.get_bus()
    bus.release_name(BUS_NAME)
    bus.request_name(BUS_NAME, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)


@dbus.service.method(MOCK_IFACE, in_signature='u', out_signature='')
def EmitChanges(self, count):
    for i in range(count):
        _set_host_state(self, RUNNING if i % 2 == 0 else OFF)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def SetHostState(self, state):
    _set_host_state(self, state)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def SetHostStateQuietly(self, state):
    self.props[MAIN_IFACE]['CurrentHostState'] = dbus.String(state)


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def EmitCrafted(self, kind, state):
    try:
        interface, path, build = CRAFTED[str(kind)]
    except KeyError as e:
        raise dbus.exceptions.DBusException(f'unknown kind {kind}',
                                            name='org.freedesktop.DBus.Error.InvalidArgs') from e
    _send_properties_changed(self, interface, build(str(state)), path)


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def EmitDirected(self, destination, state):
    _send_properties_changed(self, MAIN_IFACE, _changed(('CurrentHostState', str(state))),
                             destination=str(destination))
