# Front door: `make run` and `make test` install what is missing, configure
# and build; `make bench` runs the benchmarks; `make fuzz` builds the fuzz
# targets with clang into build-fuzz/ and runs each for FUZZ_SECONDS.
MAKEFLAGS += --no-print-directory
BUILD ?= build
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
FUZZ_SECONDS ?= 60

.PHONY: all bootstrap configure build test run bench fuzz clean

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

run: build
	@scripts/demo $(BUILD)

bench: build
	@bench/run $(BUILD)

fuzz: bootstrap
	@FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) scripts/fuzz

clean:
	rm -rf $(BUILD)
