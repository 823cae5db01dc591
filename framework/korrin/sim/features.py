"""Feature (ops) classes of the simulated devices.

A feature object is built on a device, ``learn()`` takes a snapshot of one
section of the device's state into ``info``, and ``pickle``/``unpickle``
carry the object across process boundaries.
"""

import copy
import time

import dill

__all__ = ["Feature", "Bgp", "Interface", "Maker"]


class Maker:
    """Bookkeeping of how a snapshot was made; differs on every learn."""

    def __init__(self, device_name):
        self.device_name = device_name
        self.commands = []
        self.learnt_at = None

    def record(self, command):
        self.commands.append(command)
        self.learnt_at = time.time()

    def __eq__(self, other):
        return type(self) is type(other) and vars(self) == vars(other)


class Feature:
    """Base of the simulated features."""

    section = None  # the key of device.state this feature snapshots
    command = None  # what the device would have been asked, for ``maker``
    exclude = ["maker"]  # keys that change on every learn; read by get_ops_exclude

    def __init__(self, device):
        self.device = device
        self.maker = Maker(device.name)
        self.callables = {}
        self.diff_ignore = list(self.exclude)
        self.info = {}

    def learn(self):
        # The delay stands in for the time a real device takes to answer.
        if self.device.learn_delay:
            time.sleep(self.device.learn_delay)
        self.info = copy.deepcopy(self.device.read(self.section) or {})
        self.maker.record(self.command)

    def pickle(self, obj):
        return dill.dumps(obj)

    def unpickle(self, value):
        return dill.loads(value)

    def __eq__(self, other):
        return type(self) is type(other) and vars(self) == vars(other)

    __hash__ = None

    def __repr__(self):
        return f"<{type(self).__name__} of {self.device}>"


class Bgp(Feature):
    section = "bgp"
    command = "show bgp summary"
    exclude = ["maker", "up_time"]


class Interface(Feature):
    section = "interfaces"
    command = "show interfaces"
    exclude = ["maker", "counters"]
