# The two commands: `make run` builds and starts the server, `make test` builds
# and runs every test.
JOBS ?= $(shell nproc)

.PHONY: build run test browser-packages clean

build:
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

run: build
	./build/quillet

test: build browser-packages
	ctest --preset default

# The browser test's npm packages; without npm the browser test says it skipped.
browser-packages:
	@if command -v npm >/dev/null && [ ! -d tests/browser/node_modules ]; then \
	  npm ci --prefix tests/browser --no-audit --no-fund || true; fi

clean:
	rm -rf build build-sanitize build-windows build-fuzz
