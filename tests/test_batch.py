"""veltrix-batch: job files read and refused as the single command would
take their rows, rows that convert to the same bytes and report as the
single command, jobs that crash, hang or overrun memory failing alone,
resuming from the report, Ctrl-C and SIGTERM mid-batch, and the Ray path
against a real local head.

Most jobs use a small plug-in whose behaviour the source file names; the
one test of real frameworks is the one about bytes. A child that is to be
signalled says it is ready through a FIFO; nothing waits a fixed time."""

import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

from conftest import ABSENT, make_pictures, needs
from test_command import LAUNCHER

from veltrix.converter.batch import command, supervisor
from veltrix.converter.batch.jobs import JobFileError, read_job_file, shorthand

BATCH = os.path.join(os.path.dirname(sys.executable), "veltrix-batch")
CONVERTER = os.path.join(os.path.dirname(sys.executable), "veltrix-converter")

# Converts .txt to .out ("LEVEL: TEXT") with the kit's safe writing. What the
# source says decides the rest: "crash" kills its own process, "hang" never
# ends, "stubborn" never ends and ignores SIGINT and SIGTERM, "memory" takes
# 400 MiB and holds it, "ready:FIFO" says so on FIFO half-way and waits.
# `--note FILE` adds the file's text, read as the command reads paths.
# Each conversion is noted in the file VX_LOG names.
PLUGIN = '''
import os, signal, time
from veltrix.converter.plugin_api.helpers import plugin_convert, safe_output

def query_convert(src_type, dst_type):
    if src_type is None and dst_type is None:
        return {"supported_inputs": ["txt"], "supported_outputs": ["out"]}
    if (src_type, dst_type) == ("txt", "out"):
        return {"level": {"type": "int", "default": 1}, "upper": {"type": "boolean", "default": False},
                "note": {"type": "string", "default": ""}}
    return None

@plugin_convert
def convert(src, dst, params):
    text = open(src).read().strip()
    if os.environ.get("VX_LOG"):
        with open(os.environ["VX_LOG"], "a") as log:
            log.write(os.path.basename(dst) + "\\n")
    with safe_output(dst) as partial:
        with open(partial, "w") as f:
            f.write("%s: %s" % (params["level"], text.upper() if params["upper"] else text))
            if params["note"]:
                f.write(" (%s)" % open(params["note"]).read())
        if text == "crash":
            os.kill(os.getpid(), signal.SIGSEGV)
        if text == "stubborn":
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            signal.signal(signal.SIGTERM, signal.SIG_IGN)
        if text == "memory":
            held = bytearray(b"x") * (400 * 2 ** 20)
        if text.startswith("ready:"):
            with open(text[len("ready:"):], "w") as fifo:
                fifo.write("ready\\n")
        while text in ("hang", "stubborn", "memory") or text.startswith("ready:"):
            time.sleep(0.05)
    return "Wrote %s" % dst
'''


@pytest.fixture
def texts(live_site, tmp_path):
    """The text plug-in installed, and a function writing sources and a job file."""
    live_site.add("vx-text", source=PLUGIN)
    folder = tmp_path / "jobs"
    folder.mkdir()

    def write(rows, name="jobs.csv", header="source,dest,level"):
        for row in rows:
            source, _, content = row[0].partition("=")
            if content:
                (folder / source).write_text(content)
        lines = [header] + [",".join([row[0].partition("=")[0], *row[1:]]) for row in rows]
        (folder / name).write_text("\n".join(lines) + "\n")
        return folder / name
    write.folder = folder
    write.site = live_site
    return write


def report(path):
    return [json.loads(line) for line in path.read_text().splitlines()]


def by_dest(lines):
    return {os.path.basename(line["job"]["dest"]): line for line in lines}


def leftovers(folder):
    return sorted(name for name in os.listdir(folder) if name.startswith("."))


# ---------------------------------------------------------------- job files

