"""The native core under odd input: each behaviour compared with a plain-Python
twin where that is the point; inputs that used to crash run in a child process
and must end in a Python exception, not a signal."""

import copy
import gc
import inspect
import os
import pickle
import pydoc
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

from veltrix.converter import convert
from veltrix.converter.plugin_api import dataset, option_mapper, sample_feeds
from veltrix.converter.plugin_api.option_mapper import OptionMapper


def child(code, env=None, cwd=None):
    """Run code in a fresh interpreter; its exit status and output."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300,
                          env=env, cwd=cwd, stdin=subprocess.DEVNULL)


@pytest.mark.parametrize("code", [
    # recursion that runs only through our functions
    "from veltrix.converter.plugin_api.option_mapper import OptionMapper\n"
    "cfg = {}; cfg['self'] = cfg\nOptionMapper().process({'cfg': cfg}, {})",
    "from veltrix.converter.plugin_api.option_mapper import OptionMapper\n"
    "d = {}\nfor _ in range(50000): d = {'x': d}\nOptionMapper()._OptionMapper__from_dict(d)",
])
def test_deep_recursion_is_a_recursion_error(code):
    result = child(code)
    assert result.returncode == 1 and result.stderr.rstrip().splitlines()[-1].startswith("RecursionError"), result.stderr


def test_types_are_one_per_interpreter_immutable_and_not_instantiable():
    function_type = type(convert.main)
    generator_type = type(sample_feeds.BaseDatasetGenerator("s", [1]).get_samples())
    assert function_type is type(OptionMapper.process) is type(dataset.Dataset.generator)
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
    (Refusing, "x"), (ValueError, None, "not a traceback"), (5,), (),
])
def test_generator_throw_follows_python(capsys, args):
    def outcome(generator):
        next(generator)
        try:
            generator.throw(*args)
        except BaseException as exc:  # noqa: B902 - the type is what is compared
            return type(exc), str(exc), type(exc.__context__)
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


def test_our_print_is_the_modules_not_the_callers(capsys):
    seen = []
    exec("help('', {})", {"__builtins__": {"print": lambda *a: seen.append(a)}, "help": getattr(convert, "__help")})
    assert seen == [] and capsys.readouterr().out.startswith("usage: veltrix-converter [options]")


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
