"""Paths given as str, bytes or os.PathLike, and writes that land whole: the
file functions of korrin.utils.profile against the same code in plain Python."""
import json
import os
import stat
import types

import prettytable
import pytest

import korrin.utils.profile as profile
from support import run_python

pytestmark = pytest.mark.filterwarnings("ignore:keys will default:DeprecationWarning")

# The plain-Python twin of the file functions, run beside the native ones in
# a subprocess (a crash must fail the tests, not end the run).
TWIN = '''
import json, os, dill, jsonpickle, prettytable, yaml
from korrin.harness.utils import recursive_trim
from korrin.harness.exceptions import KorrinTgnError

def pickle(pts, location=None, pts_name=None):
    if not pts:
        return None
    location = location or runtime.directory
    pts_name = pts_name or "pts"
    file = os.path.join(location, pts_name)
    with open(file, "wb") as f:
        dill.dump(pts, f)
    for feature in pts:
        for device, obj in pts[feature].items():
            file = os.path.join(location, "{l}_{d}_{f}_pts.json".format(l=pts_name, d=device, f=feature))
            with open(file, "w") as f:
                data = json.loads(jsonpickle.dumps({feature: {device: obj}}))
                json.dump(recursive_trim(data, keys=["py/object", "__dict__"]), f, indent=4)
    return file

def unpickle(file):
    with open(file, "rb") as f:
        return dill.load(f)

def pickle_traffic(tgn_profile, location=None, tgn_profile_name=None):
    location = location or runtime.directory
    tgn_file = os.path.join(location, tgn_profile_name or "traffic_profile")
    with open(tgn_file, "w") as f:
        f.write(tgn_profile.get_string())
    return tgn_file

def unpickle_traffic(file):
    if not os.path.isfile(file):
        if "BRANCH" not in os.environ:
            raise KorrinTgnError("branch")
        file = os.path.join(file, "{br}/golden_traffic_profile".format(br=os.environ["BRANCH"]))
    if not os.path.exists(file) or not os.path.isfile(file):
        raise KorrinTgnError("not found")
    table = prettytable.PrettyTable()
    table.field_names = ["c%d" % i for i in range(9)]
    with open(file, "r") as f:
        for line in f.read().splitlines():
            if "--------" in line or "Outage (seconds)" in line:
                continue
            table.add_row([p.strip() for p in line.strip().split("|") if len(p) > 0])
    return table

def unpickle_stream_data(file, copy=False, copy_file=None):
    if not os.path.exists(file) or not os.path.isfile(file):
        raise KorrinTgnError("not found")
    with open(file) as f:
        streams_dict = yaml.safe_load(f)
    if copy and copy_file:
        with open("{}.yaml".format(os.path.join(runtime.directory, copy_file)), "w") as f:
            yaml.dump(streams_dict, f, default_flow_style=False)
    return streams_dict
'''

DRIVER = '''
import json, os, pathlib, sys, tempfile, types
import prettytable
import korrin.utils.profile as native
twin = types.ModuleType("twin")
exec(TWIN, twin.__dict__)

def table():
    t = prettytable.PrettyTable(["Source/Dest Port Pair", "Traffic Item", "Tx Frames", "Rx Frames", "Frames Delta",
                                 "Tx Frame Rate", "Rx Frame Rate", "Loss %", "Outage (seconds)"])
    t.add_row(["1/1-1/2", "item", 10, 9, 1, "1", "1", "0", "0"])
    return t

KINDS = {"s": str, "b": os.fsencode, "p": pathlib.Path}

def resolve(arg, root):
    if arg == "TABLE":
        return table()
    if not isinstance(arg, str):
        return arg
    kind, where, rest = arg[0], arg[1], arg[2:]
    return KINDS[kind](os.path.join(root, rest) if where == "@" else rest)

def outcome(module, root, case):
    function, args, branch = case
    os.environ.pop("BRANCH", None)
    if branch:
        os.environ["BRANCH"] = branch
    resolved = [resolve(a, root) for a in args]
    runtime = types.SimpleNamespace(directory=os.path.join(root, "run"))
    module.runtime = runtime
    try:
        value = getattr(module, function)(*resolved)
        if isinstance(value, (str, bytes)):
            value = [type(value).__name__, os.fsdecode(value).replace(root, "<d>")]
        elif isinstance(value, prettytable.PrettyTable):
            value = [row for row in value.rows]
        result = ["ok", value]
    except Exception as e:
        result = ["error", type(e).__name__]
    files = {}
    for base, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(base, name), "rb") as f:
                files[os.path.relpath(os.path.join(base, name), root)] = f.read().decode("latin-1")
    return result + [files]

def prepare(root):
    for d in ("run", "loc", "in", "br/main"):
        os.makedirs(os.path.join(root, d))
    twin.pickle({"bgp": {"R1": {"a": 1}}}, os.path.join(root, "in"))
    twin.pickle_traffic(table(), os.path.join(root, "br/main"), "golden_traffic_profile")
    with open(os.path.join(root, "in.yaml"), "w") as f:
        f.write("streams: {a: 1}\\n")

for line in sys.stdin:
    case = json.loads(line)
    results = []
    for module in (native, twin):
        with tempfile.TemporaryDirectory() as root:
            prepare(root)
            results.append(outcome(module, root, case))
    print(json.dumps(results), flush=True)
'''

