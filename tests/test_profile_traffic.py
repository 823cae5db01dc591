"""Traffic profile tables and traffic stream data files of korrin.utils.profile."""
import os
import types

import prettytable
import pytest
import yaml

import korrin.utils.profile as profile

FIELDS = ["Source/Dest Port Pair", "Traffic Item", "Tx Frames", "Rx Frames", "Frames Delta",
          "Tx Frame Rate", "Rx Frame Rate", "Loss %", "Outage (seconds)"]
ROWS = [["1/1-1/2", "item A", 1000, 998, 2, "10.5", "10.4", "0.2", "0.01"],
        ["1/3-1/4", "  spaced  ", 0, 0, 0, "", "0", "", "  "]]
NOT_FOUND = "Golden traffic profile file not found"
NO_BRANCH = "Golden traffic profile is a directory, branch information not provided"


@pytest.fixture
def run(tmp_path, monkeypatch):
    """The run directory, and the log lines written through banner/log."""
    lines = []
    (tmp_path / "run").mkdir()
    monkeypatch.setattr(profile, "runtime", types.SimpleNamespace(directory=str(tmp_path / "run")))
    monkeypatch.setattr(profile, "banner", lambda text: f"[{text}]")
    monkeypatch.setattr(profile, "log", types.SimpleNamespace(info=lines.append))
    monkeypatch.delenv("BRANCH", raising=False)
    return types.SimpleNamespace(dir=tmp_path / "run", lines=lines)


def table(*rows, cls=prettytable.PrettyTable):
    t = cls(FIELDS)
    for row in rows:
        t.add_row(row)
    return t


class Table(prettytable.PrettyTable):
    pass


@pytest.mark.parametrize("value", [None, {}, {"a": 1}, "traffic", 0, [ROWS[0]]])
def test_pickle_traffic_ignores_non_tables(run, value):
    assert profile.pickle_traffic(value) is None
    assert run.lines == [] and os.listdir(run.dir) == []


@pytest.mark.parametrize("cls, location, name", [
    (prettytable.PrettyTable, None, None), (Table, "", ""), (Table, None, "tgn.txt"),
    (prettytable.PrettyTable, "elsewhere", "tgn"),
])
def test_pickle_traffic_writes_table_text(run, monkeypatch, cls, location, name):
    monkeypatch.chdir(run.dir.parent)
    if location:
        os.mkdir(location)
    t = table(*ROWS, cls=cls)
    path = profile.pickle_traffic(t, location=location, tgn_profile_name=name)
    assert path == os.path.join(location or str(run.dir), name or "traffic_profile")
    with open(path, newline="") as f:
        assert f.read() == t.get_string()
    assert os.listdir(os.path.dirname(path)) == [os.path.basename(path)]
    assert run.lines == ["[Save traffic profile to Korrin Logs]"]


def test_pickle_traffic_failures_keep_previous_file(run):
    (run.dir / "traffic_profile").write_text("old")
    broken = table(ROWS[0])
    broken.get_string = lambda: 1 / 0
    with pytest.raises(ZeroDivisionError):
        profile.pickle_traffic(broken)
    assert os.listdir(run.dir) == ["traffic_profile"] and (run.dir / "traffic_profile").read_text() == "old"
    with pytest.raises(FileNotFoundError):
        profile.pickle_traffic(table(), location=str(run.dir / "missing"))


@pytest.mark.parametrize("rows", [[], ROWS, [[f"r{i}"] + [str(i)] * 8 for i in range(50)]])
def test_traffic_round_trip(run, rows):
    back = profile.unpickle_traffic(profile.pickle_traffic(table(*rows)))
    assert isinstance(back, prettytable.PrettyTable) and back.field_names == FIELDS
    assert back.rows == [[str(cell).strip() for cell in row] for row in rows]
    assert [back.align[f] for f in FIELDS] == ["l"] * 9


@pytest.mark.parametrize("target, branch, outcome", [
    ("main/golden_traffic_profile", None, None), ("main/golden_traffic_profile", "dev", None),
    ("", "main", None), ("", "dev", NOT_FOUND), ("", None, NO_BRANCH),
    ("nothing", None, NO_BRANCH), ("nothing", "main", NOT_FOUND), ("dir", "main", NOT_FOUND),
])
def test_golden_profile_location(run, monkeypatch, target, branch, outcome):
    (run.dir / "main").mkdir()
    (run.dir / "main" / "golden_traffic_profile").write_text(table(ROWS[0]).get_string())
    (run.dir / "dir" / "main" / "golden_traffic_profile").mkdir(parents=True)
    if branch:
        monkeypatch.setenv("BRANCH", branch)
    if outcome is None:
        assert profile.unpickle_traffic(str(run.dir / target)).rows == [[str(c) for c in ROWS[0]]]
        return
    with pytest.raises(profile.KorrinTgnError) as info:
        profile.unpickle_traffic(str(run.dir / target))
    assert info.value.args == (outcome,) and info.value.__cause__ is None
    assert not info.value.__suppress_context__ and run.lines == []


