"""BGP health checks for iosxe devices."""

__all__ = ["established_neighbors"]


def established_neighbors(device):
    """Addresses of the BGP neighbors in state established, sorted."""
    neighbors = device.parse("show bgp summary")["neighbors"]
    return sorted(n for n, data in neighbors.items() if data["state"] == "established")
