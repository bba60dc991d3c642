# The two commands: `make run` builds and starts the server, `make test` builds
# and runs every test.
JOBS ?= $(shell nproc)

.PHONY: build run test bench windows sanitize fuzz browser-packages clean

build:
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

run: build
	./build/quillet

test: windows sanitize fuzz build browser-packages
	ctest --preset default

# The sanitizer build of the whole suite; ctest above runs its binaries.
sanitize:
	cmake --preset sanitize >/dev/null
	cmake --build --preset sanitize -j $(JOBS)

# The libFuzzer targets, when clang is installed.
fuzz:
	@if command -v clang++ >/dev/null; then \
	  cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j $(JOBS); \
	else echo "clang is not installed: the fuzz runs are skipped"; fi

# The Windows executable, when the mingw-w64 cross compiler is installed.
windows:
	@if command -v x86_64-w64-mingw32-g++ >/dev/null; then \
	  cmake --preset windows >/dev/null && cmake --build --preset windows -j $(JOBS); \
	else echo "mingw-w64 is not installed: the Windows build and its tests are skipped"; fi

# The browser test's npm packages; without npm the browser test says it skipped.
browser-packages:
	@if command -v npm >/dev/null && [ ! -d tests/browser/node_modules ]; then \
	  npm ci --prefix tests/browser --no-audit --no-fund || true; fi

# Benchmarks and the loopback probe; they measure, they never fail.
bench: build
	./build/bench/text_bench --benchmark_min_time=0.5
	./build/bench/loopback_probe 20

clean:
	rm -rf build build-sanitize build-windows build-fuzz
