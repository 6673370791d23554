# Two commands for a newcomer: `make run` and `make test`. Everything else is for developers.
# Each target configures and builds what it needs in its own folder under build/.

ARGS ?=
JOBS ?= 2
BUILD := build
# The folder of real firmware images that the shipped program carries (`make run`, `make install`,
# `make package`, `make windows`): FIRMWARE_DIR=/path/to/images, relative to the repo or absolute.
# Empty: the repo's placeholder images (images/firmware), with which the program writes nothing.
# It is passed at every configure, so a reused build folder follows it, and goes back to the
# repo's folder when it is empty.
FIRMWARE_DIR ?=
FIRMWARE_PATH = $(if $(strip $(FIRMWARE_DIR)),$(if $(filter /%,$(FIRMWARE_DIR)),,$(CURDIR)/)$(FIRMWARE_DIR),$(CURDIR)/images/firmware)
FIRMWARE_CONFIG = '-DIOLINK_FIRMWARE_DIR=$(FIRMWARE_PATH)'
NEEDED_PACKAGES := cmake g++ make libgtest-dev libssl-dev nlohmann-json3-dev

# Configure and build quietly: the log goes to <folder>/build.log and is shown only on failure,
# so that `make run` prints exactly what the program prints.
define configure_and_build
	@mkdir -p $(1)
	@{ cmake -S . -B $(1) $(2) && cmake --build $(1) -j $(JOBS) $(3); } > $(1)/build.log 2>&1 \
		|| { cat $(1)/build.log; echo "Build failed; the log is in $(1)/build.log"; exit 1; }
endef

# Prints the configure's line of build folder $(1) that says which firmware images it carries.
define say_images
	@sed -n 's/^-- \(iolink-update: .*\)/\1/p' $(1)/build.log
endef

.PHONY: all help deps run build build-demo demo bench test test-fast test-asan test-tsan fuzz coverage format tidy clean

all: build ## the same as make build

# Each target that a user runs carries a "## what it does" note on its line; make help prints them.
help: ## list the targets, what each does and where it puts the program
	@sed -n 's/^\([a-z-]*\):[^#]*## \(.*\)/\1\t\2/p' $(MAKEFILE_LIST) | \
		awk -F'\t' '{ printf "  make %-14s %s\n", $$1, $$2 }'

# Installs the packages the build needs when run as root; otherwise says how.
deps: ## install the packages the build needs (as root), or print the apt-get line
	@# dpkg-query -W, not dpkg -s: a library installed for a cross build too (libssl-dev:arm64)
	@# has two instances, which dpkg -s refuses as an ambiguous name.
	@missing=""; for p in $(NEEDED_PACKAGES); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q "install ok installed" \
			|| missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
		if [ "$$(id -u)" = 0 ]; then \
			echo "Installing:$$missing"; \
			apt-get -o DPkg::Lock::Timeout=600 update -qq && DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq $$missing; \
		else \
			echo "Missing packages. Install them with:"; \
			echo "  sudo apt-get install -y$$missing"; exit 1; \
		fi; \
	fi

build: deps ## the program as it ships (Release): build/release/app/iolink-update
	$(call configure_and_build,$(BUILD)/release,-DCMAKE_BUILD_TYPE=Release -DIOLINK_BUILD_TESTS=OFF \
		$(FIRMWARE_CONFIG),--target iolink-update)

run: build ## build, then run build/release/app/iolink-update with ARGS
	@$(BUILD)/release/app/iolink-update $(ARGS)

# The test suite, the demo and the benchmark write the placeholder images into virtual masters;
# `make run` (and anything shipped) is built without placeholder writes.
TEST_CONFIG := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIOLINK_PLACEHOLDER_WRITES=ON
# The udev rule's test runs udevadm; the man page's, man.
TEST_PACKAGES := udev man-db
# A suite: the in-process tests JOBS at a time, then the real-time runs of the shipped program
# (label e2e) E2E_JOBS at a time: they mostly wait for the master's fixed pauses (the updater's CPU
# time is about 2 % of its wall time), so four share two cores without slowing one another.
E2E_JOBS ?= 4
RUN_SUITE = ctest --output-on-failure -j $(JOBS) -LE e2e && ctest --output-on-failure -j $(E2E_JOBS) -L e2e

