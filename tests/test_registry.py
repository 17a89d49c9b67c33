"""Plug-in discovery, validation and catalogue queries, with real distributions."""

import gc
import json
import types

import pytest

from veltrix.converter import plugin_registry
from veltrix.converter.plugin_registry import PluginRegistry
from veltrix.converter.plugin_api.params import reserved_params_list as catalogue

NO_CONVERT = '''
def query_convert(src_type, dst_type):
    return None
'''
NO_QUERY = '''
def convert(src, dst, params):
    return {"success": "yes", "message": ""}
'''
NOTHING = '''
VALUE = 1
'''
HALF_TYPES = '''
def convert(src, dst, params): pass
def query_convert(src_type, dst_type):
    return {"supported_inputs": ["h5"]} if src_type is None else None
'''
BROKEN_IMPORT = '''
import a_module_that_does_not_exist_anywhere
'''
QUERY_RAISES = '''
def convert(src, dst, params): pass
def query_convert(src_type, dst_type):
    raise RuntimeError("cannot answer")
'''
NO_FILE = '''
class _Plugin:
    supported = {"supported_inputs": ("onnx",), "supported_outputs": ("tflite",)}
    def convert(self, src, dst, params): pass
    def query_convert(self, src_type, dst_type):
        return self.supported if src_type is None else None
plugin = _Plugin()
'''

SHAPES = {
    # dist name: (source, expected record without "path", path is module file?)
    "good": (None, {"sanityCheck": "ok", "inputsSupported": ["h5", "pb"], "outputsSupported": ["tflite"]}, True),
    "no-convert": (NO_CONVERT, {"sanityCheck": "Missing APIs: convert"}, True),
    "no-query": (NO_QUERY, {"sanityCheck": "Missing APIs: query_convert"}, True),
    "nothing": (NOTHING, {"sanityCheck": "Missing APIs: convert, query_convert"}, True),
    "half-types": (HALF_TYPES, {"sanityCheck": "Missing Supprted File Types"}, True),
    "broken-import": (BROKEN_IMPORT, {"sanityCheck": "Error:No module named 'a_module_that_does_not_exist_anywhere'"}, False),
    "query-raises": (QUERY_RAISES, {"sanityCheck": "Error:cannot answer"}, False),
}

LIST_RECORDS = '''
import json, sys
from veltrix.converter.plugin_registry import PluginRegistry
records = PluginRegistry().get_converters_info_list()
json.dump([r for r in records if r["name"].startswith("vx-")], sys.stdout)
'''


def build_shapes(site):
    modules = {}
    for name, (source, _, _) in SHAPES.items():
        kwargs = {"source": source} if source else {}
        modules[name] = site.add("vx-" + name, version="2.%d" % len(modules), summary=name + " summary", **kwargs)
    return modules


def expected_record(site, name, module):
    source, fields, has_file = SHAPES[name]
    record = {"name": "vx-" + name, "sanityCheck": None, "summary": name + " summary", "author": "Tester",
              "version": "2.%d" % list(SHAPES).index(name)}
    record.update(fields)
    record["path"] = str(site.root / (module + ".py")) if has_file else str(site.root)
    return record


@pytest.mark.parametrize("hide", [False, True], ids=["pkg_resources", "importlib.metadata"])
def test_every_plugin_shape_through_a_real_process(site, hide):
    modules = build_shapes(site)
    result = site.python(LIST_RECORDS, hide_pkg_resources=hide)
    assert result.returncode == 0 and result.stderr == ""
    records = sorted(json.loads(result.stdout), key=lambda r: r["name"])
    expected = sorted((expected_record(site, n, m) for n, m in modules.items()), key=lambda r: r["name"])
    assert records == expected
    for record, wanted in zip(records, expected):
        assert list(record) == list(wanted)


def test_every_plugin_shape_in_process(live_site):
    modules = build_shapes(live_site)
    records = {r["name"]: r for r in PluginRegistry().get_converters_info_list() if r["name"].startswith("vx-")}
    for name, module in modules.items():
        assert records["vx-" + name] == expected_record(live_site, name, module)


