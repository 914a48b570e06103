# Developer entry points. Everything builds with CMake + Ninja into build*/ folders.
#   make demo     install deps, build the tool, run the demo
#   make test     install deps, build, run all tests, then the sanitizer runs
#   make bench    build and run the benchmarks
#   make install PREFIX=/usr/local
#   make pipewire-test   the LV2 bundle in a private PipeWire graph, as docs/lv2.md sets it up
#   make format   clang-format every source
#   make clean

PREFIX ?= /usr/local
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= 2
CMAKE ?= cmake
CTEST ?= ctest

BUILD := build
ASAN_BUILD := build-asan
TSAN_BUILD := build-tsan
# Sanitizer builds only need the library and its tests.
SAN_OPTIONS := -DHALVANE_BUILD_TOOLS=OFF -DHALVANE_BUILD_LV2=OFF -DHALVANE_BUILD_BENCH=OFF \
	-DHALVANE_BUILD_EXAMPLES=OFF

export ASAN_OPTIONS ?= detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS ?= print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS ?= halt_on_error=1

.PHONY: all deps configure build demo test test-main test-asan test-tsan bench install format clean \
	pipewire-test

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null

build: configure
	@$(CMAKE) --build $(BUILD) -j $(JOBS)

# The demo builds only the tool and the library it needs (about a minute on a fresh clone), not the
# tests and benchmarks; make test builds the rest. The recipe's last line is the demo command.
demo: configure
	@$(CMAKE) --build $(BUILD) -j $(JOBS) --target halvane
	$(BUILD)/tools/halvane demo

test: test-main test-asan test-tsan

test-main: build
	cd $(BUILD) && $(CTEST) --output-on-failure -j $(JOBS)

test-asan: deps
	@$(CMAKE) -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DHALVANE_SANITIZE=address,undefined $(SAN_OPTIONS) >/dev/null
	@$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && $(CTEST) --output-on-failure -j $(JOBS)

# Only the threaded tests run under ThreadSanitizer: the end-to-end ones, the reverb's worker split
# (a unit test) and the threaded render of the tool (built with the sanitizer for that). Finding
# none is a failure, so a renamed test cannot drop out of the run unnoticed.
test-tsan: deps
	@$(CMAKE) -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DHALVANE_SANITIZE=thread $(SAN_OPTIONS) -DHALVANE_BUILD_TOOLS=ON >/dev/null
	@$(CMAKE) --build $(TSAN_BUILD) -j $(JOBS) --target halvane_e2e_tests halvane_unit_tests halvane \
		halvane_cli_tests
	cd $(TSAN_BUILD) && $(CTEST) --output-on-failure -L 'e2e|unit|cli' -R Thread --no-tests=error

# Plays a file through docs/lv2.md's filter-chain blocks (5.1, 7.1, headphones) in a private PipeWire
# daemon and compares the recording with the renderer's (bit for bit; the ears within 1e-5 of their
# peak); about 15 s.
pipewire-test: build
	@scripts/install-deps.sh --pipewire
	plugins/lv2/tests/pipewire-test.sh $(BUILD)

