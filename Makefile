# Every target installs missing packages first, so a fresh clone needs nothing else.
JOBS ?= $(shell nproc)
CTEST_FLAGS ?= --output-on-failure --timeout 300

FUZZ_SECONDS ?= 600
# Where `make install` puts the tool, libraries, headers and package files.
PREFIX ?= /usr/local

.PHONY: deps demo install package test test-asan test-tsan check-install bench fuzz format clean

deps:
	@scripts/install-deps.sh

define build
	cmake --preset $(1) >/dev/null
	cmake --build --preset $(1) -j $(JOBS)
endef

# $(2): how many tests run at once.
define build_and_test
	$(call build,$(1))
	ctest --test-dir build/$(1) $(CTEST_FLAGS) -j $(2)
endef

# Builds the quillan tool (optimised, build/package), makes sample audio and analyses it twice; everything stays
# under build/demo.
demo: deps
	@scripts/demo.sh

# What users run: optimised with debug information (RelWithDebInfo), without the tests and the benchmarks, in
# build/package.
package: deps
	cmake --preset package -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	cmake --build --preset package -j $(JOBS)

# DESTDIR stages the install elsewhere, as packagers do.
install: package
	cmake --install build/package --prefix $(PREFIX)
	@# The loader's cache learns of new libraries in the system's own folders.
	@case "$(DESTDIR):$(PREFIX)" in :/usr|:/usr/local) [ "$$(id -u)" -ne 0 ] || ldconfig;; esac

# The optimised build (RelWithDebInfo, in build/default) with the tests and the benchmarks; check-install and bench
# reuse it.
test: deps
	$(call build_and_test,default,$(JOBS))

test-asan: deps
	$(call build_and_test,asan,$(JOBS))

# The library and the platform, where the threads are; the tools and their tests are left out of this build.
# Its tests wait on the disk and on each other's threads more than they compute, so twice as many run at once.
test-tsan: deps
	$(call build_and_test,tsan,$$(( $(JOBS) * 2 )))

# Installs the build that `make test` tests into a temporary prefix, checks its layout, builds
# examples/out-of-tree-analyzer against it with CMake and with pkg-config, and runs both builds through the installed
# tool. After `make test` nothing is compiled again.
check-install: deps
	$(call build,default)
	scripts/check-out-of-tree.sh build/default

# The benchmarks come from the same optimised build as the tests.
bench: deps
	$(call build,default)
	@for b in build/default/Benchmarks/*Benchmark; do echo "== $$b"; $$b --benchmark_min_time=0.2 || exit 1; done

# Runs every fuzz target for FUZZ_SECONDS, side by side, each on a copy of its seed corpus; findings land in
# build/asan/findings and each target's log in build/asan/findings/<target>.log. The fuzz programs come from the
# AddressSanitizer build (clang), which instruments every library for them.
fuzz: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS) --target fuzzers
	@mkdir -p build/asan/findings
	@pids=""; for f in build/asan/Fuzz/*Fuzz; do \
	  name=$$(basename $$f); corpus=build/asan/corpus/$$name; mkdir -p $$corpus; \
	  cp -n Fuzz/corpus/$$(echo $$name | sed 's/Fuzz$$//' | tr A-Z a-z)/* $$corpus/ 2>/dev/null || true; \
	  echo "== $$name for $(FUZZ_SECONDS) s"; \
	  $$f -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=build/asan/findings/ -print_final_stats=1 $$corpus \
	    > build/asan/findings/$$name.log 2>&1 & pids="$$pids $$!:$$name"; \
	done; \
	failed=0; for p in $$pids; do \
	  if wait $${p%%:*}; then echo "== $${p#*:}:"; grep -E '^(Done |stat::(average_exec|peak_rss))' build/asan/findings/$${p#*:}.log; \
	  else echo "== $${p#*:} found a fault:"; tail -n 60 build/asan/findings/$${p#*:}.log; failed=1; fi; \
	done; exit $$failed

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