def test_the_supported_types_are_the_plugins_own_objects(live_site):
    live_site.add("vx-own", source=NO_FILE.replace("plugin = _Plugin()", "plugin = _Plugin()\n__file__ = 'x'"),
                  entry_points=[("main", "vx_own_mod:plugin")], module="vx_own_mod")
    record = PluginRegistry().get_converter_info_by_name("vx-own")
    import vx_own_mod
    assert record["inputsSupported"] is vx_own_mod.plugin.supported["supported_inputs"]
    assert record["sanityCheck"] == "Error:'_Plugin' object has no attribute '__file__'"
    assert record["path"] == str(live_site.root)


@pytest.mark.parametrize("hide", [False, True], ids=["pkg_resources", "importlib.metadata"])
def test_repeated_and_odd_metadata_headers(site, hide):
    site.add("vx-headers", headers=[("Version", "1"), ("Summary", "first"), ("Summary", "second"),
                                    ("summary", "ignored"), ("AUTHOR", "ignored")])
    records = json.loads(site.python(LIST_RECORDS, hide_pkg_resources=hide).stdout)
    assert records[0]["summary"] == "second" and records[0]["author"] == "" and records[0]["version"] == "1"


@pytest.mark.parametrize("hide", [False, True], ids=["pkg_resources", "importlib.metadata"])
def test_two_entry_points_give_two_records_and_two_matches(site, hide):
    module = site.add("vx-twice", entry_points=[("one", "MOD"), ("two", "MOD")])
    (site.root / "vx_twice-1.0.dist-info" / "entry_points.txt").write_text(
        "[veltrix_converter]\none = %s\ntwo = %s\n[other_group]\nx = os\n" % (module, module))
    code = LIST_RECORDS + '''
print()
print(json.dumps([m["name"] for m in PluginRegistry().query_all_converters("h5", "tflite") if m["name"].startswith("vx-")]))
'''
    out = site.python(code, hide_pkg_resources=hide).stdout.splitlines()
    assert [r["name"] for r in json.loads(out[0])] == ["vx-twice", "vx-twice"]
    assert json.loads(out[1]) == ["vx-twice", "vx-twice"]


@pytest.mark.parametrize("hide", [False, True], ids=["pkg_resources", "importlib.metadata"])
def test_keys_and_first_copy_wins(site, tmp_path, hide):
    site.add("VX_Mixed.Case-Name", source=NO_QUERY)
    later = type(site)(tmp_path / "later")
    later.add("vx-mixed.case-name", version="9.9")
    env_code = '''
import json, sys
sys.path.append(%r)
from veltrix.converter.plugin_registry import PluginRegistry
r = [x for x in PluginRegistry().get_converters_info_list() if x["name"].startswith("vx")]
print(json.dumps([(x["name"], x["version"]) for x in r]))
''' % str(later.root)
    assert json.loads(site.python(env_code, hide_pkg_resources=hide).stdout) == [["vx-mixed.case-name", "1.0"]]


def test_command_lists_the_shapes(site):
    build_shapes(site)
    out = site.run("-l").stdout
    assert "---------------   vx-good   ---------------" in out
    assert "sanityCheck: >>>>          Error:cannot answer" in out
    assert "sanityCheck:         Missing APIs: convert\n" in out


# ------------------------------------------------------------ queries

@pytest.fixture
def shapes(live_site):
    return build_shapes(live_site)


def names(records):
    return [r for r in records if r.startswith("vx-")]


def test_get_converter_by_name(shapes):
    registry = PluginRegistry()
    import importlib
    assert registry.get_converter_by_name("vx-good") is importlib.import_module(shapes["good"])
    assert registry.get_converter_by_name("VX-GOOD") is None
    assert registry.get_converter_by_name("vx-broken-import") is None
    assert registry.get_converter_by_name("nobody") is None


