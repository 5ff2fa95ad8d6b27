# The two everyday commands, `make run` and `make test`; CMake does the work.
BUILD_DIR ?= build
CMAKE_FLAGS ?=

.PHONY: all run test clean bench fuzz windows windows64 test-windows package \
  package-windows test-packages

# Configures a new build folder, and an existing one again when given flags.
all:
	$(if $(CMAKE_FLAGS)$(if $(wildcard $(BUILD_DIR)/CMakeCache.txt),,new), \
	  cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS))
	cmake --build $(BUILD_DIR) --parallel

run: all
	$(abspath $(BUILD_DIR))/polymul

# No test at all is a failure: GoogleTest was missing when the build was set up.
test: all
	ctest --test-dir $(BUILD_DIR) --output-on-failure --parallel 2 --no-tests=error

# Every build folder that these targets make.
clean:
	rm -rf $(BUILD_DIR) build-fuzz $(WINDOWS_BUILD_DIR) $(WINDOWS64_BUILD_DIR) build-cross-*

# Instructions of one full run against the floor program, under callgrind.
bench: all
	bench/run_bench.sh $(BUILD_DIR)

# The dialogue under libFuzzer with ASan and UBSan, for FUZZ_SECONDS; the
# corpus it grows stays in build-fuzz/corpus.
FUZZ_SECONDS ?= 600
FUZZ_CXX ?= clang++-14
fuzz:
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DPOLYMUL_FUZZ=ON \
	  -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz --parallel --target polymul_fuzz
	mkdir -p build-fuzz/corpus
	build-fuzz/fuzz/polymul_fuzz build-fuzz/corpus fuzz/corpus -max_len=512 \
	  -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -artifact_prefix=build-fuzz/ \
	  $(FUZZ_FLAGS)

# The Windows console programs, cross-built with MinGW-w64: 32-bit and 64-bit.
WINDOWS_BUILD_DIR ?= build-windows
WINDOWS64_BUILD_DIR ?= build-windows64
windows:
	cmake -S . -B $(WINDOWS_BUILD_DIR) --toolchain cmake/mingw-w64-i686.cmake \
	  -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build $(WINDOWS_BUILD_DIR) --parallel --target polymul
windows64:
	cmake -S . -B $(WINDOWS64_BUILD_DIR) --toolchain cmake/mingw-w64-x86_64.cmake \
	  -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build $(WINDOWS64_BUILD_DIR) --parallel --target polymul

# The end-to-end and console cases on both under Wine (32-bit where it runs).
test-windows: all windows windows64
	tests/test_windows.sh $(BUILD_DIR) $(WINDOWS_BUILD_DIR) $(WINDOWS64_BUILD_DIR)

# A .deb of the program and its manual pages; dpkg-shlibdeps computes Depends.
package: all
	cpack --config $(BUILD_DIR)/CPackConfig.cmake -B $(BUILD_DIR)

# A .zip of the 32-bit Windows program with a short text for Windows users.
package-windows: windows
	cpack --config $(WINDOWS_BUILD_DIR)/CPackConfig.cmake -B $(WINDOWS_BUILD_DIR)

# Both packages, their contents and fields, the unpacked program, the pages.
test-packages: package package-windows
	packaging/test_packages.sh $(BUILD_DIR) $(WINDOWS_BUILD_DIR)
