"""Representative samples: image preparation, the three generators and the feeds."""

import collections.abc
import gc
import os
import types

import numpy as np
import pytest
from PIL import Image

from veltrix.converter.plugin_api import dataset as dataset_module
from veltrix.converter.plugin_api import sample_feeds
from veltrix.converter.plugin_api.dataset import Dataset

# A file left open until collection is a fault here, not a warning.
pytestmark = pytest.mark.filterwarnings("error::ResourceWarning", "error::pytest.PytestUnraisableExceptionWarning")

NOISE_LINES = "We do not support datastore datasets currently\nUsing white noise dataset generation\n"


def image(path, size=(2, 2), colour=(200, 100, 50), mode="RGB"):
    path.parent.mkdir(parents=True, exist_ok=True)
    formats = {".jpg": "JPEG", ".jpeg": "JPEG", ".gif": "GIF", ".bmp": "BMP", ".tiff": "TIFF"}
    fmt = formats.get(path.suffix.lower(), "PNG")
    Image.new(mode, size, colour if mode == "RGB" else colour[0]).save(path, format=fmt)
    return path


def samples(source, shape, norm="unsigned", n=10, kind=np.float32, crop=False):
    return [s for s in Dataset((str(source), crop), shape, norm, n, kind).generator()()]


def values(sample):
    return np.asarray(sample[0])


# (input type, normalisation, the three channel values of every pixel)
TABLE = [
    (np.uint8, "ignored", [200, 100, 50]),
    (np.int8, "Unsigned", [72, -28, -78]),
    (np.float32, "unsigned", [200 / 255, 100 / 255, 50 / 255]),
    (np.float32, "signed", [200 / 127.5 - 1, 100 / 127.5 - 1, 50 / 127.5 - 1]),
    (np.float32, "imagenet", [76.32, -16.779, -53.939]),
    (np.float32, "raw", [200.0, 100.0, 50.0]),
]


@pytest.mark.parametrize("kind, norm, expected", TABLE)
@pytest.mark.parametrize("layout", ["channels-last", "channels-first"])
def test_two_by_two_example(tmp_path, kind, norm, expected, layout):
    image(tmp_path / "a.png")
    shape = [1, 2, 2, 3] if layout == "channels-last" else [1, 3, 2, 2]
    (sample,) = samples(tmp_path, shape, norm, kind=kind)
    assert isinstance(sample, list) and len(sample) == 1
    data = values(sample)
    assert data.shape == tuple(shape) and data.dtype == (kind if kind != np.float32 else np.float32)
    planes = data[0] if layout == "channels-first" else np.moveaxis(data[0], -1, 0)
    for plane, value in zip(planes, expected):
        np.testing.assert_allclose(plane, np.full((2, 2), value, dtype=np.float32), rtol=1e-6)
    if kind == np.float32:
        import tensorflow as tf
        assert isinstance(sample[0], tf.Tensor)


class CoreOnlyTF:
    """TensorFlow as Keras 3 presents it: no backend.constant or bias_add."""

    def __init__(self, tf):
        self._tf = tf
        self.keras = types.SimpleNamespace(backend=types.SimpleNamespace())

    def __getattr__(self, name):
        return getattr(self._tf, name)


@pytest.mark.parametrize("shape", [[1, 2, 2, 3], [1, 3, 2, 2]])
def test_imagenet_gives_the_same_values_with_and_without_keras_backend(tmp_path, monkeypatch, shape):
    image(tmp_path / "a.png")
    with_backend = values(samples(tmp_path, shape, "imagenet")[0])
    monkeypatch.setattr(dataset_module, "tf", CoreOnlyTF(dataset_module.tf))
    core = values(samples(tmp_path, shape, "imagenet")[0])
    np.testing.assert_array_equal(with_backend, core)