def test_query_convert_merges_the_catalogue_into_the_plugins_table(shapes):
    table = PluginRegistry().query_convert("vx-good", "h5", "tflite")
    assert list(table) == ["level"] + list(catalogue)
    assert all(table[k] is catalogue[k] for k in catalogue)
    assert PluginRegistry().query_convert("vx-good", "onnx", "tflite") is None
    assert PluginRegistry().query_convert("nobody", "h5", "tflite") is None


def test_query_convert_lets_plugin_errors_through(shapes):
    with pytest.raises(AttributeError):
        PluginRegistry().query_convert("vx-no-convert".replace("no-convert", "no-query"), "h5", "tflite")
    with pytest.raises(RuntimeError, match="cannot answer"):
        PluginRegistry().query_convert("vx-query-raises", "h5", "tflite")


def test_query_all_converters_skips_silently(shapes, capsys):
    matches = [m for m in PluginRegistry().query_all_converters("h5", "tflite") if m["name"].startswith("vx-")]
    assert [m["name"] for m in matches] == ["vx-good"]
    assert list(matches[0]) == ["name", "params"]
    assert capsys.readouterr().out == ""


def test_names_and_modules_lists(shapes, capsys):
    registry = PluginRegistry()
    assert sorted(names(registry.get_converters_names_list())) == sorted("vx-" + n for n in SHAPES)
    modules = registry.get_converters_list()
    assert len([m for m in modules if getattr(m, "__name__", "").startswith("vxp_")]) == len(SHAPES) - 1
    assert capsys.readouterr().out == "Error: No module named 'a_module_that_does_not_exist_anywhere'\n"


def test_type_queries(shapes):
    registry = PluginRegistry()
    assert names(registry.get_converter_names_list_by_input("h5")) == ["vx-good"]
    assert sorted(names(registry.get_converter_names_list_by_output("tflite"))) == ["vx-good"]
    assert names(registry.get_converter_names_list_by_filetypes("pb", "tflite")) == ["vx-good"]
    assert names(registry.get_converter_names_list_by_filetypes("tflite", "pb")) == []


def test_type_queries_ignore_the_verdict(live_site):
    live_site.add("vx-listed", source='''
def query_convert(s, d):
    return {"supported_inputs": "h5 pb", "supported_outputs": ["x"]}
''')
    registry = PluginRegistry()
    assert names(registry.get_converter_names_list_by_input("h5")) == ["vx-listed"]
    assert names(registry.get_converter_names_list_by_input("5 p")) == ["vx-listed"]  # `in` on a string


def test_info_by_name(shapes):
    registry = PluginRegistry()
    assert registry.get_converter_info_by_name("vx-nothing")["sanityCheck"] == "Missing APIs: convert, query_convert"
    assert registry.get_converter_info_by_name("nobody") is None


def test_plain_class_and_constants():
    registry = PluginRegistry()
    assert PluginRegistry.__bases__ == (object,)
    assert vars(registry) == {"reserved_param_list": catalogue}
    assert registry.reserved_param_list is catalogue
    assert (plugin_registry.VERSION, plugin_registry.ENNTRY_POINT_LOOKUP, plugin_registry.pluginAPIs) == \
        ("1.0.0", "veltrix_converter", ["convert"])
    import importlib.metadata
    assert plugin_registry.metadata is importlib.metadata


def test_version_and_main_print(capsys, monkeypatch):
    registry = PluginRegistry()
    assert registry.get_version() is None and registry.main() is None
    monkeypatch.setattr(plugin_registry, "VERSION", "9")
    registry.get_version()
    assert capsys.readouterr().out == "1.0.0\nmain\n9\n"


# ------------------------------------------------------- failure paths

class EntryPoint:
    def __init__(self, key, load=None, location="/nowhere"):
        self._key, self._load, self.name = key, load, "ep"
        self.dist = self
        self.location = location

    @property
    def key(self):
        if isinstance(self._key, BaseException):
            raise self._key
        return self._key

    def load(self):
        if isinstance(self._load, BaseException):
            raise self._load
        return self._load

    def __str__(self):
        return "ep = broken:thing"


