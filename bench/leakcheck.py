"""Reference leaks and memory: every public function called many thousands of times.

    .venv/bin/python bench/leakcheck.py [ITERATIONS]

For each function: warm up, then call it ITERATIONS times (default 20000) and
compare the number of live objects and the memory traced by tracemalloc
before and after. A leaked reference per call shows as growth proportional
to ITERATIONS; flat figures are the pass. Exit status 1 when anything grows.
"""

import contextlib
import gc
import io
import os
import sys
import tempfile
import tracemalloc
import warnings

warnings.simplefilter("ignore")
os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")

import numpy as np  # noqa: E402
from PIL import Image  # noqa: E402

from veltrix.converter import convert, plugin_registry  # noqa: E402
from veltrix.converter.plugin_api import dataset, option_mapper, sample_feeds  # noqa: E402
from veltrix.converter.plugin_registry import PluginRegistry  # noqa: E402

ITERATIONS = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
work = tempfile.mkdtemp()
Image.new("RGB", (4, 4), (1, 2, 3)).save(os.path.join(work, "a.png"))
(Image.new("RGB", (4, 4)).save(os.path.join(work, "b.jpg")))
with open(os.path.join(work, "c.png"), "wb") as f:
    f.write(b"corrupt")


class Items:
    def __init__(self, n):
        self.n = n

    def __iter__(self):
        return iter([np.zeros((1, 2, 2, 3))] * self.n)


def fake_store(task, p_type, arguments):
    class Cached:
        def build_train_dataset(self):
            return [type("I", (), {"numpy": lambda self: np.zeros((1, 2, 2, 3))})()] * 2
    return Cached()


sample_feeds.get_cached_dataset = fake_store
mapper = option_mapper.OptionMapper()
registry = PluginRegistry()
table = {"level": {"type": "int", "default": "3"}, "my_flag": {"type": "boolean", "default": False}}
sys.argv = ["veltrix-converter", "--quantize", "TRUE", "--input_shape", "1,2,2,3", "a.h5", "b.tflite"]


def args_errors():
    for f in (lambda: mapper.process(), lambda: mapper.process({}, {"x": {}}),
              lambda: mapper.process({"num-samples": "x"}, {}), lambda: convert.install()):
        try:
            f()
        except (TypeError, AttributeError, ValueError):
            pass


def generator_protocol():
    gen = dataset.Dataset((work, 0), [1, 2, 2, 3], "raw", 5, np.uint8).generator()()
    next(gen)
    try:
        gen.throw(ValueError("x"))
    except StopIteration:
        pass
    gen.close()


def handler_raising():
    try:
        convert.install(5, False)  # the handler's own TypeError, chained to the handled one
    except TypeError:
        pass


def fresh_function_attributes():
    f = dataset.Dataset(("", 0), [1, 2, 2, 3], "raw", 3).generator()
    f.__defaults__, f.__annotations__ = (), {"x": int}
    return f.__code__, f.__globals__, f.__builtins__, f().gi_code


def throw_into_new_generator():
    try:
        dataset.Dataset(("", 0), [1, 2, 2, 3], "raw", 3).generator()().throw(StopIteration)
    except RuntimeError:
        pass


class Halt(BaseException):
    pass


class Entry:
    """An entry point whose plug-in raises `exc` at import."""
    name, key, location = "ep", "raising", "/nowhere"

    def __init__(self, exc):
        self.exc, self.dist = exc, self

    def load(self):
        raise self.exc


class Entries(PluginRegistry):
    def __init__(self, entries):
        super().__init__()
        self.entries = entries

    def _PluginRegistry__get_entrypoint_list(self):
        return self.entries


class Headers:
    @staticmethod
    def metadata(key):
        return type("Message", (), {"_headers": [("Version", "1")]})()


class ExitingRegistry:
    def __init__(self):
        raise SystemExit(3)


