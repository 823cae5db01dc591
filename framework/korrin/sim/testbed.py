"""Simulated testbeds."""

from collections.abc import Collection, Iterable, Iterator, Mapping

from korrin.sim.device import Device

__all__ = ["Testbed", "DeviceMap", "example_testbed"]


class DeviceMap(Mapping[str, Device]):
    """Devices by name; a device with a true alias can also be looked up by it.

    Iterating gives the names only, so each device is seen once.
    """

    def __init__(self, devices: Iterable[Device]) -> None:
        self._by_name: dict[str, Device] = {}
        self._by_alias: dict[str, Device] = {}
        for device in devices:
            for key in (device.name, device.alias):
                if key and (key in self._by_name or key in self._by_alias):
                    raise ValueError(f"Duplicate device name or alias '{key}'")
            self._by_name[device.name] = device
            if device.alias:
                self._by_alias[device.alias] = device

    def __getitem__(self, key: str) -> Device:
        try:
            return self._by_name[key]
        except KeyError:
            pass
        return self._by_alias[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._by_name)

    def __len__(self) -> int:
        return len(self._by_name)

    def __repr__(self) -> str:
        return f"DeviceMap({list(self._by_name.values())!r})"


class Testbed:
    """A named set of devices."""

    def __init__(self, name: str, devices: Iterable[Device] | Mapping[str, Device]) -> None:
        if isinstance(devices, Mapping):
            devices = devices.values()
        self.name = name
        self.devices = DeviceMap(devices)

    def find_devices(self, aliases: Collection[str | None] | None = None,
                     names: Collection[str] | None = None) -> list[Device]:
        """Devices whose alias is one of ``aliases`` and whose name is one of ``names``.

        A filter left as None does not restrict; the result keeps testbed order.
        """
        return [
            device
            for device in self.devices.values()
            if (aliases is None or device.alias in aliases) and (names is None or device.name in names)
        ]

    def __repr__(self) -> str:
        return f"Testbed({self.name!r}, {list(self.devices.values())!r})"


def _interface(description, ipv4, mtu=1500, status="up", in_pkts=0, out_pkts=0, vrf="default"):
    return {
        "description": description,
        "vrf": vrf,
        "enabled": True,
        "oper_status": status,
        "mtu": mtu,
        "ipv4": ipv4,
        "last_change": "1d02h",
        "counters": {"in_pkts": in_pkts, "out_pkts": out_pkts, "in_errors": 0},
    }


def _neighbor(remote_as, up_time, rcvd, sent, state="established"):
    return {"remote_as": remote_as, "shutdown": False, "state": state, "up_time": up_time, "msg_rcvd": rcvd,
            "msg_sent": sent}


MANAGEMENT_VRF = "Mgmt-intf"


def _management(address):
    """Every router's out-of-band management port, in its own VRF."""
    return _interface("out-of-band management", address, vrf=MANAGEMENT_VRF)


def example_testbed(learn_delay: float = 0.0) -> Testbed:
    """Three routers in a triangle: R1 (alias "uut"), R2 ("helper"), R3 (no alias, nxos)."""
    r1 = Device("R1", alias="uut", os="iosxe", learn_delay=learn_delay, state={
        "version": {"hostname": "R1", "os": "iosxe", "version": "17.9.4a", "platform": "C8000V",
                    "uptime": "3 weeks, 2 days, 4 hours, 11 minutes"},
        "vrfs": {MANAGEMENT_VRF: {"description": "out-of-band management", "rd": "65001:999"}},
        "bgp": {"local_as": 65001, "router_id": "10.255.0.1", "neighbors": {
            "10.0.0.2": _neighbor(65002, "2d04h", 4127, 4120),
            "10.0.0.6": _neighbor(65003, "2d03h", 3988, 3990),
        }},
        "interfaces": {
            "Ethernet1/1": _interface("to R2", "10.0.0.1/30", in_pkts=918273, out_pkts=918001),
            "Ethernet1/2": _interface("to R3", "10.0.0.5/30", in_pkts=712004, out_pkts=711877),
            "Loopback0": _interface("router id", "10.255.0.1/32", mtu=1514),
            "GigabitEthernet0": _management("192.168.255.11/24"),
        },
    })
    r2 = Device("R2", alias="helper", os="iosxe", learn_delay=learn_delay, state={
        "version": {"hostname": "R2", "os": "iosxe", "version": "17.9.4a", "platform": "C8000V",
                    "uptime": "1 week, 6 days, 22 hours, 40 minutes"},
        "vrfs": {MANAGEMENT_VRF: {"description": "out-of-band management", "rd": "65002:999"}},
        "bgp": {"local_as": 65002, "router_id": "10.255.0.2", "neighbors": {
            "10.0.0.1": _neighbor(65001, "2d04h", 4120, 4127),
        }},
        "interfaces": {
            "Ethernet1/1": _interface("to R1", "10.0.0.2/30", in_pkts=918001, out_pkts=918273),
            "Loopback0": _interface("router id", "10.255.0.2/32", mtu=1514),
            "GigabitEthernet0": _management("192.168.255.12/24"),
        },
    })
    r3 = Device("R3", alias=None, os="nxos", learn_delay=learn_delay, state={
        "version": {"hostname": "R3", "os": "nxos", "version": "10.3(4a)", "platform": "N9K-C9300v",
                    "uptime": "52 days, 7 hours, 3 minutes"},
        "vrfs": {MANAGEMENT_VRF: {"description": "out-of-band management", "rd": "65003:999"}},
        "bgp": {"local_as": 65003, "router_id": "10.255.0.3", "neighbors": {
            "10.0.0.5": _neighbor(65001, "2d03h", 3990, 3988),
        }},
        "interfaces": {
            "Ethernet1/2": _interface("to R1", "10.0.0.6/30", mtu=9216, in_pkts=711877, out_pkts=712004),
            "loopback0": _interface("router id", "10.255.0.3/32", mtu=1500),
            "mgmt0": _management("192.168.255.13/24"),
        },
    })
    return Testbed("example", [r1, r2, r3])
