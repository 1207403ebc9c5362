# The two commands of the README:
#   make test    set up, build, run every test
#   make demo    set up, build, run the reference host on an example
#   make docs    set up, write the API reference into $(BUILD_DIR)/docs/api/
# SANITIZE=1 builds and tests with AddressSanitizer and UndefinedBehaviorSanitizer
# in a folder of its own.

SANITIZE ?= 0
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

ifeq ($(SANITIZE),1)
BUILD_DIR ?= build-sanitize
CMAKE_ARGS += -DQM_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
# An allocation the machine cannot give returns null, as it does without the
# sanitizers, so that out-of-memory paths answer MemoryError.
export ASAN_OPTIONS ?= allocator_may_return_null=1
else
BUILD_DIR ?= build
endif

.PHONY: all setup configure build test demo docs bench fuzz refleaks clean

all: build

setup:
	@bash tools/setup.sh

# Configures once; later builds let CMake re-run itself when its inputs change.
configure: setup
	@test -f $(BUILD_DIR)/Makefile || cmake -S . -B $(BUILD_DIR) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

demo: build
	$(BUILD_DIR)/bin/qmhost --scripts examples servers
	$(BUILD_DIR)/bin/qmhost run examples/hello.py "a first" run
	$(BUILD_DIR)/bin/qmhost run examples/scene.py
	$(BUILD_DIR)/bin/qmhost run examples/progress.py
	$(BUILD_DIR)/bin/qmhost --scripts examples run examples/python_command.py
	$(BUILD_DIR)/bin/qmhost --scripts examples simulate falling.ball --steps 5
	$(BUILD_DIR)/bin/qmhost --scripts examples run examples/parallel.py

# Configures again first, so that a build folder made before the target
# existed knows it.
docs: configure
	@cmake $(BUILD_DIR) > /dev/null
	cmake --build $(BUILD_DIR) -j $(JOBS) --target qm_docs
	@echo "API reference: $(BUILD_DIR)/docs/api/index.html (and *.md beside it)"

# Speed measurements (not part of the tests): build/bin/*_bench.
bench: build
	@for b in $(BUILD_DIR)/bin/*_bench; do $$b; done

# Fuzzers (clang's libFuzzer with the sanitizers) in a folder of their own;
# each runs for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
FUZZ_DIR ?= build-fuzz
FUZZERS ?= split_arguments trim_lines exit_text completeness eval storage
fuzz: setup
	@test -f $(FUZZ_DIR)/Makefile || CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) \
	  -DQM_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	bash fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS) $(FUZZERS)

# References that each boundary operation leaves behind, counted by
# Python's debug build (python2.7-dbg) in a folder of its own: the table of
# the harness, then every wrapper method and every adapter slot twice.
REFLEAKS_DIR ?= build-refleaks
MULTIARCH := $(shell gcc -print-multiarch 2>/dev/null || echo x86_64-linux-gnu)
refleaks: setup
	@test -f $(REFLEAKS_DIR)/Makefile || cmake -S . -B $(REFLEAKS_DIR) -DCMAKE_BUILD_TYPE=Debug \
	  -DQM_PYTHON_DEBUG=ON \
	  -DPython2_EXECUTABLE=/usr/bin/python2.7-dbg -DPython2_INCLUDE_DIR=/usr/include/python2.7_d \
	  -DPython2_LIBRARY=/usr/lib/$(MULTIARCH)/libpython2.7_d.so
	cmake --build $(REFLEAKS_DIR) -j $(JOBS) --target qmhost refleaks_test wrapper_calls_test \
	  adapter_slots_test
	$(REFLEAKS_DIR)/bin/refleaks_test
	ctest --test-dir $(REFLEAKS_DIR) -R '^(WrapperCalls|AdapterSlots)[.]' --output-on-failure \
	  -j $(JOBS)

clean:
	rm -rf build build-sanitize build-fuzz build-refleaks
