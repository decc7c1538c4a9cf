# A thin front to CMake; works with GNU make and BSD make alike.
.POSIX:

BUILD = build
SANITIZE_BUILD = build-sanitize
JOBS = 4
RUN_FLAGS = -v
CMAKE_FLAGS =

all: binaries

binaries:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) --parallel 2

# The daemon in the foreground on its built-in settings, diagnostics on stdout.
run: binaries
	./$(BUILD)/mirebox $(RUN_FLAGS)

test: binaries
	cd $(BUILD) && ctest --output-on-failure --parallel $(JOBS)

# Every test again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize:
	cmake -S . -B $(SANITIZE_BUILD) -DMIREBOX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_BUILD) --parallel 2
	cd $(SANITIZE_BUILD) && ctest --output-on-failure --parallel $(JOBS)

install: binaries
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)

.PHONY: all binaries run test test-sanitize install clean
