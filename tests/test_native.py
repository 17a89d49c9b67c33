"""The native core under odd input: each behaviour compared with a plain-Python
twin where that is the point; inputs that used to crash run in a child process
and must end in a Python exception, not a signal."""

import copy
import gc
import importlib
import inspect
import os
import pickle
import pydoc
import subprocess
import sys
import textwrap
import typing
import weakref

import numpy as np
import pytest

from conftest import later, needs
from veltrix.converter import convert
from veltrix.converter.plugin_api import option_mapper, sample_feeds
from veltrix.converter.plugin_api.option_mapper import OptionMapper

dataset = later("veltrix.converter.plugin_api.dataset")


def child(code, env=None, cwd=None, flags=()):
    """Run code in a fresh interpreter; its exit status and output."""
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=300, env=env, cwd=cwd, stdin=subprocess.DEVNULL)


MAPPER = "from veltrix.converter.plugin_api.option_mapper import OptionMapper\n"
NESTED = MAPPER + "d = {}\nfor _ in range(%d): d = {'x': d}\nOptionMapper()._OptionMapper__from_dict(d)"
# A PIL whose import fails naming a missing module by a str whose methods raise.
HOSTILE_PIL = """
class N(str):
    def partition(self, sep):
        raise LookupError("partition")
    def __eq__(self, other):
        raise LookupError("eq")
    __hash__ = str.__hash__
raise ModuleNotFoundError("x", name=N("numpy"))
"""


@pytest.mark.parametrize("code, flags, last_line", [
    # recursion that runs only through our functions, at any recursion limit
    (MAPPER + "cfg = {}; cfg['self'] = cfg\nOptionMapper().process({'cfg': cfg}, {})", (), "RecursionError"),
    (NESTED % 50000, (), "RecursionError"),
    ("import sys\nsys.setrecursionlimit(10**6)\n" + NESTED % 20000, (), "RecursionError"),
    ("import sys, threading\nsys.setrecursionlimit(10**6)\nthreading.stack_size(1 << 20)\nerrors = []\n"
     "def run():\n    try:\n        exec(%r)\n    except BaseException as e:\n        errors.append(e)\n"
     "t = threading.Thread(target=run)\nt.start(); t.join()\nraise errors[0]" % (NESTED % 20000), (), "RecursionError"),
    # a failing import whose error cannot be read as text
    ("import veltrix.converter.plugin_api.dataset", (), "ModuleNotFoundError: x"),
    # the internal table missing or foreign
    ("from veltrix.converter import _glue\ndel _glue._TYPES\n" + MAPPER, (),
     "ImportError: veltrix.converter._glue does not match this module: reinstall the package"),
    ("from veltrix.converter import _glue\n_glue._TYPES = object()\n" + MAPPER, (),
     "ImportError: veltrix.converter._glue does not match this module: reinstall the package"),
    # an assert is stripped by -O, as in Python
    (MAPPER + "OptionMapper()._OptionMapper__from_dict(5)", (), "AssertionError"),
    (MAPPER + "OptionMapper()._OptionMapper__from_dict(5)", ("-O",), "AttributeError: 'int' object has no attribute 'items'"),
])
def test_odd_runs_end_in_a_python_exception(tmp_path, code, flags, last_line):
    (tmp_path / "PIL").mkdir()
    (tmp_path / "PIL" / "__init__.py").write_text(HOSTILE_PIL)
    result = child(code, env=dict(os.environ, PYTHONPATH=str(tmp_path)), cwd=tmp_path, flags=flags)
    lines = result.stderr.rstrip().splitlines()
    # the last line, or the one before an install note
    assert result.returncode == 1 and any(line.startswith(last_line) for line in lines[-2:]), result.stderr[-2000:]


def test_a_subinterpreter_is_refused_with_an_import_error(tmp_path):
    pytest.importorskip("_testcapi")
    report = tmp_path / "report"
    inner = "try:\n import veltrix.converter.convert\nexcept ImportError as e:\n open(%r, 'w').write(str(e))" % str(report)
    result = child("import _testcapi\n_testcapi.run_in_subinterp(%r)" % inner)
    assert result.returncode == 0, result.stderr
    assert "subinterpreter" in report.read_text()


CTRL_C = """
import signal, sys, time
def interrupt(*_):
    raise KeyboardInterrupt
signal.signal(signal.SIGVTALRM, interrupt)
%s
start = time.process_time()
signal.setitimer(signal.ITIMER_VIRTUAL, 0.2)
try:
    %s
except KeyboardInterrupt:
    print("interrupted after", time.process_time() - start)
"""


