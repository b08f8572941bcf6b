# Orvik: top-level commands. See README.md.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD ?= build
FUZZ_SECONDS ?= 10
CMAKE_GEN := -G Ninja
# ccache, when the machine has it, makes rebuilds in several checkouts cheap.
ifneq ($(shell command -v ccache 2>/dev/null),)
CMAKE_GEN += -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache
endif

.PHONY: all build deps check test sanitize-build asan tsan fuzz fuzz-build run setcap bench format format-check clean

all: build

deps:
	@bash tools/deps.sh

# The release build: programs and tests (the benchmarks are built by `make bench`).
build:
	@cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DOVK_BENCH=OFF >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure --timeout 300 -j $(JOBS)

# One clang build with AddressSanitizer and UndefinedBehaviorSanitizer holds both the
# tests and the libFuzzer targets.
sanitize-build:
	@CC=clang-14 CXX=clang++-14 cmake -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Sanitize \
	  -DOVK_SANITIZE=address -DOVK_FUZZ=ON >/dev/null
	@cmake --build build-asan -j $(JOBS)

# The same tests with AddressSanitizer and UndefinedBehaviorSanitizer.
asan: sanitize-build
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan.supp \
	  ctest --output-on-failure --timeout 300 -j $(JOBS)

# The threaded modules' tests (files that start with "// ovk-test: threaded") under TSan.
tsan:
	@cmake -S . -B build-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Sanitize -DOVK_SANITIZE=thread -DOVK_BENCH=OFF >/dev/null
	@targets=$$(grep -l '^// ovk-test: threaded' tests/test_*.cpp 2>/dev/null | xargs -r -n1 basename | sed 's/\.cpp$$//'); \
	if [ -z "$$targets" ]; then echo "tsan: no threaded tests"; exit 0; fi; \
	cmake --build build-tsan -j $(JOBS) --target $$targets && \
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure --timeout 300 -L threaded -j $(JOBS)

fuzz-build: sanitize-build

# Every fuzz target for FUZZ_SECONDS, starting from its seed corpus in fuzz/corpus/NAME.
fuzz: fuzz-build
	@bash tools/run_fuzzers.sh build-asan $(FUZZ_SECONDS)

# Every C++ file in the style of the root .clang-format.
format:
	@bash tools/format.sh

format-check:
	@bash tools/format.sh --check

check: deps
	@$(MAKE) --no-print-directory format-check
	@$(MAKE) --no-print-directory test
	@$(MAKE) --no-print-directory asan
	@$(MAKE) --no-print-directory tsan
	@$(MAKE) --no-print-directory fuzz
	@echo "check: all stages passed"

run: deps build
	@bash tools/run.sh $(BUILD)

setcap: build
	setcap cap_net_raw,cap_net_admin+eip $(BUILD)/orvik
	@getcap $(BUILD)/orvik

bench: deps
	@cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DOVK_BENCH=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@bash tools/run_bench.sh $(BUILD)

clean:
	rm -rf build build-asan build-tsan
