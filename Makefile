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

# The thread-stress tests against zelk built with ThreadSanitizer, in a venv of the kit's interpreter
# built with it. Reports go to build/tsan/reports; scripts/check-races fails the run on any in zelk's
# code (scripts/tsan-suppressions.txt holds those inside the interpreter, with their reasons);
# exitcode=0 keeps pytest's own status, which the run ends with when the reports are clean.
TSAN_TESTS = tests/test_free_threads.py $(wildcard tests/test_concurrency_faults.py) \
	tests/test_client.py::test_threads_sharing_one_proxy_get_their_own_answers \
	tests/test_client.py::test_two_proxies_of_one_client_share_its_message_ids \
	tests/test_server.py::test_sixteen_clients_in_parallel tests/test_ring.py::test_many_connections_in_parallel \
	tests/test_ring.py::test_threads_sharing_one_connection_pair_keep_messages_whole \
	tests/test_aio.py::test_threads_each_with_their_own_loop \
	tests/test_codec.py::test_threads_share_the_engine_and_containers_changed_by_others \
	tests/test_protocol.py::test_many_threads_share_the_packer tests/test_minter.py::test_unique_under_contention \
	tests/test_scribe.py::test_concurrent_printing_and_formatting \
	tests/test_scribe.py::test_function_attributes_change_while_other_threads_call_and_read
TSAN_OPTIONS_RUN = halt_on_error=0 exitcode=0 history_size=7 suppressions=$(CURDIR)/scripts/tsan-suppressions.txt \
	log_path=$(CURDIR)/build/tsan/reports/tsan
tsan:
	@if [ ! -x $(FT_KIT)/install ]; then echo "tsan: no free-threaded CPython in $(FT_KIT), skipped"; exit 0; fi; \
	ZELK_FT_KIT=$(FT_KIT) scripts/setup-ft --tsan || exit $$?; \
	rm -rf build/tsan/reports && mkdir -p build/tsan/reports; \
	TSAN_OPTIONS="$(TSAN_OPTIONS_RUN)" .venv-tsan/bin/python -m pytest -q -p no:cacheprovider $(TSAN_TESTS) $(PYTEST_ARGS); \
	status=$$?; scripts/check-races build/tsan/reports && exit $$status

demo: setup
	$(PY) -m zelk

# The benchmarks, with the other RPC stacks bench_peers.py measures zelk against (installed here only).
bench:
	@scripts/setup --bench
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
