# Every target installs missing packages first, so a fresh clone needs nothing else.
JOBS ?= $(shell nproc)
CTEST_FLAGS ?= --output-on-failure -j $(JOBS) --timeout 300

.PHONY: deps test test-asan test-tsan bench format clean

deps:
	@scripts/install-deps.sh

define build_and_test
	cmake --preset $(1) >/dev/null
	cmake --build --preset $(1) -j $(JOBS)
	ctest --test-dir build/$(1) $(CTEST_FLAGS)
endef

test: deps
	$(call build_and_test,default)

test-asan: deps
	$(call build_and_test,asan)

test-tsan: deps
	$(call build_and_test,tsan)

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	@for b in build/release/Benchmarks/*Benchmark; do echo "== $$b"; $$b --benchmark_min_time=0.2 || exit 1; done

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
