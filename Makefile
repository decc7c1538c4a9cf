# A thin front to CMake; works with GNU make and BSD make alike.
.POSIX:

BUILD = build
SANITIZE_BUILD = build-sanitize
FUZZ_BUILD = build-fuzz
POLL_BUILD = build-poll
FREEBSD_BUILD = build-freebsd
FREEBSD_SYSROOTS = ../shared/freebsd
FUZZ_SECONDS = 20
# Parallel jobs of every build and every test run.
JOBS = 2
RUN_FLAGS = -v
PREFIX = /usr/local
CMAKE_FLAGS =
BENCH_CLIENTS_FLAGS =
# Packages whose tests must not be skipped (CI installs them all), and
# --strict where nothing at all may be skipped.
FAIL_ON_SKIPPED =
SKIPS =
# Installs the packages a target needs where it can, else names them.
DEPS = tools/deps

CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX)
# Runs the tests of the build tree $$tree (those matching $$only, if set),
# then lists whatever was skipped, and what would let it run.
CTEST_AND_SKIPS = rm -rf $$tree/skipped; status=0; \
	(cd $$tree && ctest --output-on-failure --parallel $(JOBS) $$only) || status=$$?; \
	PYTHONPATH=tests python3 -m support.report_skips $$tree $(SKIPS) \
		--fail-on $(FAIL_ON_SKIPPED) || status=1; \
	exit $$status
# What is installed: the daemon and the reader of its log.
PROGRAMS = mirebox mirebox-stats
# Where make dist, make port and make deb leave what they make.
DIST = $(BUILD)/dist
PORT = $(DIST)/port/sysutils/mirebox
DEB = $(BUILD)/deb
# The version, from the one place that says it.
VERSION = sed -n 's/^project(mirebox VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt

all: programs

# The programs alone; tests and benchmarks are options of their own.
programs:
	$(CONFIGURE) $(CMAKE_FLAGS)
	cmake --build $(BUILD) --parallel $(JOBS) --target $(PROGRAMS)

# The daemon in the foreground on its built-in settings, diagnostics on stdout.
run:
	$(DEPS) build
	$(CONFIGURE) $(CMAKE_FLAGS)
	cmake --build $(BUILD) --parallel $(JOBS) --target mirebox
	$(BUILD)/mirebox $(RUN_FLAGS)

# Ends with the list of whatever was skipped, and what would let it run.
test:
	$(DEPS) test
	$(CONFIGURE) -DMIREBOX_TESTS=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) --parallel $(JOBS)
	tree=$(BUILD); only='-LE release'; $(CTEST_AND_SKIPS)

# make dist, make port, make deb and make image into scratch folders, and
# their checks; with CI=true also the package installed, run and purged.
test-release:
	$(DEPS) ci
	$(CONFIGURE) -DMIREBOX_TESTS=ON $(CMAKE_FLAGS)
	tree=$(BUILD); only='-L release'; $(CTEST_AND_SKIPS)

# Every test again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize:
	cmake -S . -B $(SANITIZE_BUILD) -DMIREBOX_SANITIZE=ON -DMIREBOX_TESTS=ON \
		-DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_BUILD) --parallel $(JOBS)
	tree=$(SANITIZE_BUILD); only='-LE release'; $(CTEST_AND_SKIPS)

# The signal and load tests again on the portable loop, plain poll(2) as
# where ppoll is missing.
test-poll:
	cmake -S . -B $(POLL_BUILD) -DMIREBOX_HAVE_PPOLL=OFF -DMIREBOX_TESTS=ON $(CMAKE_FLAGS)
	cmake --build $(POLL_BUILD) --parallel $(JOBS) --target e2e_programs
	tree=$(POLL_BUILD); only='-R e2e_test_(clients|reload|faults|system_log)$$'; $(CTEST_AND_SKIPS)

# The daemon cross-built for FreeBSD against each sysroot in FREEBSD_SYSROOTS
# and, where one has the C library, linked (needs clang and lld).
check-freebsd:
	sh tools/check-freebsd $(FREEBSD_SYSROOTS) $(FREEBSD_BUILD)

# Each fuzz target for FUZZ_SECONDS, growing its corpus in $(FUZZ_BUILD).
fuzz:
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DMIREBOX_FUZZ=ON \
		-DMIREBOX_SANITIZE=ON -DMIREBOX_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) --parallel $(JOBS)
	for target in config_file values stats_line; do \
		mkdir -p $(FUZZ_BUILD)/corpus-$$target && \
		./$(FUZZ_BUILD)/$${target}_fuzz -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=2 \
			-print_final_stats=1 $(FUZZ_BUILD)/corpus-$$target tests/fuzz/$${target}_corpus \
			|| exit 1; \
	done

# The load generators and the floor reference, then the benchmark runs.
bench:
	$(CONFIGURE) -DMIREBOX_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) --parallel $(JOBS) --target $(PROGRAMS) loadgen floor stats_loggen
	PYTHONPATH=tests python3 bench/run_bench.py --build $(BUILD)
	PYTHONPATH=tests python3 bench/run_stats_bench.py --build $(BUILD)

