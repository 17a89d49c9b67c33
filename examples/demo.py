"""The main job: real conversions with veltrix-converter, end to end, over
four back ends and two source frameworks.

Generates a folder of sample images and trains two small image classifiers
on them, one in Keras and one in PyTorch (exported with torch.export to a
.pt2 program; nothing is downloaded). Then converts them with the
veltrix-converter command, letting the front end choose the plug-in each
time: the Keras model to float and int8 TensorFlow Lite (veltrix-tflite),
ONNX (veltrix-onnx) and OpenVINO IR (veltrix-openvino; float with
fp16-compressed weights), the PyTorch program to float and int8 ONNX
(veltrix-torch) and OpenVINO IR (veltrix-openvino), the int8 models
calibrated on the sample folder. Each result runs in its own runtime
(LiteRT, ONNX Runtime, OpenVINO on the CPU) on every sample image, and a
table per source compares them with the model they came from.

Usage: python examples/demo.py [WORK_FOLDER]   (default: ./demo-output)
"""

import os
import shutil
import subprocess
import sys
import time
import warnings

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
warnings.simplefilter("ignore")

import numpy as np  # noqa: E402
from PIL import Image  # noqa: E402

SIZE = 64  # input images are SIZE x SIZE RGB
CLASSES = ("red", "green", "blue")


def make_images(folder, count, rng):
    """Noisy pictures dominated by one colour each: a task the model can learn."""
    os.makedirs(folder, exist_ok=True)
    labels = []
    for i in range(count):
        label = i % len(CLASSES)
        pixels = rng.integers(0, 90, (SIZE, SIZE, 3))
        pixels[..., label] += rng.integers(120, 166)
        Image.fromarray(pixels.clip(0, 255).astype(np.uint8)).save(os.path.join(folder, "%03d-%s.jpg" % (i, CLASSES[label])))
        labels.append(label)
    return labels


def make_model(path, folder, labels):
    import keras
    keras.utils.set_random_seed(7)
    inputs = keras.Input((SIZE, SIZE, 3))
    x = keras.layers.Conv2D(8, 3, strides=2, activation="relu")(inputs)
    x = keras.layers.Conv2D(16, 3, strides=2, activation="relu")(x)
    x = keras.layers.GlobalAveragePooling2D()(x)
    outputs = keras.layers.Dense(len(CLASSES), activation="softmax")(x)
    model = keras.Model(inputs, outputs)
    files = sorted(os.listdir(folder))
    images = np.stack([np.asarray(Image.open(os.path.join(folder, f)), dtype=np.float32) / 255.0 for f in files])
    model.compile("adam", "sparse_categorical_crossentropy", metrics=["accuracy"])
    model.fit(images, np.array(labels), epochs=8, batch_size=16, verbose=0)
    model.save(path)
    return images


