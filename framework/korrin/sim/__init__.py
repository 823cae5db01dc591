"""A simulated testbed: devices with canned state, parsers and feature classes.

Enough of a network for examples and tests to run the profiling road end to
end without real equipment. Change a device's ``state`` (directly or with its
helper methods) between two learns to make a comparison fail. A device also
prints its running configuration, generated from that state, and a shut BGP
neighbour's session goes idle a fixed number of reads later, as if the
network took a while to converge.
"""

from korrin.sim.device import (
    Device,
    EmptyParserOutputError,
    ParserError,
    UnsupportedCommandError,
)
from korrin.sim.testbed import Testbed, example_testbed

__all__ = [
    "Device",
    "Testbed",
    "example_testbed",
    "ParserError",
    "UnsupportedCommandError",
    "EmptyParserOutputError",
]
