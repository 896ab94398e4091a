# Quick start: `make demo` runs zelk, `make test` runs the tests; both set everything up first.
PY := .venv/bin/python

.PHONY: setup build test demo bench stubtest sanitize clean

setup build:
	@scripts/setup

# Chromium, for the browser tests, is installed alongside the build when missing.
test:
	@scripts/install-chromium & chromium=$$!; scripts/setup; status=$$?; wait $$chromium; exit $$status
	$(PY) -m pytest $(PYTEST_ARGS)

demo: setup
	$(PY) -m zelk

bench: setup
	@for b in bench/bench_*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

stubtest: setup
	$(PY) -m pip install -q mypy 2>&1 | sed '/is neither a file nor a directory/d'
	$(PY) -m mypy.stubtest --mypy-config-file pyproject.toml zelk

clean:
	rm -rf build .venv .venv-asan

# The tests against an AddressSanitizer + UBSan build, in a venv of its own.
sanitize: setup
	@scripts/install-chromium
	@test -x .venv-asan/bin/python || $$(cat .venv/.interpreter) -m venv .venv-asan
	.venv-asan/bin/python -m pip install -q scikit-build-core cmake ninja 2>&1 | sed '/is neither a file nor a directory/d'
	.venv-asan/bin/python -m pip install -q --no-build-isolation -C cmake.define.ZELK_SANITIZE=ON \
	    -C build-dir=build/asan '.[test]' 2>&1 | sed '/is neither a file nor a directory/d'
	cd tests && LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	    ZELK_SANITIZE=1 ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ../.venv-asan/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) .