@pytest.mark.parametrize("setup, loop", [
    (MAPPER + "import itertools", "OptionMapper().detect_invalid_arg(itertools.repeat('k'), {'k': 1})"),
    pytest.param("from veltrix.converter.plugin_api.dataset import Dataset\n"
                 "gen = Dataset(('nowhere', False), [1, 1], 'raw', 10**15, 'bogus').generator()()", "next(gen)",
                 marks=needs("tensorflow")),
])
def test_ctrl_c_is_heard_in_native_loops(setup, loop):
    # The interrupt comes from a CPU-time timer, so the bound does not depend on how busy the machine is.
    result = child(CTRL_C % (setup, loop))
    assert "interrupted after" in result.stdout, result.stderr[-2000:]
    assert float(result.stdout.split("interrupted after")[1]) < 0.2 + 0.5


def test_types_are_one_per_interpreter_immutable_and_not_instantiable():
    function_type = type(convert.main)
    generator_type = type(sample_feeds.BaseDatasetGenerator("s", [1]).get_samples())
    assert function_type is type(OptionMapper.process) is type(dataset.Dataset.generator)
    # reload is a no-op, as for every extension module
    assert importlib.reload(option_mapper) is option_mapper and option_mapper.OptionMapper is OptionMapper
    for t in (function_type, generator_type):
        with pytest.raises(TypeError):
            del t.__repr__
        with pytest.raises(TypeError):
            t.anything = 1
        with pytest.raises(TypeError):
            t()


def twin_functions():
    """Plain-Python functions with our functions' signatures."""
    ns = {}
    exec(textwrap.dedent("""
        def process(self, params, ref, process_array=False): pass
        def main(): pass
    """), ns)
    return ns


@pytest.mark.parametrize("ours, twin", [(OptionMapper.process, "process"), (convert.main, "main")])
def test_functions_speak_the_standard_protocols(ours, twin):
    theirs = twin_functions()[twin]
    assert str(inspect.signature(ours)) == str(inspect.signature(theirs))
    assert str(inspect.signature(ours)) in pydoc.render_doc(ours)
    assert weakref.ref(ours)() is ours
    assert pickle.loads(pickle.dumps(ours)) is ours
    assert copy.copy(ours) is ours and copy.deepcopy(ours) is ours
    for value in (5, None, b"x"):
        with pytest.raises(TypeError, match="must be set to a string object"):
            ours.__name__ = value
    with pytest.raises(TypeError):
        del ours.__qualname__
    assert repr(ours).startswith("<function %s at " % ours.__qualname__)
    bound = OptionMapper().process
    assert str(inspect.signature(bound)) == "(params, ref, process_array=False)"
    tools_read = ["__defaults__", "__kwdefaults__", "__globals__", "__builtins__", "__annotations__", "__code__",
                  "__closure__"]
    assert [type(getattr(ours, a)) for a in tools_read] == [type(getattr(theirs, a)) for a in tools_read]
    assert ours.__defaults__ == theirs.__defaults__ and typing.get_type_hints(ours) == {}
    assert ours.__code__.co_varnames == theirs.__code__.co_varnames and ours.__globals__["__name__"] == ours.__module__
    assert not hasattr(ours, "__vectorcalloffset__") and not inspect.isgeneratorfunction(ours)


def test_function_attributes_are_assignable_and_live(monkeypatch):
    def twin(self, params, ref, process_array=False):
        pass
    for f in (OptionMapper.process, twin):
        monkeypatch.setattr(f, "__defaults__", ())
        monkeypatch.setattr(f, "__signature__", inspect.signature(lambda: None), raising=False)
        monkeypatch.setattr(f, "__annotations__", {"return": int})
        assert str(inspect.signature(f)) == "()" and typing.get_type_hints(f) == {"return": int}
    messages = []
    for call in (lambda: OptionMapper().process({}, {}), lambda: twin(None, {}, {})):
        with pytest.raises(TypeError) as caught:
            call()
        messages.append(str(caught.value).split("(", 1)[1])
    assert messages[0] == messages[1]
    for value in (5, [1]):
        with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
            OptionMapper.process.__defaults__ = value


def twin_generator_function():
    yield [0]


@pytest.mark.parametrize("make", [lambda: sample_feeds.BaseDatasetGenerator.get_samples,
                                  lambda: dataset.Dataset(("nowhere", False), [1, 1], "raw").generator()])
