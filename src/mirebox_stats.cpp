// mirebox-stats: what the tarpit caught, from the log it writes.
#include <getopt.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "stats/stats.h"

#ifndef MIREBOX_VERSION
#define MIREBOX_VERSION "0"
#endif

namespace {

using namespace mirebox::stats;

constexpr int POLL_MS = 250;       // how often a followed file is looked at
constexpr int ROTATION_MS = 1000;  // and its name checked again
// A pipe silent this long has given all it held when the follower started
// (a writer such as journalctl can pause between pieces of its backlog).
constexpr int QUIET_MS = 1000;
// A line of the daemon's stamped this close to the follower's start is one
// written around then, not the backlog: a busy log is never silent.
constexpr std::int64_t LIVE_MS = 1000;
// Long enough for any tarpit on the internet to be found by a scanner.
constexpr int SILENT_MS = 10 * 60 * 1000;

volatile std::sig_atomic_t stop_requested = 0;

void on_stop(int) { stop_requested = 1; }

struct Options {
    bool follow = false;
    bool json = false;
    bool quiet = false;
    const char* prometheus = nullptr;
    std::int64_t interval_s = 5;
    ReportOptions report;
    std::string ident = "mirebox";
    std::vector<std::string> files;
};

struct Reader {
    ParseContext context;
    Tally tally;
};

void take_line(void* context, std::string_view text) {
    auto* reader = static_cast<Reader*>(context);
    tally_line(reader->tally, parse_line(text, reader->context));
}

void usage(std::FILE* stream) {
    std::fputs(
        "usage: mirebox-stats [-Fjqh] [-i seconds] [-n count] [-p file] [-t tag] [file ...]\n"
        "  -F, --follow            keep reading as the file grows and is rotated\n"
        "  -i, --interval SECONDS  write the metrics this often while following [5]\n"
        "  -j, --json              the report as JSON\n"
        "  -n, --top COUNT         sources in each top list [10]\n"
        "  -p, --prometheus FILE   write metrics for node_exporter's textfile collector\n"
        "  -q, --quiet             no report\n"
        "  -t, --tag TAG           the daemon's syslog tag [mirebox]\n"
        "  -h, --help              print this help and exit\n"
        "  -V, --version           print the version and exit\n"
        "Reads standard input when no file is named, or for \"-\".\n",
        stream);
}

bool parse_count(const char* text, std::int64_t low, std::int64_t high, std::int64_t& value) {
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < low || number > high) return false;
    value = number;
    return true;
}

// Returns -1 to go on, or the exit status.
int parse_options(int argc, char** argv, Options& options) {
    static const option LONG[] = {
        {"follow", no_argument, nullptr, 'F'},       {"interval", required_argument, nullptr, 'i'},
        {"json", no_argument, nullptr, 'j'},         {"top", required_argument, nullptr, 'n'},
        {"prometheus", required_argument, nullptr, 'p'}, {"quiet", no_argument, nullptr, 'q'},
        {"tag", required_argument, nullptr, 't'},    {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},      {nullptr, 0, nullptr, 0}};
    std::int64_t top = 0;
    for (int option; (option = getopt_long(argc, argv, "Fi:jn:p:qt:hV", LONG, nullptr)) != -1;) {
        switch (option) {
            case 'F': options.follow = true; break;
            case 'i':
                if (!parse_count(optarg, 1, 86400, options.interval_s)) {
                    complain("Invalid interval: %s", optarg);
                    return 1;
                }
                break;
            case 'j': options.json = true; break;
            case 'n':
                if (!parse_count(optarg, 0, 10000, top)) {
                    complain("Invalid count: %s", optarg);
                    return 1;
                }
                options.report.top = static_cast<std::size_t>(top);
                break;
            case 'p': options.prometheus = optarg; break;
            case 'q': options.quiet = true; break;
            case 't': options.ident = optarg; break;
            case 'h': usage(stdout); return 0;
            case 'V': std::printf("mirebox-stats %s\n", MIREBOX_VERSION); return 0;
            default: usage(stderr); return 1;
        }
    }
    for (int i = optind; i < argc; ++i) options.files.emplace_back(argv[i]);
    if (options.follow && options.files.size() > 1) {
        complain("--follow reads one file");
        return 1;
    }
    return -1;
}

