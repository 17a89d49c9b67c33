"""Standard Keras architectures nobody here wrote (Keras Applications with
random weights, nothing downloaded), converted by the command to every format
a Keras model goes to, in this process through the testing kit (TensorFlow
imported once). Each result is checked here against the Keras model on
images of its own, independently of the plug-in's verification."""

import numpy as np
import pytest

from conftest import needs

pytestmark = needs("tensorflow")

# float32 against Keras: the same arithmetic in another order (the IR keeps
# float32 weights here: --compress-to-fp16 false)
TOLERANCE = 1e-4
PLUGINS = {"tflite": "veltrix_tflite", "onnx": "veltrix_onnx", "xml": "veltrix_openvino"}


def build(name):
    import keras
    keras.utils.set_random_seed(0)
    shape = dict(input_shape=(32, 32, 3), weights=None, classes=5)
    if name == "mobilenetv2":
        return keras.applications.MobileNetV2(alpha=0.35, **shape)
    return keras.applications.EfficientNetB0(**shape)  # rescaling and normalisation inside: constants


@pytest.fixture(scope="module")
def applications(tmp_path_factory):
    folder = tmp_path_factory.mktemp("applications")
    made = {}
    for name in ("mobilenetv2", "efficientnetb0"):
        model = build(name)
        model.save(folder / ("%s.keras" % name))
        made[name] = (folder / ("%s.keras" % name), model)
    return made


def outputs(path, image):
    """The converted model's one output on `image`, run in its own runtime."""
    if path.suffix == ".tflite":
        from ai_edge_litert.interpreter import Interpreter
        interpreter = Interpreter(model_path=str(path))
        interpreter.allocate_tensors()
        interpreter.set_tensor(interpreter.get_input_details()[0]["index"], image)
        interpreter.invoke()
        return interpreter.get_tensor(interpreter.get_output_details()[0]["index"])
    if path.suffix == ".onnx":
        import onnxruntime
        session = onnxruntime.InferenceSession(str(path), providers=["CPUExecutionProvider"])
        return session.run(None, {session.get_inputs()[0].name: image})[0]
    from veltrix.converter.plugin_api.helpers import compile_on_cpu, import_openvino
    compiled = compile_on_cpu(import_openvino().Core().read_model(str(path)))
    return compiled(image)[compiled.outputs[0]]


ROWS = [pytest.param(name, dest, id="%s-%s" % (name, dest), marks=[needs(plugin)])
        for dest, plugin in PLUGINS.items() for name in ("mobilenetv2", "efficientnetb0")]


@pytest.mark.parametrize("name, dest", ROWS)
def test_a_keras_application_converts_correctly(applications, tmp_path, name, dest):
    path, model = applications[name]
    target = tmp_path / ("%s.%s" % (name, dest))
    from veltrix.converter.plugin_api.testing import run_command
    words = ["--compress-to-fp16", "false"] if dest == "xml" else []
    report = run_command(*words, str(path), str(target)).report
    assert report["status"] == "success", report["message"]
    image = np.random.default_rng(7).random((1, 32, 32, 3), dtype=np.float32) * 255
    want = np.asarray(model(image, training=False))
    got = outputs(target, image)
    assert got.shape == want.shape and np.abs(got - want).max() < TOLERANCE
