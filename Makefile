# Quick start:
#   make run    install what is missing, build, run the watchdog with the demo set-up (Ctrl-C ends it)
#   make test   install what is missing, build (Debug, assertions on), run the whole suite through CTest

BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: run test build deps configure clean

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The watchdog finds "net" through PATH, the demo configuration through
# ZELVIN_CONFIG_DIR and the demo services through ZELVIN_SERVICE_DIR.
run: build
	@bash scripts/run-demo.sh $(BUILD_DIR)

# The same demo on systemd: a private `systemd --user` manager (root, cgroup2)
# runs the demo services as units made from their run scripts; Ctrl-C ends the
# watchdog, then the units, the manager and its cgroup.
.PHONY: demo-systemd
demo-systemd: build
	@/usr/bin/python3 scripts/demo_systemd.py $(BUILD_DIR)

# After the Debug suite, the tree again under sanitizers, each in a build
# folder of its own: the whole suite with AddressSanitizer and UBSan
# (build-asan), the threaded unit tests with ThreadSanitizer (build-tsan),
# then one minute of the fuzzer. Sanitized programs write their reports to
# <folder>/sanitizer-reports instead of standard error; any report there fails
# the target, so one from a binary that an end-to-end test started and never
# checked the exit code of counts too.
TSAN_TESTS ?= ^(common|zutil|platform|platform_reaper|services|watchdog|client)_tests\.
test: build package
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)
	@for tree in build-asan build-tsan; do \
	  if [ $$tree = build-asan ]; then san='address;undefined'; sel=.; else san=thread; sel='$(TSAN_TESTS)'; fi; \
	  reports=$(CURDIR)/$$tree/sanitizer-reports; \
	  cmake -S . -B $$tree -G Ninja -DCMAKE_BUILD_TYPE=Debug "-DWATCHDOG_SANITIZE=$$san" \
	    -DWATCHDOG_BUILD_BENCHMARKS=OFF >/dev/null && cmake --build $$tree -j $(JOBS) || exit 1; \
	  rm -rf $$reports && mkdir -p $$reports; \
	  echo "== $$tree: ctest -R '$$sel' under -fsanitize=$$san"; \
	  ( cd $$tree && \
	    ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:log_path=$$reports/asan \
	    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$$reports/ubsan \
	    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:log_path=$$reports/tsan \
	    ctest --output-on-failure -j $(JOBS) -R "$$sel" -E '^package_' ); status=$$?; \
	  if [ -n "$$(ls -A $$reports)" ]; then \
	    for r in $$reports/*; do echo "== $$r"; cat $$r; done; echo "$$tree: sanitizer reports above"; exit 1; fi; \
	  [ $$status -eq 0 ] || exit 1; \
	done
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=60

# 60 s of load on the real watchdog (persistent, expiring and churning
# clients on port 30024), then checks for lost feeds, growth and zombies.
.PHONY: soak
soak: build
	@/usr/bin/python3 tools/soak.py --seconds 60 --build $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)

# The Debian package (packaging/): a Release tree of its own in build-package/
# with Debian's hardening flags, then CPack; the .deb lands there. `make test`
# builds it too and tests it as it ships (tests/package/); the sanitizer trees
# do not test it again.
.PHONY: package
package: deps
	@bash scripts/build-package.sh build-package

# Benchmarks (bench/) and end-to-end measurements of the real watchdog
# (scripts/measure.py, port 30024; scripts/measure_systemd.py against a
# private systemd manager, skipped where none can run), from a Release build
# of their own.
# The figures and how to read them: docs/performance.md.
BENCH_BUILD_DIR ?= build-bench
BENCH_FLAGS ?= --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
.PHONY: bench
bench: deps
	@cmake -S . -B $(BENCH_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DWATCHDOG_BUILD_BENCHMARKS=ON >/dev/null
	@cmake --build $(BENCH_BUILD_DIR) -j $(JOBS)
	@for b in message_bench supervision_bench launch_bench formatter_bench status_bench registry_bench; do $(BENCH_BUILD_DIR)/bin/$$b $(BENCH_FLAGS) || exit 1; done
	@/usr/bin/python3 scripts/measure.py --build-dir $(BENCH_BUILD_DIR)
	@/usr/bin/python3 scripts/measure_systemd.py --build-dir $(BENCH_BUILD_DIR)

# The module's fuzzer (fuzz/, clang with libFuzzer, ASan and UBSan) for
# FUZZ_SECONDS, from the seeds in fuzz/corpus. Inputs it finds go to
# build-fuzz/corpus, an input that breaks something to build-fuzz/artifacts.
# Then the log formatter's escaping fuzzer for a fifth of that (a small
# function: its coverage is reached within seconds), seeds in
# fuzz/escaping_corpus, its findings in build-fuzz/escaping_corpus; and the
# saved registry's reader for a quarter of it (at least 10 s), from
# fuzz/registry_corpus into build-fuzz/registry_corpus.
FUZZ_SECONDS ?= 300
FUZZ_LOG ?= build-fuzz/fuzz.log
.PHONY: fuzz
fuzz: deps
	@cmake -S fuzz -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build build-fuzz -j $(JOBS)
	@mkdir -p build-fuzz/corpus build-fuzz/artifacts
	@echo "== fuzzing for $(FUZZ_SECONDS) s (progress in $(FUZZ_LOG))"
	@build-fuzz/watchdog_fuzzer -max_total_time=$(FUZZ_SECONDS) -max_len=16384 -print_final_stats=1 \
	  -artifact_prefix=build-fuzz/artifacts/ build-fuzz/corpus fuzz/corpus >$(FUZZ_LOG) 2>&1 \
	  || { tail -n 60 $(FUZZ_LOG); echo "fuzzer failed: input in build-fuzz/artifacts"; exit 1; }
	@tail -n 12 $(FUZZ_LOG) | grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' || true
	@mkdir -p build-fuzz/escaping_corpus
	@echo "== escaping fuzzer for $$(( $(FUZZ_SECONDS) / 5 + 1 )) s (progress in $(FUZZ_LOG))"
	@build-fuzz/escaping_fuzzer -max_total_time=$$(( $(FUZZ_SECONDS) / 5 + 1 )) -max_len=4096 -print_final_stats=1 \
	  -artifact_prefix=build-fuzz/artifacts/ build-fuzz/escaping_corpus fuzz/escaping_corpus >>$(FUZZ_LOG) 2>&1 \
	  || { tail -n 60 $(FUZZ_LOG); echo "escaping fuzzer failed: input in build-fuzz/artifacts"; exit 1; }
	@tail -n 12 $(FUZZ_LOG) | grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' || true
	@mkdir -p build-fuzz/registry_corpus
	@seconds=$$(( $(FUZZ_SECONDS) / 4 > 10 ? $(FUZZ_SECONDS) / 4 : 10 )); \
	  echo "== fuzzing the registry reader for $$seconds s (progress in build-fuzz/fuzz-registry.log)"; \
	  build-fuzz/registry_reader_fuzzer -max_total_time=$$seconds -max_len=65536 -print_final_stats=1 \
	  -artifact_prefix=build-fuzz/artifacts/ build-fuzz/registry_corpus fuzz/registry_corpus >build-fuzz/fuzz-registry.log 2>&1 \
	  || { tail -n 60 build-fuzz/fuzz-registry.log; echo "fuzzer failed: input in build-fuzz/artifacts"; exit 1; }
	@tail -n 12 build-fuzz/fuzz-registry.log | grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' || true

# The Windows flavour: cross-built with mingw-w64 into build-windows/ (POCO's
# libraries built once from Debian's source, cached there); its setup program
# built with NSIS (packaging/windows/) as
# build-windows/zelvin-watchdog-<version>-setup-x64.exe; then both run under
# Wine, each test file in a fresh prefix: the watchdog as a real service
# (tests/windows/test_wine.py), the setup's install, upgrade and uninstall
# (tests/windows/test_installer.py).
.PHONY: windows package-windows test-windows
windows:
	@bash scripts/build-windows.sh
package-windows: windows
	@cmake --build build-windows --target windows_setup
test-windows: deps package-windows
	@/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/windows/test_wine.py tests/windows/test_installer.py tests/windows/test_stall_guard.py
