"""The datastore: project files and a real HTTP server, driven like a quantizer drives it."""

import http.server
import json
import os
import threading
import time

import numpy as np
import pytest
from PIL import Image

from veltrix.converter.plugin_api import datasets
from veltrix.converter.plugin_api.dataset import Dataset
from veltrix.converter.plugin_api.datasets import DatastoreError, get_cached_dataset


def picture(path, size, colour):
    path.parent.mkdir(parents=True, exist_ok=True)
    Image.new("RGB", size, colour).save(path, format="PNG")
    return path


@pytest.fixture
def project(tmp_path):
    picture(tmp_path / "img" / "a.png", (8, 4), (255, 0, 0))
    picture(tmp_path / "img" / "b.png", (4, 8), (0, 0, 255))
    (tmp_path / "img" / "broken.png").write_bytes(b"not an image")
    path = tmp_path / "set.veltrix"
    path.write_text(json.dumps({"images": ["img/a.png", "img/broken.png", "img/b.png"]}))
    return path


@pytest.fixture(autouse=True)
def cache(tmp_path, monkeypatch):
    folder = tmp_path / "cache"
    monkeypatch.setattr(datasets, "CACHE_DIR", str(folder))
    return folder


def open_fds(folder):
    """Descriptors this process holds on files under `folder`: only the code
    under test opens those, whatever the test server's threads or
    TensorFlow's runtime open or close meanwhile."""
    held = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink("/proc/self/fd/" + fd)
        except OSError:
            continue  # closed while we looked
        if target.startswith(str(folder)):
            held.append(target)
    return held


@pytest.mark.parametrize("task, p_type", [("classification", "image"), ("detection", "boxes")])
def test_local_project(project, task, p_type):
    arguments = {"datastore_server": str(project), "input_shape": [4, 4, 3], "batch_size": 1}
    items = list(get_cached_dataset(task=task, p_type=p_type, arguments=arguments).build_train_dataset())
    assert len(items) == 2  # the broken file is skipped
    arrays = [i.numpy() for i in items]
    assert all(a.shape == (1, 4, 4, 3) and a.dtype == np.float32 and a.max() <= 255 for a in arrays)
    assert (arrays[0][0, :, :] == [255, 0, 0]).all() and (arrays[1][0, :, :] == [0, 0, 255]).all()


def test_classification_crops_to_the_centre(tmp_path):
    img = Image.new("RGB", (12, 4), (0, 0, 0))
    img.paste((255, 255, 255), (4, 0, 8, 4))  # a white centre square between black borders
    img.save(tmp_path / "wide.png")
    (tmp_path / "p.kelp").write_text(json.dumps({"images": ["wide.png"]}))
    args = {"datastore_server": str(tmp_path / "p.kelp"), "input_shape": [4, 4, 3], "batch_size": 1}
    (cropped,) = get_cached_dataset("classification", "image", args).build_train_dataset()
    (whole,) = get_cached_dataset("detection", "boxes", args).build_train_dataset()
    assert cropped.numpy().min() == 255  # only the centre
    assert whole.numpy()[0, :, 0].max() == 0  # the black border is still there


@pytest.mark.parametrize("content, message", [
    (None, "Cannot read datastore project"),
    ("{not json", "Malformed datastore manifest"),
    (json.dumps({"pictures": []}), "Malformed datastore manifest"),
    (json.dumps({"images": []}), "lists no images"),
])
def test_bad_projects(tmp_path, content, message):
    path = tmp_path / "p.veltrix"
    if content is not None:
        path.write_text(content)
    with pytest.raises(DatastoreError, match=message) as info:
        get_cached_dataset("detection", "boxes", {"datastore_server": str(path), "input_shape": [2, 2, 3]})
    assert str(path) in str(info.value)


def test_dataset_over_a_local_project_like_a_quantizer(project):
    data = Dataset((str(project), True), [1, 4, 4, 3], "signed", 10)
    got = [s[0].numpy() for s in data.generator()()]
    assert len(got) == 2 and all(g.shape == (1, 4, 4, 3) and -1.0 <= g.min() <= g.max() <= 1.0 for g in got)
    gen = data.generator()()
    next(gen)
    gen.close()  # early, as a quantizer that has seen enough does
    assert open_fds(project.parent) == []


class Store(http.server.ThreadingHTTPServer):
    daemon_threads = True


