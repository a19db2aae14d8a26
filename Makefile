# `make` sets up what is missing and builds; `make test` runs every test;
# `make demo` runs the loopback example.
PY := $(HOME)/.cache/marovenda/python3.13t/bin/python3.13t
JOBS := $(shell nproc)
BUILD := build/dev
CMAKE_FLAGS := -DPython_EXECUTABLE=$(PY) -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all setup build test test-cpp test-python sanitize demo bench check-314 clean

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
	cmake -S . -B build/bench $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DMAROVENDA_BENCH=ON >/dev/null
	cmake --build build/bench -j$(JOBS)
	PYTHONPATH=build/bench/pkg $(PY) bench/run.py

clean:
	rm -rf build
