"""The console's JSON documents, for IDEs, CI jobs, GUIs and batch runs.

* `-l --json`: the plug-in listing, one record per plug-in.
* `--json -h NAME SRC_TYPE DST_TYPE`: that pair's parameter table, reserved
  parameters included.
* a conversion: its report (`conversion_document`), which `--json` prints
  on standard output while the contract's lines go to standard error.
"""

import json
import sys

from veltrix.converter.console import EXIT_FAILED, EXIT_OK, EXIT_USAGE
from veltrix.converter.console.hints import plugin_name_hint
from veltrix.converter.console.streams import say

_JSON_WORDS = ("--json", "-json")
_REPORT_MODULE = "veltrix.converter.plugin_api.helpers.report"


def wants_json(argv):
    return any(w in _JSON_WORDS for w in argv[1:] if isinstance(w, str))


def write(document, stream=None):
    stream = stream if stream is not None else sys.stdout
    stream.write(json.dumps(document, indent=2, default=str) + "\n")
    stream.flush()


def json_action(module, argv):
    """`-l --json` or `--json -h NAME SRC DST`, printed: the status; None when
    the line does not ask for one of them (a conversion's report included)."""
    if not wants_json(argv):
        return None
    options = getattr(module, "__args_to_dict")()
    if not isinstance(options, dict) or "json" not in options:
        return None
    if "l" in options or "list" in options:
        write([{"name": r.get("name"), "version": r.get("version"), "summary": r.get("summary"),
                "author": r.get("author"), "path": r.get("path"), "inputs": r.get("inputsSupported"),
                "outputs": r.get("outputsSupported"), "verdict": r.get("sanityCheck")}
               for r in module.get_plugins()])
        return EXIT_OK
    name = options.get("h", options.get("help"))
    if name is None and isinstance(options.get("source"), str) and isinstance(options.get("dest"), str):
        return None  # a conversion: its report
    if name is None:
        say("--json goes with -l, with -h NAME SOURCE_TYPE DEST_TYPE or with a conversion")
        return EXIT_USAGE
    src, dst = options.get("source"), options.get("dest")
    if not all(isinstance(v, str) and v for v in (name, src, dst)):
        say("usage: veltrix-converter --json -h PLUGIN SOURCE_TYPE DEST_TYPE")
        return EXIT_USAGE
    table = module.get_params(name, src, dst)
    if table is None:
        say("no parameters: " + (plugin_name_hint(module, name, (src, dst))
                                 or "plug-in %r does not convert %r to %r" % (name, src, dst)))
        return EXIT_FAILED
    write(table)
    return EXIT_OK


def conversion_failed(response):
    return not isinstance(response, dict) or response.get("success") != "yes"


def forget_last_report():
    """Before a conversion: no report of an earlier conversion in this
    process (a warm batch worker) can pass for this one's."""
    report = sys.modules.get(_REPORT_MODULE)
    if report is not None:
        report.LAST.clear()


def conversion_document(response, plugin, error=None):
    """The conversion report: the outcome, and on success the report the
    plug-in gave through the kit (plug-in, source, destination, quantization,
    samples, verification, time). `error` is the text of an error that
    escaped the conversion (then there is no answer)."""
    message = error if error is not None else response.get("message") if isinstance(response, dict) else None
    document = {"status": "failure" if conversion_failed(response) else "success", "message": message,
                "plugin": plugin}
    report = sys.modules.get(_REPORT_MODULE)
    if document["status"] == "success" and report is not None:
        document.update(report.LAST)
    return document
