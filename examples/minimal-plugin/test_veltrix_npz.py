"""Tests of veltrix-npz through the real front end, without installing it."""

import numpy as np

import veltrix_npz


def test_converts(veltrix_plugin, tmp_path):
    veltrix_plugin.add(veltrix_npz, name="veltrix-npz")
    np.savez(tmp_path / "a.npz", weights=np.arange(6.0).reshape(2, 3))
    result = veltrix_plugin.run("--dtype", "float16", str(tmp_path / "a.npz"), str(tmp_path / "a.npy"))
    assert result.status == 0, result.stdout + result.stderr
    assert result.lines[1:3] == ["Using Converter Plugin : veltrix-npz",
                                 "SUCCESS: Wrote %s: array 'weights', float16[2, 3]" % (tmp_path / "a.npy")]
    assert result.params["dtype"] == "float16" and result.params["input-model-type"] == "npz"
    assert np.load(tmp_path / "a.npy").tolist() == [[0, 1, 2], [3, 4, 5]]


def test_clear_failures(veltrix_plugin, tmp_path):
    veltrix_plugin.add(veltrix_npz, name="veltrix-npz")
    np.savez(tmp_path / "a.npz", weights=np.zeros(2))
    for words, message in [
        (["--dtyp", "float16"], "Unknown option --dtyp (did you mean --dtype?)"),
        (["--dtype", "int4"], "--dtype must be one of same, float32, float16, not 'int4'"),
        (["--array", "bias"], "No array 'bias' in"),
    ]:
        result = veltrix_plugin.run(*words, str(tmp_path / "a.npz"), str(tmp_path / "a.npy"))
        assert result.status == 1 and result.response["message"].startswith(message), result.stdout
    assert not (tmp_path / "a.npy").exists()
