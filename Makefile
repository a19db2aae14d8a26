# `make` sets up what is missing and builds; `make test` runs every test;
# `make demo` runs the loopback example.
PY := $(shell . tools/paths.sh && echo $$py)
JOBS := $(shell nproc)
BUILD := build/dev
CMAKE_FLAGS := -DPython_EXECUTABLE=$(PY) -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all setup build test test-cpp test-python sanitize demo bench check-314 clean stress asan-pytest tsan-pytest

all: build

setup:
	@tools/bootstrap

build: setup
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)
	# pytest's status 5 means it collected nothing, which is no failure here.
	tools/python -m pytest -q tests/python || [ $$? -eq 5 ]

sanitize: setup
	cmake -S . -B build/asan -DMAROVENDA_MODULE=OFF -DMAROVENDA_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build build/asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir build/asan --output-on-failure -j$(JOBS)
	cmake -S . -B build/tsan -DMAROVENDA_MODULE=OFF -DMAROVENDA_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build build/tsan -j$(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build/tsan --output-on-failure -j$(JOBS)

# Every source compiles against CPython 3.14's free-threaded headers.
check-314:
	@tools/bootstrap --with-314-headers
	tools/check-314

demo: build
	tools/python examples/loopback.py

bench: build
	cmake -S . -B build/bench $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DMAROVENDA_TESTS=OFF >/dev/null
	cmake --build build/bench -j$(JOBS)
	PYTHONPATH=build/bench/pkg $(PY) bench/run.py

clean:
	rm -rf build

# The reliability suite: load, faults and bad input, each scenario in its own
# interpreter under a watchdog. CI runs the same with --short.
stress: build
	tools/python tests/stress/run.py

# The whole pytest suite once against a module built with ASan and UBSan. Debug,
# since the optimiser's maybe-uninitialized warnings under ASan are false
# alarms that -Werror would stop at. Leaks are not checked: the runtime and
# the interpreter keep their allocations until the process ends.
asan-pytest: setup
	cmake -S . -B build/asan-py $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DMAROVENDA_SANITIZE=address -DMAROVENDA_TESTS=OFF >/dev/null
	cmake --build build/asan-py -j$(JOBS)
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		PYTHONPATH=build/asan-py/pkg $(PY) -m pytest -q -p no:cacheprovider tests/python

# The whole pytest suite inside a CPython built with ThreadSanitizer (clang),
# against a module built the same way, with CPython's own suppressions. The
# deadlock detector is off: the fork handler holds eight locks per live port,
# and the detector fails internally past 64 held at once.
TSAN_HOME := $(shell . tools/paths.sh && echo $$tsan_prefix)
tsan-pytest: setup
	@tools/bootstrap --with-tsan-python
	cmake -S . -B build/tsan-py -DPython_EXECUTABLE=$(TSAN_HOME)/bin/python3.13t -DCMAKE_CXX_COMPILER=clang++ \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DMAROVENDA_SANITIZE=thread -DMAROVENDA_TESTS=OFF >/dev/null
	cmake --build build/tsan-py -j$(JOBS)
	# Reports go to files: pytest captures the test process's stderr.
	rm -f build/tsan-py/report.*
	TSAN_OPTIONS=suppressions=$(TSAN_HOME)/suppressions_free_threading.txt:halt_on_error=1:detect_deadlocks=0:log_path=$(CURDIR)/build/tsan-py/report \
		PYTHONPATH=build/tsan-py/pkg:$$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])') \
		$(TSAN_HOME)/bin/python3.13t -m pytest -q -p no:cacheprovider tests/python \
		|| { cat build/tsan-py/report.* 2>/dev/null; exit 1; }
	@if ls build/tsan-py/report.* >/dev/null 2>&1; then cat build/tsan-py/report.*; exit 1; fi
