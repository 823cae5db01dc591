"""Feature profiling: learn snapshots from a testbed, store a golden profile, compare, print.

The road of a profiling run::

    import os
    from brennic.dorvex import runtime
    from korrin.utils.profile import Profile, summarize_comparison

    features = ["bgp", "interface", "show version"]
    # Learn every feature on its devices (in parallel, one feature at a
    # time) and store the set: the golden profile file "golden_pts" plus
    # one JSON file per feature and device, in runtime.directory.
    Profile.learn_features(features, testbed, pts_data="pts_data.yaml", pts_name="golden_pts")
    # ... the trigger ...
    current = Profile.learn_features(features, testbed, pts_data="pts_data.yaml", file=True)
    result = Profile.compare(os.path.join(runtime.directory, "golden_pts"), current,
                             pts_data="pts_data.yaml", testbed=testbed)
    summarize_comparison(result)        # one framed box per feature

Beside that: traffic-generator profile tables (``pickle_traffic``,
``unpickle_traffic``) and traffic stream data files
(``unpickle_stream_data``).

What callers pass is described by ``Testbed``, ``Device``, ``TestScript`` and
``PtsEntry`` (a PTS data mapping is ``dict[str, PtsEntry | list[str]]``).
They exist only for type checkers: import them under
``if TYPE_CHECKING:``.

Logging goes to the logger "korrin.utils.profile" (the module global
``log``), at INFO; the boxes of ``summarize_comparison`` are ``Summary``
boxes and go to the root logger, at INFO and ERROR (see
``korrin.utils.summary`` for what shows when logging is not configured).
Every module-level name (``pcall``, ``Diff``,
``runtime``, ``dill``, ``jsonpickle``, ...) is read when a function runs,
so rebinding one (e.g. with ``monkeypatch``) redirects the work.
"""

import importlib as importlib
import json as json
import logging as logging
import os as os
import sys as sys
from collections.abc import Callable, Collection, Mapping, MutableMapping
from typing import Any, Protocol, TypeAlias, TypedDict, TypeVar, type_check_only

import dill as dill  # type: ignore[import-untyped]
import jsonpickle as jsonpickle  # type: ignore[import-untyped]
import prettytable as prettytable
import yaml as yaml  # type: ignore[import-untyped]
from _typeshed import FileDescriptorOrPath, StrPath
from korrin.utils._names import NameCollection, Names
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

@type_check_only
class Device(Protocol):
    """A device of the testbed, as profiling uses it.

    ``name`` is its name; ``alias`` its alias or ``None``. A device is
    filed (snapshot set keys, JSON file names, the verdict) under its alias
    when that is true, else under its name; the learning log lines show the
    alias as it is, so a device without one appears as None there.

    A device must be hashable (devices named twice are learnt once), and a
    feature learnt as a show command ("show version") needs a
    ``parse(command)`` method that returns the parsed output.
    """

    @property
    def name(self) -> str: ...
    @property
    def alias(self) -> str | None: ...

@type_check_only
class Testbed(Protocol):
    """The testbed handed to ``Profile.learn_features`` and ``Profile.compare``.

    ``devices`` maps every device name and every alias to its device object
    and raises ``KeyError`` for anything else. ``find_devices`` is called
    as ``find_devices(aliases=["uut"])`` for a feature whose PTS entry names
    no devices, or names one the testbed lacks; it returns the devices with
    that alias.

    The simulated testbed (``korrin.sim.Testbed``) qualifies. A
    ``SimpleNamespace(devices={...})`` lacks ``find_devices``, which a
    feature without a "devices" list needs (type checkers cannot tell: a
    namespace answers every attribute).
    """

    @property
    def devices(self) -> Mapping[str, Device]: ...
    def find_devices(self, *, aliases: list[str]) -> Collection[Device]: ...

@type_check_only
class TestScript(Protocol):
    """The running test script (or section) that gathers features over several calls.

    ``parameters["learnt_dict"]`` must be a ``dict`` before the first call;
    each ``learn_features`` call merges its features into it, and the call
    after which its keys equal ``set(pts_features)`` stores the whole set.
    ``pts_features`` holds names (a list, not one text: the letters of
    "bgp" never equal a feature name, so nothing would be stored).
    """

    @property
    def parameters(self) -> Mapping[str, Any]: ...
    @property
    def pts_features(self) -> NameCollection: ...

# "class" is no identifier, so that key comes from a functional TypedDict.
_PtsEntryClass = TypedDict("_PtsEntryClass", {"class": str}, total=False)

