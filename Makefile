# Front door: `make run` and `make test` install what is missing, configure
# and build; `make bench` runs the benchmarks; `make package` builds the
# Debian package (build/tovi_<version>_<arch>.deb). The suite's guard:
# `make coverage` (gcov build in build-cov/, the whole suite, per-file line
# and branch coverage), `make mutants [MUTANTS=id1,id2]` (curated mutants in
# build-mut/, docs/testing.md) and `make tidy` (clang-tidy over the sources).
# `make format` lays out every C++ file of the tree by the .clang-format
# files (`make format-check` only reports what it would change).
# `make fuzz` builds the fuzz targets with clang into build-fuzz/ and runs
# each for FUZZ_SECONDS. `make cross-test ARCH=s390x` (or i386, armhf)
# cross-builds into build-ARCH and runs the tests under qemu-user.
MAKEFLAGS += --no-print-directory
BUILD ?= build
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
FUZZ_SECONDS ?= 60

COV_BUILD ?= build-cov
# What the coverage tables cover: the program, the library, the platform
# layer and the tools.
COV_FILTERS = -f 'mux/' -f 'lib/tovi/src/' -f 'platform/src/' -f 'tools/'
TIDY_FILES ?= '^$(CURDIR)/(mux|lib/tovi/src|platform/src|tools)/'

.PHONY: all bootstrap configure build test run bench package clean coverage mutants tidy format format-check fuzz cross-test

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

package: build
	@cmake --build $(BUILD) --target package

# The suite's exit status is kept: the tables are written either way, and a
# failed test fails the target afterwards.
coverage: bootstrap
	@cmake -S . -B $(COV_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTOVI_COVERAGE=ON >/dev/null
	@cmake --build $(COV_BUILD) -j $(JOBS)
	@find $(COV_BUILD) -name '*.gcda' -delete
	@cd $(COV_BUILD) && { TOVI_COVERAGE=1 nice -n 10 ctest --output-on-failure -j $(JOBS) --timeout 900; echo $$? > ctest.status; }
	@nice -n 10 gcovr -r . --object-directory $(COV_BUILD) -j $(JOBS) $(COV_FILTERS) \
	  --exclude-unreachable-branches --exclude-throw-branches --gcov-ignore-parse-errors \
	  --json-summary $(COV_BUILD)/coverage.json --json-summary-pretty
	@scripts/coverage.py table $(COV_BUILD)/coverage.json --out $(COV_BUILD)/coverage.txt
	@test "$$(cat $(COV_BUILD)/ctest.status)" = 0 || { echo "coverage: some tests failed (see above)" >&2; exit 1; }

mutants: bootstrap
	@nice -n 10 scripts/mutants.py $(if $(MUTANTS),--only $(MUTANTS)) $(MUTANT_FLAGS)

tidy: configure
	@run-clang-tidy -p $(BUILD) -quiet -j $(JOBS) $(TIDY_FILES) >$(BUILD)/tidy.log 2>&1 || { grep -E 'warning:|error:' $(BUILD)/tidy.log | sort -u >&2; echo "tidy: findings above (full output in $(BUILD)/tidy.log)" >&2; exit 1; }
	@echo "tidy: no findings"

FORMAT_FILES = git ls-files -z -- '*.cc' '*.h'

format: bootstrap
	@$(FORMAT_FILES) | xargs -0 clang-format -i

format-check: bootstrap
	@$(FORMAT_FILES) | xargs -0 clang-format --dry-run --Werror || { echo "format-check: run make format" >&2; exit 1; }
	@echo "format-check: every file is laid out"

fuzz: bootstrap
	@FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) scripts/fuzz

cross-test:
	@test -n "$(ARCH)" || { echo "usage: make cross-test ARCH=s390x|i386|armhf" >&2; exit 2; }
	@JOBS=$(JOBS) scripts/cross-test $(ARCH) $(BUILD)-$(ARCH)

clean:
	rm -rf $(BUILD)