@pytest.mark.parametrize("shape", [[1, 4, 6, 3], [1, 3, 4, 6]])
def test_non_square_samples_keep_their_orientation(tmp_path, shape):
    # 6 wide, 4 high: red top half, blue bottom half, a green column at the left
    img = Image.new("RGB", (6, 4), (255, 0, 0))
    img.paste((0, 0, 255), (0, 2, 6, 4))
    img.paste((0, 255, 0), (0, 0, 1, 4))
    img.save(tmp_path / "wide.png")
    data = values(samples(tmp_path, shape, kind=np.uint8)[0])[0]
    if shape[1] == 3:
        data = np.moveaxis(data, 0, -1)
    assert data.shape == (4, 6, 3)
    assert (data[0, 1:] == [255, 0, 0]).all() and (data[3, 1:] == [0, 0, 255]).all()
    assert (data[:, 0] == [0, 255, 0]).all()


def test_which_files_count_as_images(tmp_path):
    for name in ["a.PNG", "b.JpG", "c.jpeg", ".png", "sub/deeper/e.jpg"]:
        image(tmp_path / name)
    for name in ["d.gif", "e.bmp", "f.tiff", "jpg"]:
        image(tmp_path / name, colour=(1, 2, 3)) if name != "jpg" else (tmp_path / name).write_bytes(b"x")
    got = samples(tmp_path, [1, 2, 2, 3], kind=np.uint8, n=100)
    # JPEG is lossy: allow a step or two
    assert len(got) == 5 and all(np.abs(values(s).astype(int) - [200, 100, 50]).max() <= 2 for s in got)


def test_each_image_once_and_at_most_num_samples(tmp_path):
    for i in range(3):
        image(tmp_path / ("%d.png" % i), colour=(i, 0, 0))
    got = sorted(int(values(s).ravel()[0]) for s in samples(tmp_path, [1, 2, 2, 3], kind=np.uint8, n=10))
    assert got == [0, 1, 2]
    assert len(samples(tmp_path, [1, 2, 2, 3], kind=np.uint8, n=2)) == 2


