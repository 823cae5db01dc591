import collections
import gc
import json
import sys
import tracemalloc

import pytest
from hypothesis import HealthCheck, given, settings

from differential import (Loose, Marked, config_excludes, config_outcome, config_texts, exclude_attributes,
                          json_documents, ordered)
from korrin.utils import config as config_module
from korrin.utils.config import Config
from oracles.config_model import ModelConfig

EXAMPLE = ("Building configuration...\n!\nhostname R1\n!\ninterface Ethernet1\n description uplink\n shutdown\n!\n"
           "router bgp 100\n neighbor 10.0.0.2 remote-as 200\n address-family ipv4\n"
           "  neighbor 10.0.0.2 activate\n exit-address-family\n!\nend\n")


def assert_like_model(output, exclude=None, exclude_attr=None):
    assert config_outcome(Config, output, exclude, exclude_attr) == config_outcome(ModelConfig, output, exclude,
                                                                                   exclude_attr)


def tree_of(output, exclude=None):
    config = Config(output, exclude)
    config.tree()
    return config.config


def test_module_and_class_surface():
    assert [n for n in vars(config_module) if not n.startswith("__")] == ["json", "namedtuple", "deque", "Config"]
    assert (config_module.json, config_module.namedtuple, config_module.deque) == (
        json, collections.namedtuple, collections.deque)
    assert Config.__doc__.startswith("Class to store show-running output\n\nAllows to visualize it like a dictionary")
    assert vars(Config("t", [])) == {"output": "t", "exclude": ["!", None, "\r", ""]}
    assert Config("t", iter("ab")).exclude == ["!", None, "\r", "", "a", "b"]


def test_worked_example():
    assert ordered(tree_of(EXAMPLE)) == [
        ("Building configuration...", []), ("hostname R1", []),
        ("interface Ethernet1", [("description uplink", []), ("shutdown", [])]),
        ("router bgp 100", [("neighbor 10.0.0.2 remote-as 200", []),
                            ("address-family ipv4", [("neighbor 10.0.0.2 activate", [])]),
                            ("exit-address-family", [])]),
        ("end", [])]


@pytest.mark.parametrize("output, exclude, expected", [
    ('{"a": {"b": []}}', None, {"a": {"b": []}}),
    ("", None, {}),
    ("a\r\n b\r\n", None, {"a": {"b": {}}}),
    ("a\r b\n c", None, {"a b": {"c": {}}}),                 # a lone CR ends no line
    ("a\n  ! note\n b\n!x\n\n   \n", None, {"a": {"b": {}}}),
    ("end\n ending\nend x", ["end"], {"ending": {}, "end x": {}}),
    ("a\nb\nab", "ab", {"ab": {}}),                          # a str excludes its characters
    ("banner motd \x03\nhello\n\x03", None, {"banner motd ^C": {}, "hello": {}, "^C": {}}),
    ("a\n  b\n c", None, {"a": {"b": {}}, "c": {}}),          # dedent to a column never opened
    ("  a\nb", None, {"a": {}, "b": {}}),
    ("a\n\tb\n \tc\n\u3000d", None, {"a": {"b": {"c": {}}, "d": {}}}),
    ("a\n \r\rb\n c\nx\r\x03y\r", None, {"a": {"b": {}, "c": {}}, "x^Cy": {}}),
    # A line seen again under the same parent keeps its children.
    ("a\n b\na\n x", None, {"a": {"b": {}, "x": {}}}),
    ("a\n b\n  c\nz\na\n b\n  d", None, {"a": {"b": {"c": {}, "d": {}}}, "z": {}}),
])
def test_edge_cases(output, exclude, expected):
    assert ordered(tree_of(output, exclude)) == ordered(expected)


def test_tree_reads_attributes_when_it_runs_and_rebuilds():
    config = Config("a\n b")
    config.output, config.exclude = "x\n y\nz", ["z"]
    config.tree()
    first = config.config
    config.tree()
    assert first == config.config == {"x": {"y": {}}} and config.config is not first


class OwnSplit(str):
    def split(self, sep):
        return ["a", " b", "!", Marked(" c")]


@pytest.mark.parametrize("exclude_attr", [
    "interface Ethernet1 description", {"hostname R1", "shutdown"}, ("end",), {"end": 1},
    [Loose("neighbor"), "end"], [Marked("shutdown")], [1, None, b"end"]])
