# The two everyday commands, `make run` and `make test`; CMake does the work.
BUILD_DIR ?= build
CMAKE_FLAGS ?=
VERSION := $(shell sed -n 's/^project.polymul VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# Whether this folder is the top of a git checkout of its own, and not a copy
# of the sources inside someone else's.
own_checkout := $(shell [ "$$(git rev-parse --show-toplevel 2>/dev/null)" = "$$(pwd -P)" ] && echo yes)
# Packages take their time from the builder's SOURCE_DATE_EPOCH, else from the
# last commit, so that the same commit gives the same bytes; a source release
# has that time written in by git archive.
release_epoch := $(shell cat packaging/source-date-epoch)
SOURCE_DATE_EPOCH ?= $(if $(findstring Format,$(release_epoch)),$(if $(own_checkout),$(shell git log -1 --format=%ct)),$(release_epoch))
export SOURCE_DATE_EPOCH
# A package stamped with the time it was built would differ from build to build.
need_source_date = @[ -n "$(SOURCE_DATE_EPOCH)" ] || { echo "$@: no time to stamp the \
package with: this is neither a git checkout nor a source release; give one as \
SOURCE_DATE_EPOCH=<seconds since 1970>, e.g. make $@ SOURCE_DATE_EPOCH=$$(date +%s)"; exit 1; }
# As many compilers at once as make is given jobs (make -j4, a packager's
# parallel=1); one a core without -j.
JOBS = $(or $(patsubst -j%,%,$(filter -j%,$(MAKEFLAGS))),$(shell nproc))
# GoogleTest's sources, to build the tests with another standard library or
# for another system.
GTEST_SOURCE = /usr/src/googletest

.PHONY: all program run test install uninstall clean bench fuzz windows windows64 windows-tests \
  test-windows package package-windows dist test-deb test-install test-packages cross \
  test-cross

# Configures a new build folder, and an existing one again when given flags.
configure = if $(if $(CMAKE_FLAGS),true,false) || [ ! -f "$(BUILD_DIR)/CMakeCache.txt" ]; then \
	  cmake -S . -B "$(BUILD_DIR)" $(CMAKE_FLAGS); fi
all:
	$(configure)
	cmake --build "$(BUILD_DIR)" --parallel $(JOBS)
# The program alone, without the tests.
program:
	$(configure)
	cmake --build "$(BUILD_DIR)" --parallel $(JOBS) --target polymul

# The dialogue, not the build: what the build says is shown only if it fails.
run:
	@log=$$(mktemp) && { $(MAKE) -s --no-print-directory program >"$$log" 2>&1 || \
	  { cat "$$log"; rm -f "$$log"; exit 1; }; } && rm -f "$$log"
	@"$(BUILD_DIR)/polymul"

# No test at all is a failure: GoogleTest was missing when the build was set up.
test: all
	ctest --test-dir "$(BUILD_DIR)" --output-on-failure --parallel 2 --no-tests=error

# As cmake --install does it, into DESTDIR if given, readable by everyone
# whatever the umask. Each install is recorded in the build folder for its
# DESTDIR and PREFIX, and uninstall with the same ones removes what was
# recorded for them and nothing else: a file changed since stays, and so does
# a folder that holds anything else.
PREFIX ?= /usr/local
install: all
	packaging/installed_files.sh install "$(BUILD_DIR)" "$(PREFIX)" "$(DESTDIR)"
uninstall:
	packaging/installed_files.sh uninstall "$(BUILD_DIR)" "$(PREFIX)" "$(DESTDIR)"

# Every build folder that these targets and .ci/run make.
clean:
	rm -rf "$(BUILD_DIR)" build build-*

# Instructions of one full run against the floor program, under callgrind.
bench: all
	bench/run_bench.sh "$(BUILD_DIR)"

# The dialogue under libFuzzer with ASan and UBSan, for FUZZ_SECONDS; the
# corpus it grows stays in build-fuzz/corpus. A build folder of its own: its
# compiler and flags are not those of BUILD_DIR.
FUZZ_SECONDS ?= 600
FUZZ_CXX ?= clang++-14
FUZZ_BUILD_DIR ?= build-fuzz
fuzz:
	cmake -S . -B "$(FUZZ_BUILD_DIR)" -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DPOLYMUL_FUZZ=ON \
	  -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build "$(FUZZ_BUILD_DIR)" --parallel $(JOBS) --target polymul_fuzz
	mkdir -p "$(FUZZ_BUILD_DIR)/corpus"
	"$(FUZZ_BUILD_DIR)/fuzz/polymul_fuzz" "$(FUZZ_BUILD_DIR)/corpus" fuzz/corpus -max_len=512 \
	  -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	  -artifact_prefix="$(FUZZ_BUILD_DIR)/" $(FUZZ_FLAGS)

# The Windows console programs, cross-built with MinGW-w64: 32-bit and 64-bit,
# each in a folder of its own, beside BUILD_DIR's program for this machine.
WINDOWS_BUILD_DIR ?= build-windows
WINDOWS64_BUILD_DIR ?= build-windows64
windows:
	cmake -S . -B "$(WINDOWS_BUILD_DIR)" --toolchain cmake/mingw-w64-i686.cmake \
	  -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build "$(WINDOWS_BUILD_DIR)" --parallel $(JOBS) --target polymul
windows64:
	cmake -S . -B "$(WINDOWS64_BUILD_DIR)" --toolchain cmake/mingw-w64-x86_64.cmake \
	  -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build "$(WINDOWS64_BUILD_DIR)" --parallel $(JOBS) --target polymul
# Their unit tests, in a folder inside each, built with GoogleTest's sources by
# MinGW-w64's compilers for POSIX threads (cmake/mingw-w64.cmake says why).
WINDOWS_TESTS = unit-tests
windows-tests:
	for toolchain in "i686:$(WINDOWS_BUILD_DIR)" "x86_64:$(WINDOWS64_BUILD_DIR)"; do \
	  folder=$${toolchain#*:}/$(WINDOWS_TESTS); \
	  cmake -S . -B "$$folder" --toolchain cmake/mingw-w64-$${toolchain%%:*}.cmake \
	    -DPOLYMUL_GTEST_SOURCE=$(GTEST_SOURCE) -DPOLYMUL_MINGW_THREADS=posix $(CMAKE_FLAGS) && \
	  cmake --build "$$folder" --parallel $(JOBS) --target polymul_unit_tests || exit 1; \
	done

# The unit tests, end-to-end and console cases on both under Wine (32-bit
# where it runs).
test-windows: all windows windows64 windows-tests
	tests/test_windows.sh "$(BUILD_DIR)" "$(WINDOWS_BUILD_DIR)" "$(WINDOWS64_BUILD_DIR)" $(WINDOWS_TESTS)

# The program and its unit tests for another processor that Debian releases
# for (ARCH=arm64, say), and the project's suite run on them under qemu-user.
# Its .deb: make package BUILD_DIR=build-cross-arm64. The target's C and C++
# runtime is fetched once into the build folder, not installed.
ARCH ?= arm64
CROSS_BUILD_DIR ?= build-cross-$(ARCH)
CROSS_RUNTIME = $(abspath $(CROSS_BUILD_DIR))/runtime
CROSS_FLAGS = --toolchain cmake/debian-cross.cmake -DPOLYMUL_ARCH=$(ARCH) \
  -DPOLYMUL_TARGET_ROOT='$(CROSS_RUNTIME)/root'
cross:
	cmake/debian-cross-runtime.sh $(ARCH) "$(CROSS_RUNTIME)"
	cmake -S . -B "$(CROSS_BUILD_DIR)" $(CROSS_FLAGS) \
	  -DPOLYMUL_GTEST_SOURCE=$(GTEST_SOURCE) $(CMAKE_FLAGS)
	cmake --build "$(CROSS_BUILD_DIR)" --parallel $(JOBS)
test-cross: all cross
	tests/test_cross.sh $(ARCH) "$(BUILD_DIR)" "$(CROSS_BUILD_DIR)"
	$(MAKE) test-deb PACKAGE_DIR="$(CROSS_BUILD_DIR)-package" CMAKE_FLAGS="$(CROSS_FLAGS)"

# A .deb of the program, its manual pages, copyright and changelog;
# dpkg-shlibdeps computes Depends. The packager is named with
# CMAKE_FLAGS="-DPOLYMUL_MAINTAINER='Name <address>'". The modes inside are
# Debian's whatever the builder's umask: CPack takes its staging folders' modes.
# Without dpkg-dev or file, CPack's own message would name neither.
package:
	$(need_source_date)
	@for tool in dpkg-shlibdeps:dpkg-dev file:file; do command -v $${tool%%:*} >/dev/null || { \
	  echo "make package: $${tool%%:*} is missing (apt-get install $${tool#*:})"; exit 1; }; done
	$(MAKE) --no-print-directory all
	umask 022 && cpack --config "$(BUILD_DIR)/CPackConfig.cmake" -B "$(BUILD_DIR)"

# A .zip of each Windows program, 32-bit and 64-bit, with a short text for
# Windows users and the license. A zip holds times as local time: UTC, so that
# the bytes are the same in any time zone.
package-windows:
	$(need_source_date)
	$(MAKE) --no-print-directory windows windows64
	for build in "$(WINDOWS_BUILD_DIR)" "$(WINDOWS64_BUILD_DIR)"; do \
	  TZ=UTC0 cpack --config "$$build/CPackConfig.cmake" -B "$$build" || exit 1; done

# The source release: the files of the last commit under one folder, with
# the modes packagers expect (git's default leaves them group-writable). Only
# the project's own git checkout knows which files those are; written whole or
# not at all.
dist:
	@[ -n "$(own_checkout)" ] || { echo "make dist: this folder is not the top of a \
	git checkout of its own: the source release is made from one"; exit 1; }
	mkdir -p "$(BUILD_DIR)"
	git -c tar.tar.gz.command="gzip -9n" -c tar.umask=022 archive --format=tar.gz \
	  --prefix=polymul-$(VERSION)/ -o "$(BUILD_DIR)/polymul-$(VERSION).tar.gz.part" HEAD
	mv "$(BUILD_DIR)/polymul-$(VERSION).tar.gz.part" "$(BUILD_DIR)/polymul-$(VERSION).tar.gz"

# The packages as their users get them, and as Debian's checker sees them.
# The .deb is built twice, in two folders, the second under a builder's umask
# that lets nobody else read, with a maintainer of the reserved example.org
# domain; so are the source release, and the zips, in another time zone.
TEST_MAINTAINER = polymul tests <tests@example.org>
PACKAGE_FLAGS = -DBUILD_TESTING=OFF -DPOLYMUL_MAINTAINER='$(TEST_MAINTAINER)' $(CMAKE_FLAGS)
PACKAGE_DIR ?= build-package
test-deb:
	$(MAKE) package BUILD_DIR="$(PACKAGE_DIR)" CMAKE_FLAGS="$(PACKAGE_FLAGS)"
	umask 077 && $(MAKE) package BUILD_DIR="$(PACKAGE_DIR)/again" CMAKE_FLAGS="$(PACKAGE_FLAGS)"
	packaging/test_packages.sh deb "$(PACKAGE_DIR)" "$(PACKAGE_DIR)/again"
# make install and uninstall as a packager runs them, under that umask.
test-install: all
	packaging/test_packages.sh install "$(BUILD_DIR)" "$(CURDIR)/$(PACKAGE_DIR)/root"
test-packages: package-windows test-deb test-install
	TZ=Europe/Moscow $(MAKE) package-windows WINDOWS_BUILD_DIR="$(PACKAGE_DIR)/windows" \
	  WINDOWS64_BUILD_DIR="$(PACKAGE_DIR)/windows64"
	$(MAKE) dist BUILD_DIR="$(PACKAGE_DIR)"
	$(MAKE) dist BUILD_DIR="$(PACKAGE_DIR)/again"
	packaging/test_packages.sh zip "$(WINDOWS_BUILD_DIR)" "$(PACKAGE_DIR)/windows"
	packaging/test_packages.sh zip "$(WINDOWS64_BUILD_DIR)" "$(PACKAGE_DIR)/windows64"
	packaging/test_packages.sh dist "$(PACKAGE_DIR)" "$(PACKAGE_DIR)/again"
