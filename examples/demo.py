"""The main job: a real conversion with veltrix-converter, end to end.

Generates a small Keras image classifier and a folder of sample images
(nothing is downloaded), converts the model with the veltrix-converter
command to a float TensorFlow Lite model and to a fully int8 quantized one
calibrated on the sample folder, then runs one inference with each in the
LiteRT interpreter and compares them.

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


def converter(*words):
    command = shutil.which("veltrix-converter", path=os.path.dirname(sys.executable)) or "veltrix-converter"
    print("$ veltrix-converter " + " ".join(words), flush=True)
    result = subprocess.run([command, *words], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    print("\n".join("  " + line for line in result.stdout.splitlines()))
    if result.returncode != 0:
        sys.exit("veltrix-converter failed (exit status %d)" % result.returncode)


def run(path, images):
    """Scores of a TensorFlow Lite model for a batch of float images (0..1),
    quantizing the input and dequantizing the output of an integer model."""
    from ai_edge_litert.interpreter import Interpreter
    interpreter = Interpreter(model_path=str(path))
    interpreter.allocate_tensors()
    inp, out = interpreter.get_input_details()[0], interpreter.get_output_details()[0]
    results = []
    for image in images:
        data = image[None]
        if inp["dtype"] != np.float32:
            scale, zero = inp["quantization"]
            info = np.iinfo(inp["dtype"])
            data = np.clip(np.round(data / scale + zero), info.min, info.max).astype(inp["dtype"])
        interpreter.set_tensor(inp["index"], data)
        interpreter.invoke()
        result = interpreter.get_tensor(out["index"])[0].astype(np.float32)
        if out["dtype"] != np.float32:
            scale, zero = out["quantization"]
            result = (result - zero) * scale
        results.append(result)
    return inp["dtype"].__name__, out["dtype"].__name__, np.stack(results)


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

    float_model = os.path.join(work, "classifier.tflite")
    int8_model = os.path.join(work, "classifier-int8.tflite")
    converter(model, float_model)
    converter("--quantize", "--samples", samples, "--num-samples", "40", "--quantize-format", "int8", model, int8_model)

    print("One inference with each model on %s:" % sorted(os.listdir(samples))[0])
    for path in (float_model, int8_model):
        in_type, out_type, (scores,) = run(path, images[:1])
        print("  %-24s %6d bytes  %s in, %s out  scores %s -> %s" % (
            os.path.basename(path), os.path.getsize(path), in_type, out_type, np.round(scores, 3),
            CLASSES[int(np.argmax(scores))]))
    print("Done in %.0f s; true class: %s" % (time.monotonic() - started, CLASSES[labels[0]]))


if __name__ == "__main__":
    main()
