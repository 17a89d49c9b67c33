# Reliability checks beyond the ordinary suite (bash scripts/test.sh).
#   make check   deep fuzzing, reference-leak check, then the sanitizer build's test run
#   make fuzz    Hypothesis targets with tens of thousands of examples each
#   make leaks   every public function called many thousands of times; memory must stay flat
#   make asan    the test suite against a build with AddressSanitizer and UBSan
#   make bench   the benchmarks (see bench/RESULTS.md)
# The environment scripts/env.sh fills: VELTRIX_VENV, as every script honours it.
VELTRIX_VENV ?= $(CURDIR)/.venv
export VELTRIX_VENV
PY = "$(VELTRIX_VENV)/bin/python"
FUZZ_EXAMPLES ?= 20000

.PHONY: check fuzz leaks asan bench env

env:
	bash scripts/env.sh

check: fuzz leaks asan

fuzz: env
	VELTRIX_HYPOTHESIS=deep VELTRIX_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(PY) -m pytest -q -p no:cacheprovider tests/test_fuzz.py

leaks: env
	cd /tmp && $(PY) "$(CURDIR)/bench/leakcheck.py"

asan: env
	bash scripts/asan.sh

bench: env
	cd /tmp && $(PY) "$(CURDIR)/bench/run.py"
