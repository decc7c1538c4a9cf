"""What the Python tests, and the benchmarks, share: one module a subject.

    skips      why a test cannot run here, naming the package that would let it
    waiting    the one deadline of every wait, and wait_until
    scratch    a folder of a test's own, removed after it
    network    free ports, connecting, listening sockets, another network namespace
    daemon     the daemon under test: a runner, its log lines, its help text
    processes  what a process uses, and processes that hold namespaces open
    metrics    Prometheus's text format read back
    services   the service files under FreeBSD's rc.subr and systemd, journals,
               and the stock configuration of Debian's packages

CTest, the Makefile and the benchmarks' commands put tests/ on PYTHONPATH: a
test says `from support.daemon import TarpitTest`. run_tests.py runs test
modules and report_skips.py lists what they skipped."""
