"""Conversions keep to themselves. With HOME and TMPDIR pointed at empty
folders, a real conversion by every plug-in (float, and int8 where it
quantizes) writes nothing under the home folder (the datastore cache aside),
leaves nothing in the temporary folder and changes nothing beside the source
but the destination; and no process of it looks a name up or opens a
connection, from Python or from a native library: a small C library
preloaded into the command (and every process it starts) records and refuses
every name lookup and internet connection made through the C library."""

import os
import shutil
import subprocess
import sys

import pytest

from conftest import ABSENT, COMMAND

SHIM = r'''
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

static void note(const char *what, const char *detail) {
    const char *path = getenv("VELTRIX_NETWORK_LOG");
    char line[600];
    int n = snprintf(line, sizeof line, "%s %s (pid %d)\n", what, detail ? detail : "-", (int)getpid());
    int fd = path ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600) : -1;
    if (fd < 0) return;
    if (n > (int)sizeof line - 1) n = (int)sizeof line - 1;
    if (write(fd, line, n) < 0) {}
    close(fd);
}

static const char *internet(const struct sockaddr *a, char *text, size_t size) {
    if (!a) return NULL;
    if (a->sa_family == AF_INET) return inet_ntop(AF_INET, &((const struct sockaddr_in *)a)->sin_addr, text, size);
    if (a->sa_family == AF_INET6) return inet_ntop(AF_INET6, &((const struct sockaddr_in6 *)a)->sin6_addr, text, size);
    return NULL;
}

int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints, struct addrinfo **res) {
    (void)service; (void)hints; (void)res;
    note("getaddrinfo", node);
    return EAI_NONAME;
}
struct hostent *gethostbyname(const char *name) { note("gethostbyname", name); h_errno = HOST_NOT_FOUND; return NULL; }
struct hostent *gethostbyname2(const char *name, int af) {
    (void)af; note("gethostbyname2", name); h_errno = HOST_NOT_FOUND; return NULL;
}
int gethostbyname_r(const char *name, struct hostent *r, char *b, size_t l, struct hostent **res, int *e) {
    (void)r; (void)b; (void)l; note("gethostbyname_r", name); *res = NULL; *e = HOST_NOT_FOUND; return 0;
}
int gethostbyname2_r(const char *name, int af, struct hostent *r, char *b, size_t l, struct hostent **res, int *e) {
    (void)af; (void)r; (void)b; (void)l; note("gethostbyname2_r", name); *res = NULL; *e = HOST_NOT_FOUND; return 0;
}
int connect(int fd, const struct sockaddr *addr, socklen_t len) {
    char text[64];
    if (internet(addr, text, sizeof text)) { note("connect", text); errno = ENETUNREACH; return -1; }
    int (*real)(int, const struct sockaddr *, socklen_t) = (int (*)(int, const struct sockaddr *, socklen_t))dlsym(RTLD_NEXT, "connect");
    return real(fd, addr, len);
}
ssize_t sendto(int fd, const void *buf, size_t n, int flags, const struct sockaddr *addr, socklen_t len) {
    char text[64];
    if (internet(addr, text, sizeof text)) { note("sendto", text); errno = ENETUNREACH; return -1; }
    ssize_t (*real)(int, const void *, size_t, int, const struct sockaddr *, socklen_t) =
        (ssize_t (*)(int, const void *, size_t, int, const struct sockaddr *, socklen_t))dlsym(RTLD_NEXT, "sendto");
    return real(fd, buf, n, flags, addr, len);
}
ssize_t sendmsg(int fd, const struct msghdr *m, int flags) {
    char text[64];
    if (m && internet((const struct sockaddr *)m->msg_name, text, sizeof text)) {
        note("sendmsg", text); errno = ENETUNREACH; return -1;
    }
    ssize_t (*real)(int, const struct msghdr *, int) = (ssize_t (*)(int, const struct msghdr *, int))dlsym(RTLD_NEXT, "sendmsg");
    return real(fd, m, flags);
}
'''

# Where a variable would send a library's files elsewhere than HOME and TMPDIR.
MOVED = ("XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "KERAS_HOME", "TORCH_HOME",
         "TORCHINDUCTOR_CACHE_DIR", "TMP", "TEMP", "TEMPDIR")


@pytest.fixture(scope="session")
def network_shim(tmp_path_factory):
    """The preloaded library, built with the C compiler, and shown to work."""
    if not sys.platform.startswith("linux"):
        pytest.skip("preloading a library into every process is done the Linux way here")
    compiler = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    if compiler is None:
        pytest.skip("needs a C compiler to build the library that watches the network")
    folder = tmp_path_factory.mktemp("shim")
    (folder / "shim.c").write_text(SHIM)
    built = subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(folder / "shim.so"), str(folder / "shim.c"),
                            "-ldl"], capture_output=True, text=True)
    if built.returncode != 0:
        pytest.skip("the C compiler could not build the library that watches the network: " + built.stderr[-500:])
    log = folder / "self-check.log"
    env = dict(os.environ, LD_PRELOAD=str(folder / "shim.so"), VELTRIX_NETWORK_LOG=str(log))
    probe = "import socket\ntry:\n    socket.getaddrinfo('veltrix.invalid', 80)\nexcept OSError:\n    pass\n"
    subprocess.run([sys.executable, "-c", probe], env=env, check=True, timeout=120)
    if not log.exists() or "getaddrinfo veltrix.invalid" not in log.read_text():
        pytest.skip("the preloaded library is not used by this system's Python (a C library without preloading)")
    return folder / "shim.so"