@type_check_only
class PtsEntry(_PtsEntryClass, total=False):
    """What the PTS data says about one feature; every key is optional.

    - "class": the dotted name of the feature class, read by the framework's
      ``load_class`` (a show command such as "show version" needs none).
    - "devices": testbed device names or aliases to learn the feature on;
      without it (or when a name is not in the testbed) the feature is
      learnt on the one device whose alias is "uut".
    - "exclude": keys (or regular expressions for whole keys) that
      ``Profile.compare`` ignores for this feature.

    A PTS data mapping has one such entry per feature name, plus an
    optional top-level "exclude" list applied to every feature. In YAML::

        bgp:
          class: korrin.sim.features.Bgp
          devices: [R1, R2]
          exclude: [up_time]
        show version:
          devices: [R1]
        exclude: [uptime]
    """

    devices: list[str]
    exclude: list[str]

# Feature name -> device key (alias, else name) -> learnt feature object.
_LearntDict: TypeAlias = dict[str, dict[Any, Any]]
# Feature name -> {"failed": ..., "passed": ...}, plus "not_compared": set[str].
_SummarizedDict: TypeAlias = dict[str, Any]
# Feature name -> its entry, and "exclude" -> a list of keys.
_PtsMapping: TypeAlias = dict[str, PtsEntry | list[str]]
# PTS data as a mapping, the path of a PTS data file, or nothing for the default.
_PtsData: TypeAlias = _PtsMapping | StrPath | None
_M = TypeVar("_M", bound=MutableMapping[Any, Any])

class _DatafileLoader(Protocol):
    def load(self, datafile: Any, /) -> Any: ...

class Profile:
    """A namespace of two class methods: ``learn_features`` and ``compare``.

    PTS data (``pts_data`` of both) is resolved the same way: ``None`` (or
    anything false) loads the framework's default PTS data file; a ``dict``
    is used as it is; the path of an existing file is loaded with the
    framework's PTS data loader; anything else is used as it is (a path to
    no file then fails at the first feature lookup, with ``TypeError``
    "string indices must be integers").
    """

    @classmethod
    def compare(
        cls,
        compare1: _LearntDict | FileDescriptorOrPath,
        compare2: _LearntDict | FileDescriptorOrPath,
        pts_data: _PtsData = None,
        testbed: Testbed | None = None,
        verf_data: object = None,
    ) -> _SummarizedDict:
        """Compare two snapshot sets feature by feature and device by device.

        Features in only one set are not compared; they are listed under
        "not_compared". For each feature in both, the devices are those of
        ``compare2[feature]``, in sorted order: a device only in
        ``compare1`` (the golden side) is not compared at all, and a device
        only in ``compare2`` raises ``KeyError``. Each pair of feature
        objects goes through the framework's ``Diff`` with an exclusion list
        of "device", "maker", "diff_ignore", "callables",
        "(Current configuration.*)", the feature's ops (or else parser)
        exclusions, the feature's PTS "exclude" and the top-level PTS
        "exclude". Each failing device is logged as "Verify '<feature>'
        snapshot with initial snapshot for device '<device>'" / "Failed".

        Args:
            compare1: the reference (golden) set, or the path of a golden
                profile file, loaded with ``unpickle``.
            compare2: the set to check, or a path; its device keys decide
                which devices are compared.
            pts_data: PTS data, its file's path, or ``None`` for the
                framework's default file (see ``Profile``).
            testbed: looked up for every compared device key; required
                whenever there is a device to compare.
            verf_data: accepted and not used.

        Returns:
            ``{"not_compared": {feature, ...}, feature: {"failed": {device:
            diff}, "passed": {device: {}}}, ...}``. Features come in the
            iteration order of a ``set`` of their names, which varies
            between runs with the interpreter's hash seed (fix
            ``PYTHONHASHSEED`` for the same order, see the README).

        Raises:
            KeyError: a device of ``compare2`` missing from ``compare1``.
            AttributeError: ``testbed`` is ``None`` with a device to compare.
            DatafileError: the PTS data file cannot be read.
            Exception: whatever ``unpickle``, the testbed, ``Diff`` raise.
        """

    @classmethod
    def learn_features(
        cls,
        features: Names,
        testbed: Testbed,
        pts_data: _PtsData = None,
        current_instance: object = None,
        testscript: TestScript | None = None,
        file: object = None,
        location: StrPath | None = None,
        pts_name: str | None = None,
    ) -> _LearntDict:
        """Learn every feature on its devices and (unless ``file``) store the set.

        Features are learnt one after the other; each on all its devices at
        once, through the test infrastructure's ``pcall`` (one worker per
        device, each with its own copy of the arguments). A one-word
        feature not starting with "show" is learnt with its PTS entry's
        class; anything else ("show version") is parsed on the device with
        ``device.parse``. Each feature's devices are logged as "Profile
        '<feature>' on '[...]'" with their aliases (None for a device
        without one), and each device's worker logs a banner.

        Args:
            features: feature names, in the order to learn them (a list,
                not one text: "bgp" would be the features "b", "g" and "p");
                each must have an entry in the PTS data.
            testbed: where the devices are found (see ``Testbed``).
            pts_data: PTS data, its file's path, or ``None`` for the
                framework's default file (see ``Profile`` and ``PtsEntry``).
            current_instance: accepted and not used.
            testscript: when given (and ``file`` false), the features are
                gathered in ``testscript.parameters["learnt_dict"]`` and
                stored once all of ``testscript.pts_features`` are there.
            file: true: only return the set, store nothing.
            location: directory for the stored files (default
                ``runtime.directory``).
            pts_name: base name of the stored files (default "pts").

        Returns:
            This call's snapshot set: ``{feature: {device key: feature
            object}}``, the device key being the alias, or the name when
            the alias is false.

        Raises:
            KeyError: ``features`` empty ("No features were passed to be
                learnt"), or a feature missing from the PTS data ("'bgp'
                does not exists in pts_data file").
            Exception: "No 'uut' device was found", "More than one device
                were found with alias 'uut'; ...", or "Failed in learning
                '<feature>' feature" followed by the worker's error.
            DatafileError: the PTS data file cannot be read.

        Example::

            learnt = Profile.learn_features(["bgp"], testbed, pts_data={"bgp": {
                "class": "korrin.sim.features.Bgp", "devices": ["R1", "R2"]}}, file=True)
            learnt["bgp"]["uut"]        # R1's Bgp object (R1's alias is "uut")
        """

