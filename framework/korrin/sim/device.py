"""Simulated network devices and their show-command parsers."""

import copy
import re

__all__ = [
    "Device",
    "ParserError",
    "UnsupportedCommandError",
    "EmptyParserOutputError",
    "find_parser",
]


class ParserError(Exception):
    """A show command could not be parsed on a device."""


class UnsupportedCommandError(ParserError):
    """No parser exists for the command."""


class EmptyParserOutputError(ParserError):
    """The command is known but the device has nothing to show for it."""


class Device:
    """A simulated device.

    ``state`` is the device's live operational data, a nested dict with the
    sections "version", "bgp" and "interfaces" (see ``example_testbed`` for a
    full example). Features and parsers read deep copies of it, so changing
    ``state`` afterwards only affects later learns.
    """

    def __init__(self, name, alias=None, os="iosxe", state=None, learn_delay=0.0):
        self.name = name
        self.alias = alias
        self.os = os
        self.state = copy.deepcopy(state) if state is not None else _empty_state(name, os)
        self.learn_delay = learn_delay

    def parse(self, command):
        """Return the parsed output of a show command as a fresh dict."""
        parser, match = find_parser(command)
        if parser is None:
            raise UnsupportedCommandError(f"Device '{self.name}' has no parser for command '{command}'")
        return parser.parse(self, match)

    # Helpers to change the simulated network between two snapshots.

    def set_bgp_neighbor_state(self, neighbor, state):
        self.state["bgp"]["neighbors"][neighbor]["state"] = state

    def set_mtu(self, interface, mtu):
        self.state["interfaces"][interface]["mtu"] = mtu

    def set_oper_status(self, interface, status):
        self.state["interfaces"][interface]["oper_status"] = status

    def __eq__(self, other):
        if not isinstance(other, Device):
            return NotImplemented
        return self.name == other.name

    def __hash__(self):
        return hash(self.name)

    def __repr__(self):
        return str(self.name)

    __str__ = __repr__


def _empty_state(name, os):
    return {
        "version": {"hostname": name, "os": os, "version": "", "uptime": "0 minutes"},
        "bgp": {},
        "interfaces": {},
    }


class _Parser:
    """One show command: its pattern, the keys to ignore when comparing, and how to parse."""

    def __init__(self, pattern, exclude, build):
        self.pattern = re.compile(pattern, re.IGNORECASE)
        self.exclude = exclude
        self.build = build

    def parse(self, device, match):
        return copy.deepcopy(self.build(device, match))


def _show_interface(device, match):
    wanted = match.group("name")
    for name, data in device.state.get("interfaces", {}).items():
        if name.lower() == wanted.lower():
            return {name: data}
    raise EmptyParserOutputError(f"Device '{device.name}' has no interface '{wanted}'")


def _section(key):
    def build(device, match):
        data = device.state.get(key)
        if not data:
            raise EmptyParserOutputError(f"Device '{device.name}' has no {key} data")
        return data

    return build


_PARSERS = [
    _Parser(r"show version", ["uptime"], _section("version")),
    _Parser(r"show (ip )?bgp summary", ["up_time", "msg_rcvd", "msg_sent"], _section("bgp")),
    _Parser(r"show interfaces? (?P<name>\S+)", ["counters", "last_change"], _show_interface),
]


def find_parser(command):
    """Return (parser, match) for a command text, or (None, None)."""
    text = " ".join(str(command).split())
    for parser in _PARSERS:
        match = parser.pattern.fullmatch(text)
        if match:
            return parser, match
    return None, None