def test_exclude_membership_is_python_in(exclude_attr):
    assert_like_model(EXAMPLE + "boom\n after", exclude_attr=exclude_attr)


@pytest.mark.parametrize("output", [b"a\n b", bytearray(b"x"), None, 5, ["a"], OwnSplit("q"), Marked("a\n b")])
def test_outputs_that_are_not_plain_text_behave_as_in_python(output):
    assert_like_model(output)


def interrupted(text):
    raise KeyboardInterrupt


def test_json_is_read_through_the_module_global(monkeypatch):
    monkeypatch.setattr(config_module, "json", type("FakeJson", (), {"loads": staticmethod(lambda text: [text])}))
    assert tree_of("a\n b") == ["a\n b"]
    monkeypatch.setattr(config_module.json, "loads", interrupted)
    with pytest.raises(KeyboardInterrupt):                  # only an Exception selects the text path
        tree_of("a\n b")


def test_ten_thousand_levels_then_back_to_root():
    tree = tree_of("\n".join(" " * i + f"l{i}" for i in range(10_000)) + "\nroot")
    assert list(tree) == ["l0", "root"]
    node, depth = tree["l0"], 1
    while node:
        (key, node), = node.items()
        depth += 1
    assert (depth, key) == (10_000, "l9999")


@pytest.mark.parametrize("prefix", ["", "Ω", "\U0001d11e"])
def test_many_distinct_and_repeated_lines(prefix):
    assert_like_model("".join(f"{prefix}interface Gi{i % 3000}\n description d{i % 7}\n  x{i}\n no shutdown\n!\n"
                              for i in range(12_000)))


@pytest.mark.slow
def test_fifty_megabytes():
    block = "".join(f"interface Gi0/{i}\n description link {i}\n no shutdown\n!\n" for i in range(2000))
    tree = tree_of(block * (50_000_000 // len(block) + 1))
    assert len(tree) == 2000 and tree["interface Gi0/1999"] == {"description link 1999": {}, "no shutdown": {}}


def test_repeated_calls_leak_nothing():
    entry = "exclude-me-" + "x" * 5

    def run():
        for output in (EXAMPLE * 20, "a\r\n \x03b\n Ω", b"bytes", None, "[1, 2]"):
            try:
                Config(output, [entry]).tree()
            except (TypeError, AttributeError):
                pass
    run()
    refs, _ = sys.getrefcount(entry), gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(300):
        run()
    growth, _ = tracemalloc.get_traced_memory()[0] - before, tracemalloc.stop()
    assert growth < 64 * 1024 and sys.getrefcount(entry) == refs


# Generated configurations against the model.
quick = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow])


@settings(max_examples=3000, **quick)
@given(config_texts, config_excludes)
def test_text_matches_model(output, exclude):
    assert_like_model(output, exclude)


@settings(max_examples=1400, **quick)
@given(config_texts, exclude_attributes)
def test_exclude_attribute_matches_model(output, exclude_attr):
    assert_like_model(output, exclude_attr=exclude_attr)


@settings(max_examples=1400, **quick)
@given(json_documents())
def test_json_documents_match_model(document):
    assert_like_model(document)


class KeepsDefaultReturnsAnother(dict):
    """setdefault stores the default it is given but returns a new dict."""

    def setdefault(self, key, default=None):
        dict.setdefault(self, key, default)
        return {}


class Planter:
    """An exclude entry whose equality plants a dict subclass in the tree."""

    def __init__(self, owner, line, mapping):
        self.owner, self.line, self.mapping = owner, line, mapping

    def __eq__(self, other):
        if other == self.line and self.line not in self.owner.config:
            self.owner.config[self.line] = self.mapping()
        return False


def dict_ids(tree):
    return [id(v) for v in tree.values() if isinstance(v, dict)] + [
        i for v in tree.values() if isinstance(v, dict) for i in dict_ids(v)]


@pytest.mark.parametrize("mapping", [KeepsDefaultReturnsAnother, collections.OrderedDict, collections.defaultdict])
def test_children_are_never_one_dict(mapping):
    text = "interface x\n a\n b\n  c\n d\nrouter\n e\n"
    trees = []
    for cls in (Config, ModelConfig):
        config = cls(text)
        config.exclude = [Planter(config, "interface x", mapping)] + config.exclude
        config.tree()
        ids = dict_ids(config.config)
        assert len(ids) == len(set(ids))
        trees.append(ordered(config.config))
    assert trees[0] == trees[1]
