# The two commands: `make run` builds and starts the server, `make test` builds
# and runs every test.
JOBS ?= $(shell nproc)
PREFIX ?= $(HOME)/.local

.PHONY: build run test bench windows sanitize fuzz browser-packages install uninstall package \
        clean

build:
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

run: build
	./build/quillet

test: windows sanitize fuzz build browser-packages
	@[ -x build/tests/unit_tests ] || echo "GoogleTest and GoogleMock are not installed" \
	  "(apt-get install libgtest-dev libgmock-dev): only the server was built, no test runs."
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
	@if [ -x build/bench/text_bench ]; then ./build/bench/text_bench --benchmark_min_time=0.5; \
	else echo "Google Benchmark is not installed (libbenchmark-dev): text benchmarks skipped"; fi
	./build/bench/loopback_probe 20

# The server to $(PREFIX)/bin and its systemd user unit to where systemd looks
# for that prefix.
install: build
	cmake --install build --prefix "$(PREFIX)"
	@echo "Start the wiki now and at every login with: systemctl --user enable --now quillet"

uninstall:
	@echo "If you enabled the service, first run: systemctl --user disable --now quillet"
	rm -f "$(PREFIX)/bin/quillet" "$(PREFIX)/share/systemd/user/quillet.service" \
	      "$(PREFIX)/share/doc/quillet/copyright"
	-rmdir "$(PREFIX)/share/doc/quillet" 2>/dev/null

# A Debian package, and a zip for Windows when mingw-w64 is installed, in dist/.
package:
	cmake --preset package >/dev/null
	cmake --build --preset package -j $(JOBS)
	cd build-package && cpack -B cpack >/dev/null
	mkdir -p dist && cp build-package/cpack/*.deb dist/
	@if command -v x86_64-w64-mingw32-g++ >/dev/null; then \
	  $(MAKE) --no-print-directory windows && cd build-windows && cpack -B cpack >/dev/null && \
	  cp cpack/*.zip ../dist/; \
	else echo "mingw-w64 is not installed: no Windows zip"; fi
	@ls -1 dist

clean:
	rm -rf build build-sanitize build-windows build-fuzz build-package dist
