# Front door: `make demo` runs the main job, `make test` the test suite.
BUILD ?= build
JOBS ?= $(shell nproc)
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
CMAKE_FLAGS ?=

.PHONY: setup build test demo asan tsan fuzz bench clean

setup:
	@bash scripts/setup

$(BUILD)/CMakeCache.txt: | setup
	cmake -S . -B $(BUILD) $(GENERATOR) $(CMAKE_FLAGS)

build: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L 'unit|e2e'

# The main job: program the bundled example into a virtual target and verify it.
demo: build
	$(BUILD)/apps/zflash/zflash -d devices/ZT31F256.ini -p sim program examples/blinky.mot --verify

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DZFLASH_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DZFLASH_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug"

FUZZ_SECONDS ?= 20
fuzz: setup
	cmake -S . -B build-fuzz $(GENERATOR) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DZFLASH_BUILD_FUZZ=ON -DZFLASH_BUILD_TESTS=OFF -DZFLASH_BUILD_APPS=OFF -DZFLASH_BUILD_BENCH=OFF \
	  -DBUILD_SHARED_LIBS=OFF -DZFLASH_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build build-fuzz -j $(JOBS)
	cd build-fuzz && ctest --output-on-failure -L fuzz

bench: build
	cd $(BUILD) && ctest --output-on-failure -L bench

clean:
	rm -rf build build-asan build-tsan build-fuzz
