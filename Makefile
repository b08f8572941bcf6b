# SPDX-License-Identifier: GPL-3.0-or-later
# Orvik: top-level commands. See README.md.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD ?= build
FUZZ_SECONDS ?= 10
# make install: where the programs go (DESTDIR, when set, is put before it).
PREFIX ?= /usr/local
CMAKE_GEN := -G Ninja
# ccache, when the machine has it, makes rebuilds in several checkouts cheap.
ifneq ($(shell command -v ccache 2>/dev/null),)
CMAKE_GEN += -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache
endif

.PHONY: all build deps check test sanitize-build asan tsan fuzz fuzz-build run shots setcap bench format format-check clean \
	install uninstall package build-installed

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
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tools/tsan.supp \
	  ctest --output-on-failure --timeout 300 -L threaded -j $(JOBS)

fuzz-build: sanitize-build

# Every fuzz target for FUZZ_SECONDS, starting from its seed corpus in fuzz/corpus/NAME, as
# many at a time as there are cores.
fuzz: fuzz-build
	@bash tools/run_fuzzers.sh build-asan $(FUZZ_SECONDS) $(JOBS)

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

# The programs, assets and fonts, the desktop entry, the icons and the manual pages under
# $(DESTDIR)$(PREFIX). Installed for real (no DESTDIR) by root, the radio helper (and only
# it) is given the capabilities it needs to scan without root, as the Debian package does.
install: build-installed
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"
	@cp $(BUILD)/install_manifest.txt $(BUILD)/orvik-installed.txt
	@if [ -z "$(DESTDIR)" ] && [ "$$(id -u)" -eq 0 ]; then \
	  setcap cap_net_raw,cap_net_admin+eip "$(PREFIX)/bin/orvik-radio" || \
	    echo "install: could not set the capabilities; scanning needs root until: setcap cap_net_raw,cap_net_admin+eip $(PREFIX)/bin/orvik-radio" >&2; \
	else \
	  echo "install: to scan without root: setcap cap_net_raw,cap_net_admin+eip $(PREFIX)/bin/orvik-radio"; \
	fi

# Removes what the last `make install` from $(BUILD) put in place (give it the same DESTDIR);
# its list of files is kept apart from CMake's install_manifest.txt, which any `cmake
# --install` rewrites.
uninstall:
	@if [ ! -f $(BUILD)/orvik-installed.txt ]; then echo "uninstall: nothing installed from $(BUILD)"; exit 0; fi; \
	own=$$(grep -o '^.*/share/\(doc/\)\?orvik/' $(BUILD)/orvik-installed.txt | sort -u); \
	while IFS= read -r f || [ -n "$$f" ]; do \
	  rm -f -- "$(DESTDIR)$$f" && echo "removed $(DESTDIR)$$f"; \
	done < $(BUILD)/orvik-installed.txt; \
	for d in $$own; do [ -d "$(DESTDIR)$$d" ] && find "$(DESTDIR)$$d" -depth -type d -empty -delete; done; \
	rm -f $(BUILD)/orvik-installed.txt

# The Debian package build/orvik_<version>_<arch>.deb (cpack; run-time dependencies found by
# dpkg-shlibdeps, capabilities set by its post-install step).
package: build-installed
	@cd $(BUILD) && cpack -G DEB
	@ls -1 $(BUILD)/*.deb

# Only what `make install` and `make package` copy: the programs, the manual pages and the
# changelog (no tests, so no GoogleTest needed).
build-installed:
	@cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DOVK_BENCH=OFF >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target orvik orvik-classify orvik-radio ovk_man ovk_changelog

# The screenshot tour on the demo feed into docs/screenshots/ (the README's pictures).
shots: deps build
	@bash tools/shots.sh $(BUILD) docs/screenshots

# The radio helper beside build/orvik gets the two capabilities; orvik itself none.
setcap: build
	setcap cap_net_raw,cap_net_admin+eip $(BUILD)/orvik-radio
	@getcap $(BUILD)/orvik-radio

bench: deps
	@cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DOVK_BENCH=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@bash tools/run_bench.sh $(BUILD)

clean:
	rm -rf build build-asan build-tsan
