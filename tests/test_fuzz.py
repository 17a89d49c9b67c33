"""Fuzzing with Hypothesis: only the results and exceptions the behaviour allows.

The ordinary suite runs a few hundred examples per target; `make check` runs
the deep profile (VELTRIX_HYPOTHESIS=deep, tens of thousands).
"""

import sys
import types

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from veltrix.converter.plugin_api.option_mapper import OptionMapper
from veltrix.converter.plugin_api.params import reserved_params_list as catalogue
from veltrix.converter.plugin_registry import PluginRegistry

# ------------------------------------------------------------ main

OPTION_WORDS = ["-v", "--version", "-l", "--list", "-i", "--install", "-u", "--uninstall", "-h", "--help", "-r",
                "--reserve", "-p", "--params", "--plugin", "--source", "--dest", "--quantize", "--level",
                "--num_samples", "--input-shape", "--default_shape", "fake", "a.h5", "b.tflite", "", "-", "---x"]
WORDS = st.one_of(st.sampled_from(OPTION_WORDS), st.text(max_size=8), st.from_regex(r"-{1,4}[a-z_=5]{0,6}", fullmatch=True))

FAKE_PLUGIN = types.SimpleNamespace(
    query_convert=lambda s, d: {"level": {"type": "int", "default": "1", "help": "Level"}},
    convert=lambda s, d, p: {"success": "yes", "message": "ok %r" % sorted(p)[:2]},
    __file__="/fake.py")


class FakeRegistry:
    """A registry over one in-memory plug-in, so a fuzzed line never enumerates for real."""

    def get_converters_info_list(self):
        return [{"name": "fake", "sanityCheck": "ok", "path": "/fake.py"}]

    def query_all_converters(self, src_type, dst_type):
        return [{"name": "fake", "params": {}}] if dst_type == "tflite" else []

    def get_converter_by_name(self, name):
        return FAKE_PLUGIN if name == "fake" else None

    def query_convert(self, name, src_type, dst_type):
        if name != "fake":
            return None
        table = FAKE_PLUGIN.query_convert(src_type, dst_type)
        table.update(catalogue)
        return table


@given(st.lists(WORDS, max_size=8))
@example(["--source", "fake", "b.tflite"])  # found by the deep run: the source path overwritten by a bare flag
@example(["fake", "--dest", "a.h5", "b.tflite"])
def test_fuzz_command_lines_through_main(cli, monkeypatch, words):
    printed, actions, options = [], [], []
    cli.print = lambda *args: printed.append(args)  # the module's own `print` wins over the builtin
    cli.install = lambda package: actions.append(("install", package)) or ""
    cli.uninstall = lambda package: actions.append(("uninstall", package)) or ""
    cli.PluginRegistry = FakeRegistry
    tokenize = getattr(cli, "__args_to_dict")
    setattr(cli, "__args_to_dict", lambda: options.append(tokenize()) or options[-1])
    monkeypatch.setattr(sys, "argv", ["veltrix-converter", *words])
    try:
        assert cli.main() is None
    except TypeError as exc:
        # The response is built by concatenating the source and destination:
        # a bare --source or --dest flag (True) makes that fail, as it must;
        # the console entry turns it into one line on standard error.
        assert "can only concatenate str" in str(exc)
        assert not all(isinstance(options[0].get(k), str) for k in ("source", "dest"))
        return
    assert printed and printed[-1] and all(isinstance(a, str) for line in printed for a in line)
    assert len(actions) <= 1 and all(isinstance(p, str) for _, p in actions)


# -------------------------------------------------- option mapping

KEYS = st.text(alphabet="ab-_", min_size=1, max_size=3) | st.sampled_from(list(catalogue)[:6] + ["num_samples"])
VALUES = st.one_of(st.text(alphabet="0123456789,-. aTruefls_x", max_size=6), st.just(True), st.integers(-5, 5),
                   st.none(), st.lists(st.integers(0, 3), max_size=2), st.dictionaries(st.sampled_from("xy"), st.integers(0, 2), max_size=2))
DESCRIPTORS = st.fixed_dictionaries({}, optional={
    "type": st.sampled_from(["int", "boolean", "string", "float"]), "default": VALUES,
    "array": st.sampled_from(["", "4"]), "help": st.text(max_size=3)})


def reference_process(params, ref, process_array):
    """The mapping rules, written out plainly: the oracle for the fuzzing."""
    def convert(key, a, table):
        desc, value = table[key], a.get(key)
        if isinstance(value, str) and desc["type"] == "boolean":
            if value.lower() == "true":
                a[key] = True
            elif value.lower() == "false":
                a[key] = False
        if "array" not in desc and isinstance(a[key], str) and desc["type"] == "int":
            try:
                a[key] = int(a[key])
            except ValueError:
                raise ValueError("Invalid argument for %s, please use an integer" % key)
        if process_array and "array" in desc and key in a and isinstance(a[key], str):
            pieces = a[key].split(",")
            t = desc["type"]
            a[key] = pieces if t == "string" else [int(p) if t == "int" else float(p) for p in pieces]

    params = {k.replace("_", "-"): v for k, v in params.items()}
    a = dict(params)
    for table in (ref, catalogue):
        for key in table:
            if key not in params:
                hyphen = key.replace("_", "-")
                if hyphen != key and hyphen in params:
                    view = {key: a[hyphen]}
                    convert(key, view, table)
                    a[hyphen] = view[key]
                    continue
                if "default" in table[key]:
                    a[key] = table[key]["default"]
                else:
                    raise AttributeError("Missing mandatory parmeter: '" + key + "'")
            convert(key, a, table)
    return {k.replace("_", "-"): v for k, v in a.items()}


