"""Harness helpers used while profiling."""

import importlib

__all__ = ["load_class", "recursive_trim"]


def load_class(pts_entry, device):
    """Return the feature class named by a PTS entry's "class" ("module.Class").

    ``device`` is accepted for implementations that pick a class per device;
    this one does not. Import and lookup errors pass through as they are.
    """
    module_name, class_name = pts_entry["class"].rsplit(".", 1)
    return getattr(importlib.import_module(module_name), class_name)


def recursive_trim(data, keys):
    """Copy of a decoded JSON structure with the members named by ``keys`` removed.

    At every depth a dict member whose key is in ``keys`` is dropped; when its
    value is a dict, that dict's (trimmed) members take its place in the
    parent. With keys ["py/object", "__dict__"] this collapses the shapes an
    object encoder writes into plain data.
    """
    if isinstance(data, dict):
        trimmed = {}
        for key, value in data.items():
            if key in keys:
                if isinstance(value, dict):
                    trimmed.update(recursive_trim(value, keys))
            else:
                trimmed[key] = recursive_trim(value, keys)
        return trimmed
    if isinstance(data, (list, tuple)):
        return [recursive_trim(item, keys) for item in data]
    return data
