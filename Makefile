# regkern: build, test and demo entry points (CMake is the build of record).
#
#   make demo            build the Octave plug-ins and run examples/demo.m
#   make test            build everything and run the whole test suite
#   make bench           time the plug-ins against the literal algorithm
#   make package         Octave package tarball in build/
#   make check-sanitize  the C++ suite under ASan+UBSan, remapping under TSan
#
# Missing Debian packages are installed when run as root; otherwise the
# apt-get line to run is printed.

BUILD ?= build
JOBS ?= $(shell nproc)
DEB_PACKAGES := g++ cmake make libgtest-dev octave liboctave-dev
DEB_EXTRA := clang libclang-rt-14-dev valgrind libbenchmark-dev

.PHONY: all deps deps-extra configure build test demo bench package check-sanitize fuzz mutate clean

all: build

deps:
	@scripts/ensure_packages.sh $(DEB_PACKAGES)

deps-extra: deps
	@scripts/ensure_packages.sh $(DEB_EXTRA)

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	@if [ -x scripts/extra_checks.sh ]; then $(MAKE) --no-print-directory deps-extra && scripts/extra_checks.sh; fi

demo: configure
	cmake --build $(BUILD) -j$(JOBS) --target octave_plugins
	cd $(BUILD) && octave-cli --no-gui --norc --quiet --no-window-system --no-history $(CURDIR)/examples/demo.m

package:
	sh package/make_package.sh $(BUILD)

# The Octave comparisons use the Octave MEX files of the main build.
bench: build deps-extra
	cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DREGKERN_BENCH=ON -DREGKERN_TESTS=OFF -DREGKERN_OCTAVE=OFF
	cmake --build $(BUILD)-bench -j$(JOBS)
	scripts/run_bench.sh $(BUILD)-bench $(BUILD)

# Sanitizer builds in $(BUILD)-asan and $(BUILD)-tsan; fuzzing in $(BUILD)-fuzz
# for FUZZ_SECONDS (default 60) per target, e.g. make fuzz FUZZ_SECONDS=600.
check-sanitize: deps-extra
	BUILD=$(BUILD) JOBS=$(JOBS) scripts/extra_checks.sh sanitize

fuzz: deps-extra
	BUILD=$(BUILD) JOBS=$(JOBS) scripts/extra_checks.sh fuzz

# Not part of `make test`: a few minutes per mutation, in $(BUILD)-mutate.
# MUTATE=regex runs only the mutations whose file or description matches it.
mutate: deps
	BUILD=$(BUILD) JOBS=$(JOBS) scripts/mutate.sh "$(MUTATE)"

clean:
	rm -rf $(BUILD) $(BUILD)-*