def test_generator_functions_look_like_generator_functions(make):
    function = make()
    assert inspect.isgeneratorfunction(function) and inspect.isgeneratorfunction(twin_generator_function)
    made = function(sample_feeds.BaseDatasetGenerator("s", [1])) if "self" in inspect.signature(function).parameters \
        else function()
    assert made.gi_code is function.__code__ and made.gi_code.co_name == function.__name__


def test_error_texts_name_what_python_names():
    def texts(function, generator):
        out = []
        for action in (lambda: function + 1, lambda: pickle.dumps(generator), lambda: function(1)):
            with pytest.raises(TypeError) as caught:
                action()
            out.append(str(caught.value))
        return out
    ours = dataset.Dataset(("nowhere", False), [1, 1], "raw").generator()  # a fresh closure, renamed below
    ours.__qualname__ = "Renamed"

    def twin():
        yield 1
    twin.__qualname__ = "Renamed"
    assert texts(ours, ours()) == texts(twin, twin())


@pytest.mark.parametrize("attribute", ["__doc__", "__module__", "__name__", "__qualname__", "__dict__"])
def test_cycles_through_any_function_slot_are_collected(attribute):
    class Text(str):
        pass
    function = dataset.Dataset(("nowhere", False), [1, 2, 2, 3], "raw").generator()  # a fresh closure
    holder = Text("held")
    holder.back = function
    setattr(function, attribute, {"back": function} if attribute == "__dict__" else holder)
    alive = weakref.ref(function)
    del function, holder
    gc.collect()
    assert alive() is None


def twin_generator():
    while True:
        yield [0]


class Meta(type):
    def __instancecheck__(cls, instance):
        raise LookupError("no instance check")


class Odd(Exception, metaclass=Meta):
    pass


class Refusing(Exception):
    def __init__(self, *args):
        raise KeyError("refused")


@pytest.mark.parametrize("args", [
    (ValueError,), (ValueError, "text"), (ValueError, ("a", "b")), (ValueError, ValueError("inst")),
    (ValueError, KeyError("other")), (ValueError("x"),), (ValueError("x"), "value"), (Odd, "v"), (Odd, Odd("o")),
    (Refusing, "x"), (ValueError, None, "not a traceback"), (5,), (), (StopIteration,), (StopIteration("v"),),
])
@pytest.mark.parametrize("started", [True, False])
def test_generator_throw_follows_python(capsys, args, started):
    def outcome(generator):
        if started:
            next(generator)
        try:
            generator.throw(*args)
        except BaseException as exc:  # noqa: B902 - the type is what is compared
            return type(exc), str(exc), type(exc.__context__), type(exc.__cause__)
        return None
    ours = dataset.Dataset(("nowhere", False), [1, 1], "raw", 3, np.uint8).generator()()
    assert outcome(ours) == outcome(twin_generator())


def test_generator_state_and_weak_references():
    states = []

    class Item:
        def numpy(self):
            states.append(inspect.getgeneratorstate(generator))
            return np.zeros(1)

    feed = sample_feeds.BaseDatasetGenerator("s", [1])
    feed.dataset = [Item()]
    generator = feed.get_samples()
    assert weakref.ref(generator)() is generator
    states.append(inspect.getgeneratorstate(generator))
    next(generator)
    states.append(inspect.getgeneratorstate(generator))
    generator.close()
    states.append(inspect.getgeneratorstate(generator))
    assert states == [inspect.GEN_CREATED, inspect.GEN_RUNNING, inspect.GEN_SUSPENDED, inspect.GEN_CLOSED]


def test_weak_references_are_cleared_before_the_finaliser():
    def seen_by_cleanup(make):
        seen = []

        class Item:
            def numpy(self):
                return np.zeros(1)

        def inner():
            try:
                yield Item()
            finally:
                seen.append(alive())
        generator = make(inner())
        next(generator)
        alive = weakref.ref(generator)
        del generator
        gc.collect()
        return seen

    def ours(inner):
        feed = sample_feeds.BaseDatasetGenerator("s", [1])
        feed.dataset = inner
        return feed.get_samples()

    def twin(inner):
        for item in inner:
            yield item.numpy()
    assert seen_by_cleanup(ours) == seen_by_cleanup(twin) == [None]