@pytest.mark.parametrize("name, text, words", [
    ("j.csv", "source,dest,level,upper\na.txt,out/a.out,3,\na.txt,/abs/b.out,,true\n",
     [["--level", "3", "{d}/a.txt", "{d}/out/a.out"], ["--upper", "true", "{d}/a.txt", "/abs/b.out"]]),
    # option columns as the command spells them; blank lines and a byte-order mark
    ("j.csv", "\ufeffsource,dest,--input_shape\n\na.txt,b.out,\"1,8,8,3\"\n",
     [["--input-shape", "1,8,8,3", "{d}/a.txt", "{d}/b.out"]]),
    ("j.jsonl", '{"source": "a.txt", "dest": "b.out", "quantize": true, "input-shape": [1, 8, 8, 3]}\n\n'
                '{"dest": "c.out", "source": "sub/a.txt", "level": 2, "samples": null, "verify": false}\n',
     [["--quantize", "true", "--input-shape", "1,8,8,3", "{d}/a.txt", "{d}/b.out"],
      ["--level", "2", "--verify", "false", "{d}/sub/a.txt", "{d}/c.out"]]),
    ("noext", '{"source": "a.txt", "dest": "b.out"}\n', [["{d}/a.txt", "{d}/b.out"]]),
])
def test_job_files_become_the_words_of_single_commands(tmp_path, name, text, words):
    (tmp_path / name).write_text(text)
    jobs = read_job_file(str(tmp_path / name))
    assert [job.words() for job in jobs] == [[w.format(d=tmp_path) for w in row] for row in words]


@pytest.mark.parametrize("name, text, message", [
    ("j.csv", "", "the job file is empty"),
    ("j.csv", "source,dest\n", "the job file holds no jobs"),
    ("j.jsonl", "\n", "the job file holds no jobs"),
    ("j.csv", "source,level\na.txt,3\n", "row 1: the column dest is missing"),
    ("j.csv", "source,dest,level,level\na,b.out,1,2\n", "row 1: the column level is given twice"),
    ("j.csv", "source,dest\na.txt,b.out,extra\n", "row 2: 3 cells, but the header names 2 columns"),
    ("j.csv", "source,dest\na.txt,\n", "row 2, column dest: the destination is empty"),
    ("j.csv", "source,dest,seed\na.txt,b.out,-3\n", "row 2, column seed: '-3' begins with '-'"),
    ("j.csv", "source,dest,l\na.txt,b.out,true\n", "row 2, column l: --l is not a conversion option"),
    ("j.jsonl", '{"source": "a", "dest": "b.out"}\n{"source": "a", "dest": \n', "row 2: not valid JSON"),
    ("j.jsonl", '["a", "b"]\n', "row 1: a line must be one JSON object"),
    ("j.jsonl", '{"source": "a", "dest": "b.out", "level": {"x": 1}}\n', "row 1, column level: a value must be"),
    ("j.csv", b"source,dest\na.txt,\xff.out\n", "row 2: not UTF-8 text"),
])
def test_unreadable_job_files_name_the_row_and_column(tmp_path, name, text, message):
    path = tmp_path / name
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    with pytest.raises(JobFileError) as error:
        read_job_file(str(path))
    assert str(error.value).startswith(message)


def test_the_shorthand_makes_a_job_per_source_and_pattern(tmp_path):
    for name in ("b.txt", "a.txt", "c.md"):
        (tmp_path / name).write_text("x")
    jobs = shorthand("*.txt", ["out/{name}.out", "out/{name}-3.out --level 3 --upper"], folder=str(tmp_path))
    assert [job.words() for job in jobs] == [[str(tmp_path / w) if "/" in w or w.endswith("txt") else w for w in row]
                                             for row in [["a.txt", "out/a.out"], ["b.txt", "out/b.out"],
                                                         ["--level", "3", "--upper", "true", "a.txt", "out/a-3.out"],
                                                         ["--level", "3", "--upper", "true", "b.txt", "out/b-3.out"]]]
    with pytest.raises(JobFileError, match="no source matches"):
        shorthand("*.none", ["{name}.out"], folder=str(tmp_path))