std::int64_t wall_ms() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::int64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// "mirebox-stats: mirebox.log: No such file or directory".
void complain_of(const Input& input) {
    complain("%s: %s", input.path.empty() ? "standard input" : input.path.c_str(),
             std::strerror(errno));
}

// Each file to its end, in order. False when one could not be read.
bool read_all(const Options& options, Reader& reader) {
    const LineSink sink{take_line, &reader};
    std::vector<std::string> paths = options.files;
    if (paths.empty()) paths.emplace_back("-");
    bool ok = true;
    for (const std::string& name : paths) {
        // A file that names no host is a daemon's standard output, whatever
        // the file before it named.
        reader.tally.current = 0;
        Input input;
        if (!open_input(input, name == "-" ? "" : name)) {
            complain_of(input);
            ok = false;
            continue;
        }
        ReadResult result;
        while ((result = read_input(input, sink)) == ReadResult::data) {
        }
        if (result == ReadResult::error) {
            complain_of(input);
            ok = false;
        }
        flush_input(input, sink);
        close_input(input);
    }
    return ok;
}

void install_stop_handlers() {
    for (const int number : {SIGINT, SIGTERM}) {
        struct sigaction action {};
        action.sa_handler = on_stop;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: a signal must end a wait
        sigaction(number, &action, nullptr);
    }
}

// What follow() keeps between its rounds.
struct Follower {
    Input input;
    LineSink sink;
    // No metrics until what was written before the start is read: a
    // restarted follower would otherwise show its counters low, then jumping
    // back, which Prometheus takes for a reset.
    bool caught_up = false;
    bool written = true;  // a failing write is reported once, not every interval
    bool said_silent = false;
    std::int64_t started_ms = 0;     // wall clock, to compare with log times
    std::int64_t started_mono = 0;
    std::int64_t next_write = 0;     // monotonic, as the two below
    std::int64_t next_check = 0;
};

// A pipe has given all it held at the start once it has been silent for a
// while, or once it brings a line of the daemon's written around the start
// or later: a busy log is never silent.
void note_pipe_caught_up(Follower& follower, const Reader& reader, bool silent) {
    if (follower.caught_up || silent) {
        follower.caught_up = true;
        return;
    }
    for (const Daemon& daemon : reader.tally.daemons)
        if (daemon.has_time && daemon.last_ms >= follower.started_ms - LIVE_MS)
            follower.caught_up = true;
}

// Waits on the pipe for data, but no longer than the next metrics are due.
ReadResult wait_on_pipe(Follower& follower, const Options& options, const Reader& reader) {
    int timeout = POLL_MS * 4;
    if (!follower.caught_up) {
        timeout = QUIET_MS;
    } else if (options.prometheus != nullptr) {
        const std::int64_t until_write = follower.next_write - monotonic_ms();
        if (until_write < timeout) timeout = static_cast<int>(until_write < 0 ? 0 : until_write);
    }
    pollfd entry{follower.input.fd, POLLIN, 0};
    const int ready = poll(&entry, 1, timeout);
    const ReadResult result =
        ready > 0 ? read_input(follower.input, follower.sink) : ReadResult::idle;
    note_pipe_caught_up(follower, reader, ready == 0);
    return result;
}

// A file is read to its present end; then it has caught up.
ReadResult drain_file(Follower& follower) {
    ReadResult result;
    while ((result = read_input(follower.input, follower.sink)) == ReadResult::data &&
           !stop_requested) {
    }
    follower.caught_up = true;
    return result;
}