bench: build
	@found=0; for b in $(BUILD)/bench/*; do \
		if [ -f "$$b" ] && [ -x "$$b" ]; then found=1; echo "== $$b"; "$$b" || exit 1; fi; \
	done; [ $$found -eq 1 ] || echo "bench: no benchmarks built"
	@if command -v sox >/dev/null && command -v ffmpeg >/dev/null && [ -x $(BUILD)/tools/halvane ]; then \
		echo "== bench/compare-peers.sh"; HALVANE=$(BUILD)/tools/halvane bench/compare-peers.sh; \
	else echo "bench: sox, ffmpeg or the halvane tool missing; peer comparison skipped"; fi

install: build
	$(CMAKE) --install $(BUILD) --prefix $(PREFIX)

format:
	@find include src tests tools plugins bench examples fuzz \
		\( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cpp' \) 2>/dev/null \
		| xargs -r clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(WIN_BUILD) $(FUZZ_BUILD) $(RTSAN_BUILD) $(SOAK_BUILD)

# --- Windows ------------------------------------------------------------------------------------
# Halvane.dll cross-compiled with Debian's mingw-w64 (cmake/toolchain-mingw64.cmake), run under Wine.
#   make windows        build-windows/bin/Halvane.dll, build-windows/libHalvane.dll.a and the
#                       example hosts; prints the DLL's imports and exported symbols
#   make windows-test   also cross-builds the unit and end-to-end tests and runs them under Wine
#                       (headless), and compares the example host's output with the Linux build's
WIN_BUILD := build-windows
WIN_OBJDUMP := x86_64-w64-mingw32-objdump
WIN_CXXFILT := x86_64-w64-mingw32-c++filt
WINE := $(firstword $(wildcard /usr/lib/wine/wine64) wine64)
WINESERVER := $(firstword $(wildcard /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver) wineserver)
# The Linux build of the example host that the Windows one is compared with.
WIN_LINUX_HOST := $(CURDIR)/$(BUILD)/examples/halvane_windows_host

.PHONY: windows windows-deps windows-configure windows-test

windows-deps:
	@scripts/install-deps.sh --windows

windows-configure: windows-deps
	@$(CMAKE) -S . -B $(WIN_BUILD) -G Ninja --no-warn-unused-cli \
		-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-mingw64.cmake \
		-DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DHALVANE_BUILD_TOOLS=OFF -DHALVANE_BUILD_LV2=OFF \
		-DHALVANE_BUILD_BENCH=OFF -DHALVANE_LINUX_HOST=$(WIN_LINUX_HOST) >/dev/null

windows: windows-configure
	@$(CMAKE) --build $(WIN_BUILD) -j $(JOBS) --target Halvane halvane_example halvane_windows_host
	@echo "$(WIN_BUILD)/bin/Halvane.dll imports:"
	@$(WIN_OBJDUMP) -p $(WIN_BUILD)/bin/Halvane.dll | sed -n 's/^[[:space:]]*DLL Name: /  /p'
	@echo "$(WIN_BUILD)/bin/Halvane.dll exports:"
	@$(WIN_OBJDUMP) -p $(WIN_BUILD)/bin/Halvane.dll \
		| awk '/\[Ordinal\/Name Pointer\] Table/ {t = 1; next} t && /^[[:space:]]*\[/ {print $$NF} t && /^[[:space:]]*$$/ {t = 0}' \
		| $(WIN_CXXFILT) | sed 's/^/  /'

windows-test: windows configure
	@$(CMAKE) --build $(BUILD) -j $(JOBS) --target halvane_windows_host
	@$(CMAKE) --build $(WIN_BUILD) -j $(JOBS)
	@# The prefix is set up completely, and its server has gone again, before any test starts; a
	@# test that fails only at Wine's start-up is tried once more, a real failure fails both times.
	@WINEPREFIX=$(CURDIR)/$(WIN_BUILD)/wineprefix WINEDEBUG=-all DISPLAY= $(WINE) wineboot --init \
		>/dev/null 2>&1 || true
	@WINEPREFIX=$(CURDIR)/$(WIN_BUILD)/wineprefix $(WINESERVER) -w 2>/dev/null || true
	cd $(WIN_BUILD) && $(CTEST) --output-on-failure -j $(JOBS) -L 'unit|e2e|windows' --repeat until-pass:2

# ---- Stress checks (sources in fuzz/): libFuzzer, RealtimeSanitizer, soak ----
#   make fuzz      build the fuzzer with clang (ASan + UBSan) and run it FUZZ_SECONDS (60)
#   make fuzz-ci   the same, 60 seconds, as CI runs it
#   make rtsan     the realtime entry and the headphone chain under RealtimeSanitizer (clang-22)
#   make soak      an hour of audio through every layout (HALVANE_SOAK_SECONDS to shorten it)
FUZZ_BUILD := build-fuzz
RTSAN_BUILD := build-rtsan
SOAK_BUILD := build-soak
STRESS_CMAKE_OPTIONS := -DHALVANE_BUILD_TESTS=OFF -DHALVANE_BUILD_TOOLS=OFF -DHALVANE_BUILD_LV2=OFF \
	-DHALVANE_BUILD_BENCH=OFF -DHALVANE_BUILD_EXAMPLES=OFF
FUZZ_SECONDS ?= 60
# Edge coverage only: tracing every comparison of the sample loops took half of each run, and the
# input decoder maps bytes to calls by remainders, so no magic constant needs finding.
FUZZ_CXXFLAGS ?= -fno-sanitize-coverage=trace-cmp
# One input pushes at most 2400 sample frames (and one record of up to 4896) through each object
# and its twin, and rebuilds graphs at most twice: well under a second, so 60 s only catches a
# hang; the reverb lines of a few objects at 768 kHz stay far below 4 GB. The seeds in fuzz/corpus
# include call sequences of a few thousand bytes (fuzz/make-seeds.py), so inputs of that length are
# tried from the start. A long input reaches a few thousand coverage features, and libFuzzer's
# entropic schedule updated their frequencies after every run in about a quarter of the run's
# time; the plain schedule (-entropic=0) leaves that time to the target.
FUZZ_FLAGS ?= -rss_limit_mb=4096 -timeout=60 -max_len=4096 -print_final_stats=1 -entropic=0
RTSAN_SYMBOLIZER := $(firstword $(wildcard /usr/lib/llvm-22/bin/llvm-symbolizer /usr/bin/llvm-symbolizer-22 \
	/usr/bin/llvm-symbolizer))

.PHONY: fuzz-build fuzz fuzz-ci rtsan soak

fuzz-build:
	@scripts/install-deps.sh cmake ninja-build clang
	@CC=clang CXX=clang++ $(CMAKE) -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DHALVANE_SANITIZE=address,undefined,fuzzer-no-link $(STRESS_CMAKE_OPTIONS) \
		-DCMAKE_CXX_FLAGS="$(FUZZ_CXXFLAGS)" >/dev/null
	@$(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS) --target halvane_fuzz

# New inputs go to a scratch corpus; the committed seeds in fuzz/corpus are only read. A finding
# is written to $(FUZZ_BUILD)/artifacts/ and fails the target.
fuzz: fuzz-build
	@rm -rf $(FUZZ_BUILD)/corpus && mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/artifacts
	$(FUZZ_BUILD)/fuzz/halvane_fuzz $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) \
		-artifact_prefix=$(FUZZ_BUILD)/artifacts/ $(FUZZ_BUILD)/corpus fuzz/corpus

fuzz-ci:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=60

# Builds the library and the check with clang-22 (installed from the distribution when it has it),
# runs the check, then makes sure the sanitizer does stop a deliberate allocation.
rtsan:
	@scripts/install-deps.sh cmake ninja-build clang-22 libclang-rt-22-dev
	@CC=clang-22 CXX=clang++-22 $(CMAKE) -S . -B $(RTSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DHALVANE_BUILD_FUZZER=OFF $(STRESS_CMAKE_OPTIONS) >/dev/null
	@$(CMAKE) --build $(RTSAN_BUILD) -j $(JOBS) --target halvane_rtsan
	RTSAN_OPTIONS=halt_on_error=1:suppressions=$(CURDIR)/fuzz/rtsan.supp:external_symbolizer_path=$(RTSAN_SYMBOLIZER) \
		$(RTSAN_BUILD)/fuzz/halvane_rtsan
	@if RTSAN_OPTIONS=suppressions=$(CURDIR)/fuzz/rtsan.supp:external_symbolizer_path=$(RTSAN_SYMBOLIZER) \
		$(RTSAN_BUILD)/fuzz/halvane_rtsan --must-fail >/dev/null 2>&1; then \
		echo "rtsan: a deliberate allocation went unreported"; exit 1; \
	else echo "rtsan: a deliberate allocation is reported, as it must be"; fi
	@if RTSAN_OPTIONS=halt_on_error=1:suppressions=$(CURDIR)/fuzz/rtsan.supp:external_symbolizer_path=$(RTSAN_SYMBOLIZER) \
		$(RTSAN_BUILD)/fuzz/halvane_rtsan --lock-wait 2>&1 | grep -q 'pthread_mutex_lock'; then \
		echo "rtsan: the audio thread's wait for a held lock is reported, as it must be"; \
	else echo "rtsan: a wait for a held lock went unreported"; exit 1; fi
	@$(CMAKE) --build $(RTSAN_BUILD) -j $(JOBS) --target halvane_rtsan_headphones
	RTSAN_OPTIONS=halt_on_error=1:suppressions=$(CURDIR)/fuzz/rtsan.supp:external_symbolizer_path=$(RTSAN_SYMBOLIZER) \
		$(RTSAN_BUILD)/fuzz/halvane_rtsan_headphones

soak: deps
	@$(CMAKE) -S . -B $(SOAK_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVANE_BUILD_SOAK=ON \
		$(STRESS_CMAKE_OPTIONS) >/dev/null
	@$(CMAKE) --build $(SOAK_BUILD) -j $(JOBS) --target halvane_soak
	$(SOAK_BUILD)/fuzz/halvane_soak

# Mutation check (not in CI, about a minute per mutant): plants faults one at a time in a scratch
# copy and lists the ones the unit and end-to-end tests miss (scripts/mutants.sh).
.PHONY: mutants
mutants:
	@scripts/install-deps.sh cmake ninja-build python3
	scripts/mutants.sh
