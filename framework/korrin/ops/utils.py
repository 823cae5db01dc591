"""Helpers around ops feature classes."""

from korrin.sim import features

__all__ = ["get_ops_exclude"]

# Feature name -> its ops class.
_OPS_CLASSES = {
    "bgp": features.Bgp,
    "interface": features.Interface,
}


def get_ops_exclude(feature, device):
    """Keys of the feature's ops object that change on their own.

    Raises LookupError for a feature without an ops class (show commands).
    """
    try:
        ops_class = _OPS_CLASSES[feature]
    except (KeyError, TypeError):
        raise LookupError(
            f"No ops class for feature '{feature}' on device '{getattr(device, 'name', device)}'"
        ) from None
    return list(ops_class.exclude)
