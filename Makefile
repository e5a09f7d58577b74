# One-word commands for setting up, building and testing tesmo.
#   make deps   install the Debian packages the project needs (apt-get)
#   make build  configure and build (build/)
#   make test   deps, build and every test, then the sanitizer build and its tests
#   make bench  build the benchmarks (build/bench/)
#   make demo   run tesmo_demo on the bundled sample scene

JOBS  ?= $(shell nproc)
BUILD ?= build
ASAN  ?= build-asan
CMAKE_FLAGS ?=
CTEST_FLAGS ?= --output-on-failure --timeout 600
export OPENCV_OPENCL_DEVICE ?= :CPU:

.PHONY: deps configure build test test-main test-asan bench demo install clean

deps:
	bash scripts/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

$(ASAN)/build.ninja:
	cmake -S . -B $(ASAN) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESMO_SANITIZE=ON \
	  -DTESMO_BUILD_BENCH=OFF $(CMAKE_FLAGS)

configure: $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test-main: build
	cd $(BUILD) && ctest -j $(JOBS) $(CTEST_FLAGS)

# Leaks are detected: a leak in the project's code fails the run. The suppression file names only
# third-party libraries; allocation stacks are unwound whole (fast_unwind_on_malloc=0) so that
# those made inside libraries built without frame pointers still show the library that made them.
# use_sigaltstack=0: LLVM (inside PoCL, the OpenCL device) gives its threads an alternate signal
# stack from malloc, which ASan would otherwise unmap as its own when such a thread ends.
LSAN_SUPPRESSIONS := $(CURDIR)/scripts/lsan.supp
ASAN_RUN_OPTIONS := detect_leaks=1:fast_unwind_on_malloc=0:use_sigaltstack=0:abort_on_error=1

test-asan: $(ASAN)/build.ninja
	cmake --build $(ASAN) -j $(JOBS)
	cd $(ASAN) && ASAN_OPTIONS=$(ASAN_RUN_OPTIONS) \
	  LSAN_OPTIONS=suppressions=$(LSAN_SUPPRESSIONS):print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest -j $(JOBS) $(CTEST_FLAGS)

test: deps
	$(MAKE) test-main
	$(MAKE) test-asan

bench: build

demo: deps build
	bash scripts/run-demo.sh $(BUILD) $(FRAMES)

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX),)

clean:
	rm -rf $(BUILD) $(ASAN) out
