"""Config.tree on two generated running configurations of about 200,000
lines: a realistic device (mostly distinct lines) and a repetitive one (the
same few blocks again and again, so most lines merge into existing keys)."""
import json
import pathlib
import random
import sys

here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))
sys.path.insert(0, str(here.parent / "tests"))

import harness  # noqa: E402
from korrin.utils.config import Config  # noqa: E402
from oracles import config_model  # noqa: E402
from oracles.config_model import ModelConfig  # noqa: E402

compiled_config = harness.compiled(config_model)


def realistic_config(target_lines=200_000, seed=7):
    rnd = random.Random(seed)
    out = ["Building configuration...", "", "Current configuration : 8123456 bytes", "!",
           "! Last configuration change at 10:12:44 UTC Mon Mar 4 2024 by admin", "!",
           "version 17.3", "service timestamps debug datetime msec", "service timestamps log datetime msec",
           "service password-encryption", "!", "hostname core-rtr-01", "!",
           "banner motd \x03", "Authorised access only", "\x03", "!"]

    def ip():
        return f"10.{rnd.randrange(256)}.{rnd.randrange(256)}.{rnd.randrange(1, 255)}"

    # Interfaces with sub-lines, some with a nested service block.
    n = 0
    while len(out) < target_lines * 0.40:
        slot, port = divmod(n, 48)
        out.append(f"interface TenGigabitEthernet{slot // 8}/{slot % 8}/{port}")
        out.append(f" description link to dist-{rnd.randrange(900):03d} port {rnd.randrange(48)} circuit C{rnd.randrange(10**7)}")
        out.append(f" mtu {rnd.choice((1500, 9000, 9216))}")
        out.append(f" ip address {ip()} 255.255.255.252")
        out.append(f" ip ospf cost {rnd.randrange(1, 2000)}")
        out.append(" ip ospf network point-to-point")
        if rnd.random() < 0.3:
            out.append(f" service-policy input POLICY-IN-{rnd.randrange(64)}")
            out.append(f" service instance {rnd.randrange(1, 4000)} ethernet")
            out.append(f"  encapsulation dot1q {rnd.randrange(1, 4095)}")
            out.append(f"  rewrite ingress tag pop 1 symmetric")
        out.append(" no shutdown" if rnd.random() < 0.9 else " shutdown")
        out.append("!")
        n += 1

    # BGP with neighbours and address families.
    out.append("router bgp 65000")
    out.append(" bgp log-neighbor-changes")
    neighbours = [ip() for _ in range(int(target_lines * 0.02))]
    for peer in neighbours:
        out.append(f" neighbor {peer} remote-as {rnd.randrange(64512, 65535)}")
        out.append(f" neighbor {peer} description peer-{rnd.randrange(10**6)}")
    for family in ("ipv4 unicast", "vpnv4 unicast"):
        out.append(" !")
        out.append(f" address-family {family}")
        for peer in neighbours:
            out.append(f"  neighbor {peer} activate")
            out.append(f"  neighbor {peer} route-map RM-IN-{rnd.randrange(500)} in")
        out.append(" exit-address-family")
    out.append("!")

    # Route maps.
    seq = 0
    while len(out) < target_lines * 0.70:
        seq += 10
        out.append(f"route-map RM-IN-{seq // 50} permit {seq}")
        out.append(f" match ip address prefix-list PL-{rnd.randrange(10**5)}")
        out.append(f" set local-preference {rnd.randrange(50, 300)}")
        out.append(f" set community {rnd.randrange(65535)}:{rnd.randrange(65535)} additive")
        out.append("!")

    # Extended access lists.
    acl = 0
    while len(out) < target_lines * 0.92:
        acl += 1
        out.append(f"ip access-list extended ACL-EDGE-{acl}")
        for entry in range(10, 130, 10):
            out.append(f" {entry} permit tcp host {ip()} {ip()} 0.0.0.255 eq {rnd.choice((22, 80, 443, 8443))}")
        out.append(" 1000 deny ip any any log")
        out.append("!")

    # Prefix lists at the root.
    seq = 0
    while len(out) < target_lines - 1:
        seq += 5
        out.append(f"ip prefix-list PL-{seq // 100} seq {seq} permit {ip()}/{rnd.randrange(8, 32)}")
    out.append("end")
    return "\n".join(out) + "\n"


def repetitive_config(target_lines=200_000):
    blocks = [
        ["interface Loopback0", " ip address 192.0.2.1 255.255.255.255", " no shutdown", "!"],
        ["interface Vlan100", " description users", " ip address 10.1.0.1 255.255.255.0",
         " ip helper-address 10.0.0.10", " no shutdown", "!"],
        ["router ospf 1", " router-id 192.0.2.1", " passive-interface default",
         " no passive-interface Vlan100", " network 10.0.0.0 0.255.255.255 area 0", "!"],
        ["line vty 0 4", " exec-timeout 15 0", " transport input ssh", " login local", "!"],
        ["policy-map QOS-OUT", " class VOICE", "  priority percent 20", " class VIDEO",
         "  bandwidth remaining percent 30", " class class-default", "  fair-queue", "!"],
        ["ntp server 192.0.2.100", "logging host 192.0.2.200", "snmp-server community public RO", "!"],
    ]
    out = []
    i = 0
    while len(out) < target_lines:
        out.extend(blocks[i % len(blocks)])
        i += 1
    return "\n".join(out) + "\n"


def flat_plan(tree):
    """(parent index, key) in creation order: what any builder must allocate."""
    plan, stack = [], [(0, tree)]
    count = 1
    while stack:
        index, node = stack.pop()
        for key, child in node.items():
            plan.append((index, key))
            stack.append((count, child))
            count += 1
    return plan


def floor_builder(plan):
    def build():
        dicts = [{}]
        append = dicts.append
        for parent, key in plan:
            d = {}
            dicts[parent][key] = d
            append(d)
        return dicts[0]
    return build


def native(text):
    def run():
        c = Config(text)
        c.tree()
        return c.config
    return run


def model(text, cls=ModelConfig):
    def run():
        c = cls(text)
        c.tree()
        return c.config
    return run


def cases():
    realistic = realistic_config()
    repetitive = repetitive_config()
    tree = native(realistic)()
    assert tree == model(realistic)()
    assert native(repetitive)() == model(repetitive)()
    as_json = json.dumps(tree)
    assert json.loads(as_json) == tree
    plan = flat_plan(tree)
    assert floor_builder(plan)() == tree
    return [
        harness.Case("config realistic 200k lines: vs model, vs allocation floor", native(realistic),
                     baseline=model(realistic), compiled=compiled_config and model(realistic, compiled_config.ModelConfig),
                     floor=floor_builder(plan), min_speedup=3, max_floor_ratio=1.5),
        harness.Case("config realistic 200k lines: vs json.loads of the same tree", native(realistic),
                     baseline=lambda: json.loads(as_json), min_speedup=1.0),
        harness.Case("config repetitive 200k lines: vs model", native(repetitive),
                     baseline=model(repetitive), compiled=compiled_config and model(repetitive, compiled_config.ModelConfig),
                     min_speedup=10),
    ]


if __name__ == "__main__":
    sys.exit(harness.main(cases()))
