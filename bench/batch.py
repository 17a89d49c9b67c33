"""Batch conversion: 24 small Keras models of different shapes, each to .tflite and .onnx (48 jobs),
converted in one run as 48 single commands (one after another, as a shell loop runs them, and two
at a time), as one veltrix-batch on local warm workers, and as one veltrix-batch on a local Ray pool;
the batch's bytes checked against the single commands', and the peak memory of the workers.

    .venv/bin/python bench/batch.py [--models N] [--workers N] [--no-ray] [--two-at-a-time] [--keep FOLDER]

Absolute times on a shared two-core machine are noisy; the ratios, measured side by side, are what
count. The load average of the machine is printed with the results.
"""

import argparse
import concurrent.futures
import csv
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

PY = sys.executable
BIN = os.path.dirname(PY)
CONVERTER = os.path.join(BIN, "veltrix-converter")
BATCH = os.path.join(BIN, "veltrix-batch")
FORMATS = ("tflite", "onnx")

MAKE_MODELS = r'''
import os, sys
os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
import keras
folder, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    keras.utils.set_random_seed(i)
    size, channels, classes = (8, 12, 16, 20, 24, 32)[i % 6], (1, 3)[i // 6 % 2], (2, 5, 10)[i % 3]
    kind = ("conv", "depthwise", "mlp", "residual")[i // 12 * 2 + i % 2]
    if kind == "mlp":
        inputs = keras.Input((size * channels,))
        x = keras.layers.Dense(16 + i, activation="relu")(inputs)
        x = keras.layers.Dense(8, activation="tanh")(x)
    else:
        inputs = keras.Input((size, size, channels))
        if kind == "depthwise":
            x = keras.layers.DepthwiseConv2D(3, activation="relu")(inputs)
            x = keras.layers.Conv2D(4 + i % 5, 1)(x)
        else:
            x = keras.layers.Conv2D(4 + i % 5, 3, padding="same", activation="relu")(inputs)
            if kind == "residual":
                y = keras.layers.Conv2D(4 + i % 5, 3, padding="same")(x)
                x = keras.layers.Add()([x, y])
            x = keras.layers.MaxPooling2D()(x)
        x = keras.layers.GlobalAveragePooling2D()(x)
    outputs = keras.layers.Dense(classes, activation="softmax")(x)
    keras.Model(inputs, outputs).save(os.path.join(folder, "m%02d-%s-%d.keras" % (i, kind, size)))
'''


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def job_file(folder, models, out):
    path = os.path.join(folder, "jobs-%s.csv" % out)
    with open(path, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["source", "dest"])
        for model in models:
            for fmt in FORMATS:
                writer.writerow([model, "%s/%s.%s" % (out, os.path.splitext(model)[0], fmt)])
    return path


def jobs_of(path):
    folder = os.path.dirname(path)
    with open(path, newline="") as f:
        return [(os.path.join(folder, r["source"]), os.path.join(folder, r["dest"])) for r in csv.DictReader(f)]


def singles(path, parallel):
    """Every job of the file as its own veltrix-converter command; the wall time."""
    def one(job):
        done = subprocess.run([CONVERTER, *job], capture_output=True, text=True, stdin=subprocess.DEVNULL)
        if done.returncode != 0:
            raise RuntimeError("%s failed: %s" % (job[1], done.stdout + done.stderr))
    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(parallel) as pool:
        list(pool.map(one, jobs_of(path)))
    return time.perf_counter() - start


def batch(path, *words):
    """One veltrix-batch of the file: (wall time, report lines)."""
    report = path + ".report.jsonl"
    start = time.perf_counter()
    done = subprocess.run([BATCH, path, "--force", "--report", report, *words], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError("veltrix-batch %s failed:\n%s%s" % (" ".join(words), done.stdout, done.stderr))
    with open(report) as f:
        return seconds, [json.loads(line) for line in f]


def outputs(path):
    return {os.path.basename(dest): digest(dest) for _, dest in jobs_of(path)}


def peak_memory(lines):
    """{worker: its largest process-tree memory, MiB}."""
    peaks = {}
    for line in lines:
        peaks[line["worker"]] = max(peaks.get(line["worker"], 0), line.get("memory") or 0)
    return {worker: peak / 2 ** 20 for worker, peak in sorted(peaks.items())}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--models", type=int, default=24)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--no-ray", action="store_true", help="leave out the local Ray pool")
    parser.add_argument("--two-at-a-time", action="store_true", help="also the single commands two at a time")
    parser.add_argument("--keep", help="work in this folder and keep it")
    args = parser.parse_args()
    folder = args.keep or tempfile.mkdtemp(prefix="veltrix-bench-batch-")
    os.makedirs(folder, exist_ok=True)
    load = [os.getloadavg()[0]]
    subprocess.run([PY, "-c", MAKE_MODELS, folder, str(args.models)], check=True)
    models = sorted(name for name in os.listdir(folder) if name.endswith(".keras"))
    rows = []
    try:
        sequential = job_file(folder, models, "single")
        seconds = singles(sequential, 1)
        expected = outputs(sequential)
        rows.append(("48 single commands, one after another" if len(models) == 24 else "single commands, one after another",
                     seconds, None, None))
        load.append(os.getloadavg()[0])
        if args.two_at_a_time:
            path = job_file(folder, models, "single2")
            seconds = singles(path, 2)
            rows.append(("single commands, two at a time", seconds, None, outputs(path) == expected))
            load.append(os.getloadavg()[0])
        path = job_file(folder, models, "batch")
        seconds, lines = batch(path, "--workers", str(args.workers))
        rows.append(("veltrix-batch, %d local warm workers" % args.workers, seconds, peak_memory(lines),
                     outputs(path) == expected))
        load.append(os.getloadavg()[0])
        if not args.no_ray:
            path = job_file(folder, models, "ray")
            seconds, lines = batch(path, "--ray", "local", "--workers", str(args.workers))
            rows.append(("veltrix-batch --ray local (%d CPUs, Ray's start included)" % args.workers, seconds,
                         peak_memory(lines), outputs(path) == expected))
            load.append(os.getloadavg()[0])
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)
    base = rows[0][1]
    print("\n%d models x %s = %d jobs; load average (1 min) during the run: %s\n" % (
        len(models), "/".join(FORMATS), len(models) * len(FORMATS), ", ".join("%.1f" % x for x in load)))
    print("| how | wall time | x faster than one after another | same bytes as the single commands | peak memory per worker |")
    print("|---|---|---|---|---|")
    for name, seconds, memory, same in rows:
        print("| %s | %.1f s | %.1f | %s | %s |" % (
            name, seconds, base / seconds, "-" if same is None else ("yes" if same else "NO"),
            ", ".join("%.0f MiB" % m for m in memory.values()) if memory else "-"))


if __name__ == "__main__":
    main()