def make_source(kind, folder):
    """A tiny model of `kind` in `folder` (untrained: what is checked is where files go)."""
    if kind == "keras":
        import keras
        keras.utils.set_random_seed(0)
        inputs = keras.Input((8, 8, 3))
        x = keras.layers.GlobalAveragePooling2D()(keras.layers.Conv2D(2, 3, activation="relu")(inputs))
        keras.Model(inputs, keras.layers.Dense(2, activation="softmax")(x)).save(folder / "m.keras")
    elif kind == "pt2":
        import torch
        torch.manual_seed(0)
        net = torch.nn.Sequential(torch.nn.Conv2d(3, 2, 3), torch.nn.ReLU(), torch.nn.AdaptiveAvgPool2d(1),
                                  torch.nn.Flatten(), torch.nn.Linear(2, 2), torch.nn.Softmax(-1))
        torch.export.save(torch.export.export(net.eval(), (torch.rand(1, 3, 8, 8),)), str(folder / "m.pt2"))
    else:
        import numpy as np
        import onnx
        from onnx import helper, numpy_helper
        rng = np.random.default_rng(0)
        weights = [numpy_helper.from_array(rng.standard_normal(shape).astype(np.float32), name)
                   for name, shape in (("w", (2, 3, 3, 3)), ("d", (2, 2)))]
        nodes = [helper.make_node("Conv", ["x", "w"], ["c"]), helper.make_node("Relu", ["c"], ["r"]),
                 helper.make_node("GlobalAveragePool", ["r"], ["p"]), helper.make_node("Flatten", ["p"], ["f"]),
                 helper.make_node("MatMul", ["f", "d"], ["s"]), helper.make_node("Softmax", ["s"], ["y"])]
        graph = helper.make_graph(nodes, "m", [helper.make_tensor_value_info("x", 1, ["batch", 3, 8, 8])],
                                  [helper.make_tensor_value_info("y", 1, ["batch", 2])], weights)
        onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)]), str(folder / "m.onnx"))


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    """Each kind of source made once, and a sample folder."""
    from PIL import Image
    folder = tmp_path_factory.mktemp("sources")
    (folder / "samples").mkdir()
    for i in range(6):
        Image.new("RGB", (8, 8), (40 * i, 255 - 40 * i, 90)).save(folder / "samples" / ("%d.png" % i))
    made = set()

    def source(kind):
        if kind not in made:
            make_source(kind, folder)
            made.add(kind)
        return folder
    return source


INT8 = ["--quantize", "--samples", "samples"]


# the plug-in, its source, the options, its destination: an int8 conversion does all that a float one
# does and calibrates too, so a plug-in is tried float only where its float path is another library's
@pytest.mark.parametrize("plugin, kind, words, dst", [
    ("veltrix_tflite", "keras", INT8, "out.tflite"),
    ("veltrix_onnx", "keras", [], "out.onnx"),
    ("veltrix_onnx", "onnx", INT8 + ["--optimization", "none"], "out.onnx"),  # the quantizer given the source
    ("veltrix_torch", "pt2", INT8, "out.onnx"),
    ("veltrix_openvino", "keras", [], "out.xml"),
    ("veltrix_openvino", "pt2", INT8, "out.xml"),
])
def test_a_conversion_writes_only_its_result_and_talks_to_no_one(network_shim, sources, tmp_path, plugin, kind,
                                                                   words, dst):
    missing = [m for m in ({"keras": "keras", "pt2": "torch", "onnx": "onnx"}[kind], plugin) if m in ABSENT]
    if missing:
        pytest.skip("needs %s" % ", ".join(missing))
    folder = sources(kind)
    home, temp, work = tmp_path / "home", tmp_path / "tmp", tmp_path / "work"
    for empty in (home, temp, work):
        empty.mkdir()
    source = "m." + kind
    shutil.copy(folder / source, work)
    shutil.copytree(folder / "samples", work / "samples")
    (work / "m-inferred.onnx").write_text("a file of the user's beside the source")
    before = {p: p.read_bytes() for p in work.rglob("*") if p.is_file()}
    log = tmp_path / "network.log"
    env = {k: v for k, v in os.environ.items() if k not in MOVED}
    env.update(HOME=str(home), TMPDIR=str(temp), VELTRIX_NETWORK_LOG=str(log),
               LD_PRELOAD=" ".join(filter(None, [str(network_shim), os.environ.get("LD_PRELOAD")])),
               ORT_DISABLE_TELEMETRY="0")  # the kit's own switch must win over the environment
    result = subprocess.run([COMMAND, *words, source, dst], capture_output=True, text=True, cwd=work, env=env,
                            stdin=subprocess.DEVNULL, timeout=900)
    assert result.returncode == 0 and "SUCCESS" in result.stdout, result.stdout + result.stderr
    assert not log.exists(), log.read_text()
    cache = home / ".cache" / "veltrix-converter" / "datastore"  # the documented cache, the one place allowed
    assert [p for p in home.rglob("*") if not (p == cache or cache in p.parents or p in cache.parents)] == []
    assert list(temp.iterdir()) == []
    results = {work / dst} | ({work / "out.bin"} if dst.endswith(".xml") else set())
    assert {p for p in work.rglob("*") if p.is_file()} == set(before) | results
    assert all(p.read_bytes() == data for p, data in before.items())
