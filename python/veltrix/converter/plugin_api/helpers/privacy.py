"""Libraries that would report home, or write under the user's home, told
not to before they are imported. Importing the kit runs `quiet_libraries()`,
so every plug-in built on the kit converts without telemetry and without
leaving files behind it, whatever library it loads first.

- ONNX Runtime (imported by the plug-ins, the kit, and for us by tf2onnx,
  onnxscript, NNCF...) sends usage telemetry unless `ORT_DISABLE_TELEMETRY`
  is set when it is imported: a persistent device id and an event queue
  under ~/.cache/Microsoft, a session file in the temporary folder, and name
  lookups of its collector. Its `disable_telemetry_events()` does not stop
  the files. The switch is set, not merely defaulted: nothing leaves the
  machine, whatever the environment says.
- Keras writes ~/.keras/keras.json when imported, if that file is missing,
  and so does the older Keras inside TensorFlow (`tensorflow.python.keras`,
  which TensorFlow's converters import). While their configuration modules
  run, `KERAS_HOME` names a folder that cannot be created; a user's existing keras.json, or a `KERAS_HOME` the
  user set, is left to Keras as it is. Afterwards Keras's home is what it
  would have been, so its own downloads work as usual.
- OpenVINO and NNCF: `openvino_models.import_openvino()`.

Library temporary files are kept in the conversion's work folder:
`files.work_temp()`."""

import importlib.abc
import importlib.machinery
import os
import sys
from typing import Any, Dict, Optional, Sequence

# The modules that read (and write) keras.json, and where each keeps its folder.
KERAS_CONFIGS = {"keras.src.backend.config": "_KERAS_DIR", "tensorflow.python.keras.backend": "_keras_dir",
                 "tf_keras.src.backend": "_keras_dir"}
# A path no folder can be made at on any POSIX system: Keras's writes there fail, and it ignores them.
NOWHERE = os.path.join(os.devnull, ".keras")


def quiet_libraries() -> None:
    """Set every switch this module knows of. Idempotent."""
    os.environ["ORT_DISABLE_TELEMETRY"] = "1"
    if not any(isinstance(f, _KerasConfigGuard) for f in sys.meta_path):
        pending = {name: folder for name, folder in KERAS_CONFIGS.items() if name not in sys.modules}
        if pending:
            sys.meta_path.insert(0, _KerasConfigGuard(pending))


def _keras_home() -> str:
    """The folder Keras uses when KERAS_HOME is not set (its own rule)."""
    home = os.path.expanduser("~")
    return os.path.join(home if os.access(home, os.W_OK) else "/tmp", ".keras")


class _KerasConfigGuard(importlib.abc.MetaPathFinder):
    """Finds the Keras configuration modules, each once, and runs them with
    KERAS_HOME pointing nowhere when running them would write a new
    keras.json. (It stays in the import system: taking it out while the
    import system walks the list would skip the finder after it.)"""

    def __init__(self, pending: Dict[str, str]) -> None:
        self.pending = pending

    def find_spec(self, fullname: str, path: Optional[Sequence[str]], target: Any = None) -> Any:
        folder_name = self.pending.pop(fullname, None)
        if folder_name is None:
            return None
        if "KERAS_HOME" in os.environ or os.path.exists(os.path.join(_keras_home(), "keras.json")):
            return None  # the user's own configuration: Keras reads it and writes nothing
        spec = importlib.machinery.PathFinder.find_spec(fullname, path, target)
        if spec is not None and spec.loader is not None and hasattr(spec.loader, "exec_module"):
            spec.loader = _UnwrittenConfig(spec.loader, folder_name)
        return spec


class _UnwrittenConfig(importlib.abc.Loader):
    def __init__(self, inner: Any, folder_name: str) -> None:
        self.inner, self.folder_name = inner, folder_name

    def __getattr__(self, name: str) -> Any:  # get_source, get_filename...: the real loader's
        return getattr(self.inner, name)

    def create_module(self, spec: Any) -> Any:
        return self.inner.create_module(spec)

    def exec_module(self, module: Any) -> None:
        home = _keras_home()
        os.environ["KERAS_HOME"] = NOWHERE
        try:
            self.inner.exec_module(module)
        finally:
            os.environ.pop("KERAS_HOME", None)
        if getattr(module, self.folder_name, None) == NOWHERE:
            setattr(module, self.folder_name, home)
