# The two everyday commands are `make run` and `make test`; see README.md.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD_TYPE ?= RelWithDebInfo
FUZZ_RUNS ?= 1000000

ifeq ($(SANITIZE),1)
  BUILD_DIR ?= build-sanitize
  CMAKE_FLAGS += -DRAVNIX_SANITIZE=ON -DRAVNIX_BENCH=OFF
  BUILD_TYPE := Debug
else ifeq ($(TSAN),1)
  BUILD_DIR ?= build-tsan
  CMAKE_FLAGS += -DRAVNIX_TSAN=ON -DRAVNIX_BENCH=OFF
  # Reports from system libraries built without ThreadSanitizer are not ours to fix.
  export TSAN_OPTIONS ?= suppressions=$(CURDIR)/tests/support/tsan-suppressions.txt
else
  BUILD_DIR ?= build
endif

.PHONY: all deps configure build run test stress bench fuzz install uninstall deb clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/src/cli/ravnix $(ARGS)

# The floods of about a million datagrams carry the label "stress": `make stress` runs them.
test: build
	@ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) -LE stress

stress: build
	@ctest --test-dir $(BUILD_DIR) --output-on-failure -L stress

bench: build
	@scripts/run-benchmarks.sh $(BUILD_DIR)

fuzz:
	@scripts/install-deps.sh fuzz
	@CC=clang-16 CXX=clang++-16 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAVNIX_FUZZ=ON >/dev/null
	@cmake --build build-fuzz --target fuzzers -j $(JOBS)
	@scripts/run-fuzzers.sh build-fuzz $(FUZZ_RUNS)

# The Debian package, built from the same tree: `sudo apt install ./ravnix_*.deb`.
deb: build
	@scripts/build-deb.sh $(BUILD_DIR) $(CURDIR)

PREFIX ?= /usr/local

install: build
	@cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# Removes exactly what the last install wrote (CMake lists it in install_manifest.txt).
uninstall:
	@test -f $(BUILD_DIR)/install_manifest.txt && xargs -d '\n' rm -fv < $(BUILD_DIR)/install_manifest.txt

clean:
	rm -rf build build-sanitize build-tsan build-fuzz
