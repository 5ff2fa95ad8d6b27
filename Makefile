# The two everyday commands, `make run` and `make test`; CMake does the work.
BUILD_DIR ?= build
CMAKE_FLAGS ?=

.PHONY: all run test clean bench fuzz windows test-windows

all: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) --parallel

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)

run: all
	./$(BUILD_DIR)/polymul

test: all
	ctest --test-dir $(BUILD_DIR) --output-on-failure --parallel 2

clean:
	rm -rf $(BUILD_DIR)

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

# The 32-bit Windows console program, cross-built with MinGW-w64.
WINDOWS_BUILD_DIR ?= build-windows
windows:
	cmake -S . -B $(WINDOWS_BUILD_DIR) --toolchain cmake/mingw-w64-i686.cmake \
	  -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build $(WINDOWS_BUILD_DIR) --parallel --target polymul

# The end-to-end tests again, on the Windows program under Wine, in a Wine
# prefix of their own with a Russian system locale (ANSI 1251, OEM 866).
WINE_ENV = WINEPREFIX=$(abspath $(WINDOWS_BUILD_DIR))/wine WINEARCH=win32 WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=ru_RU.UTF-8
# A persistent wineserver saves a second of start-up on every run.
test-windows: all windows
	mkdir -p $(WINDOWS_BUILD_DIR)/wine
	$(WINE_ENV) setsid wineserver --persistent </dev/null
	$(WINE_ENV) setsid wineboot --init </dev/null && \
	  $(WINE_ENV) POLYMUL_WINDOWS=1 POLYMUL_LAUNCHER=wine \
	  POLYMUL_PROGRAM=$(WINDOWS_BUILD_DIR)/polymul.exe \
	  $(BUILD_DIR)/tests/polymul_end_to_end_tests --gtest_filter=-Locales/*; \
	  status=$$?; $(WINE_ENV) wineserver --kill; exit $$status
