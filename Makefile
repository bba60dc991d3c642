# The two commands: `make run` builds and starts the server, `make test` builds
# and runs every test.
JOBS ?= $(shell nproc)

.PHONY: build run test clean

build:
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

run: build
	./build/quillet

test: build
	ctest --preset default

clean:
	rm -rf build build-sanitize build-windows build-fuzz