class Fake(PluginRegistry):
    def __init__(self, entries):
        super().__init__()
        self.entries = entries

    def _PluginRegistry__get_entrypoint_list(self):
        return iter(self.entries)


def test_metadata_failure_keeps_the_name(monkeypatch):
    class Meta:
        @staticmethod
        def metadata(key):
            raise LookupError("no metadata for " + key)
    monkeypatch.setattr(plugin_registry, "metadata", Meta)
    assert Fake([EntryPoint("p")]).get_converters_info_list() == [
        {"name": "p", "sanityCheck": "Error:no metadata for p"}]


def test_unreadable_key_is_listed_under_the_entry_point():
    records = Fake([EntryPoint(ValueError("bad dist")), EntryPoint(ValueError("x"))]).get_converters_info_list()
    assert records == [{"name": "ep = broken:thing", "sanityCheck": "Error:bad dist"},
                       {"name": "ep = broken:thing", "sanityCheck": "Error:x"}]


class Plugin:
    __file__ = "/plugin.py"

    @staticmethod
    def query_convert(src, dst):
        return {"supported_inputs": ["a"], "supported_outputs": ["b"]} if src is None else {}

    convert = None


class Halt(BaseException):
    """A plug-in's own BaseException: neither an error nor an exit."""


def raising(exc):
    """A plug-in module whose self-check raises `exc`."""
    def query_convert(src, dst):
        raise exc
    return types.SimpleNamespace(__file__="/raising.py", convert=None, query_convert=query_convert)


@pytest.fixture
def headers(monkeypatch):
    class Meta:
        @staticmethod
        def metadata(key):
            return types.SimpleNamespace(_headers=[("Version", "1")])
    monkeypatch.setattr(plugin_registry, "metadata", Meta)


# what a plug-in raises, at import or in its self-check: its verdict, or what reaches the caller
@pytest.mark.parametrize("exc, verdict", [
    (RuntimeError("boom"), "Error:boom"),
    (SystemExit(2), "Error:2"),                      # a sys.exit() is that plug-in's error
    (SystemExit("usage: plug"), "Error:usage: plug"),
    (KeyboardInterrupt(), KeyboardInterrupt),        # the user's interrupt is never the plug-in's error
    (Halt("stop"), Halt),
    (GeneratorExit(), GeneratorExit),
])
@pytest.mark.parametrize("stage", ["load", "self-check"])
def test_validation_takes_a_plugins_errors_and_exit_and_nothing_else(headers, exc, verdict, stage):
    bad = EntryPoint("bad", load=exc) if stage == "load" else EntryPoint("bad", load=raising(exc))
    registry = Fake([bad, EntryPoint("good", load=Plugin)])
    if not isinstance(verdict, str):
        with pytest.raises(verdict):
            registry.get_converters_info_list()
        return
    assert [(r["name"], r["sanityCheck"], r["path"]) for r in registry.get_converters_info_list()] == [
        ("bad", verdict, "/nowhere"), ("good", "ok", "/plugin.py")]


# what a plug-in's import raises: what the queries that load plug-ins make of it
@pytest.mark.parametrize("exc, reaches", [
    (SystemExit(2), None), (RuntimeError("x"), None), (KeyboardInterrupt(), KeyboardInterrupt), (Halt(), Halt)])
