"""The files of a model, as the kit sees them: every file a source consists
of (none is ever a destination), and the files of one result put in place
together even when a signal arrives in between."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

from veltrix.converter.plugin_api.helpers import source_files


def varint(n):
    out = b""
    while True:
        out += bytes([n & 0x7F | (0x80 if n > 0x7F else 0)])
        n >>= 7
        if not n:
            return out


def field(number, payload):
    """A length-delimited protobuf field."""
    return varint(number << 3 | 2) + varint(len(payload)) + payload


def with_data(location, before=b""):
    """A TensorProto: `before` (other fields), then its external data entry."""
    return before + field(13, field(1, b"location") + field(2, location.encode()))


GRAPH = field(5, with_data("init.bin"))                                     # an initializer
NODE_T = field(1, field(5, field(5, with_data("attr.bin"))))                # a node attribute's tensor
SUBGRAPH = field(1, field(5, field(6, field(5, with_data("sub.bin")))))     # an attribute graph's initializer
UNPACKED = b"".join(varint(4 << 3 | 5) + b"\0\0\x80\x3f" for _ in range(200_000))  # old writers' float_data

# the encoded ModelProto (hand-made: every place a tensor can be), the locations found or the error
@pytest.mark.parametrize("model, found", [
    (field(7, GRAPH), ["init.bin"]),
    (field(7, GRAPH + NODE_T + SUBGRAPH), ["init.bin", "attr.bin", "sub.bin"]),
    (field(7, field(15, field(1, with_data("sparse.bin")))), ["sparse.bin"]),              # a sparse initializer
    (field(25, field(7, field(5, field(10, with_data("fn.bin"))))), ["fn.bin"]),           # a function's node
    (field(20, field(2, GRAPH)), ["init.bin"]),                                            # training information
    (field(7, field(5, with_data("w.bin", before=UNPACKED + varint(2 << 3) + varint(300)))), ["w.bin"]),
    (varint(9 << 3 | 3) + varint(1 << 3) + b"\x05" + varint(9 << 3 | 4) + field(7, GRAPH), ["init.bin"]),  # a group
    (field(7, GRAPH) + field(7, field(5, with_data("init.bin"))), ["init.bin"]),          # said twice, listed once
    (field(7, field(5, field(13, field(1, b"checksum") + field(2, b"x")))), []),
    (field(8, b"\x01\x02") + varint(1 << 3 | 1) + b"12345678", []),                        # nothing of interest
    (field(7, GRAPH)[:-3], []),                                    # what protobuf refuses names nothing: no reader
    (varint(7 << 3 | 6), []),                                      # loads the model, nor anything beside it
    (b"\x80" * 11, []),
    (field(7, GRAPH) + varint(3 << 3 | 4), []),                     # a group ended that never started
], ids=["initializer", "everywhere", "sparse", "function", "training", "unpacked run", "group", "twice", "checksum",
        "none", "truncated", "wire type", "long number", "stray end"])
def test_the_external_data_an_onnx_model_names(tmp_path, model, found):
    (tmp_path / "m.onnx").write_bytes(model)
    src = str(tmp_path / "m.onnx")
    assert source_files(src, "onnx") == [src] + [str(tmp_path / name) for name in found]


# a source's layout (None: a folder), the type given: its files, relative to the test folder
@pytest.mark.parametrize("layout, src, kind, files", [
    ({"m.xml": "ir", "m.bin": "w"}, "m.xml", "xml", ["m.xml", "m.bin"]),
    ({"m.xml": "ir"}, "m.xml", None, ["m.xml", "m.bin"]),                   # the type from the extension
    ({"m.keras": "k", "m.bin": "w"}, "m.keras", "keras", ["m.keras"]),
    ({"s/saved_model.pb": "g", "s/variables/v.index": "i", "s/assets": None}, "s", "pb",
     ["s", "s/saved_model.pb", "s/assets", "s/variables", "s/variables/v.index"]),
    ({"m.onnx": field(7, GRAPH)}, "m.onnx", "ONNX", ["m.onnx", "init.bin"]),  # as it would be read, present or not
])
def test_the_files_a_source_model_consists_of(tmp_path, monkeypatch, layout, src, kind, files):
    for name, content in layout.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if content is None:
            path.mkdir()
        else:
            path.write_bytes(content if isinstance(content, bytes) else content.encode())
    monkeypatch.chdir(tmp_path)
    got = source_files(src, kind)
    assert got[0] == src and sorted(got) == sorted(os.path.normpath(f) for f in files)


def test_a_linked_folder_of_a_savedmodel_is_followed_once(tmp_path):
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "elsewhere" / "v.data").write_text("weights")
    (tmp_path / "s").mkdir()
    (tmp_path / "s" / "variables").symlink_to(tmp_path / "elsewhere")
    (tmp_path / "elsewhere" / "loop").symlink_to(tmp_path / "s")
    files = source_files(str(tmp_path / "s"), "pb")
    assert str(tmp_path / "s" / "variables" / "v.data") in files and len(files) == len(set(files)) == 4


# Installs the pair model.xml + model.bin over an old pair; between the two
# replaces it says so and waits for the test's word, sent after the signal.
PAIR = '''
import os, signal, sys
from veltrix.converter.plugin_api.helpers import files, safe_outputs

# Python's own SIGINT handler, as a process started from a terminal has it
# (one started by a shell's background job inherits SIGINT ignored)
signal.signal(signal.SIGINT, signal.default_int_handler)

def between():
    print("between", flush=True)
    sys.stdin.readline()  # the signal is pending before this line arrives
files.between_replaces = between
names = [os.path.join(sys.argv[1], "model.xml"), os.path.join(sys.argv[1], "model.bin")]
try:
    with safe_outputs(names) as partials:
        for partial in partials:
            with open(partial, "w") as f:
                f.write("new")
except KeyboardInterrupt:
    print("interrupted after", sorted(os.listdir(sys.argv[1])), flush=True)
    sys.exit(130)
'''


# the signal, how the child ends (the handler it had: Python's for SIGINT, the default for SIGTERM)
@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, -signal.SIGTERM)])
def test_a_signal_between_the_replaces_leaves_the_new_pair_then_is_delivered(tmp_path, signum, status):
    for name in ("model.xml", "model.bin"):
        (tmp_path / name).write_text("old")
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(PAIR), str(tmp_path)], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "between\n", child.stderr.read()
        child.send_signal(signum)
        try:
            child.stdin.write("go\n")
            child.stdin.flush()
        except BrokenPipeError:
            pass  # ended by the signal at once: the files tell
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert [(tmp_path / n).read_text() for n in ("model.xml", "model.bin")] == ["new", "new"], err
    assert child.returncode == status, err
    assert sorted(os.listdir(tmp_path)) == ["model.bin", "model.xml"]
    if signum == signal.SIGINT:
        assert out == "interrupted after ['model.bin', 'model.xml']\n"


# where the source keeps its weights, the destination asked for: refused before any work, the source intact
@pytest.mark.parametrize("weights, dst, plugin", [
    ("model.bin", "model.xml", "veltrix_openvino"),      # the IR's weights would have replaced the source's
    ("out.onnx.data", "out.onnx", "veltrix_onnx"),       # so would a large ONNX result's
])
def test_no_conversion_overwrites_the_weights_of_its_source(tmp_path, weights, dst, plugin):
    pytest.importorskip(plugin)
    np = pytest.importorskip("numpy")
    onnx = pytest.importorskip("onnx")
    from onnx import helper, numpy_helper

    from conftest import command
    w = numpy_helper.from_array(np.arange(4096, dtype=np.float32).reshape(64, 64), "w")
    graph = helper.make_graph([helper.make_node("MatMul", ["x", "w"], ["y"])], "g",
                              [helper.make_tensor_value_info("x", 1, [1, 64])],
                              [helper.make_tensor_value_info("y", 1, [1, 64])], [w])
    onnx.save_model(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)]), str(tmp_path / "model.onnx"),
                    save_as_external_data=True, location=weights, size_threshold=0)
    before = (tmp_path / weights).read_bytes()
    result = command("model.onnx", dst, cwd=tmp_path)
    assert result.returncode == 1, result.stdout + result.stderr
    assert ("FAILURE: The destination %s would overwrite %s, part of the source model model.onnx; give another file "
            "name" % (dst, weights)) in result.stdout.splitlines()
    assert (tmp_path / weights).read_bytes() == before and len(before) == 16384
    assert sorted(os.listdir(tmp_path)) == sorted(["model.onnx", weights])
    loaded = onnx.load(str(tmp_path / "model.onnx"))
    assert numpy_helper.to_array(loaded.graph.initializer[0]).tolist() == numpy_helper.to_array(w).tolist()
