"""The command line: tokenizer, dispatch precedence, result lines, usage and -r text."""

import json
import sys

import pytest

USAGE = [
    "usage: veltrix-converter [options]",
    "options:",
    "    [-h] [--help] [plugin_name source_type dest_type]      Prints this help for a plugin or this help",
    "    [-v] [--version]                             Prints version",
    "    [-r] [--reserve]                             Prints Reserved Params List",
    "    [-l] [--list]                                Lists installed plugins",
    "    [-i] [--install] path_to_whl_file            Installs a plugin",
    "    [-u] [--uninstall] plugin_name               Uninstalls a plugin",
    "    [--source]  source_model [--dest] destination_model [conveter specific parameters]    Converts a model",
]
VERSION = "veltrix-converter 0.1.0"
PLUGIN_USAGE = "usage: veltrix-converter -h [--help] -s [--source] source_type -d [--dest] dest_type"


def lines(capsys):
    return capsys.readouterr().out.splitlines()


@pytest.mark.parametrize("words, expected, printed", [
    ([], {}, []),
    (["a.h5", "b.tflite"], {"source": "a.h5", "dest": "b.tflite"}, []),
    (["--plugin", "tfl", "--quantize", "true", "a.h5", "b.tflite"],
     {"source": "a.h5", "dest": "b.tflite", "plugin": "tfl", "quantize": "true"}, []),
    (["--source", "a.h5", "--dest", "b.tflite"], {"source": "a.h5", "dest": "b.tflite"}, []),
    (["-h", "myplugin", "keras", "tflite"], {"source": "keras", "dest": "tflite", "h": "myplugin"}, []),
    (["-l"], {"l": True}, []),
    (["--input_shape", "1,224,224,3", "a.h5", "b.tflite"],
     {"source": "a.h5", "dest": "b.tflite", "input-shape": "1,224,224,3"}, []),
    (["--plugin", "tfl", "a.h5"], {"source": "tfl", "dest": "a.h5", "plugin": True}, []),
    (["---x"], {}, ["Invalid Argument: ---x"]),
    (["a.h5"], {}, []),
    (["a.h5", "b.tflite", "--quantize"], {"quantize": True}, []),
    (["-s", "x", "-d", "y"], {"s": "x", "d": "y"}, []),
    (["--offset", "-5"], {"offset": True, "5": True}, []),
    (["--key=value", "v"], {"key=value": "v"}, []),
    (["--a", "1", "--b", "--a", "2"], {"a": "2", "b": True}, []),
    (["-input_shape", "x"], {"input-shape": "x"}, []),
    (["-", "x"], {"": "x"}, []),
    (["--x", "----y", "z"], {"x": True}, ["Invalid Argument: ----y"]),
])
def test_tokenizer_table(cli, argv, capsys, words, expected, printed):
    argv(*words)
    result = getattr(cli, "__args_to_dict")()
    assert result == expected
    assert list(result) == list(expected)
    assert lines(capsys) == printed


@pytest.mark.parametrize("argv_value, printed", [
    ([], "list index out of range"),
    (["prog", 5, "x"], "'int' object has no attribute 'startswith'"),
])
def test_tokenizer_reports_errors_and_keeps_going(cli, monkeypatch, capsys, argv_value, printed):
    monkeypatch.setattr(sys, "argv", argv_value)
    assert getattr(cli, "__args_to_dict")() == {}
    assert lines(capsys) == [printed]


def test_tokenizer_returns_what_it_filled_before_the_error(cli, monkeypatch, capsys):
    monkeypatch.setattr(sys, "argv", ["prog", "--a", "--b", 7, "s", "d"])
    assert getattr(cli, "__args_to_dict")() == {"source": "s", "dest": "d", "a": True}
    assert lines(capsys) == ["'int' object has no attribute 'startswith'"]


def test_tokenizer_leaves_sys_argv_alone(cli, argv):
    argv("-x", "a.h5", "b.tflite")
    getattr(cli, "__args_to_dict")()
    assert sys.argv == ["veltrix-converter", "-x", "a.h5", "b.tflite"]


@pytest.fixture
def actions(cli):
    """Replace every action through the module namespace; record the calls."""
    calls = []

    def recorder(name, result=None):
        def action(*args):
            calls.append((name,) + args)
            return result
        return action

    cli.install = recorder("install", "")
    cli.uninstall = recorder("uninstall", "")
    cli.convert = recorder("convert", {"success": "yes", "message": "done"})
    setattr(cli, "__print_plugins", recorder("list"))
    setattr(cli, "__help", recorder("help"))
    return calls


