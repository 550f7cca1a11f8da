# Kelvane: top-level commands. The build itself is CMake's, in build/.
BUILD     ?= build
JOBS      ?= $(shell nproc)
PREFIX    ?= /usr/local
CMAKE_ARGS ?=

# Debian packages the build, the tests and the demo need.
PACKAGES := cmake make g++ pkg-config qt6-base-dev libgtest-dev libgmock-dev \
            fonts-liberation fonts-dejavu-core xvfb xauth clang libclang-rt-14-dev

.PHONY: all build test deps demo bench tsan asan fuzz soak install screenshot clean

all: build

deps:
	@sh tools/deps.sh $(PACKAGES)

$(BUILD)/CMakeCache.txt:
	@sh tools/deps.sh --quiet $(PACKAGES)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The whole suite under ThreadSanitizer, and under AddressSanitizer with
# UndefinedBehaviorSanitizer. Window tests are left out of the thread run:
# Qt's own libraries are not instrumented and report races of their own.
tsan:
	@sh tools/deps.sh --quiet $(PACKAGES)
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKELVANE_SANITIZE=thread -DKELVANE_GUI=OFF
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -j $(JOBS)

asan:
	@sh tools/deps.sh --quiet $(PACKAGES)
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKELVANE_SANITIZE=address
	cmake --build build-asan -j $(JOBS)
	cd build-asan && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" ctest --output-on-failure -j $(JOBS)

demo: build
	sh tools/demo.sh $(BUILD)

bench: build
	sh tools/bench.sh $(BUILD)

fuzz:
	@sh tools/deps.sh --quiet $(PACKAGES)
	sh tools/fuzz.sh

screenshot: build
	sh tools/screenshot.sh $(BUILD)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) build-tsan build-asan build-fuzz

# Transfers back to back for SOAK_SECONDS (default 120) with random faults;
# prints the seed, the transfers, the faults injected and the failures.
soak: $(BUILD)/CMakeCache.txt
	sh tools/soak.sh $(BUILD)
