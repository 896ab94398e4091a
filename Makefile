# Quick start: `make demo` runs zelk, `make test` runs the tests; both set everything up first.
PY := .venv/bin/python

.PHONY: setup build test test-ft tsan demo bench stubtest asan-build sanitize fuzz clean

setup build:
	@scripts/setup

# Chromium, for the browser tests, is installed alongside the build when missing.
test:
	@scripts/install-chromium & chromium=$$!; scripts/setup; status=$$?; wait $$chromium; exit $$status
	$(PY) -m pytest $(PYTEST_ARGS)

# The whole suite again with the GIL off, on the free-threaded CPython kept beside the project
# (../shared/ft, or ZELK_FT_KIT); without one there is nothing to run it on.
FT_KIT := $(or $(ZELK_FT_KIT),../shared/ft)
test-ft:
	@if [ ! -x $(FT_KIT)/install ]; then echo "test-ft: no free-threaded CPython in $(FT_KIT), skipped"; exit 0; fi; \
	scripts/install-chromium & chromium=$$!; ZELK_FT_KIT=$(FT_KIT) scripts/setup-ft; status=$$?; wait $$chromium; \
	[ $$status = 0 ] && .venv-ft/bin/python -m pytest $(PYTEST_ARGS)

demo: setup
	$(PY) -m zelk

bench: setup
	@for b in bench/bench_*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

stubtest: setup
	$(PY) -m pip install -q mypy 2>&1 | sed '/is neither a file nor a directory/d'
	$(PY) -m mypy.stubtest --mypy-config-file pyproject.toml zelk

clean:
	rm -rf build .venv .venv-asan .venv-ft .venv-tsan

# The AddressSanitizer + UBSan build (with block coverage for atheris), in a venv of its own.
ASAN_PRELOAD = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
asan-build: setup
	@test -x .venv-asan/bin/python || $$(cat .venv/.interpreter) -m venv .venv-asan
	.venv-asan/bin/python -m pip install -q scikit-build-core cmake ninja 2>&1 | sed '/is neither a file nor a directory/d'
	.venv-asan/bin/python -m pip install -q --no-build-isolation -C cmake.define.ZELK_SANITIZE=ON \
	    -C install.strip=false -C build-dir=build/asan '.[test,fuzz]' 2>&1 | sed '/is neither a file nor a directory/d'

# The tests against the sanitizer build with LeakSanitizer on. Reports go to build/asan/reports;
# scripts/check-leaks then fails the run on any memory error, and on leaks allocated through zelk's
# own code (CPython leaves much of its own memory behind at exit). Allocation stacks are unwound
# the slow way, since CPython's frames keep no frame pointers: the run takes five minutes or so
# on two cores. exitcode=0 keeps pytest's own status, which the run ends with when the reports are clean.
LEAK_OPTIONS = detect_leaks=1:exitcode=0:fast_unwind_on_malloc=0:malloc_context_size=20
sanitize: asan-build
	@scripts/install-chromium
	rm -rf build/asan/reports && mkdir -p build/asan/reports
	cd tests && $(ASAN_PRELOAD) ZELK_SANITIZE=1 PYTHONMALLOC=malloc \
	    ASAN_OPTIONS=$(LEAK_OPTIONS):log_path=$(CURDIR)/build/asan/reports/asan \
	    ../.venv-asan/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) .; \
	status=$$?; cd .. && .venv-asan/bin/python scripts/check-leaks build/asan/reports && exit $$status

# atheris on one decoder (fuzz/fuzz_$(FUZZ).py) against the sanitizer build, for $(SECONDS) seconds.
# Corpus and crashes: build/fuzz/. FUZZ_ARGS passes more libFuzzer options (-jobs=2, a crash file).
FUZZ ?= unpack
SECONDS ?= 60
fuzz: asan-build
	$(ASAN_PRELOAD) ZELK_SANITIZE=1 ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	    .venv-asan/bin/python fuzz/fuzz_$(FUZZ).py -max_total_time=$(SECONDS) -timeout=30 -rss_limit_mb=8192 \
	    -detect_leaks=0 $(FUZZ_ARGS)