def test_failing_images_are_skipped(tmp_path):
    image(tmp_path / "good.png")
    (tmp_path / "corrupt.png").write_bytes(b"\x89PNG not really")
    image(tmp_path / "grey.jpg", mode="L")  # one channel: does not fit a three-channel shape
    image(tmp_path / "truncated.jpg", size=(64, 64))
    data = (tmp_path / "truncated.jpg").read_bytes()
    (tmp_path / "truncated.jpg").write_bytes(data[: len(data) // 2])
    image(tmp_path / "truncated.png", size=(64, 64))
    data = (tmp_path / "truncated.png").read_bytes()
    (tmp_path / "truncated.png").write_bytes(data[: len(data) // 2])
    assert len(samples(tmp_path, [1, 2, 2, 3], n=10)) == 1
    gc.collect()  # an image whose load() failed and was left open warns here


def test_empty_folder_fails_at_the_first_request(tmp_path):
    (tmp_path / "notes.txt").write_text("")
    function = Dataset((str(tmp_path), False), [1, 2, 2, 3], "unsigned").generator()
    generator = function()
    with pytest.raises(ValueError) as info:
        next(generator)
    assert str(info.value) == "Cannot find any usable images for quantization in %s" % tmp_path


@pytest.mark.parametrize("kind, norm", [(np.int16, "unsigned"), ("float32", "unsigned"), (np.float32, "none")])
def test_unusable_type_or_normalisation_yields_nothing(tmp_path, kind, norm):
    image(tmp_path / "a.png")
    assert samples(tmp_path, [1, 2, 2, 3], norm, kind=kind) == []


@pytest.mark.parametrize("source", ["https://host/x", "nowhere", "data.VELTRIX", "file.png"])
def test_sources_that_fall_back_to_white_noise(source, capsys):
    function = Dataset((source, True), [1, 2, 2, 3], "unsigned", 2).generator()
    assert capsys.readouterr().out == NOISE_LINES
    assert len(list(function())) == 2


@pytest.mark.parametrize("kind, low, high", [(np.float32, 0.0, 1.0), (np.uint8, 0, 255), (np.int8, -128, 127)])
def test_white_noise_ranges(kind, low, high):
    got = [values(s) for s in Dataset(("x", 0), [1, 16, 16, 3], "raw", 5, kind).generator()()]
    assert len(got) == 5
    for data in got:
        assert data.dtype == kind and data.shape == (1, 16, 16, 3) and low <= data.min() and data.max() <= high
    if kind == np.float32:
        assert max(d.max() for d in got) < 1.0


@pytest.mark.parametrize("n, kind", [(0, np.float32), (3, np.int16)])
def test_white_noise_that_yields_nothing(n, kind):
    assert list(Dataset(("x", 0), [1, 2, 2, 3], "raw", n, kind).generator()()) == []


def test_white_noise_errors_reach_the_consumer():
    with pytest.raises(ValueError):
        list(Dataset(("x", 0), [1, -2, 2, 3], "raw", 1).generator()())


def test_generator_attributes_and_laziness(tmp_path, capsys):
    data = Dataset((str(tmp_path), False), [1, 2, 2, 3], "unsigned")
    assert list(vars(data)) == ["samples", "input_shape", "quant_norm", "annotations_list", "num_samples",
                                "input_type"]
    assert data.num_samples == 10 and data.input_type is np.float32 and data.annotations_list == []
    function = data.generator()  # the folder is empty, but nothing is read yet
    assert (function.__name__, function.__qualname__) == (
        "representative_dataset_gen", "Dataset.generator.<locals>.representative_dataset_gen")
    gen = function()
    assert isinstance(gen, collections.abc.Generator)
    assert (gen.__name__, gen.__qualname__) == (function.__name__, function.__qualname__)
    image(tmp_path / "late.png")  # appears after generator(): the pass still finds it
    data.num_samples = 1
    assert len(list(gen)) == 1
    assert capsys.readouterr().out == ""


def test_samples_must_unpack_into_two():
    with pytest.raises(ValueError, match="not enough values to unpack"):
        Dataset(("x",), [1, 2, 2, 3], "raw").generator()
    with pytest.raises(AttributeError):
        Dataset((5, 1), [1, 2, 2, 3], "raw").generator()


def test_generator_protocol(tmp_path):
    for i in range(4):
        image(tmp_path / ("%d.png" % i), colour=(i, 0, 0))
    function = Dataset((str(tmp_path), False), [1, 2, 2, 3], "raw", 10, np.uint8).generator()

    fresh = function()
    with pytest.raises(TypeError, match="can't send non-None value to a just-started generator"):
        fresh.send(1)
    with pytest.raises(KeyError):
        function().throw(KeyError("at once"))

    gen = function()
    first = next(gen)
    skipped = gen.throw(RuntimeError("quantizer hiccup"))  # discarded; the next image comes
    assert skipped is not first and len(skipped) == 1
    assert gen.send(None) is not None
    gen.close()
    with pytest.raises(StopIteration):
        next(gen)
    gen.close()

    gen = function()
    next(gen)
    with pytest.raises(KeyboardInterrupt):
        gen.throw(KeyboardInterrupt)
    assert list(gen) == []

    with pytest.raises(TypeError, match="exceptions must be classes or instances"):
        function().throw(5)
    assert len(list(function())) == 4 and len(list(function())) == 4  # independent passes


def test_throw_with_type_value_and_traceback():
    gen = Dataset(("x", 0), [1, 2, 2, 3], "raw", 3).generator()()
    next(gen)
    try:
        raise ValueError("here")
    except ValueError as exc:
        tb = exc.__traceback__
    with pytest.raises(ValueError, match="v") as info:
        gen.throw(ValueError, "v", tb)
    assert info.value.__traceback__ is not None


def test_subclass_with_its_own_init():
    class Mine(Dataset):
        def __init__(self):
            super().__init__(("x", 0), [1, 2, 2, 3], "raw", 2)
            self.extra = True

    assert len(list(Mine().generator()())) == 2


# --------------------------------------------------------------- feeds

class FakeStore:
    """Stands in for get_cached_dataset; records the requests."""

    def __init__(self, items):
        self.items, self.requests, self.builds = items, [], 0

    def __call__(self, *args, **kwargs):
        assert args == ()
        self.requests.append(kwargs)
        store = self

        class Cached:
            def build_train_dataset(self):
                store.builds += 1
                return store.items
        return Cached()


class Item:
    def __init__(self, array):
        self.array = array

    def numpy(self):
        return self.array


@pytest.fixture
def store(monkeypatch):
    def install(n=2, shape=(1, 2, 2, 3)):
        items = [Item(np.full(shape, 100 + i, dtype=np.uint8)) for i in range(n)]
        fake = FakeStore(items)
        monkeypatch.setattr(sample_feeds, "get_cached_dataset", fake)
        return fake
    return install


@pytest.mark.parametrize("crop, task", [(True, "classification"), (1, "classification"), (False, "detection"),
                                        (None, "detection"), (0, "detection"), ("", "detection")])
def test_crop_chooses_the_feed(store, crop, task):
    fake = store()
    got = list(Dataset(("http://store/x", crop), [1, 2, 2, 3], "raw", 5).generator()())
    assert len(got) == 2 and fake.builds == 1
    (request,) = fake.requests
    arguments = {"datastore_server": "http://store/x", "input_shape": [2, 2, 3], "batch_size": 1}
    if task == "detection":
        arguments["max_detections"] = 100
    assert request == {"task": task, "p_type": "image" if task == "classification" else "boxes",
                       "arguments": arguments}
    assert list(request["arguments"]) == list(arguments)


@pytest.mark.parametrize("n, expected", [(0, 1), (-3, 1), (1, 1), (5, 2)])
def test_datastore_count(store, n, expected):
    store(2)
    assert len(list(Dataset(("p.kelp", False), [1, 2, 2, 3], "raw", n).generator()())) == expected


def test_datastore_values_are_normalised_channels_last(store):
    store(1, shape=(1, 2, 2, 3))
    (sample,) = Dataset(("p.veltrix", True), [1, 3, 2, 2], "unsigned", 3, np.uint8).generator()()
    np.testing.assert_allclose(values(sample), np.full((1, 2, 2, 3), 100 / 255, dtype=np.float32))


def test_datastore_normalisation_error(store):
    store()
    gen = Dataset(("p.veltrix", True), [1, 2, 2, 3], "none", 3).generator()()
    with pytest.raises(ValueError) as info:
        next(gen)
    assert str(info.value) == "\t - [none] is not supported as a normalization option."


def test_feed_classes(store):
    fake = store(3)
    feed = sample_feeds.DatastoreGeneratorDetection(source="a.kelp", input_shape=(2, 2, 3))
    assert fake.builds == 1 and vars(feed) == {"datastore_path": "a.kelp", "input_shape": (2, 2, 3),
                                                "dataset": fake.items}
    arrays = list(feed.get_samples())
    assert len(arrays) == 3 and all(a.dtype == np.float32 for a in arrays)
    assert len(list(feed.get_samples())) == 3
    assert sample_feeds.DatastoreGeneratorClassification.__bases__ == (sample_feeds.BaseDatasetGenerator,)
    base = sample_feeds.BaseDatasetGenerator("s", (1,))
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        next(base.get_samples())
    assert base.get_samples().__qualname__ == "BaseDatasetGenerator.get_samples"


def test_stop_iteration_inside_a_feed_becomes_runtime_error(store):
    class Bad:
        def numpy(self):
            raise StopIteration
    fake = store()
    fake.items = [Bad()]
    with pytest.raises(RuntimeError, match="generator raised StopIteration"):
        list(sample_feeds.DatastoreGeneratorDetection("a.kelp", (2, 2, 3)).get_samples())


def test_closing_releases_the_feed(store):
    store(5)
    gen = Dataset(("p.kelp", False), [1, 2, 2, 3], "raw", 5).generator()()
    next(gen)
    feed_refs = [o for o in gc.get_referrers(sample_feeds.DatastoreGeneratorDetection)
                 if isinstance(o, sample_feeds.DatastoreGeneratorDetection)]
    gen.close()
    del feed_refs
    gc.collect()
    assert not [o for o in gc.get_objects() if isinstance(o, sample_feeds.DatastoreGeneratorDetection)]


def test_no_reference_growth_over_thousands_of_samples(tmp_path):
    image(tmp_path / "a.png")
    function = Dataset(("x", 0), [1, 4, 4, 3], "raw", 3000, np.uint8).generator()
    for _ in function():
        pass
    gc.collect()
    before = len(gc.get_objects())
    for sample in function():
        pass
    folder = Dataset((str(tmp_path), 0), [1, 2, 2, 3], "raw", 1, np.uint8).generator()
    for _ in range(2000):
        for sample in folder():
            pass
    del sample
    gc.collect()
    assert len(gc.get_objects()) - before < 100


def test_a_dataset_holding_its_own_generator_function_is_collected():
    import weakref

    class Holder(Dataset):
        pass

    data = Holder(("x", 0), [1, 2, 2, 3], "raw", 1)
    data.function = data.generator()  # a cycle through the function's closure
    data.running = data.function()    # and through a generator
    next(data.running)
    alive = weakref.ref(data)
    del data
    gc.collect()
    assert alive() is None


# ---------------------------------------------------- samples as NumPy arrays

def picture_folder(folder, mode="RGB", count=5, size=(7, 5)):
    """`count` pictures of `mode`, each with its own random pixels, in two folders."""
    rng = np.random.default_rng(7)
    for i in range(count):
        pixels = rng.integers(0, 256, (size[1], size[0], len(mode)), dtype=np.uint8)
        path = folder / ("sub" if i % 2 else "") / ("p%d.%s" % (i, "jpg" if i == 3 else "png"))
        path.parent.mkdir(parents=True, exist_ok=True)
        Image.fromarray(pixels[..., 0] if mode == "L" else pixels, mode).save(path)
    return folder


@pytest.mark.parametrize("shape, mode, kinds_and_norms", [
    ([1, 6, 6, 3], "RGB", [(np.float32, n) for n in ("unsigned", "signed", "imagenet", "raw")] + [(np.uint8, ""), (np.int8, "")]),
    ([1, 3, 6, 6], "RGB", [(np.float32, n) for n in ("unsigned", "signed", "imagenet", "raw")] + [(np.uint8, ""), (np.int8, "")]),
    ([1, 4, 6, 3], "RGB", [(np.float32, "signed"), (np.uint8, "")]),
    ([1, 3, 4, 6], "RGB", [(np.float32, "imagenet"), (np.int8, "")]),
    ([1, 6, 6, 1], "L", [(np.float32, "unsigned"), (np.uint8, "")]),
    ([1, 6, 6, 3], "L", [(np.float32, "unsigned")]),  # none fits: both yield nothing
    ([1, 6, 6, 3], "RGB", [(np.float32, "Unsigned"), (np.int16, "raw")]),  # nothing either
])
def test_numpy_samples_equal_what_dataset_yields(tmp_path, shape, mode, kinds_and_norms):
    from veltrix.converter.plugin_api.helpers import ArrayDataset
    picture_folder(tmp_path, mode)
    for kind, norm in kinds_and_norms:
        passes = []
        for cls in (Dataset, ArrayDataset):
            np.random.seed(3)
            passes.append([s[0] for s in cls((str(tmp_path), False), shape, norm, 4, kind).generator()()])
        expected, got = passes
        assert len(got) == len(expected) == (4 if mode != "L" or shape[-1] == 1 else 0) * (norm != "Unsigned") \
            * (kind != np.int16), (kind, norm)
        for e, g in zip(expected, got):
            assert isinstance(g, np.ndarray) and g.dtype == np.asarray(e).dtype and g.shape == tuple(shape)
            np.testing.assert_array_equal(g, np.asarray(e))


@pytest.mark.parametrize("source, kind", [("", np.float32), ("", np.uint8), ("", np.int8), ("p.kelp", np.float32),
                                          ("http://store/x", np.float32)])
def test_numpy_noise_and_datastore_samples_equal_what_dataset_yields(store, capsys, source, kind):
    from veltrix.converter.plugin_api.helpers import ArrayDataset
    store(3)
    passes = []
    for cls in (Dataset, ArrayDataset):
        np.random.seed(5)
        passes.append([np.asarray(s[0]) for s in cls((source, True), [1, 2, 2, 3], "signed", 2, kind).generator()()])
        assert capsys.readouterr().out == ("" if source else NOISE_LINES)
    assert len(passes[0]) == len(passes[1]) == 2
    for e, g in zip(*passes):
        assert g.dtype == e.dtype
        np.testing.assert_array_equal(g, e)


NO_TENSORFLOW = '''
import sys, numpy as np, tempfile
from veltrix.converter.plugin_api.helpers import ArrayDataset, SampleSource
folder = sys.argv[1]
samples = list(ArrayDataset((folder, False), [1, 1, 6, 6], "unsigned", 3).generator()())
source = SampleSource({"samples": folder}, [1, 1, 6, 6], 2, tempfile.mkdtemp(), arrays=True)
calibrated = list(source.calibrate(np.float32)())
verified, what = source.verification()
print(len(samples), len(calibrated), len(verified), what, samples[0][0].shape, "tensorflow" in sys.modules)
'''


def test_numpy_samples_need_no_tensorflow(tmp_path):
    import subprocess
    import sys
    picture_folder(tmp_path / "grey", "L")
    result = subprocess.run([sys.executable, "-c", NO_TENSORFLOW, str(tmp_path / "grey")], capture_output=True,
                            text=True, timeout=300)
    assert result.stdout == "3 2 3 held-out images (1, 1, 6, 6) False\n", result.stdout + result.stderr


@pytest.mark.parametrize("shape, mode, count, what", [
    ([1, 1, 6, 6], "L", 5, "images of {}"),  # every image of the folder: nothing was held out for calibration
    ([1, 6, 6, 1], "L", 5, "images of {}"),
    ([1, 3, 6, 6], "RGB", 5, "images of {}"),
    ([1, 1, 6, 6], "RGB", 5, "images of {}, 5 converted from RGB to greyscale"),
    ([1, 6, 6, 3], "L", 5, "images of {}, 5 converted from greyscale to RGB"),
    ([1, 6, 6, 4], "L", 0, "no sample fits the input shape [1, 6, 6, 4]: 5 images found in {}, "
                           "5 skipped: 5 greyscale (not 4 channels)"),
])
def test_verification_samples_fit_the_input_layout_or_say_why(tmp_path, shape, mode, count, what):
    from veltrix.converter.plugin_api.helpers import SampleSource
    folder = picture_folder(tmp_path / "pictures", mode)
    (tmp_path / "work").mkdir()
    source = SampleSource({"samples": str(folder)}, shape, 2, str(tmp_path / "work"))
    samples, said = source.verification()
    assert (len(samples), said) == (count, what.format(folder))
    assert all(s.shape == tuple(shape) and s.dtype == np.float32 for s in samples)
    if count:  # calibration too, from Dataset where it can feed the layout
        assert [np.shape(s[0]) for s in source.calibrate(np.float32)()] == [tuple(shape)] * 2
