"""OptionMapper as the front end and plug-ins use it."""

import os

import pytest

from veltrix.converter.plugin_api import option_mapper
from veltrix.converter.plugin_api.option_mapper import OptionMapper
from veltrix.converter.plugin_api.params import reserved_params_list as catalogue


@pytest.fixture
def mapper():
    return OptionMapper()


def test_is_a_plain_class():
    assert OptionMapper.__bases__ == (object,) and type(OptionMapper) is type
    assert option_mapper.os is os


def test_empty_options_give_the_catalogue_defaults(mapper):
    result = mapper.process({}, {})
    assert list(result) == list(catalogue)
    assert result["input-shape"] is catalogue["input-shape"]["default"]
    assert all(result[k] is d["default"] for k, d in catalogue.items())


def test_result_order_user_then_plugin_then_catalogue(mapper):
    table = {"zeta": {"type": "string", "default": "z"}, "source": {"type": "string", "default": "p"}}
    result = mapper.process({"extra": "e", "dest": "d.tflite"}, table)
    assert list(result)[:4] == ["extra", "dest", "zeta", "source"]
    assert result["source"] == ""  # the catalogue's default replaces the plug-in's


def test_attributes_after_process(mapper):
    result = mapper.process({"num_samples": "25"}, {}, True)
    assert result["num-samples"] == 25 and mapper.num_samples == 25
    assert list(vars(mapper))[:2] == ["num_samples", "source"]
    assert "num_samples" not in result


@pytest.mark.parametrize("text, value", [("true", True), ("TrUe", True), ("FALSE", False), ("false", False),
                                         ("yes", "yes"), (True, True)])
def test_boolean_conversion(mapper, text, value):
    assert mapper.process({"quantize": text}, {})["quantize"] is value if isinstance(value, bool) \
        else mapper.process({"quantize": text}, {})["quantize"] == value


@pytest.mark.parametrize("text, value", [(" 12 ", 12), ("-3", -3), ("1_000", 1000), ("+7", 7)])
def test_integer_conversion(mapper, text, value):
    assert mapper.process({"num-samples": text}, {})["num-samples"] == value


@pytest.mark.parametrize("text", ["ten", "1.5", "", "1__0"])
def test_integer_errors(mapper, text):
    with pytest.raises(ValueError) as info:
        mapper.process({"num-samples": text}, {})
    assert str(info.value) == "Invalid argument for num-samples, please use an integer"
    assert isinstance(info.value.__context__, ValueError)


@pytest.mark.parametrize("key, text, array, value", [
    ("input-shape", "1,300,300,3", True, [1, 300, 300, 3]),
    ("input-shape", "1,300,300,3", False, "1,300,300,3"),
    ("input-names", "a, b", True, ["a", " b"]),
    ("input-names", "", True, [""]),
    ("input-names", "a,,b,", True, ["a", "", "b", ""]),
])
def test_arrays(mapper, key, text, array, value):
    assert mapper.process({key: text}, {}, array)[key] == value


def test_float_arrays_and_their_errors(mapper):
    table = {"mean": {"type": "float", "array": "", "default": None}}
    assert mapper.process({"mean": "0.5,1e3"}, table, True)["mean"] == [0.5, 1000.0]
    with pytest.raises(ValueError, match="could not convert string to float: 'x'"):
        mapper.process({"mean": "1,x"}, table, True)
    with pytest.raises(ValueError, match="invalid literal for int"):
        mapper.process({"input-shape": "1,a"}, {}, True)


def test_plugin_default_is_replaced_by_catalogue_default(mapper):
    assert mapper.process({}, {"num-samples": {"type": "int", "default": 50}})["num-samples"] == 10


def test_textual_default_is_converted(mapper):
    assert mapper.process({}, {"level": {"type": "int", "default": "3"}})["level"] == 3


def test_mandatory_parameters(mapper):
    table = {"level": {"type": "int"}}
    with pytest.raises(AttributeError) as info:
        mapper.process({}, table)
    assert str(info.value) == "Missing mandatory parmeter: 'level'"
    assert mapper.process({"level": "2"}, table)["level"] == 2


def test_descriptor_without_type(mapper):
    with pytest.raises(KeyError, match="type"):
        mapper.process({"x": "text"}, {"x": {"default": ""}})
    assert mapper.process({"x": 5}, {"x": {"default": ""}})["x"] == 5


def test_unknown_options_pass_through_and_detect_invalid_arg_names_them(mapper):
    result = mapper.process({"weird": "1"}, {})
    assert result["weird"] == "1"
    with pytest.raises(AttributeError) as info:
        mapper.detect_invalid_arg(result, {})
    assert str(info.value) == "Unrecognised argument 'weird'"
    mapper.detect_invalid_arg({"source": 1, "mine": 2}, {"mine": {}})


def test_process_leaves_its_inputs_alone(mapper):
    options, table = {"num_samples": "3"}, {"k": {"type": "int", "default": "1"}}
    mapper.process(options, table, True)
    assert options == {"num_samples": "3"} and table == {"k": {"type": "int", "default": "1"}}
    assert catalogue["num-samples"]["default"] == 10


# A plug-in table key written with "_": the user's value is kept and converted
# by that descriptor; the default applies only when the user gave nothing.
@pytest.mark.parametrize("options, expected", [
    ({"my_level": "7"}, 7),
    ({"my-level": "7"}, 7),
    ({}, 3),
])
def test_underscore_table_keys_keep_the_users_value(mapper, options, expected):
    result = mapper.process(options, {"my_level": {"type": "int", "default": "3"}})
    assert result["my-level"] == expected
    assert "my_level" not in result


