"""Real model shapes through both plug-ins: several inputs, integer token
inputs, dynamic height and width, constants baked into a SavedModel. Each
conversion is a file that takes the source's inputs and gives its outputs,
or a FAILURE naming the limitation; never a SUCCESS on a wrong model."""

import json

import numpy as np
import pytest

from conftest import command as run, needs

pytestmark = needs("keras", "veltrix_tflite", "veltrix_onnx")

# float32 results against the source: the same arithmetic in another order
TOLERANCE = 1e-3


def build(folder):
    """Small models with random weights, scaled so that their scores differ
    from class to class (agreement then means something)."""
    import keras
    keras.utils.set_random_seed(3)
    big = keras.initializers.RandomNormal(stddev=1.0)
    a, b = keras.Input((8, 8, 3), name="image"), keras.Input((5,), name="extra")
    x = keras.layers.GlobalAveragePooling2D()(keras.layers.Conv2D(4, 3, activation="relu", kernel_initializer=big)(a))
    x = keras.layers.Concatenate()([x, keras.layers.Dense(4, kernel_initializer=big)(b)])
    keras.Model([a, b], keras.layers.Dense(3, activation="softmax", kernel_initializer=big)(x)).save(folder / "two.keras")
    tokens = keras.Input((20,), dtype="int32", name="tokens")
    y = keras.layers.LSTM(6)(keras.layers.Embedding(50, 8, embeddings_initializer=big)(tokens))
    keras.Model(tokens, keras.layers.Dense(3, activation="softmax", kernel_initializer=big)(y)).save(folder / "lstm.keras")
    image = keras.Input((None, None, 3), name="img")
    z = keras.layers.Conv2D(4, 3, activation="relu", kernel_initializer=big)(image)
    norm = keras.layers.BatchNormalization()
    z = keras.layers.GlobalAveragePooling2D()(norm(z))
    model = keras.Model(image, keras.layers.Dense(3, activation="softmax", kernel_initializer=big)(z))
    norm.set_weights([np.array(v, "float32") for v in ([1.5, 0.5, 2, 1], [0.2, -0.1, 0, 0.3], [0.3, 0.1, 0.2, 0.4],
                                                       [2, 0.5, 1, 3])])
    model.save(folder / "dyn.keras")
    pixels = keras.Input((8, 8, 3), name="pixels")
    scaled = keras.layers.Normalization(mean=[0.4, 0.5, 0.6], variance=[0.05, 0.08, 0.1])(pixels)
    w = keras.layers.GlobalAveragePooling2D()(keras.layers.Conv2D(4, 3, activation="relu", kernel_initializer=big)(scaled))
    keras.Model(pixels, keras.layers.Dense(3, activation="softmax", kernel_initializer=big)(w)).export(
        str(folder / "norm"), verbose=False)


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    folder = tmp_path_factory.mktemp("architectures")
    build(folder)
    return folder


def source_runner(path):
    """(inputs {name: (type, shape)}, run(feed) -> first output) of a source model."""
    import tensorflow as tf
    if path.is_dir():
        signature = tf.saved_model.load(str(path)).signatures["serving_default"]
        specs = signature.structured_input_signature[1]
        return ({n: (s.dtype.name, list(s.shape)) for n, s in specs.items()},
                lambda feed: np.asarray(list(signature(**feed).values())[0]))
    import keras
    model = keras.models.load_model(path)
    names = [t.name for t in model.inputs]
    return ({t.name: (str(t.dtype), list(t.shape)) for t in model.inputs},
            lambda feed: np.asarray(model([feed[n] for n in names] if len(names) > 1 else feed[names[0]])))


def result_runner(path):
    """The same for a converted file."""
    if path.suffix == ".onnx":
        import onnxruntime
        session = onnxruntime.InferenceSession(str(path), providers=["CPUExecutionProvider"])
        types = {"tensor(float)": "float32", "tensor(int32)": "int32", "tensor(int64)": "int64"}
        return ({t.name: (types[t.type], [d if isinstance(d, int) else None for d in t.shape])
                 for t in session.get_inputs()}, lambda feed: session.run(None, feed)[0])
    from ai_edge_litert.interpreter import Interpreter
    runner = Interpreter(model_path=str(path)).get_signature_runner()
    details = runner.get_input_details()
    return ({n: (d["dtype"].__name__, [int(v) if v > 0 else None for v in d["shape_signature"]])
             for n, d in details.items()}, lambda feed: list(runner(**feed).values())[0])


def feed_for(inputs, size):
    rng = np.random.default_rng(7)
    feed = {}
    for name, (dtype, shape) in inputs.items():
        concrete = [1 if i == 0 else size if d is None else d for i, d in enumerate(shape)]
        feed[name] = (rng.integers(0, 50, concrete) if dtype.startswith("int") else rng.random(concrete)).astype(dtype)
    return feed


# (source, destination, options, the result's inputs {name: (type, shape)} or the FAILURE's text)
BATCH = None
ROWS = [
    ("two.keras", "two.tflite", [], {"image": ("float32", [BATCH, 8, 8, 3]), "extra": ("float32", [BATCH, 5])}),
    ("two.keras", "two.onnx", [], {"image": ("float32", [BATCH, 8, 8, 3]), "extra": ("float32", [BATCH, 5])}),
    ("lstm.keras", "lstm.tflite", [], "TensorFlow Lite cannot lower this model's recurrent (tensor list) operations"),
    ("lstm.keras", "lstm1.tflite", ["--shape", "1,20"], {"tokens": ("int32", [1, 20])}),
    ("lstm.keras", "lstm.onnx", [], {"tokens": ("int32", [BATCH, 20])}),
    ("dyn.keras", "dyn.tflite", [], {"img": ("float32", [BATCH, None, None, 3])}),
    ("dyn.keras", "dyn.onnx", [], {"img": ("float32", [BATCH, None, None, 3])}),
    ("dyn.keras", "dyn64.tflite", ["--input-shape", "1,64,64,3"], {"img": ("float32", [1, 64, 64, 3])}),
    ("norm", "norm.tflite", [], {"pixels": ("float32", [BATCH, 8, 8, 3])}),
    ("norm", "norm.onnx", [], {"pixels": ("float32", [BATCH, 8, 8, 3])}),
]


@pytest.mark.parametrize("source, dest, words, expected", ROWS, ids=[r[1] for r in ROWS])
def test_each_architecture_is_a_correct_file_or_a_named_failure(models, source, dest, words, expected):
    result = run(*words, "--json", source, dest, cwd=models)
    if isinstance(expected, str):
        assert result.returncode == 1 and "FAILURE: " + expected in result.stderr, result.stdout + result.stderr
        assert not (models / dest).exists()
        return
    assert result.returncode == 0 and "SUCCESS: " in result.stderr, result.stdout + result.stderr
    document = json.loads(result.stdout)
    made, run_result = result_runner(models / dest)
    assert made == expected
    assert {t["name"]: (t["type"], t["shape"]) for t in document["destination"]["inputs"]} == expected
    source_inputs, run_source = source_runner(models / source)
    assert set(source_inputs) == set(made) and all(source_inputs[n][0] == made[n][0] for n in made)
    feed = feed_for(made, 24)
    expected_scores, got = run_source(feed), run_result(feed)
    assert np.abs(np.asarray(got) - expected_scores).max() < TOLERANCE
    assert expected_scores.max() - expected_scores.min() > 0.1  # scores that tell classes apart
    assert document["verification"]["largest_difference"] < TOLERANCE
