# Thin front over CMake. Every target does its own set-up first, so that a
# fresh Debian machine needs nothing but `make run` or `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# Seconds each fuzz target runs for in `make fuzz`, and which targets (all
# when empty).
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=

.PHONY: all deps configure build run test bench fuzz tsan clean windows test-windows linux-launcher

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@bash scripts/run-demo.sh $(BUILD)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@bash scripts/test-linux-launcher.sh $(BUILD)

# The Linux launcher as it ships on a medium, with the libraries it loads, in
# $(BUILD)/linux-launcher.
linux-launcher: build
	@bash scripts/linux-launcher.sh $(BUILD)

bench: deps
	@cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DARVELO_BENCH=ON -DARVELO_TESTS=OFF >/dev/null
	@cmake --build $(BUILD)-bench -j $(JOBS)
	@bash bench/run.sh $(BUILD)-bench

# The command line and the engine tests with ThreadSanitizer in
# $(BUILD)-tsan, running the tests of extraction on several threads (and
# every other test of the command line, whose extractions use them too).
tsan: deps
	@cmake -S . -B $(BUILD)-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DARVELO_TSAN=ON -DARVELO_GUI=OFF >/dev/null
	@cmake --build $(BUILD)-tsan -j $(JOBS) --target engine_tests arvelo
	@cd $(BUILD)-tsan && TSAN_OPTIONS=halt_on_error=1:abort_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -R 'ParallelExtraction|Cli\.|CutArchive'

# libFuzzer targets with the sanitizers, built with clang in build-fuzz; each
# runs FUZZ_SECONDS, findings land in tests/data/fuzz-regressions.
fuzz: deps
	@cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DARVELO_FUZZ=ON -DARVELO_GUI=OFF -DARVELO_TESTS=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS)
	@bash scripts/run-fuzz.sh build-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# The Windows programs, 32-bit in build-win32 and 64-bit in build-win64,
# cross-built with mingw-w64 (set-up included), and their tests under Wine.
windows:
	@JOBS=$(JOBS) bash scripts/build-windows.sh

test-windows: windows
	@JOBS=$(JOBS) bash scripts/test-windows.sh

clean:
	rm -rf $(BUILD) $(BUILD)-bench $(BUILD)-asan $(BUILD)-tsan build-fuzz build-win32 build-win64