def outcome(f):
    try:
        return ("ok", repr(f()))
    except (AttributeError, ValueError, KeyError, TypeError) as exc:
        return (type(exc).__name__, str(exc))


@given(st.dictionaries(KEYS, VALUES, max_size=5), st.dictionaries(KEYS, DESCRIPTORS, max_size=4), st.booleans())
def test_fuzz_option_mapper_against_the_rules(options, table, process_array):
    mapper = OptionMapper()
    got = outcome(lambda: mapper.process(dict(options), table, process_array))
    expected = outcome(lambda: reference_process(dict(options), table, process_array))
    assert got == expected
    if got[0] == "ok":
        result = mapper.process(dict(options), table, process_array)
        for key, value in result.items():
            attr = getattr(mapper, key.replace("-", "_"))
            if not isinstance(value, (dict, list, tuple)):
                assert attr is value


@given(st.dictionaries(st.one_of(st.text(max_size=15), st.integers()), st.one_of(
    st.dictionaries(st.text(max_size=12), st.one_of(st.text(max_size=5), st.integers(), st.none()), max_size=4),
    st.integers()), max_size=4))
def test_fuzz_help_printer(cli, table):
    printed = []
    cli.print = lambda *args: printed.append(args)
    cli.get_params = lambda name, s, d: table
    try:
        getattr(cli, "__help")("p", {"source": "x", "dest": "y"})
    except TypeError:
        return  # a key or help text that is not text, or a descriptor that is not a mapping
    # a head line, a line per descriptor entry other than "help", and a blank line
    assert len(printed) == sum(2 + len(d) - ("help" in d) for d in table.values())


# ------------------------------------------------------- registry

RAISES = st.sampled_from([None, ValueError("v"), RuntimeError(""), KeyError("k"), ImportError("i"), SystemExit(2),
                          KeyboardInterrupt()])


class Plugin:
    pass


@st.composite
def plugin_shapes(draw):
    plugin = Plugin()
    if draw(st.booleans()):
        plugin.convert = lambda s, d, p: None
    answer = draw(st.one_of(st.none(), st.dictionaries(st.sampled_from(["supported_inputs", "supported_outputs", "x"]),
                                                     st.lists(st.sampled_from(["h5", "pb"]), max_size=2), max_size=3)))
    query_raises = draw(RAISES)
    if draw(st.booleans()):
        def query_convert(s, d):
            if query_raises is not None:
                raise query_raises
            return answer
        plugin.query_convert = query_convert
    if draw(st.booleans()):
        plugin.__file__ = "/p.py"
    load_raises = draw(RAISES)
    key_raises = draw(st.sampled_from([None, None, None, ValueError("no key")]))
    return types.SimpleNamespace(key=draw(st.sampled_from(["p1", "p2"])), load_raises=load_raises,
                                 key_raises=key_raises, plugin=plugin, query_raises=query_raises)


class EntryPoint:
    def __init__(self, shape):
        self.shape = shape
        self.dist = self

    @property
    def key(self):
        if self.shape.key_raises:
            raise self.shape.key_raises
        return self.shape.key

    location = "/site"

    def load(self):
        if self.shape.load_raises is not None:
            raise self.shape.load_raises
        return self.shape.plugin


VERDICTS = {"ok", "Missing Supprted File Types", "Missing APIs: convert", "Missing APIs: query_convert",
            "Missing APIs: convert, query_convert"}
ORDER = ["name", "sanityCheck", "summary", "author", "version", "inputsSupported", "outputsSupported", "path"]


@given(st.lists(plugin_shapes(), max_size=4))
def test_fuzz_plugin_shapes_through_the_registry(monkeypatch, shapes):
    from veltrix.converter import plugin_registry

    class Meta:
        @staticmethod
        def metadata(key):
            return types.SimpleNamespace(_headers=[("Summary", "s"), ("Version", "1")])

    class Registry(PluginRegistry):
        def _PluginRegistry__get_entrypoint_list(self):
            return [EntryPoint(s) for s in shapes]

    monkeypatch.setattr(plugin_registry, "metadata", Meta)
    # only Ctrl-C ends the listing; a plug-in's SystemExit is that plug-in's error
    interrupting = next((s for s in shapes if not s.key_raises and (
        isinstance(s.load_raises, KeyboardInterrupt) or (
            s.load_raises is None and hasattr(s.plugin, "query_convert") and
            isinstance(s.query_raises, KeyboardInterrupt)))), None)
    if interrupting is not None:
        with pytest.raises(KeyboardInterrupt):
            Registry().get_converters_info_list()
        return
    records = Registry().get_converters_info_list()
    assert len(records) == len(shapes)
    for record in records:
        assert list(record) == [k for k in ORDER if k in record]
        assert record["sanityCheck"] in VERDICTS or record["sanityCheck"].startswith("Error:")
    registry = Registry()
    for query in (lambda: registry.get_converters_names_list(), lambda: registry.get_converter_names_list_by_input("h5")):
        try:
            assert isinstance(query(), list)
        except (SystemExit, KeyboardInterrupt):
            pass
    try:
        matches = registry.query_all_converters("h5", "pb")
        assert all(list(m) == ["name", "params"] for m in matches)
    except (SystemExit, KeyboardInterrupt):
        pass