# Real SSH clients and scanners held by the daemon at several Delays, side by
# side, each for a bounded time: about five minutes. Writes bench/clients.json
# and prints a table; clients whose package is missing are skipped and named.
# BENCH_CLIENTS_FLAGS passes options on, as --delays 1000,10000 --bound 120.
bench-clients:
	$(CONFIGURE) $(CMAKE_FLAGS)
	cmake --build $(BUILD) --parallel $(JOBS) --target mirebox
	PYTHONPATH=tests python3 bench/run_clients.py --daemon $(BUILD)/mirebox $(BENCH_CLIENTS_FLAGS)

# The programs, stripped, with their manual pages, the sample configuration
# and the system's service files, into PREFIX, below $DESTDIR when that is
# set (a staging tree for packages). Nothing else is built.
install:
	$(CONFIGURE) $(CMAKE_FLAGS)
	cmake --build $(BUILD) --parallel $(JOBS) --target $(PROGRAMS)
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --strip

# mirebox-VERSION.tar.gz of the last commit, byte for byte the same each time
# it is made of one commit: git archive writes the commit's time, fixed
# owners, modes and order, and gzip -n neither a name nor a time. Only the
# top of a git checkout has a commit of this tree: an unpacked tarball has
# none, and inside some other repository HEAD would be that one's.
dist:
	@top=$$(git rev-parse --show-toplevel 2>/dev/null) && [ "$$top" = "$$(pwd -P)" ] || { \
		echo "make dist: $$(pwd -P) is not the top of a git checkout (or git is missing):" \
			"the tarball is made of the last commit of a clone" >&2; exit 1; }
	@git diff --quiet HEAD 2>/dev/null || \
		echo "make dist: the tarball holds the last commit; uncommitted changes are left out"
	version=$$($(VERSION)); tarball=$(DIST)/mirebox-$$version.tar.gz; mkdir -p $(DIST) && \
	{ git -c tar.umask=0022 -c tar.tar.gz.command='gzip -n -9' archive --format=tar.gz \
		--prefix=mirebox-$$version/ -o $$tarball.new HEAD || { rm -f $$tarball.new; exit 1; }; } && \
	mv -f $$tarball.new $$tarball && echo "made $$tarball"

# The FreeBSD port as sysutils/mirebox: its version the project's, its rc.d
# scripts made from the project's own, its distinfo from the tarball beside it.
port: dist
	version=$$($(VERSION)); tarball=mirebox-$$version.tar.gz; \
	rm -rf $(PORT) && mkdir -p $(PORT)/files && \
	sed "s/@VERSION@/$$version/" packaging/freebsd/port/Makefile >$(PORT)/Makefile && \
	cp packaging/freebsd/port/pkg-descr packaging/freebsd/port/pkg-message \
		packaging/freebsd/port/pkg-plist $(PORT)/ && \
	cmake -DOUT=$(PORT)/files -P cmake/port-files.cmake && \
	sum=$$( (sha256sum $(DIST)/$$tarball 2>/dev/null || sha256 -r $(DIST)/$$tarball) | \
		cut -d ' ' -f 1) && \
	{ echo "TIMESTAMP = $$(git log -1 --format=%ct)"; \
	  echo "SHA256 ($$tarball) = $$sum"; \
	  echo "SIZE ($$tarball) = $$(wc -c <$(DIST)/$$tarball | tr -d ' ')"; } >$(PORT)/distinfo && \
	echo "made $(PORT)"

# The Debian package, built from the unpacked tarball in a folder of its
# own, since dpkg-buildpackage writes beside the tree it builds. It installs
# what it builds with first, git for the tarball among it.
deb:
	$(DEPS) deb
	$(MAKE) dist
	version=$$($(VERSION)); rm -rf $(DEB) && mkdir -p $(DEB) && \
	cp $(DIST)/mirebox-$$version.tar.gz $(DEB)/mirebox_$$version.orig.tar.gz && \
	tar -xzf $(DEB)/mirebox_$$version.orig.tar.gz -C $(DEB) && \
	(cd $(DEB)/mirebox-$$version && dpkg-buildpackage -b -us -uc) && \
	ls $(DEB)/*.deb

# The OCI image of the daemon alone (packaging/container/Containerfile),
# built offline into $(BUILD)/image with a container storage of its own:
# mirebox-VERSION.tar for podman load, then the image's ID.
image:
	$(DEPS) image
	JOBS=$(JOBS) sh tools/build-image $(BUILD)

# The project's version, for scripts: podman run localhost/mirebox:$(make -s version).
version:
	@$(VERSION)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD) $(POLL_BUILD) $(FREEBSD_BUILD)

.PHONY: all programs run test test-release test-sanitize test-poll check-freebsd fuzz bench \
	bench-clients install dist port deb image version clean
