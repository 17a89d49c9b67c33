"""Installed like any Python package: wheels in a bare environment (no NumPy,
Pillow or TensorFlow), import errors a Python module would raise, and
plug-in metadata that covers what the plug-in imports."""

import ast
import importlib.metadata
import json
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from conftest import ABSENT

ROOT = Path(__file__).resolve().parents[1]


def bare_env():
    """The environment of a process in the bare venv: nothing of this run's
    own paths (PYTHONPATH, a preloaded sanitizer runtime) leaks into it."""
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD", "PYTHONHOME")}


def canonical(name):
    return re.sub(r"[-_.]+", "-", name).lower()


@pytest.fixture(scope="module")
def wheels(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheels")
    for project in (ROOT, *(ROOT / "plugins" / p for p in ("veltrix-tflite", "veltrix-onnx", "veltrix-torch"))):
        # a plug-in asking for a newer Python still builds: only its metadata is read here
        subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation",
                        "--ignore-requires-python", "-w", str(out), str(project)], check=True, capture_output=True, cwd=out)
    return out


@pytest.fixture(scope="module")
def bare(wheels, tmp_path_factory):
    """A fresh environment holding only the two wheels, none of their dependencies."""
    venv = tmp_path_factory.mktemp("bare") / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, capture_output=True, env=bare_env())
    subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", "--no-deps", "--no-index", "--ignore-requires-python",
                    *map(str, sorted(wheels.glob("veltrix_[ct]*.whl")))], check=True, capture_output=True,
                   env=bare_env())
    return venv


@pytest.mark.parametrize("words, expected", [
    (["-v"], "veltrix-converter 0.1.0\n"),
    (["-r"], "Source model path\n"),
    # listed; its verdict names the dependencies this bare environment lacks
    (["-l"], "---------------   veltrix-tflite   ---------------\n"),
])
def test_the_command_works_without_the_sample_dependencies(bare, tmp_path, words, expected):
    result = subprocess.run([str(bare / "bin" / "veltrix-converter"), *words], capture_output=True, text=True,
                            cwd=tmp_path, stdin=subprocess.DEVNULL, env=bare_env())
    assert result.returncode == 0 and expected in result.stdout, result.stdout + result.stderr


@pytest.mark.parametrize("module, missing", [("dataset", "PIL"), ("sample_feeds", "numpy")])
def test_a_missing_sample_dependency_raises_what_python_raises(bare, tmp_path, module, missing):
    code = ("try:\n    import veltrix.converter.plugin_api.%s\n"
            "except ModuleNotFoundError as exc:\n    print(exc.name, '|', exc, '|', *getattr(exc, '__notes__', []))\n"
            % module)
    result = subprocess.run([str(bare / "bin" / "python"), "-c", code], capture_output=True, text=True, cwd=tmp_path,
                            env=bare_env())
    # Python 3.10 has no exception notes
    note = "" if sys.version_info < (3, 11) else (" veltrix.converter.plugin_api.%s needs the 'samples' extra: pip "
                                                  "install 'veltrix-converter[samples]'" % module)
    assert result.stdout == "%s | No module named '%s' |%s\n" % (missing, missing, note), result.stderr


@pytest.mark.parametrize("plugin", ["veltrix_tflite", "veltrix_onnx", "veltrix_torch"])
def test_plugin_metadata_covers_every_import(wheels, plugin):
    (wheel,) = wheels.glob(plugin + "-*.whl")
    with zipfile.ZipFile(wheel) as z:
        metadata = z.read(next(n for n in z.namelist() if n.endswith(".dist-info/METADATA"))).decode()
    required = {canonical(re.match(r"[A-Za-z0-9._-]+", line.split(":", 1)[1].strip()).group())
                for line in metadata.splitlines() if line.startswith("Requires-Dist:")}
    tree = ast.parse((ROOT / "plugins" / plugin.replace("_", "-") / (plugin + ".py")).read_text())
    imported = {alias.name.split(".")[0] for node in ast.walk(tree) if isinstance(node, ast.Import) for alias in node.names}
    imported |= {node.module.split(".")[0] for node in ast.walk(tree) if isinstance(node, ast.ImportFrom) and node.module}
    providers = importlib.metadata.packages_distributions()
    if imported & ABSENT:
        pytest.skip("needs %s" % ", ".join(sorted(imported & ABSENT)))
    for module in sorted(imported - set(sys.stdlib_module_names)):
        assert {canonical(d) for d in providers[module]} & required, (module, required)


def readme_install_block():
    """The shell lines of the README's Install section, comments removed."""
    section = (ROOT / "README.md").read_text().split("\n## Install\n", 1)[1].split("\n## ", 1)[0]
    block = section.split("```sh\n", 1)[1].split("```", 1)[0]
    return [line.split("  #", 1)[0].strip() for line in block.splitlines() if line.strip()]