test: deps ## the whole suite in build/test (its program: build/test/app/iolink-update)
	$(call ensure_packages,$(TEST_PACKAGES))
	$(call configure_and_build,$(BUILD)/test,$(TEST_CONFIG),)
	cd $(BUILD)/test && $(RUN_SUITE)

# The in-process tests alone, without the real-time runs of the shipped binary.
test-fast: deps ## the suite without the end-to-end runs (label e2e), in build/test
	$(call ensure_packages,$(TEST_PACKAGES))
	$(call configure_and_build,$(BUILD)/test,$(TEST_CONFIG),)
	cd $(BUILD)/test && ctest --output-on-failure -j $(JOBS) -LE e2e

test-asan: deps ## the suite with AddressSanitizer and UBSan, in build/asan
	$(call ensure_packages,$(TEST_PACKAGES))
	$(call configure_and_build,$(BUILD)/asan,-DCMAKE_BUILD_TYPE=Debug -DIOLINK_SANITIZE=address -DIOLINK_PLACEHOLDER_WRITES=ON,)
	cd $(BUILD)/asan && $(RUN_SUITE)

test-tsan: deps ## the suite with ThreadSanitizer, in build/tsan
	$(call ensure_packages,$(TEST_PACKAGES))
	$(call configure_and_build,$(BUILD)/tsan,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DIOLINK_SANITIZE=thread -DIOLINK_PLACEHOLDER_WRITES=ON,)
	cd $(BUILD)/tsan && export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" && $(RUN_SUITE)

# A whole update, shown as an operator sees it, against a virtual master in a private namespace:
# DEMO=v3 (default), DEMO=v2 (stack, then main firmware), DEMO=replug (2.0.5 with prompts).
DEMO ?= v3
build-demo: deps ## the demo program: build/test/tests/e2e/iolink-demo
	$(call configure_and_build,$(BUILD)/test,$(TEST_CONFIG),--target iolink-demo)

demo: build-demo ## a whole update against a virtual master (DEMO=v3, v2, replug)
	@$(BUILD)/test/tests/e2e/iolink-demo $(DEMO)

bench: ## time updates against virtual masters (the demo program, build/test)
	@bench/run_benchmark.sh

# The fuzz targets (tests/fuzz), built with clang and libFuzzer in a folder of their own, each run
# for FUZZ_SECONDS from its seed corpus. An input that makes a target fail is kept in
# tests/fuzz/regressions/, which `make test` replays.
FUZZ_SECONDS ?= 60
FUZZ_PACKAGES := clang libclang-rt-14-dev
fuzz: deps ## the fuzz targets for FUZZ_SECONDS each, in build/fuzz
	$(call ensure_packages,$(FUZZ_PACKAGES))
	$(call configure_and_build,$(BUILD)/fuzz,-DCMAKE_CXX_COMPILER=clang++ -DIOLINK_FUZZ=ON \
		-DIOLINK_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo,--target fuzz_receiver fuzz_services fuzz_port_search)
	@tests/fuzz/run_fuzz.sh $(BUILD)/fuzz $(FUZZ_SECONDS)

# The whole suite (the end-to-end runs of the instrumented program too) built with coverage
# instrumentation, then line and branch coverage per folder of the product code.
COVERAGE_PACKAGES := gcovr
coverage: deps ## the suite with coverage, figures per folder, in build/coverage
	$(call ensure_packages,$(TEST_PACKAGES) $(COVERAGE_PACKAGES))
	$(call configure_and_build,$(BUILD)/coverage,-DCMAKE_BUILD_TYPE=Debug -DIOLINK_COVERAGE=ON \
		-DIOLINK_PLACEHOLDER_WRITES=ON,)
	@find $(BUILD)/coverage -name '*.gcda' -delete
	@# Some end-to-end runs are made as another user (nobody): the counters' folders and files
	@# of this scratch build are left writable for it.
	@find $(BUILD)/coverage -type d -exec chmod a+rwx {} +
	cd $(BUILD)/coverage && umask 000 && ctest --output-on-failure -j $(JOBS)
	@tests/coverage_summary.py $(BUILD)/coverage

