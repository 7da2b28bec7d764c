# Top-level entry points. `make` builds into build/ (the CLI is build/vxaudio).
JOBS    ?= $(shell nproc)
CMAKE   ?= cmake
BUILD   := build

.PHONY: all build deps demo install test test-normal test-asan test-tsan bench fuzz clean

all: build

deps:
	@scripts/install-deps.sh build

build: deps
	@$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@$(CMAKE) --build $(BUILD) -j $(JOBS)

# The demo runs the CLI alone: build just that (no test programs, no
# component), so a first `make demo` shows its result in about a minute.
DEMO_TARGETS := vxaudio

demo: deps
	@$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Demo >/dev/null
	@$(CMAKE) --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS)
	@scripts/demo.sh $(BUILD)

# `make install PREFIX=/usr/local DESTDIR=`: the CLI, the component and its
# runtime, the headers, the manual page and the bash completion. Only what is
# installed is built.
PREFIX  ?= /usr/local
DESTDIR ?=
INSTALL_TARGETS := vxaudio vxAudioFile vxaudio-man

install: deps
	@$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@$(CMAKE) --build $(BUILD) -j $(JOBS) --target $(INSTALL_TARGETS)
	@DESTDIR="$(DESTDIR)" $(CMAKE) --install $(BUILD) --prefix "$(PREFIX)"

test:
	@scripts/install-deps.sh test
	@$(MAKE) --no-print-directory test-normal test-asan test-tsan

# The whole suite in the optimised build, then again under ASan+UBSan;
# the threaded suites (label "threads") also run under TSan.
test-normal:
	@$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@$(CMAKE) --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	@$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVX_SANITIZE=address >/dev/null
	@$(CMAKE) --build build-asan -j $(JOBS)
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS) -LE no-asan

# Only what the "threads" suites run is built under TSan (the other suites'
# programs show up as *_NOT_BUILT and are not selected by -L threads).
TSAN_TARGETS := silence_detector_test PlaybackTest XpcomTest ComponentTest BatchTest vxhost

test-tsan:
	@$(CMAKE) -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DVX_SANITIZE=thread >/dev/null
	@$(CMAKE) --build build-tsan -j $(JOBS) --target $(TSAN_TARGETS)
	@cd build-tsan && TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/tests/tsan.supp" \
		ctest --output-on-failure -j $(JOBS) -L threads

bench:
	@scripts/install-deps.sh bench
	@$(CMAKE) -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVX_BUILD_BENCH=ON -DVX_BUILD_TESTS=OFF >/dev/null
	@$(CMAKE) --build build-bench -j $(JOBS)
	@bench/run.sh build-bench

# libFuzzer over the opening, description, overview, export and silence
# detection of arbitrary bytes (clang, ASan+UBSan), for FUZZ_SECONDS.
# Not part of `make test`.
FUZZ_SECONDS ?= 300
fuzz:
	@scripts/install-deps.sh fuzz
	@CC=clang CXX=clang++ $(CMAKE) -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DVX_BUILD_FUZZ=ON -DVX_BUILD_TESTS=OFF -DVX_SANITIZE=address >/dev/null
	@$(CMAKE) --build build-fuzz -j $(JOBS) --target vxfuzz_open vxfuzz_corpus
	@fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-bench build-fuzz
