# Entry points for developers and CI. Every target installs what is missing first.
JOBS      ?= $(shell nproc)
BUILD_DIR ?= build
RUN_HOME  ?= $(CURDIR)/$(BUILD_DIR)/run-home
CMAKE_ARGS ?=

.PHONY: all deps build test run package package-test asan tsan bench bench-feedback bench-backlog bench-token bench-memory fuzz clean format

all: build

deps:
	./scripts/install-deps.sh

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	./scripts/run-tests.sh $(BUILD_DIR)

# Starts the Agent in the foreground with a home folder of its own under the build folder,
# so that a developer's real home stays untouched. Ctrl-C, SIGTERM or SIGHUP stop it.
run: build
	./scripts/run-agent.sh $(BUILD_DIR) $(RUN_HOME)

# The Debian package, $(BUILD_DIR)/korvanepellixagent_<version>_<arch>.deb.
package: build
	cmake --build $(BUILD_DIR) --target package

# Installs the package on this machine, runs it, removes and purges it (root, disposable machine).
package-test: package
	./scripts/package-test.sh $(BUILD_DIR)

asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKORVANE_SANITIZE=address
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		./scripts/run-tests.sh build-asan

tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKORVANE_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp" ./scripts/run-tests.sh build-tsan

# Agent overhead on camera commands against the simulator and nginx (needs port 5555 free).
BENCH_SECONDS ?= 10
bench: build
	./scripts/install-bench-deps.sh
	./tools/bench/camera_overhead.sh $(BUILD_DIR) $(BENCH_SECONDS)

# get_result + result_feedback pairs through the Agent beside the direct-SQL floor.
BENCH_PAIRS ?= 2000
bench-feedback: build
	./tools/bench/feedback_pairs.sh $(BUILD_DIR) $(BENCH_PAIRS)

# A months-long outage's backlog of recognitions and alerts beside an empty store.
BENCH_RECOGNITIONS ?= 100000
BENCH_ALERTS ?= 10000
bench-backlog: build
	./tools/bench/backlog.sh $(BUILD_DIR) $(BENCH_RECOGNITIONS) $(BENCH_ALERTS)

# A backlog with images queued as the service forgets its tokens: seconds until all arrived.
BENCH_TOKEN_BACKLOG ?= 60
bench-token: build
	./tools/bench/forgotten_token.sh $(BUILD_DIR) $(BENCH_TOKEN_BACKLOG)

# Resident memory over many pairs and a long stretch of monitoring passes.
BENCH_MEMORY_PAIRS ?= 20000
BENCH_QUIET_SECONDS ?= 600
bench-memory: build
	./tools/bench/memory_flat.sh $(BUILD_DIR) $(BENCH_MEMORY_PAIRS) $(BENCH_QUIET_SECONDS)

# Two fleets of Agents, with and without the monitoring backoff, through a monitoring outage
# (tools/fleet/README.md; about 20 min at the defaults).
.PHONY: bench-fleet
bench-fleet: build
	./scripts/install-bench-deps.sh
	./tools/fleet/fleet.sh --build $(BUILD_DIR)

FUZZ_SECONDS ?= 60
fuzz: deps
	./scripts/fuzz.sh $(FUZZ_SECONDS)

format:
	find service tests tools -name '*.cpp' -o -name '*.h' | grep -v node_modules | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan build-fuzz