PTS = {"bgp": {"R1": {"a": 1}}}
# Argument specs: "s@loc" is the str path of loc in the case's directory, "b:golden"
# the bytes name b"golden", "p@..." a pathlib.Path; anything else as it is.
LOCATIONS = ["s@loc", "b@loc", "p@loc", None]
NAMES = ["s:golden", "b:golden", "p:golden", None]
CASES = (
    [("pickle", [PTS, loc, name], None) for loc in LOCATIONS for name in NAMES]
    + [("pickle", [{"bgp": {}}, "b@loc", "b:golden"], None)]
    + [("pickle_traffic", ["TABLE", loc, name], None) for loc in LOCATIONS for name in NAMES]
    + [("unpickle", [f"{k}@in/pts"], None) for k in "sbp"]
    + [("unpickle_traffic", [f"{k}@br/main/golden_traffic_profile"], None) for k in "sbp"]
    + [("unpickle_traffic", [f"{k}@br"], "main") for k in "sbp"]
    + [("unpickle_stream_data", [f"{k}@in.yaml", True, name], None) for k in "sbp"
       for name in ["s:streams", "b:streams", "p:streams", None]]
)


@pytest.fixture(scope="module")
def outcomes():
    script = f"TWIN = {TWIN!r}\n" + DRIVER
    cases = "".join(json.dumps(case) + "\n" for case in CASES)
    done = run_python(script, input=cases, cwd=None)
    lines = done.stdout.splitlines()
    return [json.loads(line) for line in lines] + [done.stderr[-2000:]] * (len(CASES) - len(lines))


@pytest.mark.parametrize("index", range(len(CASES)), ids=[
    "-".join([c[0]] + [str(a) for a in c[1] if not isinstance(a, dict) and a != "TABLE"]) for c in CASES])
def test_hostile_paths_behave_as_python(outcomes, index):
    result = outcomes[index]
    assert isinstance(result, list), f"the subprocess died: {result}"
    native, python = result
    assert native == python


# Atomic writes ----------------------------------------------------------------------

@pytest.fixture
def run(tmp_path, monkeypatch):
    (tmp_path / "run").mkdir()
    monkeypatch.setattr(profile, "runtime", types.SimpleNamespace(directory=str(tmp_path / "run")))
    monkeypatch.setattr(profile, "log", types.SimpleNamespace(info=lambda *a: None))
    source = tmp_path / "in.yaml"
    source.write_text("a: 1\n")
    return types.SimpleNamespace(dir=tmp_path / "run", source=str(source))


def traffic_table():
    t = prettytable.PrettyTable(["a", "b"])
    t.add_row(["1", "2"])
    return t


WRITERS = {
    "pickle": (lambda run: profile.pickle({"bgp": {"R1": 1}}), ["pts", "pts_R1_bgp_pts.json"]),
    "pickle_traffic": (lambda run: profile.pickle_traffic(traffic_table()), ["traffic_profile"]),
    "stream copy": (lambda run: profile.unpickle_stream_data(run.source, True, "streams"), ["streams.yaml"]),
}