def seed_third_party(venv, tmp_path):
    """Make the running environment's third-party packages visible to `venv`
    behind its own site-packages (which keeps the setuptools it bundles), so
    pip finds TensorFlow and the plug-ins' libraries installed and downloads
    none of them; this project's distributions, pip and setuptools are left out."""
    own = re.compile(r"(veltrix|pip|setuptools|pkg_resources|_distutils_hack|distutils-precedence|_virtualenv|__pycache__)"
                     r"([-_.]|$)|.*\.pth$", re.I)
    shelf = tmp_path / "third-party"
    shelf.mkdir()
    for folder in map(Path, sys.path):
        if folder.name != "site-packages" or not folder.is_dir():
            continue
        for entry in folder.iterdir():
            if not own.match(entry.name) and not (shelf / entry.name).exists():
                (shelf / entry.name).symlink_to(entry)
    site = subprocess.run([str(venv / "bin" / "python"), "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          capture_output=True, text=True, check=True).stdout.strip()
    Path(site, "zz-third-party.pth").write_text(str(shelf) + "\n")


def test_the_readme_install_commands_leave_every_documented_plugin_ok(tmp_path):
    """The Install section's commands, as written, in a fresh environment of
    this interpreter with the setuptools its venv module bundles."""
    if "tensorflow" in ABSENT:
        pytest.skip("needs tensorflow installed, not to download it")
    lines = readme_install_block()
    documented = [re.sub(r"\[.*", "", p) for line in lines for p in re.findall(r"\./plugins/(\S+)", line)]
    assert "veltrix-tflite" in documented, lines
    checkout = tmp_path / "checkout"
    shutil.copytree(ROOT, checkout, ignore=shutil.ignore_patterns(".git", ".venv", ".nox", "build", "dist", "__pycache__",
                                                                   ".hypothesis", ".*_cache"))
    home, bin_dir = tmp_path / "home", tmp_path / "bin"
    home.mkdir(), bin_dir.mkdir()
    (bin_dir / "python3").symlink_to(getattr(sys, "_base_executable", sys.executable))
    env = dict(bare_env(), HOME=str(home), PATH=str(bin_dir) + os.pathsep + os.environ["PATH"])
    env.pop("VIRTUAL_ENV", None)

    def shell(script):
        result = subprocess.run(["bash", "-euc", script], capture_output=True, text=True, cwd=checkout, env=env,
                                stdin=subprocess.DEVNULL, timeout=3600)
        assert result.returncode == 0, (script, result.stdout[-3000:], result.stderr[-3000:])
        return result.stdout

    (create,) = [line for line in lines if " -m venv " in line]
    shell(create)
    venv = home / ".venvs" / "veltrix"
    seed_third_party(venv, tmp_path)
    activate = create.split("&&", 1)[1].strip()
    shell("\n".join([activate] + [line for line in lines if line != create]))
    listing = json.loads(shell(activate + "\nveltrix-converter -l --json"))
    assert {plugin["name"]: plugin["verdict"] for plugin in listing} == {name: "ok" for name in documented}


def test_the_readme_pyproject_and_sessions_name_the_same_interpreters():
    versions = ast.literal_eval(re.search(r"^VERSIONS = (\[.*\])$", (ROOT / "noxfile.py").read_text(), re.M).group(1))
    pyproject = (ROOT / "pyproject.toml").read_text()
    assert re.findall(r'"Programming Language :: Python :: (3\.\d+)"', pyproject) == versions
    assert re.findall(r'^requires-python = "(.*)"$', pyproject, re.M) == [">=" + versions[0]]
    assert set(re.findall(r"Python (3\.\d+) to (3\.\d+)", (ROOT / "README.md").read_text())) == {(versions[0], versions[-1])}


def chained(error):
    """`error` as the cause of the error pytest raises for a test module that cannot be imported."""
    try:
        raise pytest.Collector.CollectError("ImportError while importing test module") from error
    except pytest.Collector.CollectError as outer:
        return outer


@pytest.mark.parametrize("error, absent, skipped_for", [
    (ModuleNotFoundError("x", name="tensorflow"), {"tensorflow"}, "tensorflow"),
    (ModuleNotFoundError("x", name="tensorflow.lite"), {"tensorflow"}, "tensorflow"),
    (chained(ModuleNotFoundError("x", name="keras")), {"keras"}, "keras"),
    # installed: the same error is a failure like any other
    (ModuleNotFoundError("x", name="tensorflow"), set(), None),
    (ModuleNotFoundError("x", name="numpy"), {"tensorflow"}, None),
    (ModuleNotFoundError("x", name=None), {"tensorflow"}, None),
    (ImportError("x", name="tensorflow"), {"tensorflow"}, None),
    (chained(ValueError("tensorflow")), {"tensorflow"}, None),
])
def test_only_an_absent_library_makes_a_skip(monkeypatch, error, absent, skipped_for):
    import conftest
    monkeypatch.setattr(conftest, "ABSENT", absent)
    assert conftest.absent_library(error) == skipped_for