def test_underscore_table_key_without_default_is_satisfied_by_the_user(mapper):
    table = {"my_flag": {"type": "boolean"}}
    assert mapper.process({"my-flag": "TRUE"}, table)["my-flag"] is True
    with pytest.raises(AttributeError, match="Missing mandatory parmeter: 'my_flag'"):
        mapper.process({}, table)


def test_nested_values(mapper):
    mapper.process({"cfg": {"a-b": 1, "inner": {"x": 2}}, "items": ({"k": 1}, 5)}, {})
    # nested keys are taken as they stand; only the top level is rewritten
    assert isinstance(mapper.cfg, OptionMapper) and getattr(mapper.cfg, "a-b") == 1
    assert mapper.cfg.inner.x == 2
    assert isinstance(mapper.items, list) and mapper.items[0].k == 1 and mapper.items[1] == 5


def test_from_dict_accepts_only_dicts_and_odd_names(mapper):
    getattr(mapper, "_OptionMapper__from_dict")({"not an identifier": 1})
    assert vars(mapper) == {"not an identifier": 1}
    with pytest.raises(AssertionError):
        getattr(mapper, "_OptionMapper__from_dict")([("a", 1)])


def test_an_option_can_hide_a_method(mapper):
    mapper.process({"replace": "x"}, {})
    assert mapper.replace == "x"
    OptionMapper().replace({}, "a", "b")


@pytest.mark.parametrize("p, expected", [
    ({"default-shape": "1", "input-shape": "2"}, {"input-shape": "1"}),
    ({"other": 1}, {"other": 1}),
])
def test_replace(mapper, p, expected):
    mapper.replace(p, "default-shape", "input-shape")
    assert p == expected


def test_replace_underscore_later_key_wins_at_first_position(mapper):
    result = mapper.replace_underscore({"a_b": 1, "c": 2, "a-b": 3}, "_", "-")
    assert list(result.items()) == [("a-b", 3), ("c", 2)]
    with pytest.raises(AttributeError):
        mapper.replace_underscore({1: 2}, "_", "-")


def test_source_types(mapper, tmp_path):
    (tmp_path / "m.tflite").write_text("")
    (tmp_path / "frozen.PB").write_text("")
    (tmp_path / "noext").write_text("")
    (tmp_path / ".hidden").write_text("")
    saved = tmp_path / "saved"
    saved.mkdir()
    (saved / "saved_model.pb").write_text("")
    (tmp_path / "empty").mkdir()
    cases = {"m.tflite": "tflite", "frozen.PB": "PB", "noext": "", ".hidden": "", "saved": "pb", "empty": "",
             "missing.h5": ""}
    for name, expected in cases.items():
        assert mapper.get_source_type(str(tmp_path / name)) == expected, name


def test_unreadable_source_folder_prints_the_error(mapper, capsys, monkeypatch, tmp_path):
    def refuse(path):
        raise PermissionError("no entry")
    monkeypatch.setattr(option_mapper.os, "listdir", refuse)
    assert mapper.get_source_type(str(tmp_path)) == ""
    assert capsys.readouterr().out == "no entry\n"


@pytest.mark.parametrize("path, expected", [("out/model.onnx", "onnx"), ("out/model", ""), ("a.b/c", ""),
                                            (None, ""), (5, "")])
def test_dest_types(mapper, path, expected):
    assert mapper.get_dest_type(path) == expected


def test_model_types_are_added_only_when_missing(mapper):
    options = {"source": "missing.h5", "dest": "x.tflite", "input-model-type": "keras"}
    mapper.get_model_types(options)
    assert options == {"source": "missing.h5", "dest": "x.tflite", "input-model-type": "keras",
                       "output-model-type": "tflite"}


def test_subclass_overrides_are_called():
    class Mine(OptionMapper):
        def __init__(self):  # no super().__init__(): a plain class does not need it
            self.seen = []

        def process_ref(self, params, a, ref, process_array):
            self.seen.append(ref is catalogue)
            super().process_ref(params, a, ref, process_array)

    m = Mine()
    m.process({}, {})
    assert m.seen == [False, True]


def test_replaced_module_catalogue_is_used(mapper, monkeypatch):
    monkeypatch.setattr(option_mapper, "reserved_params_list", {"only": {"type": "int", "default": "4"}})
    assert mapper.process({}, {}) == {"only": 4}


@pytest.mark.parametrize("call, message", [
    (lambda m: m.process(), "OptionMapper.process() missing 2 required positional arguments: 'params' and 'ref'"),
    (lambda m: m.convert_comma_delimit_to_array(),
     "OptionMapper.convert_comma_delimit_to_array() missing 3 required positional arguments: 'key', 'params', and 'ref'"),
    (lambda m: m.process_ref(),
     "OptionMapper.process_ref() missing 4 required positional arguments: 'params', 'a', 'ref', and 'process_array'"),
    (lambda m: m.replace(p={}, old="a", **{"new\x00x": "b"}),
     "OptionMapper.replace() got an unexpected keyword argument 'new\x00x'"),
    (lambda m: m.replace(p={}, old="a", **{"\udc80": "b"}),
     "OptionMapper.replace() got an unexpected keyword argument '\udc80'"),
    (lambda m: m.process({}, {}, True, 1), "OptionMapper.process() takes from 3 to 4 positional arguments but 5 were given"),
    (lambda m: m.replace({}, "a", new="b", x=1), "OptionMapper.replace() got an unexpected keyword argument 'x'"),
    (lambda m: m.get_dest_type("a", outfile="b"), "OptionMapper.get_dest_type() got multiple values for argument 'outfile'"),
])
def test_argument_errors_read_like_python(mapper, call, message):
    with pytest.raises(TypeError) as info:
        call(mapper)
    assert str(info.value) == message


def test_keywords_work(mapper):
    assert mapper.process(params={}, ref={}, process_array=True)["num-samples"] == 10