def load_datafile(datafile: Any, cls: Callable[[], _DatafileLoader]) -> Any:
    """Read a data file with a loader class: ``cls().load(datafile)``.

    Args:
        datafile: what the loader reads, normally a path.
        cls: the loader class, called with no arguments; its result's
            ``load`` takes the data file.

    Returns:
        What ``load`` returned, unchanged.

    Raises:
        DatafileError: "Failed to load the datafile '<datafile>'", caused
            by whatever the loader raised.
    """

def asynchronous_profile(device: Device, feature: str, pts_data: PtsEntry, learnt_dict: Mapping[str, _M]) -> _M:
    """Learn one feature on one device and return it serialised (one ``pcall`` worker's job).

    Logs a banner "Profile '<feature>' on '<alias>'". A feature class (a
    one-word name not starting with "show") is found by the framework's
    ``load_class`` from ``pts_data``, built with the device and asked to
    ``learn()``; its ``pickle(obj)`` gives the stored value. A show command
    is ``device.parse(feature)``, stored as ``dill.dumps`` bytes.

    Args:
        device: the device (see ``Device``).
        feature: the feature name.
        pts_data: this feature's PTS entry (not the whole PTS data).
        learnt_dict: must hold ``feature``; its mapping is written into.

    Returns:
        ``learnt_dict[feature]`` itself, with the device key (alias, else
        name) set to the serialised snapshot and "obj" to the feature
        object (or, for a show command, the feature name).

    Raises:
        Exception: "Issue with loading a pts class or when learning the
            '<feature>' feature on device '<name>'", "Issue while pickling
            the object '<object>'" or "Issue with '<feature>'", each
            followed by the cause's text where it applies.
        AttributeError: the device has no ``alias``.
        KeyError: ``learnt_dict`` has no entry for ``feature``.
    """

def unpickle(file: FileDescriptorOrPath) -> Any:
    """Load a golden profile file written by ``pickle`` (or ``learn_features``).

    Args:
        file: its path.

    Returns:
        The stored snapshot set, as new objects.

    Raises:
        Exception: ``file`` false ("No Golden PTS profile file provided").
        OSError: the file cannot be opened.

    The file is read with ``dill``, which runs code from it like any
    pickle: only load files your own runs wrote.
    """