format: ## clang-format every C++ file of the repo
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

# clang-tidy with the checks of .clang-tidy over the product code (tests and the generated image
# tables left out): the native build's files, then the Windows layer as the cross build compiles it
# (clang told the MinGW target and the cross compiler's C++ headers). Any finding fails.
TIDY_BUILD := $(BUILD)/tidy
TIDY_FILES := '$(CURDIR)/(app|images|update|link|services|platform|sim)/'
MINGW_GCC_DIR = $(firstword $(wildcard /usr/lib/gcc/x86_64-w64-mingw32/*-posix))
TIDY_WINDOWS_ARGS = -extra-arg=--target=x86_64-w64-mingw32 -extra-arg=-Wno-unknown-warning-option \
	-extra-arg=-nostdinc++ -extra-arg=-isystem$(MINGW_GCC_DIR)/include/c++ \
	-extra-arg=-isystem$(MINGW_GCC_DIR)/include/c++/x86_64-w64-mingw32 \
	-extra-arg=-isystem$(MINGW_GCC_DIR)/include/c++/backward
# Runs run-clang-tidy with $(1) into $(TIDY_BUILD)/$(2).log; fails with the findings shown.
define run_tidy
	@run-clang-tidy -j $(JOBS) -quiet $(1) > $(TIDY_BUILD)/$(2).raw 2>&1; \
		status=$$?; sed 's/\x1b\[[0-9;]*m//g' $(TIDY_BUILD)/$(2).raw > $(TIDY_BUILD)/$(2).log; \
		grep -E '(warning|error):' $(TIDY_BUILD)/$(2).log | sort -u; \
		if [ $$status -ne 0 ] || grep -qE '(warning|error):' $(TIDY_BUILD)/$(2).log; then \
			echo "clang-tidy found the above; the whole log is in $(TIDY_BUILD)/$(2).log"; exit 1; fi
endef
tidy: deps ## clang-tidy over the product code, in build/tidy
	$(call ensure_packages,clang-tidy $(WINDOWS_PACKAGES))
	$(call configure_and_build,$(TIDY_BUILD),-DCMAKE_BUILD_TYPE=Debug -DIOLINK_BUILD_TESTS=OFF,)
	$(call run_tidy,-p $(TIDY_BUILD) $(TIDY_FILES),native)
	@cmake --preset windows > $(TIDY_BUILD)/windows-configure.log 2>&1 \
		|| { cat $(TIDY_BUILD)/windows-configure.log; exit 1; }
	$(call run_tidy,-p $(WINDOWS_BUILD)/cross $(TIDY_WINDOWS_ARGS) '$(CURDIR)/platform/windows/',windows)
	@echo "clang-tidy: no findings in the product code (native build and platform/windows)"

clean: ## remove build/
	rm -rf $(BUILD)

# ---- Installing on Linux: make install (DESTDIR, PREFIX), make package (a .deb), make lint-package ----

PREFIX ?= /usr/local
# The Debian architecture of the package: this machine's, or ARCH=<arch> (arm64, ...), which is
# cross-built with Debian's cross toolchain (crossbuild-essential-<arch>) in a folder of its own.
HOST_ARCH := $(shell dpkg --print-architecture 2>/dev/null)
PACKAGE_ARCH = $(or $(ARCH),$(HOST_ARCH))
# The package's architecture when it is not this machine's (a cross build); empty otherwise.
CROSS_ARCH = $(filter-out $(HOST_ARCH),$(PACKAGE_ARCH))
PACKAGE_BUILD = $(BUILD)/package$(if $(CROSS_ARCH),-$(PACKAGE_ARCH))
CROSS_CONFIG = $(if $(CROSS_ARCH),-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-debian-cross.cmake \
	-DIOLINK_DEB_ARCH=$(PACKAGE_ARCH))
PACKAGE_PACKAGES = dpkg-dev file gzip $(if $(CROSS_ARCH),crossbuild-essential-$(PACKAGE_ARCH) libssl-dev:$(PACKAGE_ARCH))
# The program as it ships (no placeholder writes), with Debian's hardening flags for the
# package's architecture.
BUILD_FLAGS = $(shell DEB_HOST_ARCH=$(PACKAGE_ARCH) DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get $(1) 2>/dev/null)
PACKAGE_FLAGS = $(call BUILD_FLAGS,CPPFLAGS) $(call BUILD_FLAGS,CXXFLAGS)
PACKAGE_LDFLAGS = $(call BUILD_FLAGS,LDFLAGS)

.PHONY: build-package install package lint-package

build-package: deps ## as build, with hardening flags: build/package/app/iolink-update
	@# A cross build takes the target's libraries (libssl-dev:<arch>) from dpkg's multiarch.
	@if [ "$(PACKAGE_ARCH)" != "$(HOST_ARCH)" ] && ! dpkg --print-foreign-architectures | grep -qx "$(PACKAGE_ARCH)"; then \
		if [ "$$(id -u)" = 0 ]; then dpkg --add-architecture $(PACKAGE_ARCH); \
		else echo "Run: sudo dpkg --add-architecture $(PACKAGE_ARCH)"; exit 1; fi; fi
	$(call ensure_packages,$(PACKAGE_PACKAGES))
	$(call configure_and_build,$(PACKAGE_BUILD),-DCMAKE_BUILD_TYPE=Release -DIOLINK_BUILD_TESTS=OFF \
		-DIOLINK_PLACEHOLDER_WRITES=OFF $(FIRMWARE_CONFIG) $(CROSS_CONFIG) '-DCMAKE_CXX_FLAGS=$(PACKAGE_FLAGS)' \
		'-DCMAKE_EXE_LINKER_FLAGS=$(PACKAGE_LDFLAGS)',)

install: build-package ## install the shipped program as PREFIX/bin/iolink-update (default /usr/local)
	DESTDIR="$(DESTDIR)" cmake --install $(PACKAGE_BUILD) --prefix "$(PREFIX)"

# The package's name carries its version (the program's and the carried images') and
# architecture: cpack names the file it wrote in its log.
package: build-package ## the Debian package: build/package/iolink-update_<version>_<arch>.deb
	@rm -f $(PACKAGE_BUILD)/*.deb
	@cd $(PACKAGE_BUILD) && cpack > cpack.log 2>&1 || { cat cpack.log; exit 1; }
	@echo "Built $(PACKAGE_BUILD)/$$(sed -n 's|^CPack: - package: .*/\([^/]*\.deb\) generated\.$$|\1|p' $(PACKAGE_BUILD)/cpack.log)"
	$(call say_images,$(PACKAGE_BUILD))

# lintian over the package: nothing but the overrides in packaging/linux/lintian-overrides.
lint-package: package ## lintian over the Debian package
	$(call ensure_packages,lintian)
	lintian --pedantic --fail-on error,warning,pedantic $(PACKAGE_BUILD)/iolink-update_*.deb

# Debian 13's lintian and dpkg over the package (make package, with ARCH as there), in a Debian 13
# root made once with mmdebstrap and then reused: DEBIAN13_ROOT, by default in build/ (a folder
# elsewhere outlives make clean; .ci/run keeps it in /var/cache).
DEBIAN13_ROOT ?= $(BUILD)/debian13
.PHONY: lint-package-debian13
lint-package-debian13: package ## lintian of Debian 13 over the Debian package (ARCH= as for package)
	$(call ensure_packages,mmdebstrap)
	@packaging/debian13_root.sh $(DEBIAN13_ROOT)
	@tests/packaging/debian13_check.sh $(DEBIAN13_ROOT) $(PACKAGE_BUILD)/iolink-update_*.deb

# The program of a cross-built package (ARCH=<arch>) where it would run: under qemu-user, through
# the end-to-end bench against virtual masters (one scan, one whole 3.x update). The package build
# with the repo's placeholder images is linted, and its code linked once more with placeholder
# writes on, for this test only (the package's program keeps them off); the bench and its tests
# are this machine's (build/test).
# qemu-user is Debian 13's, from the root of lint-package-debian13 (packaging/debian13_root.sh
# says why). The program runs on the target's own libraries as dpkg's multiarch installs them
# (libssl-dev:<arch> brings libc6:<arch>, with libstdc++6:<arch> beside it), not on the cross
# toolchain's folder: a loader from one and a C library from the other hang at the first thread.
CROSS_E2E_TESTS := ScanE2e.ListingMarksTheOneEligibleMaster:UpdateE2e.MainFirmwareOfA3xMaster
CROSS_GNU_CPU = $(shell dpkg-architecture -a$(PACKAGE_ARCH) -qDEB_HOST_GNU_CPU 2>/dev/null)

.PHONY: test-cross
test-cross: ## ARCH=arm64: the cross-built program under qemu-user against a virtual master
	@test -n "$(CROSS_ARCH)" \
		|| { echo "make test-cross needs ARCH=<another architecture than $(HOST_ARCH)>, for example ARCH=arm64"; exit 1; }
	@$(MAKE) --no-print-directory lint-package FIRMWARE_DIR=
	$(call ensure_packages,mmdebstrap $(TEST_PACKAGES) libstdc++6:$(PACKAGE_ARCH))
	@packaging/debian13_root.sh $(DEBIAN13_ROOT)
	@cmake --build $(PACKAGE_BUILD) -j $(JOBS) --target iolink-update-writes-on > $(PACKAGE_BUILD)/writes-on.log 2>&1 \
		|| { cat $(PACKAGE_BUILD)/writes-on.log; exit 1; }
	$(call configure_and_build,$(BUILD)/test,$(TEST_CONFIG),--target e2e_tests)
	IOLINK_E2E_UPDATER=$(CURDIR)/$(PACKAGE_BUILD)/app/placeholder-writes-on/iolink-update \
		IOLINK_E2E_RUN_AS="$(DEBIAN13_ROOT)/usr/bin/qemu-$(CROSS_GNU_CPU)" \
		$(BUILD)/test/tests/e2e/e2e_tests --gtest_filter=$(CROSS_E2E_TESTS)

# ---- Windows: cross build with MinGW-w64, tests under Wine ----

WINDOWS_BUILD := $(BUILD)/windows
WINDOWS_PACKAGES := g++-mingw-w64-x86-64-posix googletest
WINE_PACKAGES := wine wine64

.PHONY: windows test-windows

# Installs the packages $(1) (without the recommended extras) when run as root; otherwise says how.
define ensure_packages
	@missing=""; for p in $(1); do \
		dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" \
			|| missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
		if [ "$$(id -u)" = 0 ]; then \
			echo "Installing:$$missing"; \
			apt-get -o DPkg::Lock::Timeout=600 update -qq && DEBIAN_FRONTEND=noninteractive \
				apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends $$missing >/dev/null; \
		else \
			echo "Missing packages. Install them with:"; \
			echo "  sudo apt-get install -y --no-install-recommends$$missing"; exit 1; \
		fi; \
	fi
endef

# iolink-update.exe (statically linked: the one file to copy to the PC) and the Windows tests.
# The firmware images are turned into C++ on this machine, as in the native build. The shipped
# .exe is the linked one without debug information (kept beside it in iolink-update.exe.debug),
# signed with osslsigncode when a key is given (packaging/windows/sign.sh): SIGN_PKCS12 with
# SIGN_PASSWORD_FILE, or SIGN_PKCS11_MODULE with SIGN_KEY_URI and SIGN_CERT; SIGN_TIMESTAMP_URL,
# SIGN_CA_FILE and SIGN_TSA_CA_FILE optional. Without a key it is the reproducible unsigned build.
SIGN_VARIABLES := SIGN_PKCS12 SIGN_PASSWORD_FILE SIGN_PKCS11_MODULE SIGN_PKCS11_ENGINE SIGN_KEY_URI \
	SIGN_CERT SIGN_TIMESTAMP_URL SIGN_CA_FILE SIGN_TSA_CA_FILE
SIGNING = $(strip $(SIGN_PKCS12)$(SIGN_PKCS11_MODULE))
SIGN_ENVIRONMENT = $(foreach v,$(SIGN_VARIABLES),$(v)='$($(v))')
windows: deps ## cross-build build/windows/iolink-update.exe (signed when SIGN_* is given) and the Windows tests
	$(call ensure_packages,$(WINDOWS_PACKAGES) $(if $(SIGNING),osslsigncode))
	$(call configure_and_build,$(WINDOWS_BUILD)/cross,--preset windows $(FIRMWARE_CONFIG),)
	@cmake -DOBJDUMP=x86_64-w64-mingw32-objdump -DUPDATER=$(WINDOWS_BUILD)/cross/iolink-update.exe -DSTRIPPED=ON \
		-P tests/windows/updater_imports.cmake > $(WINDOWS_BUILD)/imports.log 2>&1 \
		|| { cat $(WINDOWS_BUILD)/imports.log; exit 1; }
	@rm -f $(WINDOWS_BUILD)/iolink-update.exe
	@$(if $(SIGNING),$(SIGN_ENVIRONMENT) packaging/windows/sign.sh $(WINDOWS_BUILD)/cross/iolink-update.exe \
		$(WINDOWS_BUILD)/iolink-update.exe,cp $(WINDOWS_BUILD)/cross/iolink-update.exe $(WINDOWS_BUILD)/iolink-update.exe)
	@cp $(WINDOWS_BUILD)/cross/iolink-update.exe.debug $(WINDOWS_BUILD)/iolink-update.exe.debug
	@echo "Built $(WINDOWS_BUILD)/iolink-update.exe$(if $(SIGNING), (signed)) (copy this one file to the Windows PC)"
	$(call say_images,$(WINDOWS_BUILD)/cross)

# Build checks of the shipped files (tests/packaging), each run once by .ci/run: signing with a
# certificate made for the check, and reproducibility of this folder's package and .exe (built
# before by make package and make windows) against a clone built in another folder.
.PHONY: check-signing check-reproducible
check-signing: windows ## sign the .exe with a test certificate and verify it
	$(call ensure_packages,osslsigncode openssl $(WINE_PACKAGES))
	@tests/packaging/signing_check.sh $(CURDIR)

check-reproducible: ## build again in another clone and compare the .deb and .exe
	@JOBS=$(JOBS) tests/packaging/reproducible_check.sh $(CURDIR)

# The Windows tests under Wine; the virtual master and the bench that maps it to a COM port of the
# Wine prefix are built for this machine in $(WINDOWS_BUILD)/host.
test-windows: windows ## the Windows tests under Wine (build/windows/cross, host)
	$(call ensure_packages,$(WINE_PACKAGES))
	$(call configure_and_build,$(WINDOWS_BUILD)/host,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DIOLINK_PLACEHOLDER_WRITES=ON,--target iolink-wine-bench iolink-wine-program-tests)
	tests/windows/run_wine_tests.sh $(WINDOWS_BUILD)/cross

# ---- A release: make release FIRMWARE_DIR=<folder of real images> ----

# Into dist/: the .deb for each of RELEASE_ARCHS (cross-built where it is not this machine's) and
# iolink-update.exe (signed when a key is given, as for make windows), all built from the real
# images of FIRMWARE_DIR, and SHA256SUMS over them. Placeholder images are refused before anything
# is built.
RELEASE_ARCHS ?= amd64 arm64
DIST := dist

.PHONY: release
release: ## FIRMWARE_DIR=...: the .deb for amd64 and arm64, the .exe and SHA256SUMS in dist/
	@test -n "$(strip $(FIRMWARE_DIR))" \
		|| { echo "make release: set FIRMWARE_DIR to the folder of real firmware images"; exit 1; }
	@cmake -DFOLDER=$(FIRMWARE_PATH) -P packaging/release_images.cmake
	@rm -rf $(DIST) && mkdir -p $(DIST)
	@for arch in $(RELEASE_ARCHS); do \
		$(MAKE) --no-print-directory package ARCH=$$arch || exit 1; \
		cp $$(ls $(BUILD)/package*/iolink-update_*_$$arch.deb) $(DIST)/ || exit 1; \
	done
	@$(MAKE) --no-print-directory windows
	@cp $(WINDOWS_BUILD)/iolink-update.exe $(DIST)/
	@cd $(DIST) && sha256sum *.deb iolink-update.exe > SHA256SUMS
	@echo "Release in $(DIST)/:" && cat $(DIST)/SHA256SUMS
