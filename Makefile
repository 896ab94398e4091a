# Quick start: `make demo` runs zelk, `make test` runs the tests; both set everything up first.
PY := .venv/bin/python

.PHONY: setup build test demo bench stubtest clean

setup build:
	@scripts/setup

test: setup
	$(PY) -m pytest $(PYTEST_ARGS)

demo: setup
	$(PY) -m zelk

bench: setup
	@for b in bench/bench_*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

stubtest: setup
	$(PY) -m pip install -q mypy
	$(PY) -m mypy.stubtest zelk

clean:
	rm -rf build .venv
