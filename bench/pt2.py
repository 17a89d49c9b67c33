"""PyTorch programs to ONNX and to OpenVINO IR: what a verified conversion
through the command costs next to the library calls it makes
(`torch.export.load`, then `torch.onnx.export(..., dynamo=True)` or
`openvino.convert_model`, and save), and where its time goes.

    .venv/bin/python bench/pt2.py [--runs N] [--programs classifier,two-inputs,bert] [--dests onnx,xml]
    (or bench/run.py --only programs)

For each program, rounds of three fresh processes in turn (so that a change
in the machine's load falls on all three alike): the direct library calls,
the command with --verify false, the command. Then one verified conversion
run in this process with its stages timed (the plug-in's progress stages),
and the direct script's own split (import, load, export, save).
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from run import table  # this folder is on the path, whether run.py or this file is the script

PY = sys.executable
PROGRAMS = ["classifier", "two-inputs", "bert"]
COMMAND = os.path.join(os.path.dirname(PY), "veltrix-converter")

SETUP = '''
import os, sys, torch
work, which = sys.argv[1], sys.argv[2]
torch.manual_seed(3)
batch = torch.export.Dim("batch")
if which == "classifier":
    model = torch.nn.Sequential(torch.nn.Conv2d(3, 8, 3), torch.nn.BatchNorm2d(8), torch.nn.ReLU(),
                                torch.nn.AdaptiveAvgPool2d(1), torch.nn.Flatten(), torch.nn.Linear(8, 3),
                                torch.nn.Softmax(-1)).eval()
    args, dynamic = (torch.rand(2, 3, 32, 32),), ({0: batch},)
elif which == "two-inputs":
    class TwoInputs(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.num, self.cat = torch.nn.Linear(12, 16), torch.nn.Embedding(10, 16)
            self.head = torch.nn.Linear(16, 3)
        def forward(self, num, cat):
            return self.head(torch.relu(self.num(num) + self.cat(cat).sum(1)))
    model = TwoInputs().eval()
    args, dynamic = (torch.rand(2, 12), torch.randint(0, 10, (2, 4))), ({0: batch}, {0: batch})
else:
    os.environ["HF_HUB_OFFLINE"] = "1"
    import transformers
    bert = transformers.BertModel(transformers.BertConfig(
        vocab_size=1000, hidden_size=64, num_hidden_layers=2, num_attention_heads=2, intermediate_size=128,
        max_position_embeddings=128)).eval()
    class Encoder(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.bert = bert
        def forward(self, input_ids, attention_mask):
            out = self.bert(input_ids=input_ids, attention_mask=attention_mask)
            return out.last_hidden_state, out.pooler_output
    model = Encoder().eval()
    sequence = torch.export.Dim("sequence", min=2, max=128)
    ids = torch.randint(0, 1000, (2, 16))
    args, dynamic = (ids, torch.ones_like(ids)), ({0: batch, 1: sequence},) * 2
torch.export.save(torch.export.export(model, args, dynamic_shapes=dynamic), os.path.join(work, which + ".pt2"))
'''

DIRECT = '''
import json, os, sys, time
start = time.perf_counter()
import torch
imported = time.perf_counter()
program = torch.export.load(sys.argv[1])
loaded = time.perf_counter()
onnx_program = torch.onnx.export(program, (), None, dynamo=True, opset_version=18)
exported = time.perf_counter()
onnx_program.save(sys.argv[2])
saved = time.perf_counter()
print(json.dumps({"import": imported - start, "load": loaded - imported, "export": exported - loaded,
                  "save": saved - exported}))
'''

DIRECT_IR = '''
import json, os, sys, time
start = time.perf_counter()
sys.modules["openvino_telemetry"] = None  # no telemetry, as the plug-in has it
import torch
import openvino as ov
imported = time.perf_counter()
program = torch.export.load(sys.argv[1])
loaded = time.perf_counter()
model = ov.convert_model(program)
exported = time.perf_counter()
ov.save_model(model, sys.argv[2])
saved = time.perf_counter()
print(json.dumps({"import": imported - start, "load": loaded - imported, "export": exported - loaded,
                  "save": saved - exported}))
'''
DIRECTS = {"onnx": DIRECT, "xml": DIRECT_IR}
CONVERTERS = {"onnx": "torch.onnx.export", "xml": "openvino.convert_model"}

STAGES = '''
import json, sys, time
start = time.perf_counter()
marks = []
from veltrix.converter.plugin_api.helpers import progress
stage = progress.Progress.stage
def timed(self, text):
    marks.append((time.perf_counter() - start, text.split(" ")[0]))
    stage(self, text)
progress.Progress.stage = timed
from veltrix.converter.console.runner import run_command
outcome = run_command(sys.argv[1:])
marks.append((time.perf_counter() - start, "end"))
print(json.dumps({"status": outcome.status, "marks": marks}))
'''


def timed(cmd, cwd):
    start = time.perf_counter()
    done = subprocess.run(cmd, capture_output=True, text=True, cwd=cwd)
    if done.returncode:
        raise SystemExit("failed: %s\n%s%s" % (" ".join(cmd), done.stdout[-2000:], done.stderr[-2000:]))
    return time.perf_counter() - start, done.stdout


def bench_programs(work, runs, programs, dest="onnx"):
    rows, stages, splits = [], [], []
    for name in programs:
        src = os.path.join(work, name + ".pt2")
        if not os.path.exists(src):
            subprocess.run([PY, "-c", SETUP, work, name], check=True, capture_output=True)
        commands = {"direct": [PY, "-c", DIRECTS[dest], src, os.path.join(work, "direct." + dest)],
                    "plain": [COMMAND, "--verify", "false", src, os.path.join(work, "plain." + dest)],
                    "full": [COMMAND, src, os.path.join(work, "full." + dest)]}
        times = {key: [] for key in commands}
        direct_split = []
        for round_ in range(runs + 1):  # the first round warms the caches and is not counted
            for key, cmd in commands.items():
                seconds, out = timed(cmd, work)
                if round_:
                    times[key].append(seconds)
                    if key == "direct":
                        direct_split.append(json.loads(out.strip().splitlines()[-1]))
        direct, plain, full = (statistics.median(times[k]) for k in ("direct", "plain", "full"))
        rows.append([name, "%.2f s" % direct, "%.2f s" % plain, "%.2f" % (plain / direct), "%.2f s" % full,
                     "%.2f" % (full / direct)])
        split = {k: statistics.median(d[k] for d in direct_split) for k in direct_split[0]}
        splits.append([name] + ["%.2f s" % split[k] for k in ("import", "load", "export", "save")])
        _, out = timed([PY, "-c", STAGES, src, os.path.join(work, "staged." + dest)], work)
        marks = json.loads(out.strip().splitlines()[-1])["marks"]
        previous, what, parts = 0.0, "start-up", []
        for at, text in marks:
            parts.append("%s %.2f s" % (what, at - previous))
            previous, what = at, text
        stages.append([name, "; ".join(parts), "%.2f s" % marks[-1][0]])
    what = {"onnx": "ONNX", "xml": "OpenVINO IR"}[dest]
    table("PyTorch programs to %s: the command against the library calls (median of %d rounds, each command a "
          "fresh process, the three in turn)" % (what, runs),
          ["program", "direct", "command --verify false", "x direct", "command", "x direct"], rows)
    table("Where the direct calls spend it (medians)", ["program", "imports", "torch.export.load",
                                                        CONVERTERS[dest], "save"], splits)
    table("Where a verified conversion spends it (one run in-process, by the plug-in's stages)",
          ["program", "stages", "total"], stages)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--programs", default=",".join(PROGRAMS))
    parser.add_argument("--dests", default="onnx,xml", help="onnx (veltrix-torch), xml (veltrix-openvino)")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="veltrix-bench-pt2-")
    try:
        for dest in args.dests.split(","):
            bench_programs(work, args.runs, args.programs.split(","), dest)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