def test_queries_that_load_plugins_take_their_errors_and_exit_only(headers, capsys, exc, reaches):
    registry = Fake([EntryPoint("bad", load=exc), EntryPoint("good", load=Plugin)])
    queries = {"by name": lambda: registry.get_converter_by_name("bad"),
               "all converters": lambda: [m["name"] for m in registry.query_all_converters("a", "b")],
               "converters": lambda: registry.get_converters_list()}
    for name, query in queries.items():
        if reaches:
            with pytest.raises(reaches):
                query()
        else:
            assert query() == {"by name": None, "all converters": ["good"], "converters": [Plugin]}[name], name
    assert capsys.readouterr().out == ("" if reaches else "Error: %s\n" % exc)
    if reaches is KeyboardInterrupt:  # the queries that swallow anything else let Ctrl-C through
        for query in (lambda r: r.get_converters_names_list(), lambda r: r.get_converter_info_by_name("x")):
            with pytest.raises(KeyboardInterrupt):
                query(Fake([EntryPoint(KeyboardInterrupt())]))


def test_enumeration_that_fails_yields_nothing(monkeypatch):
    import sys
    monkeypatch.setitem(sys.modules, "pkg_resources", None)
    monkeypatch.setattr("importlib.metadata.distributions", lambda: (_ for _ in ()).throw(OSError("disk")))
    registry = PluginRegistry()
    assert list(registry._PluginRegistry__get_entrypoint_list()) == []
    assert registry.get_converters_info_list() == [] and registry.query_all_converters("a", "b") == []
    assert registry.get_converter_by_name("x") is None


class Dist:
    """A distribution found by importlib.metadata whose normalised name raises `fault`."""
    def __init__(self, fault):
        self.fault = fault
        self.entry_points = [types.SimpleNamespace(group="veltrix_converter", name="ep", value="m:x", load=None)]

    @property
    def _normalized_name(self):
        raise self.fault

    def read_text(self, filename):
        return "Name: vx-dist\n" if filename == "METADATA" else None

    def locate_file(self, path):
        return "/nowhere"


@pytest.mark.parametrize("fault, listed", [(AttributeError("absent"), ["vx-dist"]), (RuntimeError("broken"), []),
                                           (KeyboardInterrupt(), KeyboardInterrupt)])
def test_only_an_attribute_error_means_missing(monkeypatch, fault, listed):
    import sys
    monkeypatch.setitem(sys.modules, "pkg_resources", None)
    monkeypatch.setattr("importlib.metadata.distributions", lambda: [Dist(fault)])
    if listed is KeyboardInterrupt:
        with pytest.raises(KeyboardInterrupt):
            PluginRegistry().get_converters_names_list()
    else:
        assert PluginRegistry().get_converters_names_list() == listed


def test_group_name_is_read_at_call_time(live_site, monkeypatch):
    live_site.add("vx-good")
    monkeypatch.setattr(plugin_registry, "ENNTRY_POINT_LOOKUP", "another_group")
    assert names(PluginRegistry().get_converters_names_list()) == []


def test_no_reference_growth_on_failing_plugins(shapes):
    registry = PluginRegistry()
    for _ in range(5):
        registry.get_converters_info_list()
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(100):
        registry.get_converters_info_list()
        registry.query_all_converters("h5", "tflite")
    gc.collect()
    assert len(gc.get_objects()) - before < 50


DEPRECATED_PKG_RESOURCES = '''
import warnings
warnings.warn("pkg_resources is deprecated as an API", DeprecationWarning, stacklevel=2)
warnings.warn("pkg_resources is slated for removal", UserWarning, stacklevel=2)
def iter_entry_points(group):
    return iter([])
'''


def test_pkg_resources_warnings_are_kept_off_stderr_by_a_scoped_filter(site):
    (site.root / "pkg_resources.py").write_text(DEPRECATED_PKG_RESOURCES)
    code = '''
import warnings
warnings.simplefilter("always")
before = list(warnings.filters)
from veltrix.converter.plugin_registry import PluginRegistry
assert PluginRegistry().get_converters_info_list() == []
assert warnings.filters == before, "the filter leaked out of the import"
warnings.warn("a later warning of the caller's own", UserWarning)
'''
    result = site.python(code)
    assert result.returncode == 0, result.stderr
    assert "pkg_resources" not in result.stderr and "a later warning of the caller's own" in result.stderr
