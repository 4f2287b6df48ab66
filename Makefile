# regkern: build, test and demo entry points (CMake is the build of record).
#
#   make demo            build the Octave plug-ins, run examples/regkern_demo.m
#                        (synthetic data) and examples/real_pair.m (two MRI slices)
#   make check           build everything and run the fast suite (C++ and Octave)
#   make test            build everything and run the whole test suite, the
#                        sanitizer builds and fuzzing included
#   make bench           time the plug-ins against the literal algorithm (and
#                        the field inverse against an image toolkit's)
#   make python          build the Python module into build/python
#   make package         Octave package tarball in build/
#   make check-sanitize  the C++ suite under ASan+UBSan, the threaded plug-ins
#                        (remapping, field inversion) under TSan
#
# Missing Debian packages are installed when run as root; otherwise the
# apt-get line to run is printed. `make check` and `make test` keep build and
# test output in build/logs/, show it only for what failed, and end with the
# line "N passed, M failed".

BUILD ?= build
JOBS ?= $(shell nproc)
DEB_PACKAGES := g++ cmake make libgtest-dev octave liboctave-dev
# the demo's figures (gnuplot draws them without a display) and examples/batch.m
DEB_PACKAGES += gnuplot-nox ghostscript fonts-freefont-otf octave-parallel
# the Python module, its tests and examples/batch.py
DEB_PACKAGES += python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pytest
DEB_PACKAGES += python3-venv python3-setuptools python3-wheel python3-distributed
# regkern.chunked and its tests: dask arrays, zarr on disk
DEB_PACKAGES += python3-dask python3-zarr
DEB_EXTRA := clang libclang-rt-14-dev
DEMO_DATA := insighttoolkit5-examples
# the image toolkit whose iterative inverse `make bench` compares with (bench only)
DEB_BENCH := libinsighttoolkit5-dev

MAKEFLAGS += --no-print-directory

.PHONY: all deps deps-extra demo-data configure build check test demo bench package check-sanitize fuzz mutate clean
.PHONY: check-platforms python

all: build

deps:
	@scripts/ensure_packages.sh $(DEB_PACKAGES)

deps-extra: deps
	@scripts/ensure_packages.sh $(DEB_EXTRA)

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: configure
	cmake --build $(BUILD) -j$(JOBS)

check: deps demo-data
	@BUILD=$(BUILD) JOBS=$(JOBS) scripts/run_tests.sh check

test: deps deps-extra demo-data
	@BUILD=$(BUILD) JOBS=$(JOBS) scripts/run_tests.sh test

# The real-data example's two MRI slices come with Debian's toolkit examples
# (6 MB); without them the example and its test say so and skip.
demo-data:
	@scripts/ensure_packages.sh $(DEMO_DATA) || echo "examples/real_pair.m and its test will be skipped"

demo: configure demo-data
	cmake --build $(BUILD) -j$(JOBS) --target octave_plugins
	cd $(BUILD) && octave-cli --no-gui --norc --quiet --no-window-system --no-history $(CURDIR)/examples/regkern_demo.m
	cd $(BUILD) && octave-cli --no-gui --norc --quiet --no-window-system --no-history $(CURDIR)/examples/real_pair.m

python: configure
	cmake --build $(BUILD) -j$(JOBS) --target regkern_python

package:
	sh package/make_package.sh $(BUILD)

# The Octave comparisons use the Octave MEX files of the main build.
bench: build deps-extra
	@scripts/ensure_packages.sh $(DEB_BENCH) || echo "No image toolkit: the inverse bench runs without it."
	cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DREGKERN_BENCH=ON -DREGKERN_TESTS=OFF -DREGKERN_OCTAVE=OFF
	cmake --build $(BUILD)-bench -j$(JOBS)
	scripts/run_bench.sh $(BUILD)-bench $(BUILD)

# Sanitizer builds in $(BUILD)-asan and $(BUILD)-tsan; fuzzing in $(BUILD)-fuzz
# for FUZZ_SECONDS (default 60) per target, e.g. make fuzz FUZZ_SECONDS=600.
check-sanitize: deps-extra
	BUILD=$(BUILD) JOBS=$(JOBS) scripts/extra_checks.sh sanitize

fuzz: deps-extra
	BUILD=$(BUILD) JOBS=$(JOBS) scripts/extra_checks.sh fuzz

# Cross builds for Linux arm64 (GCC, clang) and Windows x86-64 (MinGW-w64), run
# under qemu-aarch64 and wine, each compared bit for bit with this build, and
# the CI workflow for the real systems linted. Not part of `make test`; in
# $(BUILD)-platforms.
check-platforms:
	BUILD=$(BUILD) JOBS=$(JOBS) scripts/check_platforms.sh

# Not part of `make test`: a few minutes per mutation, in $(BUILD)-mutate.
# MUTATE=regex runs only the mutations whose file or description matches it.
mutate: deps
	BUILD=$(BUILD) JOBS=$(JOBS) scripts/mutate.sh "$(MUTATE)"

clean:
	rm -rf $(BUILD) $(BUILD)-*
