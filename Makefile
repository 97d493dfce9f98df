# Two entry points for newcomers: `make run` and `make test` (both install what is missing first).
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: run test setup build configure deb tsan asan fuzz fuzz-ci fuzz-build bench windows-check clean

run: build
	scripts/run $(BUILD)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

setup:
	scripts/setup

configure: setup
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

# The Debian 12 package, written to $(BUILD)/deb/.
deb: build
	cd $(BUILD) && cpack -G DEB

# Sanitizer builds of the test suites in their own build folders.
tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DQAC_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DQAC_ASAN=ON -DCMAKE_BUILD_TYPE=Debug"

# Fuzzing with clang under AddressSanitizer and UndefinedBehaviorSanitizer (build-fuzz/):
# `make fuzz FUZZ_SECONDS=600` runs each libFuzzer target and the mutation run that long;
# `make fuzz-ci` runs the short pass (a few hundred mutants) that CI runs.
FUZZ_SECONDS ?= 300
fuzz-build: setup
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DQAC_FUZZ=ON -DQAC_ASAN=ON \
		-DQAC_BUILD_APP=OFF -DQAC_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-fuzz -j$(JOBS)

fuzz: fuzz-build
	mkdir -p build-fuzz/corpus/options build-fuzz/corpus/catalogue
	build-fuzz/fuzz/fuzz_option_lines -max_total_time=$(FUZZ_SECONDS) -max_len=512 build-fuzz/corpus/options
	build-fuzz/fuzz/fuzz_catalogue -max_total_time=$(FUZZ_SECONDS) -max_len=4096 build-fuzz/corpus/catalogue
	build-fuzz/fuzz/qac_mutation_run --mutants 1000000 --seconds $(FUZZ_SECONDS) --work build-fuzz/mutation

fuzz-ci: fuzz-build
	cd build-fuzz && ctest -L fuzz --output-on-failure

# Times the engine against the ffmpeg command-line tool (see bench/README.md).
bench: build
	scripts/setup bench
	bench/run.sh $(BUILD)

# Cross build of the Qt-free libraries (media, engine, player) for 32-bit Windows in
# build-windows/, with the link check of cmake/windows; installs the MinGW-w64 compiler first
# when it is missing.
windows-check:
	scripts/setup windows
	cmake -S . -B build-windows -G Ninja \
		-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/windows/i686-w64-mingw32.cmake
	cmake --build build-windows -j$(JOBS)

clean:
	rm -rf build build-tsan build-asan build-fuzz build-windows