@pytest.mark.parametrize("words, call", [
    (["-v", "-l", "a", "b"], None),
    (["--version"], None),
    (["-l", "-h"], ("list",)),
    (["--list", "-i", "w.whl"], ("list",)),
    (["-i", "w.whl", "-u", "tfl"], ("install", "w.whl")),
    (["--install", "x.whl", "--uninstall", "p"], ("install", "x.whl")),
    (["-i", "w.whl", "--install", "x.whl"], ("install", "w.whl")),
    (["-u", "tfl", "-h"], ("uninstall", "tfl")),
    (["--uninstall", "tfl", "-r"], ("uninstall", "tfl")),
    (["-h"], ("help", "", {"h": True})),
    (["-h", "--quantize"], ("help", "", {"h": True, "quantize": True})),
    (["-h", "a", "--help", "b"], ("help", "b", {"h": "a", "help": "b"})),
    (["--help", "p", "-r", "k", "t"], ("help", "p", {"source": "k", "dest": "t", "help": "p", "r": True})),
    (["-r", "-p"], ("help", "reserve", {"r": True, "p": True})),
    (["--reserve"], ("help", "reserve", {"reserve": True})),
    (["-p", "keras", "tflite"], ("help", "params", {"source": "keras", "dest": "tflite", "p": True})),
    (["a.h5"], ("help", "", {})),
    (["-s", "x", "-d", "y"], ("help", "", {"s": "x", "d": "y"})),
    (["a.h5", "b.tflite"], ("convert", {"source": "a.h5", "dest": "b.tflite"})),
])
def test_dispatch_precedence(cli, argv, capsys, actions, words, call):
    argv(*words)
    assert cli.main() is None
    assert actions == ([call] if call else [])
    assert lines(capsys)[0] == VERSION


@pytest.mark.parametrize("words, message", [
    (["-i"], "Package Path Missing"), (["--install", "-v"], None), (["--install"], "Package Path Missing"),
    (["-u"], "Plugin Name Missing"), (["--uninstall", "--x"], "Plugin Name Missing"),
])
def test_missing_package_arguments(cli, argv, capsys, actions, words, message):
    argv(*words)
    cli.main()
    assert lines(capsys) == [VERSION] + ([message] if message else [])
    assert actions == []


def test_success_lines(cli, argv, capsys, actions):
    argv("a.h5", "b.tflite")
    cli.main()
    assert lines(capsys) == [VERSION, "SUCCESS: done", "Source: a.h5", "Destination: b.tflite"]


@pytest.mark.parametrize("response, printed", [
    ({"success": "no", "message": "broken"}, ["FAILURE: broken"]),
    ({"success": "maybe", "message": "m"}, ["FAILURE: m"]),
    ({"success": "yes"}, []),
    ({"message": "m"}, []),
])
def test_result_lines(cli, argv, capsys, response, printed):
    cli.convert = lambda args: response
    argv("a.h5", "b.tflite")
    cli.main()
    assert lines(capsys) == [VERSION] + printed


def test_system_exit_in_an_action_ends_main_quietly(cli, argv, capsys):
    def leave(*args):
        print("leaving")
        raise SystemExit(3)
    setattr(cli, "__print_plugins", leave)
    argv("-l")
    assert cli.main() is None
    assert lines(capsys) == [VERSION, "leaving"]


def test_system_exit_in_the_conversion_propagates(cli, argv):
    def leave(args):
        raise SystemExit(4)
    cli.convert = leave
    argv("a", "b")
    with pytest.raises(SystemExit):
        cli.main()


def test_other_errors_propagate(cli, argv, monkeypatch):
    import veltrix.converter
    monkeypatch.delattr(veltrix.converter, "version")
    argv("-v")
    with pytest.raises(ImportError, match="cannot import name 'version' from 'veltrix.converter'"):
        cli.main()


def test_usage_text(cli, argv, capsys):
    argv()
    cli.main()
    assert lines(capsys) == [VERSION] + USAGE
    assert USAGE[3].index("Prints") == 49 and USAGE[2].index("Prints") == 59


@pytest.mark.parametrize("words", [["-h", "myplugin"], ["-h", "p", "--source", "", "--dest", "y"],
                                   ["-p", "--source", "--dest"], ["-h", "p", "--source", "x", "--dest"]])
