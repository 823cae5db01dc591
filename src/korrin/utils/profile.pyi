# Type information for korrin.utils.profile (learning, storing and comparing
# feature snapshots; traffic profiles).
import importlib as importlib
import json as json
import logging as logging
import os as os
import sys as sys
from collections.abc import Callable, Iterable, Mapping, MutableMapping
from typing import Any, Protocol, TypeAlias, TypeVar

import dill as dill  # type: ignore[import-untyped]
import jsonpickle as jsonpickle  # type: ignore[import-untyped]
import prettytable as prettytable
import yaml as yaml  # type: ignore[import-untyped]
from _typeshed import FileDescriptorOrPath, StrPath
from korrin.utils.summary import Summary as Summary

# Test infrastructure and framework services; not described here.
pcall: Any
runtime: Any
banner: Any
AttrDict: Any
DatafileError: Any
Lookup: Any
Diff: Any
korrin_yamls: Any
get_ops_exclude: Any
load_class: Any
get_parser_exclude: Any
recursive_trim: Any
PtsdatafileLoader: Any
KorrinTgnError: Any

log: logging.Logger

# Feature name -> device key (alias, else name) -> learnt feature object.
_LearntDict: TypeAlias = dict[str, dict[Any, Any]]
# Feature name -> {"failed": ..., "passed": ...}, plus "not_compared": set[str].
_SummarizedDict: TypeAlias = dict[str, Any]
# PTS data as a mapping, the path of a PTS data file, or nothing for the default.
_PtsData: TypeAlias = dict[str, Any] | StrPath | None
_M = TypeVar("_M", bound=MutableMapping[Any, Any])

class _DatafileLoader(Protocol):
    def load(self, datafile: Any, /) -> Any: ...

class Profile:
    @classmethod
    def compare(
        cls,
        compare1: _LearntDict | FileDescriptorOrPath,
        compare2: _LearntDict | FileDescriptorOrPath,
        pts_data: _PtsData = None,
        testbed: Any = None,
        verf_data: object = None,
    ) -> _SummarizedDict: ...
    @classmethod
    def learn_features(
        cls,
        features: Iterable[str],
        testbed: Any,
        pts_data: _PtsData = None,
        current_instance: object = None,
        testscript: Any = None,
        file: object = None,
        location: StrPath | None = None,
        pts_name: str | None = None,
    ) -> _LearntDict: ...

def load_datafile(datafile: Any, cls: Callable[[], _DatafileLoader]) -> Any: ...

# Learns `feature` on `device`; returns learnt_dict[feature] with the device's
# serialised snapshot and "obj" set in it.
def asynchronous_profile(device: Any, feature: str, pts_data: Any, learnt_dict: Mapping[str, _M]) -> _M: ...
def unpickle(file: FileDescriptorOrPath) -> Any: ...

# Returns the path of the last file written, None when `pts` is empty.
def pickle(
    pts: Mapping[Any, Mapping[Any, Any]] | None, location: StrPath | None = None, pts_name: str | None = None
) -> str | None: ...
def summarize_comparison(
    summarized_dict: Mapping[str, Any], passed_feature: str | None = None, print_not_compared: object = True
) -> None: ...

# Anything but a table is ignored (None returned, nothing written).
def pickle_traffic(
    tgn_profile: object, location: StrPath | None = None, tgn_profile_name: str | None = None
) -> str | None: ...
def unpickle_traffic(file: StrPath) -> prettytable.PrettyTable: ...

# Returns whatever the YAML document holds (normally a dict, None when empty).
def unpickle_stream_data(file: StrPath, copy: object = False, copy_file: str | None = None) -> Any: ...
