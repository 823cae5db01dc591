"""Path parsing: str_to_list over typical structure paths, against the
plain-Python reading of the same algorithm."""
import pathlib
import sys
from collections import deque

import harness
from korrin.utils.symfind import str_to_list

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from oracles import symfind_model  # noqa: E402
from oracles.symfind_model import str_to_list as plain_str_to_list  # noqa: E402

compiled_symfind = harness.compiled(symfind_model)

PATHS = [
    "[vrf][default][address_family][ipv4 unicast][neighbors][(.*)][state]",
    "[info][(.*)][counters]",
    "[vrf][(.*)][address_family][ipv6 unicast][routes][(.*)][next_hop][next_hop_list][1][outgoing_interface]",
    "[interfaces][Ethernet1/1][mtu]",
    "[interfaces][(.*)][ipv4][(.*)][ip]",
    "[instance][default][vrf][default][neighbor][10.1.1.1][address_family][vpnv4 unicast][session_state]",
    "[lldp][interfaces][GigabitEthernet0/0/1][neighbors][(.*)][system_name]",
    "[device][(.*)][info][platform][chassis]",
    "[process][ospf 1][area][0.0.0.0][interfaces][Loopback0][cost]",
    "[mac_table][vlans][100][mac_addresses][(.*)][interfaces][(.*)][entry_type]",
    "[route_policy][RP-IN][statements][10][actions][set_local_pref]",
    "[slot][rp][0][rp_state]",
    "[vrf][management][address_family][ipv4][routes][0.0.0.0/0][source_protocol]",
    "[acls][acl_name][aces][(.*)][actions][forwarding]",
    "[interfaces][Port-channel1][members][(.*)][bundled]",
    "[features][bgp][(.*)][enabled]",
    "[ntp][associations][address][(.*)][local_mode][client][isconfigured][True]",
    "[version][uptime]",
    "[neighbor][(.*)][address_family][l2vpn evpn][prefix_activity][received][total_prefixes]",
    "[vlans][1][interfaces][GigabitEthernet1/0/2][vlan_mode]",
]


def parse_all(parse):
    def run():
        for _ in range(50):
            for path in PATHS:
                parse(path)
    return run


def bare_split(path):
    # Only cutting the text into key strings: what any parser has to produce.
    return deque(path.replace("[", " ").replace("]", " ").split())


def cases():
    assert all(list(str_to_list(p)) == list(plain_str_to_list(p)) for p in PATHS)
    return [
        harness.Case("symfind.str_to_list, 20 realistic paths x50", parse_all(str_to_list),
                     baseline=parse_all(plain_str_to_list),
                     compiled=compiled_symfind and parse_all(compiled_symfind.str_to_list), floor=parse_all(bare_split), min_speedup=10),
    ]


if __name__ == "__main__":
    sys.exit(harness.main(cases()))