def test_plugin_help_usage_line(cli, argv, capsys, words):
    argv(*words)
    cli.main()
    assert lines(capsys) == [VERSION, PLUGIN_USAGE]


def test_reserved_help_text(cli, argv, capsys):
    argv("-r")
    cli.main()
    out = lines(capsys)
    assert out[:12] == [
        VERSION,
        "source:         Source model path",
        "      type:     string",
        "      default:  ",
        "      group:    reserved",
        "",
        "dest:           Destination model path",
        "      type:     string",
        "      default:  ",
        "      group:    reserved",
        "",
        "input-model-type:  Type of Input Model",
    ]
    shape = out.index("input-shape")
    assert out[shape:shape + 7] == [
        "input-shape", "      type:     int", "      name:     Input Shape", "      array:    4",
        "      default:  [1, 224, 224, 3]", "      group:    reserved", ""]
    quant = out.index("input-type:     Model input data type")
    assert out[quant + 2] == "      choices:  ['float32', 'int8', 'uint8']"
    assert "      default:  None" in out and "      default:  False" in out and "      default:  10" in out
    assert out[-6:] == ["crop:           When using datastore URL in the samples, then you need to set the crop flag"
                        " in case of classification.",
                        "      name:     Crop", "      type:     boolean", "      default:  False",
                        "      group:    reserved", ""]
    assert sum(1 for line in out if line == "") == 21


def test_help_pads_long_keys_with_nothing(cli, capsys):
    cli.get_params = lambda name, s, d: {
        "a-very-long-option": {"help": "H", "descriptionkey": 1, "k": None},
        "bare": {"type": "int"},
    }
    getattr(cli, "__help")("p", {"source": "x", "dest": "y"})
    assert lines(capsys) == ["a-very-long-option:  H", "      descriptionkey:1", "      k:        None", "",
                             "bare", "      type:     int", ""]


def test_help_for_unknown_plugin(cli, argv, capsys, site):
    argv("-p", "keras", "tflite")
    cli.main()
    assert lines(capsys) == [VERSION, "No help for input type:keras and output type:tflite"]


def test_help_text_must_be_text(cli):
    cli.get_params = lambda name, s, d: {"k": {"help": 5}}
    with pytest.raises(TypeError):
        getattr(cli, "__help")("p", {"source": "x", "dest": "y"})


# ------------------------------------------------- the console around main

def _raise(exc):
    def action(*args):
        raise exc
    return action


@pytest.mark.parametrize("words, convert, status", [
    (["a.h5", "b.tflite"], lambda args: {"success": "yes", "message": "m"}, 0),
    (["a.h5", "b.tflite"], lambda args: {"success": "no", "message": "m"}, 1),
    (["a.h5", "b.tflite"], _raise(RuntimeError("boom")), 1),
    (["a.h5", "b.tflite"], _raise(KeyboardInterrupt()), 130),
    (["--json", "a.h5", "b.tflite"], lambda args: {"success": "yes", "message": "m"}, 0),
    (["-i", "--force-reinstall", "missing.whl"], None, 1),
    (["-u", "numpy"], None, 1),
    (["-h"], None, 0),
    (["-h", "nobody", "h5", "tflite"], None, 1),
    (["a.h5"], None, 2),
])
def test_the_console_puts_the_front_end_back(cli, words, convert, status, capsys):
    from veltrix.converter.__main__ import execute
    if convert is not None:
        cli.convert = convert
    before = dict(vars(cli))
    assert execute(cli, ["veltrix-converter", *words]) == status
    after = dict(vars(cli))
    # the very objects (a wrapper copies a name, a docstring, even __wrapped__)
    assert list(after) == list(before) and [n for n in before if after[n] is not before[n]] == []


# Converts h5 to rep through the kit (its answer carries a report), to plain
# without it, and fails or raises for the other types.
REPORTING = '''
from veltrix.converter.plugin_api.helpers import plugin_convert
def query_convert(src_type, dst_type):
    if src_type is None and dst_type is None:
        return {"supported_inputs": ["h5"], "supported_outputs": ["rep", "plain", "no", "boom"]}
    return {} if src_type == "h5" else None
@plugin_convert
def reported(src, dst, params):
    return {"success": "yes", "message": "wrote " + dst, "report": {"plugin": "vx-rep", "destination": {"path": dst}}}
def convert(src, dst, params):
    kind = dst.rpartition(".")[2]
    if kind == "boom":
        raise RuntimeError("boom")
    if kind == "rep":
        return reported(src, dst, params)
    return {"success": "yes" if kind == "plain" else "no", "message": kind}
'''
ENDS = "\nSource:    m.h5\nDestination: b.%s"
LINES = "%s\nUsing Converter Plugin : vx-rep\n%s: %s" % (VERSION, "%s", "%s" + ENDS) + "\nSource: m.h5\nDestination: b.%s\n"
ERROR = "plug-in vx-rep failed or gave an answer that cannot be reported: RuntimeError: boom"


