"""Loader of PTS data files."""

from os import PathLike
from typing import Any

import yaml

from brennic.strivel.exceptions import DatafileError

__all__ = ["PtsdatafileLoader"]


class PtsdatafileLoader:
    """Reads a PTS data file: a YAML document whose top level is a mapping."""

    def load(self, path: str | PathLike[str]) -> dict[str, Any]:
        try:
            with open(path, encoding="utf-8") as stream:
                data = yaml.safe_load(stream)
        except OSError as exc:
            raise DatafileError(f"Cannot read PTS data file '{path}': {exc}") from exc
        except yaml.YAMLError as exc:
            raise DatafileError(f"PTS data file '{path}' is not valid YAML: {exc}") from exc
        if not isinstance(data, dict):
            raise DatafileError(
                f"PTS data file '{path}' must hold a mapping of features, not {type(data).__name__}"
            )
        return data
