# The two commands: `make run` builds and starts the server, `make test`
# installs what the tests need where it can, builds everything and runs every
# test. `make check` is the quick run: unit and black-box tests only.
JOBS ?= $(shell nproc)
PREFIX ?= $(HOME)/.local
PREREQUISITES = tests/prerequisites.sh
# The build folder of a preset, as CMakePresets.json alone names it; with no
# preset, those of all.
preset_folder = $(shell cmake -DPRESET=$(1) -P cmake/preset_folders.cmake)
DEFAULT_BUILD = $(call preset_folder,default)
# Where the packaging builds (each preset in its folder under BUILD_ROOT) and
# leaves the packages; the packaging checks point both at scratch folders.
BUILD_ROOT ?= .
DIST ?= dist
# One build context per image: the stripped static server and an empty wiki/.
CONTAINER_BUILD ?= $(BUILD_ROOT)/build-container
# podman, or buildah where podman is missing; empty: no container image.
CONTAINER_TOOL ?= $(firstword $(shell command -v podman buildah))
VERSION := $(shell sed -n 's/^project.Quillet VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# What the scripts in packaging/ are told.
PACKAGING = JOBS="$(JOBS)" BUILD_ROOT="$(BUILD_ROOT)" DIST="$(DIST)" VERSION="$(VERSION)" \
  CONTAINER_TOOL="$(CONTAINER_TOOL)" CONTAINER_BUILD="$(CONTAINER_BUILD)" packaging

.PHONY: build run test check bench windows arm sanitize fuzz install uninstall package container clean

build:
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

run: build
	./$(DEFAULT_BUILD)/quillet

# Installs what is missing first (apt-get, with sudo for that alone), or
# stops before building, naming what is missing.
test:
	@$(PREREQUISITES) install
	@$(MAKE) --no-print-directory build windows arm sanitize fuzz
	ctest --preset default

check:
	@$(PREREQUISITES) install quick
	@$(MAKE) --no-print-directory build
	ctest --preset default -R '^(unit|blackbox)[.]'

# The sanitizer build of the whole suite; ctest above runs its binaries.
sanitize:
	cmake --preset sanitize >/dev/null
	cmake --build --preset sanitize -j $(JOBS)

# The libFuzzer targets (clang).
fuzz:
	@$(PREREQUISITES) check fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

# The Windows executable (the mingw-w64 cross compiler).
windows:
	@$(PREREQUISITES) check windows
	cmake --preset windows >/dev/null
	cmake --build --preset windows -j $(JOBS)

# The fully static aarch64 server and the 32-bit ARM one, which runs from
# ARMv6 on (Debian's cross compilers).
arm:
	@$(PREREQUISITES) check arm
	$(PACKAGING)/build_presets.sh aarch64 armhf

# Benchmarks and the loopback probe; they measure, they never fail.
bench: build
	@if [ -x $(DEFAULT_BUILD)/bench/text_bench ]; then \
	  ./$(DEFAULT_BUILD)/bench/text_bench --benchmark_min_time=0.5; \
	else echo "Google Benchmark is not installed (libbenchmark-dev): text benchmarks skipped"; fi
	./$(DEFAULT_BUILD)/bench/loopback_probe 20

# The server to $(PREFIX)/bin and its systemd user unit to where systemd looks
# for that prefix.
install: build
	cmake --install $(DEFAULT_BUILD) --prefix "$(PREFIX)"
	@echo "Start the wiki now and at every login with: systemctl --user enable --now quillet"

uninstall:
	@echo "If you enabled the service, first run: systemctl --user disable --now quillet"
	rm -f "$(PREFIX)/bin/quillet" "$(PREFIX)/share/systemd/user/quillet.service" \
	      "$(PREFIX)/share/doc/quillet/copyright" "$(PREFIX)/share/man/man1/quillet.1"
	-rmdir "$(PREFIX)/share/doc/quillet" 2>/dev/null

# The packages of packaging/make_packages.sh and, where podman or buildah is
# installed, the container image, in $(DIST).
package:
	$(PACKAGING)/make_packages.sh
	@if [ -n "$(CONTAINER_TOOL)" ]; then $(MAKE) --no-print-directory container; \
	else echo "podman and buildah are not installed (CONTAINER_TOOL): no container image"; fi
	@ls -1 "$(DIST)"

# The OCI archive of packaging/container/make_oci_archive.sh.
container:
	@$(MAKE) --no-print-directory arm
	$(PACKAGING)/container/make_oci_archive.sh

clean:
	rm -rf $(addprefix $(BUILD_ROOT)/,$(call preset_folder,)) "$(CONTAINER_BUILD)" "$(DIST)"
