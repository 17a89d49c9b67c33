"""The console of veltrix-converter, one module per concern.

`convert.main()` reports every outcome on standard output and returns None;
the console adds what a command needs around it, without changing a line
that `main` prints:

* `runner`: one command line through the front end, with exit statuses,
  JSON documents, hints and one-line errors. `run_command(words)` gives its
  `Outcome` (what batch workers call); `execute` is the same run on the
  process's own standard streams.
* `command`: the process around the runner (`run`, the console script):
  signal listening, mended standard streams, and an exit that a signal
  cannot overtake.
* `signals`: Ctrl-C and SIGTERM from the first line of the console's code
  to the process's last instruction.
* `streams`: standard streams that never stop the work (closed, gone
  readers, full disks).
* `packages`: the guards of `-i` and `-u` (a path for pip, only plug-ins
  removed).
* `choice`: the automatic choice between plug-ins (plug-ins used only when
  named, a note naming the others).
* `hints`: what to do after a failure, and the one line of an error.
* `reports`: the JSON documents (`-l --json`, `--json -h`, the conversion
  report).

Importing this package imports nothing: the console's entry installs its
start-up signal handlers before the heavier modules load.
"""

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_TERMINATED = 0, 1, 2, 130, 143