def test_exception_context_is_the_handled_error_not_the_callers():
    def chain(call):
        try:
            raise KeyError("caller's")
        except KeyError:
            try:
                call()
            except Exception as exc:  # noqa: B902
                return [type(e).__name__ for e in (exc, exc.__context__, exc.__context__.__context__)]

    def twin():
        try:
            int("abc")
        except ValueError:
            raise ValueError("Invalid argument for n, please use an integer")
    ours = chain(lambda: OptionMapper().process_integer("n", {"n": "abc"}, {"n": {"type": "int"}}))
    assert ours == chain(twin) == ["ValueError", "ValueError", "KeyError"]

    def twin_install():  # an error raised inside the handler chains to the handled one
        try:
            "Installing " + 5
        except Exception:
            return "Error Installing " + 5
    assert chain(lambda: convert.install(5, False)) == chain(twin_install) == ["TypeError", "TypeError", "KeyError"]

    class Stop:
        def numpy(self):
            raise StopIteration

    def twin_gen():
        for item in [Stop()]:
            yield item.numpy()
    feed = sample_feeds.BaseDatasetGenerator("s", [1])
    feed.dataset = [Stop()]

    def first(gen):
        def run():
            next(gen)
        return run
    assert chain(first(feed.get_samples()))[:2] == chain(first(twin_gen()))[:2] == ["RuntimeError", "StopIteration"]


def test_our_print_is_the_modules_not_the_callers(capsys, monkeypatch):
    monkeypatch.delitem(vars(convert), "__builtins__")  # a function keeps the builtins it was defined with
    seen = []
    exec("help('', {})", {"__builtins__": {"print": lambda *a: seen.append(a)}, "help": getattr(convert, "__help")})
    assert seen == [] and capsys.readouterr().out.startswith("usage: veltrix-converter [options]")


class IterRaises:
    def __iter__(self):
        raise TypeError("my own iteration error")


class NotIterable:
    __iter__ = None


class Sequence:
    def __getitem__(self, i):
        raise TypeError("my own item error")


@needs("tensorflow")
@pytest.mark.parametrize("samples", [5, IterRaises(), NotIterable(), Sequence(), (1,), (1, 2, 3)])
def test_unpacking_errors_are_pythons(capsys, samples):
    def twin():
        source, crop = samples
    with pytest.raises(Exception) as ours:
        dataset.Dataset(samples, [1, 1], "raw").generator()
    with pytest.raises(Exception) as theirs:
        twin()
    assert (type(ours.value), str(ours.value)) == (type(theirs.value), str(theirs.value))


@pytest.mark.parametrize("keyword", ["new\x00x", "\udc80"])
def test_keywords_are_compared_as_python_text(keyword):
    def twin(self, p, old, new):
        pass
    with pytest.raises(TypeError) as ours:
        OptionMapper().replace(p={"a": 1}, old="a", **{keyword: "b"})
    with pytest.raises(TypeError) as theirs:
        twin(None, p={}, old="a", **{keyword: "b"})
    assert str(ours.value).split("()", 1)[1] == str(theirs.value).split("()", 1)[1]


def test_a_missing_dependency_of_a_submodule_is_not_hidden(tmp_path):
    fake = tmp_path / "PIL"
    fake.mkdir()
    (fake / "__init__.py").write_text("")
    (fake / "Image.py").write_text("import vx_missing_dependency\n")
    result = child("import veltrix.converter.plugin_api.dataset",
                   env=dict(os.environ, PYTHONPATH=str(tmp_path)), cwd=tmp_path)
    assert "ModuleNotFoundError: No module named 'vx_missing_dependency'" in result.stderr
    assert "cannot import name" not in result.stderr and "Encountered an error" not in result.stderr


def test_one_unreadable_distribution_hides_no_plugin(site):
    site.add("vx-good")
    bad = site.add("vx-odd")
    # a .dist-info folder name that is not UTF-8, and a finder whose metadata is bytes
    os.rename(os.fsencode(site.root / "vx_odd-1.0.dist-info"), os.fsencode(site.root) + b"/vx_odd\xff-1.0.dist-info")
    result = site.python('''
        import importlib.metadata as md, sys
        class BytesDist(md.Distribution):
            def read_text(self, filename):
                return b"Name: vx-bytes\\n" if filename in ("METADATA", "PKG-INFO") else None
            def locate_file(self, path):
                return path
        class Finder:
            @classmethod
            def find_spec(cls, *a):
                return None
            @classmethod
            def find_distributions(cls, context=None):
                yield BytesDist()
        sys.meta_path.append(Finder)
        from veltrix.converter.plugin_registry import PluginRegistry
        print(sorted(r["name"] for r in PluginRegistry().get_converters_info_list() if r["name"].startswith("vx-")))
    ''', hide_pkg_resources=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['vx-good', 'vx-odd']", bad
