"""Device abstraction: pick a package's implementation for a given device.

An abstraction package is a package module with a true module-level
``__abstract_pkg``. Its implementations live in submodules named after the
device's ``os`` attribute: for a device with ``os = "iosxe"`` the
implementation of package ``pkg`` is ``pkg.iosxe``. A package without the
marker is used as it is for every device.

    lookup = Lookup.from_device(device, packages={"ops": korrin.sim.ops})
    lookup.ops.bgp.Bgp   # korrin.sim.ops.<device.os>.bgp.Bgp

Submodules are imported on first attribute read, so an implementation package
does not have to import its own modules up front.
"""

import importlib
import types

__all__ = ["Lookup"]


class Lookup:
    """Attribute access to the device-specific implementations of packages."""

    def __init__(self, device, packages):
        self._device = device
        self._packages = dict(packages)

    @classmethod
    def from_device(cls, device, packages=None):
        return cls(device, packages or {})

    def __getattr__(self, name):
        # Only reached for names that are not ordinary attributes.
        packages = self.__dict__.get("_packages", {})
        if name not in packages:
            raise AttributeError(f"Lookup has no package named '{name}'")
        return _Node(_implementation(name, packages[name], self._device))

    def __dir__(self):
        return sorted(self._packages)

    def __repr__(self):
        return f"<Lookup for {self._device!r}: {', '.join(self._packages)}>"


def _implementation(name, package, device):
    if not getattr(package, "__abstract_pkg", False):
        return package
    device_os = getattr(device, "os", None)
    if device_os:
        module = _import_submodule(package, str(device_os))
        if module is not None:
            return module
    raise LookupError(
        f"No implementation of abstraction package '{name}' "
        f"({package.__name__}) for device '{getattr(device, 'name', device)}' "
        f"with os '{device_os}'"
    )


def _import_submodule(module, name):
    """Import ``module.name``; None when no such submodule exists."""
    if not hasattr(module, "__path__"):
        return None
    fullname = f"{module.__name__}.{name}"
    try:
        return importlib.import_module(fullname)
    except ModuleNotFoundError as exc:
        # A missing module deeper down is a real error in the implementation.
        if exc.name != fullname:
            raise
        return None


class _Node:
    """A module reached through a Lookup; reads import submodules as needed."""

    def __init__(self, module):
        self._module = module

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        module = self._module
        try:
            value = getattr(module, name)
        except AttributeError:
            value = _import_submodule(module, name)
            if value is None:
                raise AttributeError(f"module '{module.__name__}' has no attribute '{name}'") from None
        return _Node(value) if isinstance(value, types.ModuleType) else value

    def __repr__(self):
        return f"<Lookup node {self._module.__name__}>"