@pytest.mark.parametrize("text, rows", [
    ("| a | b---------c | " + " | ".join("x" * 7), []),
    ("|a|Outage (seconds)|" + "|".join("1" * 7) + "|", []),
    ("  |a| |c|d|e|f|g|h|i|  \n+--------+\n", [["a", "", "c", "d", "e", "f", "g", "h", "i"]]),
    (table(ROWS[0]).get_string() + "\n\n", ValueError),
    ("| 1 | 2 |\n| 3 | 4 |", ValueError),
])
def test_traffic_line_rules(run, text, rows):
    (run.dir / "t").write_text(text)
    if rows is ValueError:
        with pytest.raises(ValueError, match="incorrect number of values"):
            profile.unpickle_traffic(str(run.dir / "t"))
    else:
        assert profile.unpickle_traffic(str(run.dir / "t")).rows == rows


STREAMS = {"streams": [{"name": "s1", "rate": 10.5, "ports": ["1/1", "1/2"]}], "enabled": True}


@pytest.mark.parametrize("copy, copy_file, written", [
    (False, None, None), (False, "s", None), (True, None, None), (True, "", None), (0, "s", None),
    (True, "streams", "streams.yaml"), (1, "streams.yaml", "streams.yaml.yaml"),
])
@pytest.mark.parametrize("content", [STREAMS, [1, "a"], None])
def test_stream_data(run, copy, copy_file, written, content):
    source = run.dir.parent / "in.yaml"
    source.write_text("" if content is None else "# comment\n" + yaml.dump(content, default_flow_style=True))
    assert profile.unpickle_stream_data(str(source), copy=copy, copy_file=copy_file) == content
    assert run.lines == ["[Reading traffic streams data file]"]
    assert os.listdir(run.dir) == ([written] if written else [])
    if written:
        assert (run.dir / written).read_text() == yaml.dump(content, default_flow_style=False)


@pytest.mark.parametrize("kind, error", [
    ("missing", profile.KorrinTgnError), ("dir", profile.KorrinTgnError),
    ("!!python/object:os.stat_result {}", yaml.constructor.ConstructorError),
    ("a: [1, 2", yaml.YAMLError),
])
def test_stream_data_bad_input(run, kind, error):
    source = run.dir.parent / "in.yaml"
    if kind == "dir":
        source.mkdir()
    elif kind != "missing":
        source.write_text(kind)
    with pytest.raises(error) as info:
        profile.unpickle_stream_data(str(source), True, "copy")
    if error is profile.KorrinTgnError:
        assert info.value.args == ("Traffic stream data file not found",) and run.lines == []
    assert os.listdir(run.dir) == []


class Manager:
    """A file stand-in whose __exit__ fails; the special methods live on the class."""

    def __init__(self, path, mode="r"):
        self.path = path

    def __enter__(self):
        return self

    def read(self, *args):
        raise ValueError("in the block")

    def __exit__(self, *exc_info):
        raise KeyError("from __exit__")


def python_with_outcome():
    try:
        with Manager(None) as m:
            m.read()
    except BaseException as e:
        return type(e), type(e.__context__)


@pytest.mark.parametrize("reader", ["unpickle", "unpickle_traffic", "unpickle_stream_data"])
def test_failing_exit_keeps_the_block_error_as_context(run, monkeypatch, reader):
    source = run.dir / "in"
    source.write_text("x")
    monkeypatch.setattr(profile, "open", Manager, raising=False)
    monkeypatch.setattr(profile, "dill", types.SimpleNamespace(load=lambda f: f.read()))
    monkeypatch.setattr(profile, "yaml", types.SimpleNamespace(safe_load=lambda f: f.read()))
    with pytest.raises(BaseException) as info:
        getattr(profile, reader)(str(source))
    assert (type(info.value), type(info.value.__context__)) == python_with_outcome() == (KeyError, ValueError)


@pytest.mark.parametrize("missing", ["__enter__", "__exit__"])
def test_context_methods_are_looked_up_on_the_type(run, monkeypatch, missing):
    source = run.dir / "in"
    source.write_text("x")

    def opener(path, mode="rb"):
        kept = {k: v for k, v in vars(Manager).items() if k != missing}
        m = type("M", (), kept)(path)
        setattr(m, missing, lambda *a: m)  # instance attributes do not count
        return m

    def python(m):
        with m:
            pass

    monkeypatch.setattr(profile, "open", opener, raising=False)
    with pytest.raises(TypeError) as expected:
        python(opener(None))
    with pytest.raises(TypeError) as info:
        profile.unpickle(str(source))
    assert str(info.value) == str(expected.value)


def failing_loader():
    raise ValueError("bad file")


@pytest.mark.parametrize("name, call, context", [
    ("KorrinTgnError", lambda: profile.unpickle_traffic("/no/such/file"), type(None)),
    ("KorrinTgnError", lambda: profile.unpickle_stream_data("/no/such/file"), type(None)),
    ("DatafileError", lambda: profile.load_datafile("a.yaml", failing_loader), ValueError),
])
def test_raising_a_non_exception_is_a_type_error(run, monkeypatch, name, call, context):
    monkeypatch.setattr(profile, name, lambda message: message)
    with pytest.raises(TypeError, match="^exceptions must derive from BaseException$") as info:
        call()
    assert type(info.value.__context__) is context
