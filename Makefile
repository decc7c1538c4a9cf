# A thin front to CMake; works with GNU make and BSD make alike.
.POSIX:

BUILD = build
SANITIZE_BUILD = build-sanitize
FUZZ_BUILD = build-fuzz
POLL_BUILD = build-poll
FREEBSD_BUILD = build-freebsd
FREEBSD_SYSROOTS = ../shared/freebsd
FUZZ_SECONDS = 20
JOBS = 4
RUN_FLAGS = -v
PREFIX = /usr/local
CMAKE_FLAGS =
# Packages whose tests must not be skipped (CI installs them all).
FAIL_ON_SKIPPED =

all: binaries

configure:
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)

binaries: configure
	cmake --build $(BUILD) --parallel 2

# The daemon in the foreground on its built-in settings, diagnostics on stdout.
run: configure
	cmake --build $(BUILD) --parallel 2 --target mirebox
	./$(BUILD)/mirebox $(RUN_FLAGS)

# Ends with the list of whatever was skipped, and what would let it run.
test: binaries
	rm -rf $(BUILD)/skipped; status=0; \
	(cd $(BUILD) && ctest --output-on-failure --parallel $(JOBS)) || status=$$?; \
	python3 tests/support/report_skips.py $(BUILD) --fail-on $(FAIL_ON_SKIPPED) || status=1; \
	exit $$status

# Every test again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize:
	cmake -S . -B $(SANITIZE_BUILD) -DMIREBOX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_BUILD) --parallel 2
	rm -rf $(SANITIZE_BUILD)/skipped; status=0; \
	(cd $(SANITIZE_BUILD) && ctest --output-on-failure --parallel $(JOBS)) || status=$$?; \
	python3 tests/support/report_skips.py $(SANITIZE_BUILD) --fail-on $(FAIL_ON_SKIPPED) || status=1; \
	exit $$status

# The signal and load tests again on the portable loop, plain poll(2) as
# where ppoll is missing.
test-poll:
	cmake -S . -B $(POLL_BUILD) -DMIREBOX_HAVE_PPOLL=OFF $(CMAKE_FLAGS)
	cmake --build $(POLL_BUILD) --parallel 2 --target e2e_programs
	rm -rf $(POLL_BUILD)/skipped; status=0; \
	(cd $(POLL_BUILD) && ctest --output-on-failure --parallel $(JOBS) \
		-R 'e2e_test_(service|reload|faults)$$') || status=$$?; \
	python3 tests/support/report_skips.py $(POLL_BUILD) --fail-on $(FAIL_ON_SKIPPED) || status=1; \
	exit $$status

# The daemon cross-built for FreeBSD against each sysroot in FREEBSD_SYSROOTS
# and, where one has the C library, linked (needs clang and lld).
check-freebsd:
	sh tools/check-freebsd $(FREEBSD_SYSROOTS) $(FREEBSD_BUILD)

# Each fuzz target for FUZZ_SECONDS, growing its corpus in $(FUZZ_BUILD).
fuzz:
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DMIREBOX_FUZZ=ON \
		-DMIREBOX_SANITIZE=ON -DMIREBOX_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) --parallel 2
	for target in config_file values stats_line; do \
		mkdir -p $(FUZZ_BUILD)/corpus-$$target && \
		./$(FUZZ_BUILD)/$${target}_fuzz -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=2 \
			-print_final_stats=1 $(FUZZ_BUILD)/corpus-$$target tests/fuzz/$${target}_corpus \
			|| exit 1; \
	done

# Into PREFIX, below $DESTDIR when that is set (a staging tree for packages).
install: binaries
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD) $(POLL_BUILD) $(FREEBSD_BUILD)

.PHONY: all configure binaries run test test-sanitize test-poll check-freebsd fuzz install clean