@pytest.mark.parametrize("rows, header, message", [
    ([("a.txt=x", "a.out", "3"), ("b.txt=y", "a.out", "")], "source,dest,level",
     "row 3, column dest: the destination {d}/a.out is also the destination of row 2"),
    ([("a.txt=x", "b.out", ""), ("b.out", "c.out", "txt")], "source,dest,input-model-type",
     "row 2, column dest: the destination {d}/b.out is the source of row 3"),
    ([("a.txt=x", "a.out", "txt"), ("saved", "saved/x.out", "txt")], "source,dest,input-model-type",
     "row 3, column dest: the destination {d}/saved/x.out is a file of the source of row 3 ({d}/saved)"),
    ([("a.txt=x", "b.out", "3", "2")], "source,dest,level,levle",
     "row 2, column levle: vx-text has no option --levle (did you mean level?)"),
    ([("a.txt=x", "b.out", "nobody")], "source,dest,plugin",
     "row 2, column plugin: no installed plug-in is named 'nobody'"),
    ([("a.txt=x", "b.tflite2", "")], "source,dest,level", "row 2, column dest: no installed plug-in converts 'txt' to"),
    ([("a.txt=x", "jobs.csv", "out")], "source,dest,output-model-type", "row 2, column dest: the destination {d}/jobs.csv is the job file"),
    ([("a.txt=x", "jobs.report.jsonl", "out")], "source,dest,output-model-type", "row 2, column dest: the destination {d}/jobs.report.jsonl is the report"),
])
def test_bad_batches_are_refused_before_any_work(texts, capsys, monkeypatch, rows, header, message):
    log = texts.folder / "conversions.log"
    monkeypatch.setenv("VX_LOG", str(log))
    job_file = texts(rows, header=header)
    (texts.folder / "b.out").write_text("an existing model")
    (texts.folder / "saved").mkdir()
    (texts.folder / "saved" / "x.out").write_text("a file of a folder model")
    assert command.main([str(job_file)]) == 2
    err = capsys.readouterr().err
    assert err.startswith("veltrix-batch: error: %s: %s" % (job_file, message.format(d=texts.folder))), err
    assert not log.exists() and not (texts.folder / "jobs.report.jsonl").exists()


# ------------------------------------------------------------------ running

def test_crashing_hanging_and_greedy_jobs_fail_alone(texts, capsys, monkeypatch):
    monkeypatch.setattr(supervisor, "STOP_GRACE", 1.0)
    job_file = texts([("ok.txt=fine", "out/ok.out", "2"), ("crash.txt=crash", "out/crash.out", ""),
                      ("hang.txt=hang", "out/hang.out", ""), ("memory.txt=memory", "out/memory.out", ""),
                      ("stubborn.txt=stubborn", "out/stubborn.out", ""), ("ok2.txt=also fine", "out/ok2.out", "")])
    status = command.main([str(job_file), "--workers", "2", "--timeout", "5", "--memory-limit", "200M"])
    out = capsys.readouterr().out
    assert status == 1, out
    lines = by_dest(report(texts.folder / "jobs.report.jsonl"))
    assert {name: (line["status"], line["message"].split("\n")[0]) for name, line in lines.items()} == {
        "ok.out": ("success", "Wrote %s" % (texts.folder / "out" / "ok.out")),
        "ok2.out": ("success", "Wrote %s" % (texts.folder / "out" / "ok2.out")),
        "crash.out": ("failure", "the worker process ended while converting (killed by SIGSEGV): "
                                 "Fatal Python error: Segmentation fault"),
        "hang.out": ("failure", "timed out after 5 s (--timeout)"),
        "memory.out": ("failure", lines["memory.out"]["message"]),
        "stubborn.out": ("failure", "timed out after 5 s (--timeout) (killed: it did not stop within 1 s)"),
    }
    assert lines["memory.out"]["message"].endswith("more than the memory limit of 200 MiB (--memory-limit)")
    assert "in convert" in lines["crash.out"]["stderr"]  # the plug-in's stack, for whoever looks into it
    assert sorted(os.listdir(texts.folder / "out")) == ["ok.out", "ok2.out"]  # nothing half-written left
    assert (texts.folder / "out" / "ok2.out").read_text() == "1: also fine"
    assert "Not converted:" in out and "row 3  crash.txt -> out/crash.out: the worker process ended" in out


