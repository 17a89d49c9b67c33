"""What containment costs: the same work on a .pt2 (load it, export it to
ONNX) run in the calling process and in a contained child, from a cold
process (the child imports PyTorch) and from a warm one (PyTorch imported
before, as a batch worker keeps it: the child computes on one thread), and
the bare cost of a contained call.

    .venv/bin/python bench/containment.py [--runs N]

Each figure is the median of N runs, each in a fresh process; ratios are
what count on a shared machine.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

PY = sys.executable

MAKE = '''
import sys, torch
class Net(torch.nn.Module):
    def __init__(self):
        super().__init__()
        self.conv, self.norm, self.head = torch.nn.Conv2d(3, 16, 3), torch.nn.BatchNorm2d(16), torch.nn.Linear(16, 10)
    def forward(self, x):
        return self.head(torch.relu(self.norm(self.conv(x))).mean((2, 3)))
torch.export.save(torch.export.export(Net().eval(), (torch.rand(1, 3, 64, 64),)), sys.argv[1])
'''

# argv: program, "contained" or "direct", "warm" or "cold", "export" or "nothing"
RUN = '''
import json, os, sys, time
start = time.perf_counter()
if sys.argv[3] == "warm":
    import torch
from veltrix.converter.plugin_api.helpers import conversion_run, contained, load_program
def work(run):
    if sys.argv[4] == "nothing":
        return None
    import torch
    program = load_program("bench", sys.argv[1])
    torch.onnx.export(program, program.example_inputs[0], os.path.join(run.workdir, "m.onnx"), dynamo=True)
    return "done"
begun = time.perf_counter()
with conversion_run("bench") as run:
    result = contained(run, lambda: work(run), source=sys.argv[1]) if sys.argv[2] == "contained" else work(run)
print(json.dumps({"total": time.perf_counter() - start, "work": time.perf_counter() - begun}))
'''


def measure(runs, *words):
    figures = []
    for _ in range(runs):
        out = subprocess.run([PY, "-c", RUN, *words], capture_output=True, text=True, check=True).stdout
        figures.append(json.loads(out.strip().splitlines()[-1]))
    return {k: statistics.median(f[k] for f in figures) for k in ("total", "work")}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=5)
    runs = parser.parse_args().runs
    with tempfile.TemporaryDirectory(prefix="veltrix-bench-") as work:
        program = os.path.join(work, "m.pt2")
        subprocess.run([PY, "-c", MAKE, program], check=True, capture_output=True)
        print("| work | process | in the caller | contained | contained / caller |")
        print("|---|---|---|---|---|")
        for what in ("nothing", "export"):
            for state in ("cold", "warm"):
                direct = measure(runs, program, "direct", state, what)
                boxed = measure(runs, program, "contained", state, what)
                key = "work" if what == "nothing" else "total"
                unit = (lambda t: "%.1f ms" % (t * 1000)) if what == "nothing" else (lambda t: "%.2f s" % t)
                print("| %s | %s | %s | %s | %.2f |" % (
                    "a contained call that does nothing" if what == "nothing" else "load and export a .pt2",
                    state, unit(direct[key]), unit(boxed[key]), boxed[key] / max(direct[key], 1e-9)))
                sys.stdout.flush()


if __name__ == "__main__":
    main()
