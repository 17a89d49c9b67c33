"""Test sessions (nox): the whole suite on the project's environment, and a
core session per supported CPython.

    nox                     the whole suite in .venv, as `bash scripts/test.sh`
    nox -s core             the core sessions, one per interpreter found
    nox -s core-3.12        one interpreter; arguments after `--` go to pytest

A core session builds a wheel of the package with its interpreter (into
dist/), installs it with the sample modules' NumPy and Pillow but without
TensorFlow or the plug-ins' libraries into the session's own environment,
and runs the suite there: the tests that need what is absent skip, everything
else (the native core, the command, the registry, the bare-environment wheel
check of tests/test_install.py) runs on that interpreter.

Interpreters are looked up on PATH and among pyenv's installed versions (the
newest patch release of each); an absent one is skipped with a line saying so.
"""

import os
import re
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
VERSIONS = ["3.10", "3.11", "3.12", "3.13"]

nox.options.sessions = ["tests"]
nox.options.download_python = "never"
# An interpreter this machine lacks is a skip, on CI too.
nox.options.error_on_missing_interpreters = False


def pyenv_bin_folders():
    """The bin folder of pyenv's newest installed patch release of each
    supported version (pyenv's shims answer only for the selected ones)."""
    root = Path(os.environ.get("PYENV_ROOT") or Path.home() / ".pyenv") / "versions"
    newest = {}
    for folder in root.glob("3.*") if root.is_dir() else ():
        match = re.fullmatch(r"(3\.\d+)\.(\d+)", folder.name)
        if match and match.group(1) in VERSIONS and (folder / "bin" / ("python" + match.group(1))).exists():
            patch = int(match.group(2))
            if newest.get(match.group(1), (-1,))[0] < patch:
                newest[match.group(1)] = (patch, folder / "bin")
    return [str(folder) for _, folder in newest.values()]


os.environ["PATH"] = os.pathsep.join(pyenv_bin_folders() + [os.environ.get("PATH", "")])


@nox.session(python=False)
def tests(session):
    """The whole suite in the project's environment (.venv), TensorFlow and both plug-ins included."""
    session.run("bash", str(ROOT / "scripts" / "test.sh"), *session.posargs, external=True)


@nox.session(python=VERSIONS)
def core(session):
    """A wheel built with this interpreter, installed in an environment without TensorFlow, and the suite run there."""
    session.install("-r", str(ROOT / "scripts" / "requirements-core.txt"))
    dist = ROOT / "dist"
    tag = session.run("python", "-c", "import sys; print('cp%d%d' % sys.version_info[:2])", silent=True).strip()
    for old in dist.glob("veltrix_converter-*-%s-*.whl" % tag):
        old.unlink()
    session.run("python", "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation", "-w", str(dist), str(ROOT))
    (wheel,) = dist.glob("veltrix_converter-*-%s-*.whl" % tag)
    session.install("--no-deps", "--force-reinstall", str(wheel))
    session.chdir(ROOT)
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", *session.posargs)
