"""Benchmarks of veltrix-converter: every figure beside a baseline measured in the same run.

    .venv/bin/python bench/run.py [--quick] [--only latency,registry,samples,memory,backends,programs] [--formats tflite,onnx,xml,pt2]

Absolute times on a shared two-core machine are noisy; the ratios are what count.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

PY = sys.executable
COMMAND = os.path.join(os.path.dirname(PY), "veltrix-converter")
NOOP_PLUGIN = '''
def query_convert(src_type, dst_type):
    if src_type is None:
        return {"supported_inputs": ["noop"], "supported_outputs": ["noop2"]}
    return {"level": {"type": "int", "default": "1"}} if (src_type, dst_type) == ("noop", "noop2") else None

def convert(src, dst, params):
    return {"success": "yes", "message": "nothing done"}
'''


def make_site(root, count):
    """A folder of `count` installed no-op plug-in distributions."""
    os.makedirs(root, exist_ok=True)
    for i in range(count):
        name = "bench-noop-%03d" % i
        module = "bench_noop_%03d" % i
        with open(os.path.join(root, module + ".py"), "w") as f:
            f.write(NOOP_PLUGIN)
        info = os.path.join(root, "bench_noop_%03d-1.0.dist-info" % i)
        os.makedirs(info)
        with open(os.path.join(info, "METADATA"), "w") as f:
            f.write("Metadata-Version: 2.1\nName: %s\nVersion: 1.0\nSummary: no-op\nAuthor: bench\n" % name)
        with open(os.path.join(info, "entry_points.txt"), "w") as f:
            f.write("[veltrix_converter]\n%s = %s\n" % (name, module))
    return root


def median_run(cmd, runs, env=None, cwd=None):
    for _ in range(2):
        subprocess.run(cmd, capture_output=True, env=env, cwd=cwd)
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(cmd, capture_output=True, env=env, cwd=cwd)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def table(title, header, rows):
    print("\n## " + title + "\n")
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for row in rows:
        print("| " + " | ".join(str(c) for c in row) + " |")
    sys.stdout.flush()


def ms(t):
    return "%.1f ms" % (t * 1000)


# ----------------------------------------------------------- latency

def bench_latency(work, runs, counts):
    base = median_run([PY, "-c", "pass"], runs, cwd=work)
    floor = median_run([PY, "-c", "import os, sys, subprocess, importlib.metadata"], runs, cwd=work)
    open(os.path.join(work, "m.noop"), "w").close()
    actions = [("-v", ["-v"]), ("usage", []), ("-r", ["-r"]), ("-l", ["-l"]),
               ("convert (no-op)", ["--plugin", "bench-noop-000", "m.noop", "out.noop2"])]
    rows = []
    for count in counts:
        site = make_site(os.path.join(work, "site-%d" % count), count)
        env = dict(os.environ, PYTHONPATH=site)
        for label, words in actions:
            t = median_run([COMMAND, *words], runs, env=env, cwd=work)
            rows.append([count, label, ms(t), "%.2f" % (t / base), "%.2f" % (t / floor)])
    table("Command latency (median of %d runs; python -c pass = %s, standard-module floor = %s)"
          % (runs, ms(base), ms(floor)),
          ["plug-ins", "command", "time", "x python -c pass", "x floor"], rows)


# ---------------------------------------------------------- registry

REGISTRY_PROBE = '''
import json, statistics, sys, time
from veltrix.converter.plugin_registry import PluginRegistry
r = PluginRegistry()
def timed(f, n):
    f()
    ts = []
    for _ in range(n):
        t = time.perf_counter(); f(); ts.append(time.perf_counter() - t)
    return statistics.median(ts)
n = int(sys.argv[1])
print(json.dumps({"info": timed(r.get_converters_info_list, n), "all": timed(lambda: r.query_all_converters("noop", "noop2"), n),
                  "found": len([x for x in r.get_converters_info_list() if x["name"].startswith("bench-")])}))
'''


def bench_registry(work, runs, counts):
    rows = []
    for hide in (False, True):
        first = {}
        for count in counts:
            site = make_site(os.path.join(work, "reg-%d-%d" % (count, hide)), count)
            paths = [site]
            if hide:
                blocker = os.path.join(work, "nopkg")
                os.makedirs(blocker, exist_ok=True)
                with open(os.path.join(blocker, "sitecustomize.py"), "w") as f:
                    f.write("import sys\nsys.modules['pkg_resources'] = None\n")
                paths.insert(0, blocker)
            env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
            out = subprocess.run([PY, "-c", REGISTRY_PROBE, str(runs)], capture_output=True, text=True, env=env,
                                 cwd=work, check=True).stdout
            result = json.loads(out)
            assert result["found"] == count, result
            first.setdefault("info", result["info"] / count)
            first.setdefault("all", result["all"] / count)
            rows.append(["importlib.metadata" if hide else "pkg_resources", count, ms(result["info"]),
                         "%.2f ms" % (result["info"] / count * 1000), ms(result["all"]),
                         "%.2f ms" % (result["all"] / count * 1000)])
    table("Registry scale (median of %d calls; every query enumerates and loads again)" % runs,
          ["enumeration", "plug-ins", "get_converters_info_list", "per plug-in", "query_all_converters",
           "per plug-in"], rows)


# ----------------------------------------------------------- samples

SAMPLES_PROBE = '''
import json, os, sys, time, warnings
warnings.simplefilter("ignore")
import numpy as np
from PIL import Image
from veltrix.converter.plugin_api.dataset import Dataset
folder, project, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
files = sorted(os.path.join(folder, f) for f in os.listdir(folder))
def rate(f):
    f()  # warm-up: first TensorFlow calls compile kernels
    t = time.perf_counter(); count = f(); return count / (time.perf_counter() - t)
def floor():
    for p in files:
        with Image.open(p) as img:
            img.load()
            a = np.asarray(img.resize((224, 224))).reshape(1, 224, 224, 3).astype(np.float32)
    return len(files)
def folder_pass(kind, norm):
    return lambda: sum(1 for _ in Dataset((folder, False), [1, 224, 224, 3], norm, n, kind).generator()())
results = {"floor": rate(floor)}
for kind, norm in [("uint8", "raw"), ("int8", "raw"), ("float32", "unsigned"), ("float32", "signed"),
                   ("float32", "imagenet"), ("float32", "raw")]:
    results["folder %s %s" % (kind, norm)] = rate(folder_pass(getattr(np, kind), norm))
import contextlib, io
with contextlib.redirect_stdout(io.StringIO()):
    noise = Dataset(("", False), [1, 224, 224, 3], "raw", n, np.float32).generator()
results["white noise float32"] = rate(lambda: sum(1 for _ in noise()))
results["local datastore (unsigned)"] = rate(lambda: sum(1 for _ in Dataset((project, False), [1, 224, 224, 3], "unsigned", n).generator()()))
print(json.dumps(results))
'''


def bench_samples(work, count):
    import numpy as np
    from PIL import Image
    folder = os.path.join(work, "jpegs")
    os.makedirs(folder)
    rng = np.random.default_rng(0)
    for i in range(count):
        Image.fromarray(rng.integers(0, 256, (480, 640, 3), dtype=np.uint8)).save(
            os.path.join(folder, "%04d.jpg" % i), quality=90)
    project = os.path.join(work, "set.veltrix")
    with open(project, "w") as f:
        json.dump({"images": ["jpegs/" + n for n in sorted(os.listdir(folder))]}, f)
    env = dict(os.environ, TF_CPP_MIN_LOG_LEVEL="3")
    out = subprocess.run([PY, "-c", SAMPLES_PROBE, folder, project, str(count)], capture_output=True, text=True,
                         env=env, cwd=work, check=True).stdout
    results = json.loads(out.strip().splitlines()[-1])
    floor = results.pop("floor")
    rows = [[k, "%.0f" % v, "%.2f" % (v / floor)] for k, v in results.items()]
    table("Sample throughput: %d JPEG files 640x480 -> 224x224x3 (floor: Pillow open+resize+NumPy = %.0f samples/s)"
          % (count, floor), ["source", "samples/s", "x floor"], rows)


# ------------------------------------------------------------ memory

MEMORY_PROBE = '''
import resource, sys, warnings
warnings.simplefilter("ignore")
import numpy as np
from veltrix.converter.plugin_api.dataset import Dataset
folder, n = sys.argv[1], int(sys.argv[2])
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
count = 0
if n:
    for _ in Dataset((folder, False), [1, 32, 32, 3], "unsigned", n, np.float32).generator()():
        count += 1
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(before, after, count)
'''


def bench_memory(work, count):
    import numpy as np
    from PIL import Image
    folder = os.path.join(work, "small")
    os.makedirs(folder)
    rng = np.random.default_rng(1)
    for i in range(count):
        Image.fromarray(rng.integers(0, 256, (48, 48, 3), dtype=np.uint8)).save(os.path.join(folder, "%05d.png" % i))
    env = dict(os.environ, TF_CPP_MIN_LOG_LEVEL="3")
    idle = subprocess.run([PY, "-c", MEMORY_PROBE, folder, "0"], capture_output=True, text=True, env=env,
                          check=True).stdout.split()
    busy = subprocess.run([PY, "-c", MEMORY_PROBE, folder, str(count)], capture_output=True, text=True, env=env,
                          check=True).stdout.split()
    assert int(busy[2]) == count
    table("Memory: peak RSS iterating %d images (48x48 PNG -> 1x32x32x3 float32)" % count,
          ["process", "peak RSS"],
          [["interpreter with the dataset module (and TensorFlow) imported", "%.0f MiB" % (int(idle[1]) / 1024)],
           ["after iterating all %d images" % count, "%.0f MiB" % (int(busy[1]) / 1024)],
           ["growth", "%.1f MiB" % ((int(busy[1]) - int(busy[0])) / 1024)]])


# ---------------------------------------------------------- back ends

BACKEND_SETUP = '''
import os, sys, numpy as np, keras
from PIL import Image
work = sys.argv[1]
os.makedirs(os.path.join(work, "imgs"), exist_ok=True)
rng = np.random.default_rng(3)
for i in range(20):
    Image.fromarray(rng.integers(0, 255, (32, 32, 3)).astype(np.uint8)).save(os.path.join(work, "imgs", "%02d.png" % i))
keras.utils.set_random_seed(3)
inputs = keras.Input((32, 32, 3))
x = keras.layers.Conv2D(8, 3, activation="relu")(inputs)
x = keras.layers.GlobalAveragePooling2D()(x)
keras.Model(inputs, keras.layers.Dense(3, activation="softmax")(x)).save(os.path.join(work, "m.keras"))
'''

# The same conversions written directly against the libraries, the way a
# script without the front end would do them (no checks, no verification).
BACKEND_DIRECT = '''
import os, sys, numpy as np
os.environ["TF_CPP_MIN_LOG_LEVEL"] = "2"
import tensorflow as tf, keras
from PIL import Image
work, job = sys.argv[1], sys.argv[2]
model = keras.models.load_model(os.path.join(work, "m.keras"), compile=False)
files = sorted(os.listdir(os.path.join(work, "imgs")))[:10]
def images():
    for f in files:
        yield (np.asarray(Image.open(os.path.join(work, "imgs", f)).resize((32, 32)), dtype=np.float32) / 255.0)[None]
if job.endswith("tflite"):
    converter = tf.lite.TFLiteConverter.from_keras_model(model)
    if job.startswith("int8"):
        converter.optimizations = [tf.lite.Optimize.DEFAULT]
        converter.representative_dataset = lambda: ([x] for x in images())
        converter.target_spec.supported_ops = [tf.lite.OpsSet.TFLITE_BUILTINS_INT8]
        converter.inference_input_type = converter.inference_output_type = tf.int8
    open(os.path.join(work, "direct.tflite"), "wb").write(converter.convert())
elif job.endswith("xml"):
    sys.modules["openvino_telemetry"] = None  # OpenVINO and NNCF then send no telemetry (as the plug-in does)
    import openvino as ov
    ir = ov.convert_model(model)
    if job.startswith("int8"):
        import nncf
        ir = nncf.quantize(ir, nncf.Dataset(list(images())), subset_size=10)
    ov.save_model(ir, os.path.join(work, "direct.xml"))
else:
    import tf2onnx
    spec = (tf.TensorSpec([None, 32, 32, 3], tf.float32, name="input"),)
    path = os.path.join(work, "direct.onnx")
    tf2onnx.convert.from_function(tf.function(lambda x: model(x)), input_signature=spec, opset=17, output_path=path)
    if job.startswith("int8"):
        from onnxruntime import quantization as q
        class Reader:
            def __init__(self): self.it = images()
            def get_next(self): return next(({"input": x} for x in self.it), None)
        q.quantize_static(path, os.path.join(work, "direct-int8.onnx"), Reader(), per_channel=True)
'''

# A PyTorch program of the same shape as the Keras model, and its conversion
# to ONNX written directly against PyTorch and ONNX Runtime.
TORCH_SETUP = '''
import os, sys, torch
torch.manual_seed(3)
model = torch.nn.Sequential(torch.nn.Conv2d(3, 8, 3), torch.nn.BatchNorm2d(8), torch.nn.ReLU(),
                            torch.nn.AdaptiveAvgPool2d(1), torch.nn.Flatten(), torch.nn.Linear(8, 3),
                            torch.nn.Softmax(-1)).eval()
program = torch.export.export(model, (torch.rand(2, 3, 32, 32),), dynamic_shapes=({0: torch.export.Dim("batch")},))
torch.export.save(program, os.path.join(sys.argv[1], "m.pt2"))
'''

TORCH_DIRECT = '''
import os, sys, numpy as np, torch
from PIL import Image
work, job = sys.argv[1], sys.argv[2]
program = torch.export.load(os.path.join(work, "m.pt2"))
path = os.path.join(work, "direct.onnx")
torch.onnx.export(program, program.example_inputs[0], None, dynamo=True, opset_version=18).save(path)
if job.startswith("int8"):
    from onnxruntime import quantization as q
    files = sorted(os.listdir(os.path.join(work, "imgs")))[:10]
    def images():
        for f in files:
            x = np.asarray(Image.open(os.path.join(work, "imgs", f)).resize((32, 32)), dtype=np.float32) / 255.0
            yield np.ascontiguousarray(x.transpose(2, 0, 1)[None])
    class Reader:
        def __init__(self): self.it = images()
        def get_next(self): return next(({"x": x} for x in self.it), None)
    q.quantize_static(path, os.path.join(work, "direct-int8.onnx"), Reader(), per_channel=True)
'''


def bench_backends(work, runs, formats):
    subprocess.run([PY, "-c", BACKEND_SETUP, work], check=True, capture_output=True)
    subprocess.run([PY, "-c", TORCH_SETUP, work], check=True, capture_output=True)
    quantize = ["--quantize", "--samples", "imgs", "--num-samples", "10", "--quantize-format", "int8"]
    # format: the destination's, or "pt2" for the PyTorch program converted to ONNX
    jobs = [("float tflite", "float-tflite", [], "m.keras", "out.tflite", "tflite"),
            ("int8 tflite", "int8-tflite", quantize, "m.keras", "out.tflite", "tflite"),
            ("float onnx", "float-onnx", [], "m.keras", "out.onnx", "onnx"),
            ("int8 onnx", "int8-onnx", quantize, "m.keras", "out.onnx", "onnx"),
            ("float IR (fp16 weights)", "float-xml", [], "m.keras", "out.xml", "xml"),
            ("int8 IR", "int8-xml", quantize, "m.keras", "out.xml", "xml"),
            ("float onnx from .pt2", "float-torch", [], "m.pt2", "out.onnx", "pt2"),
            ("int8 onnx from .pt2", "int8-torch", quantize, "m.pt2", "out.onnx", "pt2")]
    rows = []
    for label, job, words, source, dest, kind in jobs:
        if kind not in formats:
            continue
        direct = median_run([PY, "-c", TORCH_DIRECT if kind == "pt2" else BACKEND_DIRECT, work, job], runs, cwd=work)
        plain = median_run([COMMAND, "--verify", "false", *words, source, dest], runs, cwd=work)
        full = median_run([COMMAND, *words, source, dest], runs, cwd=work)
        rows.append([label, "%.2f s" % direct, "%.2f s" % plain, "%.2f" % (plain / direct), "%.2f s" % full,
                     "%.2f" % (full / direct)])
    table("Conversions: the command against the same libraries called directly (median of %d runs, each a fresh "
          "process)" % runs, ["conversion", "direct", "command --verify false", "x direct", "command", "x direct"], rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer runs and files, for a smoke test")
    parser.add_argument("--only", default="latency,registry,samples,memory,backends,programs")
    parser.add_argument("--formats", default="tflite,onnx,xml,pt2",
                        help="the conversions of `backends`, by destination (pt2: the PyTorch program to ONNX)")
    args = parser.parse_args()
    only = set(args.only.split(","))
    work = tempfile.mkdtemp(prefix="veltrix-bench-")
    try:
        print("# veltrix-converter benchmarks\n\nmachine: %s, %d cores, Python %s" % (
            os.uname().machine, os.cpu_count(), sys.version.split()[0]))
        if "latency" in only:
            bench_latency(work, 5 if args.quick else 21, [1, 10] if args.quick else [1, 10, 50])
        if "registry" in only:
            bench_registry(work, 3 if args.quick else 11, [1, 10] if args.quick else [1, 10, 50, 100])
        if "samples" in only:
            bench_samples(work, 10 if args.quick else 60)
        if "memory" in only:
            bench_memory(work, 500 if args.quick else 10000)
        if "backends" in only:
            bench_backends(work, 1 if args.quick else 3, args.formats.split(","))
        if "programs" in only:  # PyTorch programs of several signatures (bench/pt2.py)
            sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
            import pt2
            for dest in ("onnx", "xml"):  # veltrix-torch, veltrix-openvino
                pt2.bench_programs(work, 1 if args.quick else 3, ["classifier"] if args.quick else pt2.PROGRAMS, dest)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
