# The two everyday commands, `make run` and `make test`; CMake does the work.
BUILD_DIR ?= build
CMAKE_FLAGS ?=

.PHONY: all run test clean

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
