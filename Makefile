# Front door: configure, build and test firload with CMake. Plain POSIX
# make, so BSD make (bmake) and GNU make both run it.
BUILD ?= build
SANBUILD ?= build-san
FUZZBUILD ?= build-fuzz
PREFIX ?= /usr/local
DESTDIR ?=
# Parallel jobs: JOBS if given, else CMAKE_BUILD_PARALLEL_LEVEL from the
# environment, else one per processor, as the shell finds it.
JOBS ?=
NJOBS = j="$(JOBS)"; j=$${j:-$${CMAKE_BUILD_PARALLEL_LEVEL:-$$(getconf _NPROCESSORS_ONLN 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2)}};
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60

.PHONY: all build deps check check-san memcheck demo fuzz bench-compare bench-firtune bench-measure install lint-man lint-sh clean

all: build

deps:
	@sh scripts/deps.sh build

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS) >/dev/null
	$(NJOBS) cmake --build $(BUILD) -j "$$j"

check:
	@sh scripts/deps.sh build check
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) -DFIRLOAD_TESTS=ON -DFIRLOAD_BENCH=ON $(CMAKE_FLAGS) >/dev/null
	$(NJOBS) cmake --build $(BUILD) -j "$$j"
	$(NJOBS) cd $(BUILD) && ctest --output-on-failure -j "$$j"

# The tests again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
check-san:
	@sh scripts/deps.sh build check
	cmake -S . -B $(SANBUILD) -DFIRLOAD_SANITIZE=ON -DFIRLOAD_WERROR=ON -DFIRLOAD_TESTS=ON -DFIRLOAD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
	$(NJOBS) cmake --build $(SANBUILD) -j "$$j"
	$(NJOBS) cd $(SANBUILD) && ctest --output-on-failure -j "$$j"

demo: build
	@sh scripts/demo.sh $(BUILD)

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

# valgrind memcheck over the load, disable and standard-input paths.
memcheck: build
	@sh scripts/deps.sh mem
	sh scripts/memcheck.sh $(BUILD)

# The libFuzzer targets (scripts/fuzz.sh), FUZZ_SECONDS in all.
fuzz:
	@sh scripts/deps.sh build fuzz
	sh scripts/fuzz.sh $(FUZZBUILD) $(FUZZ_SECONDS)

# Whole runs side by side: firload against a floor build, firdesign against
# firload (bench/compare.sh; BENCH_RUNS runs each, median).
BENCH_RUNS ?= 7
bench-compare: check
	bash bench/compare.sh $(BUILD) $(BENCH_RUNS)

# firtune's /api/design over loopback at 4096 and 65536 taps, and its memory
# over 10,000 designs.
bench-firtune: build
	/usr/bin/python3 bench/firtune_design.py $(BUILD)/firtune

# firmeasure's accuracy against recordings made with sox and numpy, its
# speed, and the demo's correction loop.
bench-measure: build
	@sh scripts/deps.sh check
	sh bench/measure.sh $(BUILD)

# The manual pages, checked by mandoc.
lint-man:
	@sh scripts/deps.sh doc
	mandoc -T lint -W warning man/firload.8 man/firdesign.1 man/firtune.1 man/firmeasure.1

# The shell scripts, checked by shellcheck and sh -n.
lint-sh:
	@sh scripts/deps.sh lint
	sh scripts/lint-sh.sh

clean:
	rm -rf $(BUILD) $(SANBUILD) $(FUZZBUILD)
