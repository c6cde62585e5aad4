# Front for the common commands; CMake does the building.
BUILD_DIR    ?= build
SANITIZE_DIR ?= build-sanitize
FUZZ_DIR     ?= build-fuzz
FUZZ_SECONDS ?= 30
JOBS         ?= $(shell nproc 2>/dev/null || echo 2)
WERROR       ?= $(if $(TONALYX_WERROR),ON,OFF)
PREFIX       ?= /usr/local
CMAKE_FLAGS  := -DTONALYX_WERROR=$(WERROR) -DCMAKE_INSTALL_PREFIX=$(PREFIX)

.PHONY: all deps build test test-sanitize test-pipewire fuzz bench bench-cpu bench-latency
.PHONY: bench-latency-pipe demo format lint clean
.PHONY: install uninstall package test-install

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) -LE pipewire

test-sanitize: deps
	@cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=Debug -DTONALYX_SANITIZE=ON \
		-DTONALYX_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(SANITIZE_DIR) -j $(JOBS)
	@ctest --test-dir $(SANITIZE_DIR) --output-on-failure -j $(JOBS) -LE pipewire

# Capture from a real PipeWire, started privately for the test; installs PipeWire when missing.
test-pipewire: build
	@scripts/install-pipewire
	@ctest --test-dir $(BUILD_DIR) --output-on-failure -V -L pipewire

# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS, the key target seeded
# with the inputs that once broke it. The corpus grows in $(FUZZ_DIR)/corpus; an input that
# breaks a target is written to $(FUZZ_DIR)/crash-*.
fuzz:
	@scripts/install-deps fuzz
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DTONALYX_FUZZ=ON -DTONALYX_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target keys_fuzz reader_fuzz
	@mkdir -p $(FUZZ_DIR)/corpus/keys $(FUZZ_DIR)/corpus/reader
	@$(FUZZ_DIR)/tests/fuzz/keys_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
		-artifact_prefix=$(FUZZ_DIR)/ $(FUZZ_DIR)/corpus/keys tests/fuzz/key-regressions
	@$(FUZZ_DIR)/tests/fuzz/reader_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
		-artifact_prefix=$(FUZZ_DIR)/ $(FUZZ_DIR)/corpus/reader

bench: build
	@$(BUILD_DIR)/bench/tonalyx_bench --benchmark_repetitions=5 \
		--benchmark_report_aggregates_only=true

# Sound-to-picture latency of `tonalyx -p` against a private PipeWire, with and without its
# latency request, in interleaved trials; installs PipeWire when missing. Takes minutes: not in CI.
bench-latency: build
	@scripts/install-pipewire
	@bench/latency-pipewire $(BUILD_DIR)

# CPU and wake-ups of the built Tonalyx next to cava (when installed) in a detached tmux, on
# paced audio; CPU_ARGS picks audio, size and rounds, e.g. CPU_ARGS="--audio silence".
bench-cpu: build
	@bench/cpu-compare --signal $(abspath $(BUILD_DIR))/tonalyx-signal $(CPU_ARGS) \
		tonalyx=$(abspath $(BUILD_DIR))/tonalyx

# Sound-to-picture latency of the built Tonalyx on a paced pipe; LATENCY_ARGS adds options and
# further NAME=COMMAND pairs to compare, e.g. LATENCY_ARGS="--trials 30 old=/path/to/tonalyx".
bench-latency-pipe: build
	@$(BUILD_DIR)/bench/tonalyx-latency $(LATENCY_ARGS) tonalyx=$(abspath $(BUILD_DIR))/tonalyx

# The built-in test signal, piped into Tonalyx with matching options.
demo: build
	@$(BUILD_DIR)/tonalyx-signal --rate 48000 --channels 2 | \
		$(BUILD_DIR)/tonalyx --rate 48000 --channels 2

# Installs under PREFIX, inside DESTDIR when one is given; uninstall removes what it wrote.
install: build
	@DESTDIR=$(DESTDIR) cmake --install $(BUILD_DIR)

uninstall:
	@DESTDIR=$(DESTDIR) cmake --build $(BUILD_DIR) --target uninstall

# The Debian package, tonalyx_<version>_<arch>.deb in the build directory.
package: build
	@cmake --build $(BUILD_DIR) --target package

# Installs into a staging folder and as a package, and checks the result.
test-install: build
	@scripts/test-install $(BUILD_DIR)

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.hpp')

# clang-format's check over every source, then clang-tidy (.clang-tidy) over everything the build
# compiles in src/, tools/, tests/ and bench/. Needs only the configured build directory.
lint:
	@scripts/install-deps lint
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@clang-format --dry-run -Werror $$(git ls-files '*.cpp' '*.hpp')
	@status=0; run-clang-tidy-14 -quiet -p $(BUILD_DIR) -j $(JOBS) '/(src|tools|tests|bench)/' \
		> $(BUILD_DIR)/lint.log 2>&1 || status=$$?; \
		sed '/^clang-tidy-14 /d; /warnings generated\.$$/d' $(BUILD_DIR)/lint.log; exit $$status

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(FUZZ_DIR)