def pickle(
    pts: Mapping[Any, Mapping[Any, Any]] | None, location: StrPath | None = None, pts_name: str | None = None
) -> str | None:
    """Store a snapshot set: the golden profile file, then one JSON file per feature and device.

    Files, in ``location`` (default ``runtime.directory``) with base name
    ``pts_name`` (default "pts"):

    - ``<pts_name>``: the whole set, serialised with ``dill`` (read back by
      ``unpickle``);
    - ``<pts_name>_<device>_<feature>_pts.json``: one device's object for
      one feature, as readable JSON (indent 4), for people and other tools.
      "/" (and NUL) in a device key or feature name become "_".

    Each file is replaced atomically; the files are written one after the
    other, so a failure part-way leaves the earlier files new and the later
    ones as they were (see the README).

    Args:
        pts: the snapshot set; ``None`` or empty writes nothing.
        location: the directory.
        pts_name: the base name.

    Returns:
        The path of the last file written: the last JSON file (not the
        golden profile file) whenever some feature has a device; the golden
        profile file when none has; ``None`` when ``pts`` is empty. For the
        golden file use ``os.path.join(location, pts_name)``.

    Raises:
        OSError: the directory is missing or not writable.
        Exception: an object that ``dill`` or ``jsonpickle`` cannot encode.
            With dill 0.4.1 on CPython 3.15 that includes anything that
            reaches a function defined in the running script's
            ``__main__`` (a method of a class defined there, a lambda):
            ``AttributeError: 'code' object has no attribute 'co_lnotab'``.
            Classes and functions imported from a module are stored by
            reference and work.
    """

def summarize_comparison(
    summarized_dict: Mapping[str, Any], passed_feature: str | None = None, print_not_compared: object = True
) -> None:
    """Print the result of ``Profile.compare``: one box of width 150 per feature.

    Each box is titled "<Feature> PTS Summary" (the name in title case) and
    lists the failing devices with their differences (at level ERROR),
    then the passing ones. Then one box per feature learnt on one side
    only: "No comparison performed, it wasn't learnt at this section".

    Args:
        summarized_dict: the result of ``Profile.compare``.
        passed_feature: when given, only this feature's box is printed
            among the compared features.
        print_not_compared: false: no box for the features not compared.

    Raises:
        KeyError: an entry without "failed"/"passed", or no "not_compared"
            (after the earlier boxes were printed).
    """

def pickle_traffic(
    tgn_profile: object, location: StrPath | None = None, tgn_profile_name: str | None = None
) -> str | None:
    """Write a traffic profile table as text into the run directory.

    Args:
        tgn_profile: a ``prettytable.PrettyTable``; anything else is
            ignored (nothing logged or written, ``None`` returned).
        location: the directory (default ``runtime.directory``).
        tgn_profile_name: the file name (default "traffic_profile").

    Returns:
        The path written, or ``None``.

    Raises:
        OSError: the directory is missing or not writable.
    """

def unpickle_traffic(file: StrPath) -> prettytable.PrettyTable:
    """Read a traffic profile file back as a left-aligned table of nine text columns.

    Args:
        file: a traffic profile file, or a directory holding
            ``<BRANCH>/golden_traffic_profile``, BRANCH being the
            environment variable.

    Returns:
        A new table with the columns "Source/Dest Port Pair", "Traffic
        Item", "Tx Frames", "Rx Frames", "Frames Delta", "Tx Frame Rate",
        "Rx Frame Rate", "Loss %", "Outage (seconds)"; every cell is text.

    Raises:
        KorrinTgnError: "Golden traffic profile is a directory, branch
            information not provided" (not a file and no BRANCH), or
            "Golden traffic profile file not found".
        Exception: a data row without nine cells (from ``add_row``).
    """

def unpickle_stream_data(file: StrPath, copy: object = False, copy_file: str | None = None) -> Any:
    """Read a traffic stream data file (YAML), optionally keeping a copy in the run directory.

    The file is read with ``yaml.safe_load``; with ``copy`` and
    ``copy_file`` both true, writes the data again (block-style YAML) to
    ``<runtime.directory>/<copy_file>.yaml``.

    Args:
        file: the stream data file.
        copy: write a copy when true (and ``copy_file`` is given).
        copy_file: the copy's base name, ".yaml" added.

    Returns:
        What the YAML document holds: normally a dict, ``None`` when empty.

    Raises:
        KorrinTgnError: "Traffic stream data file not found" (missing or
            not a regular file).
        yaml.YAMLError: the file is not plain YAML.
        OSError: the copy cannot be written.
    """