def test_resume_skips_what_is_done_and_redoes_what_changed(texts, capsys, monkeypatch, tmp_path):
    log = texts.folder / "conversions.log"
    monkeypatch.setenv("VX_LOG", str(log))
    monkeypatch.chdir(tmp_path)  # the batch started elsewhere: the options' paths are the job file's
    (tmp_path / "note.txt").write_text("the caller's note")
    (texts.folder / "note.txt").write_text("a note")
    rows = [("a.txt=one", "a.out", "2", ""), ("b.txt=two", "b.out", "", ""), ("c.txt=three", "c.out", "", ""),
            ("a.txt", "d.out", "3", ""), ("e.txt=crash", "e.out", "", ""), ("f.txt=six", "f.out", "", "note.txt")]

    def run(*extra):
        log.write_text("")
        status = command.main([str(texts.folder / "jobs.csv"), "--workers", "1", *extra])
        capsys.readouterr()
        lines = by_dest(report(texts.folder / "jobs.report.jsonl"))
        assert len(lines) == len(rows)
        converted = sorted(name.replace(".out", "") for name in log.read_text().split())
        skipped = sorted(name.replace(".out", "") for name, line in lines.items() if line.get("skipped"))
        return status, converted, skipped

    texts(rows, header="source,dest,level,note")
    assert run() == (1, ["a", "b", "c", "d", "e", "f"], [])
    assert (texts.folder / "f.out").read_text() == "1: six (a note)"
    (texts.folder / "e.txt").write_text("five")
    assert run() == (0, ["e"], ["a", "b", "c", "d", "f"])  # a failed job is done again
    assert run() == (0, [], ["a", "b", "c", "d", "e", "f"])
    (texts.folder / "b.txt").write_text("two, changed")  # the source's bytes
    (texts.folder / "c.out").unlink()  # the destination gone
    (texts.folder / "a.out").write_text("edited by hand")  # the destination not what was written
    (texts.folder / "note.txt").write_text("another note")  # a file an option names
    texts([(source.partition("=")[0], dest, "4" if dest == "d.out" else level, note)  # the options
           for source, dest, level, note in rows], header="source,dest,level,note")
    assert run() == (0, ["a", "b", "c", "d", "f"], ["e"])
    assert (texts.folder / "d.out").read_text() == "4: one"
    assert (texts.folder / "f.out").read_text() == "1: six (another note)"
    assert run("--force") == (0, ["a", "b", "c", "d", "e", "f"], [])


def wait_for(fifo, timeout=300):
    """The line a plug-in writes to `fifo` once it is half-way (the timeout is a safety net)."""
    said = []
    reader = threading.Thread(target=lambda: said.append(open(fifo).readline()), daemon=True)
    reader.start()
    reader.join(timeout)
    assert said == ["ready\n"], "the plug-in never said it was ready"


