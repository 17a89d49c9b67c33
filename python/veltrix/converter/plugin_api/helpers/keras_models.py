"""Keras models as sources: loading a model file safely. The one
framework-specific piece of the kit; it imports Keras only when called."""

import os
from typing import Any

from veltrix.converter.plugin_api.helpers.answers import PluginError, first_line

def load_keras_model(src: str, src_type: str, workdir: str) -> Any:
    """A Keras model file, loaded with Keras' safe mode stated (a file never
    runs code it carries) and without regard to the case of its extension."""
    import keras
    path = src
    extension = "." + src_type
    if not path.endswith(extension):  # Keras reads a file by its lower-case extension
        path = os.path.join(workdir, "model" + extension)
        os.symlink(os.path.abspath(src), path)
    try:
        return keras.models.load_model(path, compile=False, safe_mode=True)
    except Exception as exc:  # whatever Keras raises about the file
        raise PluginError("Cannot read Keras model %s: %s" % (src, first_line(exc) or type(exc).__name__)) from exc
