"""Data files shipped with the framework."""

import os

__all__ = ["korrin_yamls"]

_YAMLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "yamls")


class _Yamls:
    """Paths of the framework's default data files."""

    pts_datafile = os.path.join(_YAMLS, "pts_datafile.yaml")

    def __repr__(self):
        return f"<korrin_yamls in {_YAMLS}>"


korrin_yamls = _Yamls()