// An all-zero metrics file rewritten for ever looks fresh to an alert on
// its age: said once, when nothing of the daemon's has come for long.
void say_if_silent(Follower& follower, const Reader& reader) {
    if (follower.said_silent || monotonic_ms() - follower.started_mono < SILENT_MS) return;
    for (const Daemon& daemon : reader.tally.daemons) {
        if (daemon.seen_daemon) {
            follower.said_silent = true;  // the daemon's lines came: nothing to say
            return;
        }
    }
    complain("no line of the daemon's in %d minutes: is this its log, written with LogLevel 1 "
             "or 2?", SILENT_MS / 60000);
    follower.said_silent = true;
}

// What is already written counts, up to the moment of the stop; a pipe is
// read only as far as it holds data, since its writer may live on.
void read_what_is_left(Input& input, LineSink sink) {
    for (pollfd entry{input.fd, POLLIN, 0};
         input.fd != -1 && (input.regular || poll(&entry, 1, 0) > 0);) {
        if (read_input(input, sink) != ReadResult::data) break;
    }
    flush_input(input, sink);
}

// Until a signal, or until a pipe's writer goes away. False when the input
// failed.
bool follow(const Options& options, Reader& reader) {
    const std::string path =
        options.files.empty() || options.files[0] == "-" ? "" : options.files[0];
    install_stop_handlers();
    Follower follower;
    follower.sink = {take_line, &reader};
    if (!open_input(follower.input, path)) {
        if (path.empty()) {
            complain_of(follower.input);
            return false;
        }
        // Like tail -F: the file may come later, with the daemon.
        complain("%s: %s; waiting for it", path.c_str(), std::strerror(errno));
    }
    follower.started_ms = wall_ms();
    follower.started_mono = monotonic_ms();
    follower.next_write = follower.started_mono;
    follower.next_check = follower.started_mono + ROTATION_MS;
    Input& input = follower.input;
    bool ok = true;
    while (!stop_requested) {
        reader.context.now_ms = wall_ms();
        const bool pipe = input.fd != -1 && !input.regular;
        ReadResult result = ReadResult::idle;
        if (pipe) result = wait_on_pipe(follower, options, reader);
        else if (input.fd != -1) result = drain_file(follower);
        // A file not there yet has nothing to catch up with: the metrics
        // start at zero, and an alert on their age works from the start.
        else follower.caught_up = true;
        if (result == ReadResult::end) break;
        if (result == ReadResult::error) {
            complain_of(input);
            ok = false;
            break;
        }
        const std::int64_t now = monotonic_ms();
        if (!path.empty() && now >= follower.next_check) {
            check_rotation(input, follower.sink);
            follower.next_check = now + ROTATION_MS;
        }
        if (options.prometheus != nullptr && follower.caught_up && now >= follower.next_write) {
            follower.written = write_metrics(reader.tally, options.prometheus, follower.written);
            follower.next_write = now + options.interval_s * 1000;
        }
        say_if_silent(follower, reader);
        if (!pipe) poll(nullptr, 0, POLL_MS);
    }
    read_what_is_left(input, follower.sink);
    close_input(input);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int status = parse_options(argc, argv, options);
    if (status >= 0) return status;

    Reader reader;
    reader.context.ident = options.ident;
    reader.tally.track_sources = !options.quiet;
    reader.context.now_ms = wall_ms();
    bool ok = options.follow ? follow(options, reader) : read_all(options, reader);
    if (options.prometheus != nullptr && !write_metrics(reader.tally, options.prometheus, true))
        ok = false;
    if (!options.quiet) {
        const std::string report = options.json ? json_report(reader.tally, options.report)
                                                : text_report(reader.tally, options.report);
        // A report cut short by a full disk must not end in success.
        if (std::fwrite(report.data(), 1, report.size(), stdout) != report.size() ||
            std::fflush(stdout) != 0 || std::ferror(stdout)) {
            complain("cannot write the report: %s", std::strerror(errno));
            ok = false;
        }
    }
    return ok ? 0 : 1;
}