@pytest.fixture
def server(tmp_path):
    """A datastore server on 127.0.0.1 serving a manifest and two images."""
    files = {"/set": json.dumps({"images": ["images/a.png", "/images/b.png", "images/junk.png"]}).encode()}
    for name, colour in (("a", (10, 20, 30)), ("b", (40, 50, 60))):
        path = picture(tmp_path / "srv" / (name + ".png"), (6, 6), colour)
        files["/images/%s.png" % name] = path.read_bytes()
    files["/images/junk.png"] = b"junk"
    files["/empty"] = json.dumps({"images": []}).encode()
    log = []

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            log.append(self.path)
            if self.path == "/stall":
                time.sleep(3)
            if self.path == "/drop":
                self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n{")
                self.close_connection = True
                return
            body = files.get(self.path)
            self.send_response(200 if body is not None else 404)
            self.send_header("Content-Length", str(len(body or b"")))
            self.end_headers()
            self.wfile.write(body or b"")

        def log_message(self, *args):
            pass

    httpd = Store(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield types_namespace(url="http://127.0.0.1:%d" % httpd.server_address[1], log=log)
    httpd.shutdown()
    httpd.server_close()


def types_namespace(**kw):
    import types
    return types.SimpleNamespace(**kw)


def test_http_datastore_downloads_once(server, cache):
    data = Dataset((server.url + "/set", False), [1, 6, 6, 3], "raw", 10)
    first = [s[0].numpy() for s in data.generator()()]
    assert [tuple(f[0, 0, 0]) for f in first] == [(10, 20, 30), (40, 50, 60)]
    fetched = [p for p in server.log if p.startswith("/images/")]
    assert sorted(fetched) == ["/images/a.png", "/images/b.png", "/images/junk.png"]
    second = [s[0].numpy() for s in data.generator()()]
    assert len(second) == 2
    # the images from the cache; the undecodable one was never cached, so it is asked for again
    assert [p for p in server.log if p.startswith("/images/")] == fetched + ["/images/junk.png"]
    assert not [p for p in cache.rglob("*.part")]


@pytest.mark.parametrize("path, message", [
    ("/missing", "HTTP Error 404"),
    ("/empty", "lists no images"),
    ("/drop", "Cannot read datastore"),
])
def test_http_failures(server, path, message):
    with pytest.raises(DatastoreError, match=message):
        next(Dataset((server.url + path, False), [1, 6, 6, 3], "raw").generator()())


def test_stalling_server_times_out(server, monkeypatch):
    monkeypatch.setattr(datasets, "TIMEOUT", 0.5)
    started = time.monotonic()
    with pytest.raises(DatastoreError, match="timed out"):
        next(Dataset((server.url + "/stall", False), [1, 6, 6, 3], "raw").generator()())
    assert time.monotonic() - started < 2.5


def test_unreachable_server():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with pytest.raises(DatastoreError, match="Cannot read datastore http://127.0.0.1:%d/x" % port):
        get_cached_dataset("detection", "boxes", {"datastore_server": "http://127.0.0.1:%d/x" % port,
                                                  "input_shape": [2, 2, 3]})


def test_memory_stays_flat_over_a_thousand_images(tmp_path):
    import tracemalloc
    for i in range(1000):
        picture(tmp_path / "imgs" / ("%04d.png" % i), (8, 8), (i % 256, 0, 0))
    data = Dataset((str(tmp_path / "imgs"), False), [1, 8, 8, 3], "raw", 1000, np.uint8)
    tracemalloc.start()
    count = 0
    peak_after_100 = None
    for _ in data.generator()():
        count += 1
        if count == 100:
            peak_after_100 = tracemalloc.get_traced_memory()[0]
    current = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert count == 1000
    assert current - peak_after_100 < 512 * 1024


@pytest.mark.parametrize("kind", ["white noise", "folder", "local datastore", "http datastore"])
def test_quantizer_style_loop_leaves_nothing_open(kind, project, server, tmp_path, capsys):
    import gc
    from veltrix.converter.plugin_api import sample_feeds
    sources = {"white noise": "nowhere", "folder": str(project.parent / "img"), "local datastore": str(project),
               "http datastore": server.url + "/set"}
    data = Dataset((sources[kind], kind == "local datastore"), [1, 4, 4, 3], "unsigned", 10)
    function = data.generator()
    list(function())  # a first full pass: downloads and caches what it needs
    for _ in range(20):
        gen = function()
        assert len(next(gen)) == 1
        next(gen)
        gen.close()  # the quantizer has seen enough
        assert open_fds(tmp_path) == []
    assert not [o for o in gc.get_objects() if isinstance(o, sample_feeds.BaseDatasetGenerator)]
