"""The reserved parameter catalogue as plug-ins and the front end read it."""

import pytest

from veltrix.converter.plugin_api.params import reserved_params_list as catalogue

ORDER = ["source", "dest", "input-model-type", "output-model-type", "input-type", "output-type", "samples",
         "num-samples", "model-input-type", "name", "constant", "labels", "input-shape", "input-names",
         "output-names", "quantize", "quant-tensor", "quant-channel", "quant-normalization", "quantize-format", "crop"]


def test_catalogue_has_the_21_keys_in_order():
    assert list(catalogue) == ORDER
    assert "plugin" not in catalogue and "num_samples" not in catalogue


@pytest.mark.parametrize("key, keys", [
    ("source", ["type", "default", "group", "help"]),
    ("dest", ["type", "default", "group", "help"]),
    ("input-model-type", ["type", "default", "name", "group", "help"]),
    ("input-type", ["type", "choices", "default", "group", "help", "name"]),
    ("model-input-type", ["type", "choices", "default", "group", "help", "name"]),
    ("input-shape", ["type", "name", "array", "default", "group"]),
    ("input-names", ["type", "array", "default", "name", "group", "help"]),
    ("quant-channel", ["type", "default", "name", "group", "help"]),
    ("quantize-format", ["type", "choices", "default", "group", "help"]),
    ("crop", ["name", "type", "default", "group", "help"]),
])
def test_descriptor_key_order(key, keys):
    assert list(catalogue[key]) == keys


@pytest.mark.parametrize("key, default", [
    ("num-samples", 10), ("quantize", False), ("quant-tensor", False), ("quant-channel", False), ("crop", False),
    ("input-names", None), ("output-names", None), ("input-shape", [1, 224, 224, 3]), ("input-type", "none"),
    ("quant-normalization", "unsigned"), ("model-input-type", "float32"), ("samples", ""),
])
def test_defaults_and_their_types(key, default):
    value = catalogue[key]["default"]
    assert value == default and type(value) is type(default)


def test_every_entry_is_reserved_and_optional():
    assert all(d["group"] == "reserved" and "default" in d for d in catalogue.values())


def test_texts_that_are_easy_to_get_wrong():
    assert catalogue["input-type"]["name"] == catalogue["model-input-type"]["name"] == "Input Data Type"
    assert catalogue["input-names"]["help"].startswith("Input layers in the final converted model.")
    assert catalogue["output-names"]["help"].endswith("frozen 1.x pb->QTX/TFLite/ONNX")
    assert catalogue["quantize-format"]["choices"] == ["none", "float32", "int8", "uint8"]
    assert catalogue["input-shape"]["array"] == "4" and catalogue["input-names"]["array"] == ""


def test_every_importer_gets_the_same_object():
    from veltrix.converter import convert, plugin_registry
    from veltrix.converter.plugin_api import option_mapper
    assert convert.reserved_params_list is catalogue
    assert plugin_registry.reserved_params_list is catalogue
    assert option_mapper.reserved_params_list is catalogue