def make_torch_program(path, images, labels):
    """A small PyTorch classifier (batch normalisation, a residual block)
    trained on the same pictures, channels first as PyTorch takes images,
    exported with a dynamic batch dimension; its scores for `images`."""
    import torch
    torch.manual_seed(7)

    class Classifier(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.stem = torch.nn.Sequential(torch.nn.Conv2d(3, 8, 3, stride=2), torch.nn.BatchNorm2d(8), torch.nn.ReLU())
            self.block = torch.nn.Conv2d(8, 8, 3, padding=1)
            self.head = torch.nn.Linear(8, len(CLASSES))

        def forward(self, x):
            y = self.stem(x)
            y = y + torch.relu(self.block(y))
            return torch.softmax(self.head(y.mean((2, 3))), -1)

    model = Classifier()
    x, y = torch.from_numpy(np.ascontiguousarray(images.transpose(0, 3, 1, 2))), torch.tensor(labels)
    optimiser = torch.optim.Adam(model.parameters(), 0.02)
    for _ in range(30):
        optimiser.zero_grad()
        torch.nn.functional.nll_loss(torch.log(model(x) + 1e-7), y).backward()
        optimiser.step()
    model.eval()
    program = torch.export.export(model, (x[:2],), dynamic_shapes=({0: torch.export.Dim("batch")},))
    torch.export.save(program, path)
    with torch.no_grad():
        return model(x).numpy()


def converter(*words):
    """Run the command; the plug-in it chose."""
    command = shutil.which("veltrix-converter", path=os.path.dirname(sys.executable)) or "veltrix-converter"
    print("$ veltrix-converter " + " ".join(words), flush=True)
    result = subprocess.run([command, *words], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    print("\n".join("  " + line for line in result.stdout.splitlines() if line.startswith(("SUCCESS", "FAILURE"))))
    if result.returncode != 0:
        sys.exit("veltrix-converter failed (exit status %d)" % result.returncode)
    return next(line.split(" : ", 1)[1] for line in result.stdout.splitlines() if line.startswith("Using Converter"))


def run(path, images):
    """Scores of a TensorFlow Lite model for a batch of float images (0..1),
    quantizing the input and dequantizing the output of an integer model;
    with the seconds each inference took."""
    from ai_edge_litert.interpreter import Interpreter
    interpreter = Interpreter(model_path=str(path))
    interpreter.allocate_tensors()
    inp, out = interpreter.get_input_details()[0], interpreter.get_output_details()[0]
    results, times = [], []
    for image in images:
        data = image[None]
        if inp["dtype"] != np.float32:
            scale, zero = inp["quantization"]
            info = np.iinfo(inp["dtype"])
            data = np.clip(np.round(data / scale + zero), info.min, info.max).astype(inp["dtype"])
        started = time.perf_counter()
        interpreter.set_tensor(inp["index"], data)
        interpreter.invoke()
        result = interpreter.get_tensor(out["index"])[0].astype(np.float32)
        times.append(time.perf_counter() - started)
        if out["dtype"] != np.float32:
            scale, zero = out["quantization"]
            result = (result - zero) * scale
        results.append(result)
    return inp["dtype"].__name__, out["dtype"].__name__, np.stack(results), times


def run_onnx(path, images):
    """Scores of an ONNX model in ONNX Runtime, as run() gives them."""
    import onnxruntime
    session = onnxruntime.InferenceSession(str(path), providers=["CPUExecutionProvider"])
    name = session.get_inputs()[0].name
    results, times = [], []
    for image in images:
        started = time.perf_counter()
        results.append(session.run(None, {name: image[None]})[0][0])
        times.append(time.perf_counter() - started)
    kinds = [t.type.replace("tensor(", "").rstrip(")").replace("float", "float32")
             for t in (session.get_inputs()[0], session.get_outputs()[0])]
    return kinds[0], kinds[1], np.stack(results), times


def run_openvino(path, images):
    """Scores of an OpenVINO IR on the CPU, as run() gives them."""
    from veltrix.converter.plugin_api.helpers import compile_on_cpu, ir_signature
    compiled = compile_on_cpu(str(path))  # OpenVINO imported with its telemetry sending nothing
    request = compiled.create_infer_request()
    results, times = [], []
    for image in images:
        started = time.perf_counter()
        request.infer({0: image[None]})
        results.append(request.get_output_tensor(0).data[0].copy())
        times.append(time.perf_counter() - started)
    signature = ir_signature(compiled)
    return signature.inputs[0].dtype, signature.outputs[0].dtype, np.stack(results), times


def size_of(path):
    """Bytes of a model: an IR is its .xml and its .bin."""
    if path.endswith(".xml"):
        return os.path.getsize(path) + os.path.getsize(path[:-4] + ".bin")
    return os.path.getsize(path)


RUNTIMES = {".tflite": run, ".onnx": run_onnx, ".xml": run_openvino}


def table(title, rows):
    print()
    print(title)
    head = ("file", "bytes", "plug-in", "in/out", "top-1 agree", "max diff", "ms/inference")
    print("  %-26s %7s  %-17s %-15s %11s %9s %13s" % head)
    for row in rows:
        print("  %-26s %7d  %-17s %-15s %10.1f%% %9.4f %13.3f" % row)


def main():
    work = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "demo-output")
    started = time.monotonic()
    rng = np.random.default_rng(7)
    samples = os.path.join(work, "samples")
    shutil.rmtree(work, ignore_errors=True)
    labels = make_images(samples, 60, rng)
    model = os.path.join(work, "classifier.keras")
    print("Generated %d sample images in %s and trained a small Keras classifier: %s" % (len(labels), samples, model))
    images = make_model(model, samples, labels)

    import keras
    reference = np.asarray(keras.models.load_model(model, compile=False, safe_mode=True)(images))
    quantize = ["--quantize", "--samples", samples, "--num-samples", "40", "--quantize-format", "int8"]
    jobs = [("classifier.tflite", []), ("classifier-int8.tflite", quantize),
            ("classifier.onnx", []), ("classifier-int8.onnx", quantize),
            ("classifier.xml", []), ("classifier-int8.xml", quantize)]
    rows = convert_all(work, model, jobs, images, reference)

    program = os.path.join(work, "classifier.pt2")
    torch_reference = make_torch_program(program, images, labels)
    print("Trained a small PyTorch classifier on the same images and exported it: %s" % program)
    torch_jobs = [("classifier-torch.onnx", []), ("classifier-torch-int8.onnx", quantize),
                  ("classifier-torch.xml", []), ("classifier-torch-int8.xml", quantize)]
    torch_rows = convert_all(work, program, torch_jobs, np.ascontiguousarray(images.transpose(0, 3, 1, 2)),
                             torch_reference)

    table("Each model on the %d sample images, against the Keras model:" % len(images), rows)
    table("Each model on the %d sample images, against the PyTorch model:" % len(images), torch_rows)
    print("Done in %.0f s" % (time.monotonic() - started))


def convert_all(work, source, jobs, images, reference):
    """Convert `source` once per job through the command; a table row per result."""
    rows = []
    for name, options in jobs:
        path = os.path.join(work, name)
        plugin = converter(*options, source, path)
        in_type, out_type, scores, times = RUNTIMES[os.path.splitext(name)[1]](path, images)
        agree = (scores.argmax(1) == reference.argmax(1)).mean() * 100
        rows.append((name, size_of(path), plugin, "%s/%s" % (in_type, out_type), agree,
                     np.abs(scores - reference).max(), np.median(times) * 1000))
    return rows


if __name__ == "__main__":
    main()