@pytest.mark.parametrize("writer", WRITERS)
def test_leftovers_of_killed_runs_neither_block_nor_vanish(run, writer):
    write, names = WRITERS[writer]
    leftovers = {f".{name}.{os.getpid()}.{n}.tmp": f"killed {n}" for name in names for n in range(1, 4)}
    for name, text in leftovers.items():
        (run.dir / name).write_text(text)
    write(run)
    assert {p.name: p.read_text() for p in run.dir.iterdir() if p.name in leftovers} == leftovers
    assert sorted(p.name for p in run.dir.iterdir() if p.name not in leftovers) == sorted(names)


@pytest.mark.parametrize("collisions, error", [(1, None), (99, None), (100, FileExistsError)])
def test_temporary_name_collisions_are_retried(run, monkeypatch, collisions, error):
    tried = []

    def colliding_open(file, mode="r", *args, **kwargs):
        if mode.startswith("x") and len(tried) < collisions:
            tried.append(file)
            raise FileExistsError(17, "File exists", file)
        return open(file, mode, *args, **kwargs)

    monkeypatch.setattr(profile, "open", colliding_open, raising=False)
    if error:
        with pytest.raises(error):
            profile.pickle_traffic(traffic_table())
    else:
        assert profile.pickle_traffic(traffic_table()) == str(run.dir / "traffic_profile")
    assert len(set(tried)) == len(tried) == collisions  # a fresh name each time
    assert os.listdir(run.dir) == ([] if error else ["traffic_profile"])


@pytest.mark.parametrize("mode", [0o600, 0o644, 0o755, 0o4711])
def test_an_existing_file_keeps_its_mode(run, mode):
    target = run.dir / "traffic_profile"
    target.write_text("old")
    target.chmod(mode)
    profile.pickle_traffic(traffic_table())
    assert stat.S_IMODE(target.stat().st_mode) == mode and target.read_text() == traffic_table().get_string()


@pytest.mark.parametrize("points_to", ["existing file", "missing file", "chained link"])
def test_a_symlinked_target_is_written_through(run, tmp_path, points_to):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    real = elsewhere / "real"
    if points_to != "missing file":
        real.write_text("old")
        real.chmod(0o604)
    link = run.dir / "traffic_profile"
    if points_to == "chained link":
        (elsewhere / "hop").symlink_to(real)
        link.symlink_to(elsewhere / "hop")
    else:
        link.symlink_to(real)
    assert profile.pickle_traffic(traffic_table()) == str(link)
    assert link.is_symlink() and real.read_text() == traffic_table().get_string()
    assert os.listdir(run.dir) == ["traffic_profile"] and "real" in os.listdir(elsewhere)
    assert not [n for n in os.listdir(elsewhere) if n.endswith(".tmp")]
    if points_to != "missing file":
        assert stat.S_IMODE(real.stat().st_mode) == 0o604


@pytest.mark.parametrize("target", ["directory", "trailing slash", "loop"])
def test_targets_a_replace_cannot_stand_for_fail_as_open_does(run, target):
    path, name = run.dir / "t", "t/" if target == "trailing slash" else "t"
    if target == "loop":
        path.symlink_to(path)
    else:
        path.mkdir()
    with pytest.raises(OSError) as expected:
        open(os.path.join(run.dir, name), "w")
    with pytest.raises(OSError) as info:
        profile.pickle_traffic(traffic_table(), tgn_profile_name=name)
    assert type(info.value) is type(expected.value)
    assert os.listdir(run.dir) == ["t"]


def test_a_fifo_is_written_not_replaced(run):
    path = run.dir / "traffic_profile"
    os.mkfifo(path)
    reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)  # so that opening it for writing does not block
    try:
        profile.pickle_traffic(traffic_table())
        assert stat.S_ISFIFO(path.stat().st_mode) and os.read(reader, 1 << 16).decode() == traffic_table().get_string()
    finally:
        os.close(reader)