@pytest.mark.parametrize("words, status, report, stdout, stderr", [
    (["m.h5", "b.rep"], 0, {"status": "success", "message": "wrote b.rep" + ENDS % "rep", "plugin": "vx-rep",
                            "destination": {"path": "b.rep"}},
     LINES % ("SUCCESS", "wrote b.rep", "rep", "rep"), ""),
    # no report of the conversion before passes for this one's
    (["m.h5", "b.plain"], 0, {"status": "success", "message": "plain" + ENDS % "plain", "plugin": "vx-rep"},
     LINES % ("SUCCESS", "plain", "plain", "plain"), ""),
    (["m.h5", "b.no"], 1, {"status": "failure", "message": "no" + ENDS % "no", "plugin": "vx-rep"},
     "%s\nUsing Converter Plugin : vx-rep\nFAILURE: no%s\n" % (VERSION, ENDS % "no"), ""),
    (["missing.h5", "b.rep"], 1, {"status": "failure", "message": "No Converter found to convert missing.h5 to b.rep",
                                  "plugin": None},
     VERSION + "\nFAILURE: No Converter found to convert missing.h5 to b.rep\n",
     "veltrix-converter: hint: the source missing.h5 does not exist\n"),
    (["m.h5", "b.boom"], 1, {"status": "failure", "message": ERROR, "plugin": "vx-rep"},
     VERSION + "\nUsing Converter Plugin : vx-rep\n", "veltrix-converter: error: " + ERROR + " (VELTRIX_DEBUG=1 shows the traceback)\n"),
    (["-v"], 0, None, VERSION + "\n", ""),
    (["m.h5", "b.rep", "--quantize"], 2, None, None, "veltrix-converter: options go before SOURCE DEST: "
                                                    "veltrix-converter [options] SOURCE DEST\n"),
])
def test_the_runner_gives_the_commands_outcome(cli, live_site, monkeypatch, words, status, report, stdout, stderr):
    from veltrix.converter.console.runner import run_command
    live_site.add("vx-rep", source=REPORTING)
    (live_site.root / "m.h5").write_text("")
    monkeypatch.chdir(live_site.root)
    assert run_command(["m.h5", "first.rep"]).status == 0  # a warm process: a report was made before
    outcome = run_command(words)
    assert (outcome.status, outcome.report, outcome.stderr) == (status, report, stderr)
    if stdout is not None:
        assert outcome.stdout == stdout
    if report is not None:  # with --json: that report is the document, the contract's lines on standard error
        scripted = run_command(["--json", *words])
        assert (scripted.status, scripted.report, json.loads(scripted.stdout)) == (status, report, report)
        assert scripted.stderr == stdout + "".join(line for line in stderr.splitlines(True) if ": hint: " not in line)


@pytest.mark.parametrize("word, handed", [
    ("w.whl", "{}/w.whl"),
    ("./sub/../w.whl", "{}/w.whl"),
    ("sib;python_version<'3'/w.whl", "file://{}/sib%3Bpython_version%3C%273%27/w.whl"),  # never a marker
    ("proj[extra]", "file://{}/proj%5Bextra%5D"),  # never extras
    ("a[b]c.whl", "{}/a[b]c.whl"),
])
def test_install_hands_pip_only_a_path(cli, tmp_path, monkeypatch, capsys, word, handed):
    from veltrix.converter.__main__ import execute
    for name in ("w.whl", "sib;python_version<'3'/w.whl", "a[b]c.whl"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text("")
    (tmp_path / "sub").mkdir()
    (tmp_path / "proj[extra]").mkdir()
    monkeypatch.chdir(tmp_path)
    received = []
    cli.install = lambda package, show_message=True: received.append(package) or ""
    assert execute(cli, ["veltrix-converter", "-i", word]) == 0
    assert received == [handed.format(tmp_path)]
