# The two commands: `make run` builds and starts the server, `make test`
# installs what the tests need where it can, builds everything and runs every
# test. `make check` is the quick run: unit and black-box tests only.
JOBS ?= $(shell nproc)
PREFIX ?= $(HOME)/.local
PREREQUISITES = tests/prerequisites.sh
# Where `make package` builds and leaves the packages; the packaging check
# points them at scratch folders.
DIST ?= dist
PACKAGE_BUILD ?= build-package
PORTABLE_BUILD ?= build-portable
WINDOWS_BUILD ?= build-windows
# The static ARM servers, for the ARM archives and tests.
AARCH64_BUILD ?= build-aarch64
ARMHF_BUILD ?= build-armhf
# One build context per image: the stripped static server and an empty wiki/.
CONTAINER_BUILD ?= build-container
MINGW = x86_64-w64-mingw32-g++
# podman, or buildah where podman is missing; empty: no container image.
CONTAINER_TOOL ?= $(firstword $(shell command -v podman buildah))
VERSION := $(shell sed -n 's/^project.Quillet VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

.PHONY: build run test check bench windows arm sanitize fuzz install uninstall package container clean

build:
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

run: build
	./build/quillet

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
	cmake --preset aarch64 -B "$(AARCH64_BUILD)" >/dev/null
	cmake --build "$(AARCH64_BUILD)" -j $(JOBS)
	cmake --preset armhf -B "$(ARMHF_BUILD)" >/dev/null
	cmake --build "$(ARMHF_BUILD)" -j $(JOBS)

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
	      "$(PREFIX)/share/doc/quillet/copyright" "$(PREFIX)/share/man/man1/quillet.1"
	-rmdir "$(PREFIX)/share/doc/quillet" 2>/dev/null

# The ARM archive and Debian package for one preset, where its cross compiler
# is installed: $(call arm_packages,preset,static build,Debian architecture,
# compiler[,static]). dpkg-shlibdeps takes the package's dependencies from
# Debian's own libraries of that architecture (libc6:arm64 and the rest,
# beside the system's), as it does for the amd64 package; a package whose
# server is static, as the armhf one is, needs none.
define arm_packages
	@if ! command -v $(4) >/dev/null; then \
	  echo "$(4) is not installed: no $(1) archive or package"; \
	else \
	  cmake --preset $(1) -B "$(2)" >/dev/null && \
	  cmake --build "$(2)" -j $(JOBS) && \
	  cpack --config "$(2)/CPackConfig.cmake" -B "$(2)/cpack" >/dev/null && \
	  cp "$(2)"/cpack/*.tar.gz "$(DIST)/" && \
	  if [ "$(5)" != static ] && ! dpkg-query -W libstdc++6:$(3) >/dev/null 2>&1; then \
	    echo "libstdc++6:$(3) is not installed: no $(3) package" \
	         "(dpkg --add-architecture $(3); apt-get install libc6:$(3) libgcc-s1:$(3) libstdc++6:$(3))"; \
	  else \
	    cmake --preset package-$(1) -B "$(PACKAGE_BUILD)-$(1)" >/dev/null && \
	    cmake --build "$(PACKAGE_BUILD)-$(1)" -j $(JOBS) && \
	    DEB_HOST_ARCH=$(3) cpack --config "$(PACKAGE_BUILD)-$(1)/CPackConfig.cmake" \
	      -B "$(PACKAGE_BUILD)-$(1)/cpack" >/dev/null && \
	    cp "$(PACKAGE_BUILD)-$(1)"/cpack/*.deb "$(DIST)/"; \
	  fi; \
	fi
endef

# A Debian package, a Linux archive with a fully static server, the same two
# for 64-bit and 32-bit ARM where the cross compilers are installed, where
# mingw-w64 is installed a zip and (with NSIS) an installer for Windows, and
# where podman or buildah is installed the container image, in $(DIST).
package:
	cmake --preset package -B "$(PACKAGE_BUILD)" >/dev/null
	cmake --build "$(PACKAGE_BUILD)" -j $(JOBS)
	cpack --config "$(PACKAGE_BUILD)/CPackConfig.cmake" -B "$(PACKAGE_BUILD)/cpack" >/dev/null
	mkdir -p "$(DIST)" && cp "$(PACKAGE_BUILD)"/cpack/*.deb "$(DIST)/"
	cmake --preset portable -B "$(PORTABLE_BUILD)" >/dev/null
	cmake --build "$(PORTABLE_BUILD)" -j $(JOBS)
	cpack --config "$(PORTABLE_BUILD)/CPackConfig.cmake" -B "$(PORTABLE_BUILD)/cpack" >/dev/null
	cp "$(PORTABLE_BUILD)"/cpack/*.tar.gz "$(DIST)/"
	$(call arm_packages,aarch64,$(AARCH64_BUILD),arm64,aarch64-linux-gnu-g++)
	$(call arm_packages,armhf,$(ARMHF_BUILD),armhf,arm-linux-gnueabi-g++,static)
	@if command -v $(MINGW) >/dev/null; then \
	  cmake --preset windows -B "$(WINDOWS_BUILD)" >/dev/null && \
	  cmake --build "$(WINDOWS_BUILD)" -j $(JOBS) && \
	  cpack --config "$(WINDOWS_BUILD)/CPackConfig.cmake" -B "$(WINDOWS_BUILD)/cpack" >/dev/null && \
	  cp "$(WINDOWS_BUILD)"/cpack/*.zip "$(DIST)/"; \
	else echo "mingw-w64 is not installed: no Windows zip or installer"; fi
	@if command -v $(MINGW) >/dev/null && command -v makensis >/dev/null; then \
	  cmake --build "$(WINDOWS_BUILD)" --target installer >/dev/null && \
	  cp "$(WINDOWS_BUILD)"/quillet-*-setup.exe "$(DIST)/"; \
	elif command -v $(MINGW) >/dev/null; then \
	  echo "NSIS is not installed (apt-get install nsis): no Windows installer"; fi
	@if [ -n "$(CONTAINER_TOOL)" ]; then $(MAKE) --no-print-directory container; \
	else echo "podman and buildah are not installed (CONTAINER_TOOL): no container image"; fi
	@ls -1 "$(DIST)"

# The image for amd64, arm64, arm/v6 and arm/v7 as one OCI archive with one
# tag; both 32-bit ARM images hold the one ARMv6 server. The
# images are FROM scratch, so building the ARM ones runs nothing of theirs and
# needs no emulation. The list and the images are removed from the local store
# again; `podman load -i` the archive to use it.
OCI_ARCHIVE = $(DIST)/quillet-$(VERSION)-oci.tar
# Names in the local store while the archive is made.
IMAGE_LIST = localhost/quillet-package:$(VERSION)
IMAGE_OF = localhost/quillet-package-$(1):$(VERSION)
container:
	cmake --preset portable -B "$(PORTABLE_BUILD)" >/dev/null
	cmake --build "$(PORTABLE_BUILD)" -j $(JOBS)
	@$(MAKE) --no-print-directory arm
	$(call stage_server,$(PORTABLE_BUILD),amd64)
	$(call stage_server,$(AARCH64_BUILD),arm64)
	$(call stage_server,$(ARMHF_BUILD),arm)
	@$(CONTAINER_TOOL) manifest rm $(IMAGE_LIST) >/dev/null 2>&1 || true
	$(CONTAINER_TOOL) manifest create $(IMAGE_LIST) >/dev/null
	$(call build_image,linux/amd64,amd64)
	$(call build_image,linux/arm64,arm64)
	$(call build_image,linux/arm/v6,arm)
	$(call build_image,linux/arm/v7,arm)
	mkdir -p "$(DIST)" && rm -f "$(OCI_ARCHIVE)"
	$(CONTAINER_TOOL) manifest push --all --quiet --format oci $(IMAGE_LIST) \
	  "oci-archive:$(OCI_ARCHIVE):quillet:$(VERSION)"
	$(CONTAINER_TOOL) manifest rm $(IMAGE_LIST) >/dev/null
	$(CONTAINER_TOOL) rmi $(foreach platform,amd64 arm64 arm-v6 arm-v7,$(call IMAGE_OF,$(platform))) >/dev/null

# A build folder, then the image's folder: the server stripped with the strip of
# its own toolchain.
define stage_server
	rm -rf "$(CONTAINER_BUILD)/$(2)" && mkdir -p "$(CONTAINER_BUILD)/$(2)/wiki"
	$$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$(1)/CMakeCache.txt") \
	  -o "$(CONTAINER_BUILD)/$(2)/quillet" "$(1)/quillet"
endef

# A platform, then the image's folder; the image is named after the platform.
define build_image
	$(CONTAINER_TOOL) build --quiet --layers=false --platform $(1) --build-arg VERSION=$(VERSION) \
	  -t $(call IMAGE_OF,$(subst /,-,$(1:linux/%=%))) --manifest $(IMAGE_LIST) \
	  -f packaging/container/Containerfile "$(CONTAINER_BUILD)/$(2)" >/dev/null
endef

clean:
	rm -rf build build-sanitize build-windows build-fuzz build-package build-portable \
	       build-aarch64 build-armhf build-package-aarch64 build-package-armhf \
	       build-container dist