@pytest.mark.parametrize("signum, status, how", [
    (signal.SIGINT, 130, "Ctrl-C"),
    (signal.SIGTERM, 143, "SIGTERM"),
])
def test_a_stopped_batch_keeps_what_finished_and_resumes(texts, capsys, signum, status, how):
    fifo = texts.folder / "ready.fifo"
    os.mkfifo(fifo)
    job_file = texts([("one.txt=one", "out/one.out", ""), ("two.txt=ready:%s" % fifo, "out/two.out", ""),
                      ("three.txt=three", "out/three.out", "")])
    child = subprocess.Popen([sys.executable, "-c", LAUNCHER, "", "", BATCH, str(job_file), "--workers", "1"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=texts.site.env(), cwd=texts.folder)
    wait_for(fifo)
    child.send_signal(signum)
    out, err = child.communicate(timeout=300)
    assert child.returncode == status, out + err
    assert err.endswith("Interrupted\n" if signum == signal.SIGINT else "Terminated\n")
    assert os.listdir(texts.folder / "out") == ["one.out"]
    lines = by_dest(report(texts.folder / "jobs.report.jsonl"))
    assert {name: (line["status"], line["message"].split("\n")[0]) for name, line in lines.items()} == {
        "one.out": ("success", "Wrote %s" % (texts.folder / "out" / "one.out")),
        "two.out": ("interrupted", "stopped by %s before it ended" % how),
        "three.out": ("not run", "the batch was stopped by %s before this job ran" % how)}
    (texts.folder / "two.txt").write_text("two")
    assert command.main([str(job_file), "--workers", "1"]) == 0
    assert "1 up to date, 2 to run" in capsys.readouterr().out
    assert sorted(os.listdir(texts.folder / "out")) == ["one.out", "three.out", "two.out"]


def model_bytes(path):
    """{file name: bytes} of a model (an IR is its .xml and its .bin)."""
    files = [path] + ([path.with_suffix(".bin")] if path.suffix == ".xml" else [])
    return {f.name: f.read_bytes() for f in files}


@needs("tensorflow", "veltrix_tflite", "veltrix_onnx")
def test_every_row_gives_the_single_commands_bytes_and_report(tmp_path):
    import keras
    make_pictures(tmp_path, seed=3, count=12, size=8)
    keras.utils.set_random_seed(3)
    inputs = keras.Input((8, 8, 3))
    x = keras.layers.GlobalAveragePooling2D()(keras.layers.Conv2D(4, 3, activation="relu")(inputs))
    keras.Model(inputs, keras.layers.Dense(2, activation="softmax")(x)).save(tmp_path / "m.keras")
    # one worker: each row runs where the rows before it left their libraries' state
    rows = [{"source": "m.keras", "dest": "out/m.onnx"},
            {"source": "m.keras", "dest": "out/m-int8.onnx", "quantize-format": "int8", "samples": "samples",
             "num-samples": 6},
            {"source": "m.keras", "dest": "out/m-int8.tflite", "quantize": True, "samples": "samples", "seed": 5}]
    if "veltrix_openvino" not in ABSENT:
        # OpenVINO numbers what it adds from a count of its process: in a used worker the bytes must not change
        rows += [{"source": "m.keras", "dest": "out/m.xml"},
                 {"source": "m.keras", "dest": "out/m32.xml", "compress-to-fp16": False}]
    (tmp_path / "jobs.jsonl").write_text("".join(json.dumps(row) + "\n" for row in rows))
    singles, children = {}, {}
    for row in rows:  # side by side: each pays for its own TensorFlow
        words = [w for key, value in row.items() if key not in ("source", "dest")
                 for w in ("--" + key, str(value).lower() if value is True else str(value))]
        children[row["dest"]] = subprocess.Popen(
            [CONVERTER, "--json", *words, str(tmp_path / row["source"]), str(tmp_path / row["dest"])],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL, cwd=tmp_path)
    for dest, child in children.items():
        out, err = child.communicate(timeout=600)
        assert child.returncode == 0, err
        singles[dest] = (json.loads(out), model_bytes(tmp_path / dest))
    for row in rows:
        for name in model_bytes(tmp_path / row["dest"]):
            (tmp_path / "out" / name).unlink()
    elsewhere = tmp_path / "elsewhere"  # started from another folder with samples of its own
    elsewhere.mkdir()
    make_pictures(elsewhere, seed=4, count=12, size=8)
    done = subprocess.run([BATCH, str(tmp_path / "jobs.jsonl"), "--workers", "1"], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, cwd=elsewhere, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    lines = report(tmp_path / "jobs.report.jsonl")
    for line in lines:
        dest = os.path.relpath(line["job"]["dest"], tmp_path)
        document, model = singles[dest]
        assert model_bytes(tmp_path / dest) == model, dest
        assert {k: v for k, v in line.items() if k in document and k != "seconds"} == \
            {k: v for k, v in document.items() if k != "seconds"}

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RayHead:
    """A real Ray head on the loopback address, without a dashboard or usage
    statistics, with a token of its own (whatever ~/.ray holds), the test's
    plug-ins on its workers' path and `folder` as their temporary folder;
    stopped by its own process id."""

    def __init__(self, env, folder):
        self.env = dict(env, RAY_USAGE_STATS_ENABLED="0", RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER="0", TMPDIR=folder,
                        RAY_AUTH_MODE="token", RAY_AUTH_TOKEN=os.urandom(32).hex())
        self.address = "127.0.0.1:%d" % free_port()
        ray = os.path.join(os.path.dirname(sys.executable), "ray")
        self.proc = subprocess.Popen(
            [ray, "start", "--head", "--block", "--node-ip-address=127.0.0.1", "--port=%s" % self.address.split(":")[1],
             "--ray-client-server-port=%d" % free_port(), "--num-cpus=2", "--include-dashboard=false",
             "--disable-usage-stats", "--temp-dir=%s" % folder],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=self.env)
        said = []
        for line in self.proc.stdout:
            said.append(line)
            if "Ray runtime started" in line:
                break
        else:
            raise AssertionError("the Ray head did not start:\n" + "".join(said))
        # drained from here on, so the head never blocks on a full pipe
        threading.Thread(target=self.proc.stdout.read, daemon=True).start()

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(120)
        except subprocess.TimeoutExpired:
            from veltrix.converter.batch.processes import kill_tree
            kill_tree(self.proc.pid)
            self.proc.wait()


@pytest.fixture
def ray_head(texts):
    pytest.importorskip("ray", reason="Ray is not installed (pip install \"veltrix-converter[ray]\")")
    import tempfile
    folder = tempfile.mkdtemp(prefix="vxray-")  # short: Ray's socket paths must fit in 107 bytes
    head = RayHead(texts.site.env(), folder)
    yield head
    head.stop()
    import shutil
    shutil.rmtree(folder, ignore_errors=True)


def test_ray_tasks_convert_and_report_as_local_workers(texts, ray_head, capsys):
    job_file = texts([("ok.txt=fine", "out/ok.out", "2"), ("crash.txt=crash", "out/crash.out", ""),
                      ("hang.txt=hang", "out/hang.out", ""), ("ok2.txt=also fine", "out/ok2.out", "")])
    assert command.main([str(job_file), "--workers", "2", "--timeout", "5"]) == 1
    capsys.readouterr()
    local = by_dest(report(texts.folder / "jobs.report.jsonl"))
    made = {name: (texts.folder / "out" / name).read_bytes() for name in os.listdir(texts.folder / "out")}
    done = subprocess.run([BATCH, str(job_file), "--ray", ray_head.address, "--timeout", "5", "--force",
                           "--report", str(texts.folder / "ray.jsonl")], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, env=ray_head.env, cwd=texts.folder, timeout=600)
    assert done.returncode == 1, done.stdout + done.stderr
    assert "on Ray at %s: 2 converted, 2 failed" % ray_head.address in done.stdout
    remote = by_dest(report(texts.folder / "ray.jsonl"))
    batch_fields = ("worker", "time", "memory", "stderr")
    assert {name: {k: v for k, v in line.items() if k not in batch_fields} for name, line in remote.items()} == \
        {name: {k: v for k, v in line.items() if k not in batch_fields} for name, line in local.items()}
    assert {name: (texts.folder / "out" / name).read_bytes() for name in os.listdir(texts.folder / "out")} == made
    assert all(line["worker"].startswith("ray-") for line in remote.values())


@needs("onnx")
@pytest.mark.parametrize("dims, expected", [
    # a second conversion in one process: tf2onnx's counter has moved on
    ([["unk__40", 8], ["unk__41", 2], ["unk__40", 4]], [["unk__1", 8], ["unk__2", 2], ["unk__1", 4]]),
    ([["batch", 8], ["unk__7", "unk__1"]], [["batch", 8], ["unk__1", "unk__2"]]),
    ([["unk__9"], ["unk__1"]], [["unk__1"], ["unk__2"]]),
    ([["unk__1", 3], ["unk__3"]], [["unk__1", 3], ["unk__2"]]),
])
def test_the_dimensions_a_converter_names_do_not_depend_on_the_process(dims, expected):
    from onnx import TensorProto, helper

    from veltrix.converter.plugin_api.helpers import canonical_names
    tensors = [helper.make_tensor_value_info("t%d" % i, TensorProto.FLOAT, shape) for i, shape in enumerate(dims)]
    graph = helper.make_graph([helper.make_node("Identity", ["t0"], ["t1"])], "g", tensors[:1], tensors[1:2],
                              value_info=tensors[2:])
    model = helper.make_model(graph)
    canonical_names(model)
    shown = [[d.dim_param or d.dim_value for d in t.type.tensor_type.shape.dim]
             for t in [*model.graph.input, *model.graph.output, *model.graph.value_info]]
    assert shown == expected
