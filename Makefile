# Two entry points for newcomers: `make run` and `make test` (both install what is missing first).
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: run test setup build configure tsan asan bench clean

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

# Sanitizer builds of the test suites in their own build folders.
tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DQAC_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DQAC_ASAN=ON -DCMAKE_BUILD_TYPE=Debug"

# Times the engine against the ffmpeg command-line tool (see bench/README.md).
bench: build
	bench/run.sh $(BUILD)

clean:
	rm -rf build build-tsan build-asan
