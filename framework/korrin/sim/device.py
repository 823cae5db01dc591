"""Simulated network devices and their show-command parsers."""

import copy
import ipaddress
import re
from typing import Any

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


# Reads of the BGP section after a neighbour is shut until its session reads
# idle. Counted rather than timed, so that polling runs are repeatable.
CONVERGENCE_READS = 3


class Device:
    """A simulated device.

    ``state`` is the device's live data, a nested dict with the sections
    "version", "vrfs", "bgp" and "interfaces" (see ``example_testbed`` for a
    full example); it holds both what is configured and what is operational.
    Features and parsers read deep copies of it, so changing ``state``
    afterwards only affects later learns.
    """

    def __init__(self, name: str, alias: str | None = None, os: str = "iosxe", state: dict[str, Any] | None = None,
                 learn_delay: float = 0.0) -> None:
        self.name = name
        self.alias = alias
        self.os = os
        self.state: dict[str, Any] = copy.deepcopy(state) if state is not None else _empty_state(name, os)
        self.learn_delay = learn_delay
        self.converging: dict[str, int] = {}  # shut BGP neighbour -> reads left until it reads idle

    def parse(self, command: str) -> Any:
        """Return the parsed output of a show command as a fresh dict."""
        parser, match = find_parser(command)
        if parser is None:
            raise UnsupportedCommandError(f"Device '{self.name}' has no parser for command '{command}'")
        return parser.parse(self, match)

    def execute(self, command: str) -> str:
        """Return the raw text a show command prints; only the running configuration is known."""
        if not _RUNNING_CONFIG.fullmatch(_command_text(command)):
            raise UnsupportedCommandError(f"Device '{self.name}' cannot execute '{command}'")
        return _running_config(self.state)

    def read(self, section: str) -> Any:
        """The live data of one state section, as a feature or parser sees it (not a copy).

        Each read of the BGP section moves the sessions of shut neighbours one
        step closer to idle; reads in a worker process move only the worker's copy.
        """
        if section == "bgp":
            for neighbor in list(self.converging):
                self.converging[neighbor] -= 1
                if not self.converging[neighbor]:
                    del self.converging[neighbor]
                    self.set_bgp_neighbor_state(neighbor, "idle")
        return self.state.get(section)

    # Helpers to change the simulated network between two snapshots.

    def shutdown_bgp_neighbor(self, neighbor: str) -> None:
        """Shut a neighbour in the configuration; its session goes idle on a later read."""
        self.state["bgp"]["neighbors"][neighbor]["shutdown"] = True
        self.converging[neighbor] = CONVERGENCE_READS

    def set_bgp_neighbor_state(self, neighbor: str, state: str) -> None:
        self.state["bgp"]["neighbors"][neighbor]["state"] = state

    def set_mtu(self, interface: str, mtu: int) -> None:
        self.state["interfaces"][interface]["mtu"] = mtu

    def set_oper_status(self, interface: str, status: str) -> None:
        self.state["interfaces"][interface]["oper_status"] = status

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Device):
            return NotImplemented
        return self.name == other.name

    def __hash__(self) -> int:
        return hash(self.name)

    def __repr__(self) -> str:
        return str(self.name)

    __str__ = __repr__


def _empty_state(name: str, os: str) -> dict[str, Any]:
    return {
        "version": {"hostname": name, "os": os, "version": "", "uptime": "0 minutes"},
        "vrfs": {},
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
    for name, data in (device.read("interfaces") or {}).items():
        if name.lower() == wanted.lower():
            return {name: data}
    raise EmptyParserOutputError(f"Device '{device.name}' has no interface '{wanted}'")


def _section(key):
    def build(device, match):
        data = device.read(key)
        if not data:
            raise EmptyParserOutputError(f"Device '{device.name}' has no {key} data")
        return data

    return build


_PARSERS = [
    _Parser(r"show version", ["uptime"], _section("version")),
    _Parser(r"show (ip )?bgp summary", ["up_time", "msg_rcvd", "msg_sent"], _section("bgp")),
    _Parser(r"show interfaces? (?P<name>\S+)", ["counters", "last_change"], _show_interface),
]


_RUNNING_CONFIG = re.compile(r"show run(ning)?(-config)?", re.IGNORECASE)


def _running_config(state):
    """The running configuration a device with this state would print."""
    lines = ["Building configuration...", "", "!", f"hostname {state['version']['hostname']}", "!"]
    for name, vrf in state.get("vrfs", {}).items():
        lines += [f"vrf definition {name}", f" description {vrf['description']}", f" rd {vrf['rd']}", " !",
                  " address-family ipv4", " exit-address-family", "!"]
    for name, interface in state.get("interfaces", {}).items():
        lines += [f"interface {name}", f" description {interface['description']}"]
        if interface["vrf"] != "default":
            lines.append(f" vrf forwarding {interface['vrf']}")
        address = ipaddress.ip_interface(interface["ipv4"])
        lines += [f" mtu {interface['mtu']}", f" ip address {address.ip} {address.netmask}"]
        if not interface["enabled"]:
            lines.append(" shutdown")
        lines.append("!")
    bgp = state.get("bgp")
    if bgp:
        lines += [f"router bgp {bgp['local_as']}", f" bgp router-id {bgp['router_id']}", " bgp log-neighbor-changes"]
        for address, neighbor in bgp["neighbors"].items():
            lines.append(f" neighbor {address} remote-as {neighbor['remote_as']}")
            if neighbor["shutdown"]:
                lines.append(f" neighbor {address} shutdown")
        lines += [" !", " address-family ipv4"]
        lines += [f"  neighbor {address} activate" for address in bgp["neighbors"]]
        lines += [" exit-address-family", "!"]
    lines += ["end", ""]
    return "\n".join(lines)


def _command_text(command):
    return " ".join(str(command).split())


def find_parser(command):
    """Return (parser, match) for a command text, or (None, None)."""
    text = _command_text(command)
    for parser in _PARSERS:
        match = parser.pattern.fullmatch(text)
        if match:
            return parser, match
    return None, None