def registry_guards():
    """A plug-in's exit kept as its verdict, another BaseException let through, get_plugins swallowing an exit."""
    saved = plugin_registry.metadata, convert.PluginRegistry
    plugin_registry.metadata, convert.PluginRegistry = Headers, ExitingRegistry
    try:
        Entries([Entry(SystemExit(2))]).get_converters_info_list()
        try:
            Entries([Entry(Halt())]).get_converters_info_list()
        except Halt:
            pass
        convert.get_plugins()
    finally:
        plugin_registry.metadata, convert.PluginRegistry = saved


CASES = {
    "OptionMapper.process": lambda: mapper.process({"num_samples": "25", "input_shape": "1,2,3,4", "my-flag": "true",
                                                    "nested": {"a": 1}, "lst": [{"b": 2}, 3]}, table, True),
    "OptionMapper.get_model_types": lambda: mapper.get_model_types({"source": work, "dest": "x.tflite"}),
    "argument errors": args_errors,
    "convert.__args_to_dict": lambda: getattr(convert, "__args_to_dict")(),
    "convert.__help (reserve)": lambda: getattr(convert, "__help")("reserve", {}),
    "convert.convert (failure)": lambda: convert.convert({"source": "a", "dest": "b", "plugin": "nobody"}),
    "convert.main (usage)": lambda: (setattr(sys, "argv", ["v"]), convert.main()),
    "convert.__getEnv": lambda: getattr(convert, "__getEnv")(),
    "PluginRegistry.get_converters_info_list": registry.get_converters_info_list,
    "PluginRegistry.query_all_converters": lambda: registry.query_all_converters("h5", "tflite"),
    "Dataset white noise": lambda: list(dataset.Dataset(("", 0), [1, 2, 2, 3], "raw", 3).generator()()),
    "Dataset folder, uint8": lambda: list(dataset.Dataset((work, 0), [1, 2, 2, 3], "raw", 5, np.uint8).generator()()),
    "Dataset folder, float32 signed": lambda: list(dataset.Dataset((work, 0), [1, 2, 2, 3], "signed", 5).generator()()),
    "Dataset datastore feed": lambda: list(dataset.Dataset(("x.kelp", 1), [1, 2, 2, 3], "raw", 5).generator()()),
    "generator send/throw/close": generator_protocol,
    "handler that raises": handler_raising,
    "function attributes of a fresh closure": fresh_function_attributes,
    "throw into a new generator": throw_into_new_generator,
    "registry guards (exit, other BaseException)": registry_guards,
}
# Heavier calls get fewer iterations; each row says how many it ran.
SCALE = {"PluginRegistry.get_converters_info_list": 50, "PluginRegistry.query_all_converters": 50,
         "Dataset folder, float32 signed": 10, "Dataset folder, uint8": 5, "convert.convert (failure)": 20,
         "Dataset datastore feed": 5, "generator send/throw/close": 5, "function attributes of a fresh closure": 10,
         "throw into a new generator": 5, "registry guards (exit, other BaseException)": 5}


def measure(f, n):
    with contextlib.redirect_stdout(io.StringIO()):
        for _ in range(max(50, n // 20)):
            f()
        gc.collect()
        objects, traced = len(gc.get_objects()), tracemalloc.get_traced_memory()[0]
        for _ in range(n):
            f()
        gc.collect()
    return len(gc.get_objects()) - objects, tracemalloc.get_traced_memory()[0] - traced


tracemalloc.start()
failed = False
print("| function | calls | live objects added | traced bytes added |\n|---|---|---|---|")
for name, f in CASES.items():
    n = ITERATIONS // SCALE.get(name, 1)
    objects, traced = measure(f, n)
    grows = objects > 50 or traced > 256 * 1024
    failed |= grows
    print("| %s | %d | %d | %d%s |" % (name, n, objects, traced, "  **GROWS**" if grows else ""))
sys.exit(1 if failed else 0)
