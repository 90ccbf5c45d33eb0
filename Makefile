# The two commands of a fresh Debian 12 machine: `make demo` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
CMAKE_FLAGS ?=
# make fuzz: minutes per fuzz target
MINUTES    ?= 10

.PHONY: all deps npm build build-asan build-fuzz test test-normal test-asan test-fuzz fuzz demo demo-browser package bench soak format clean

all: build

deps:
	./scripts/install-deps.sh

# The browser tests' npm packages (pinned in tests/browser/package-lock.json).
npm:
	./scripts/install-npm.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTESSORA_SANITIZE=ON $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The fuzz targets (tests/fuzz): clang with libFuzzer, ASan and UBSan; only the fuzz executables.
$(FUZZ_BUILD)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTESSORA_FUZZ=ON $(CMAKE_FLAGS)

build-fuzz: deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets

test-normal: build npm
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# Every fuzz target for about a minute from its seeds, two at a time. A finding fails the run and
# its reproducer is kept in tests/fuzz/regressions/<target>/, which every test run replays.
test-fuzz: build-fuzz
	TESSORA_FUZZ_SECONDS=60 ctest --test-dir $(FUZZ_BUILD) -L '^fuzz$$' --output-on-failure -j 2

test: test-normal test-asan test-fuzz

# Every fuzz target for MINUTES minutes.
fuzz: build-fuzz
	TESSORA_FUZZ_SECONDS=$$(( $(MINUTES) * 60 )) ctest --test-dir $(FUZZ_BUILD) -L '^fuzz$$' \
	  --output-on-failure -j 2 --timeout $$(( $(MINUTES) * 60 + 600 ))

demo: build
	./tools/demo.sh $(BUILD)

# The demo page on localhost in Chromium with the extension (needs a display).
demo-browser: build
	./browser/demo/demo-browser.sh $(BUILD)

# The Debian package, $(BUILD)/tessora_<version>_<arch>.deb.
package: build
	cmake --build $(BUILD) --target package

bench: build
	./$(BUILD)/bench/tessora-bench

# One host, 100000 mixed requests; its memory and descriptors every 10000 (SOAK_REQUESTS=N).
SOAK_REQUESTS ?= 100000
soak: build
	./$(BUILD)/bench/tessora-soak $(SOAK_REQUESTS) --check

format:
	find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
