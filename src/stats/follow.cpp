#include <poll.h>
#include <time.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "stats/follow.h"
#include "stats/metrics.h"
#include "stats/problems.h"
#include "stats/texts.h"

namespace mirebox::stats {

volatile std::sig_atomic_t stop_requested = 0;

namespace {

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

void on_stop(int) { stop_requested = 1; }

void install_stop_handlers() {
    for (const int number : {SIGINT, SIGTERM}) {
        struct sigaction action {};
        action.sa_handler = on_stop;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: a signal must end a wait
        sigaction(number, &action, nullptr);
    }
}

LineSink sink_of(Reader& reader) { return {read_line, &reader}; }

// A pipe has given all it held at the start once it has been silent for a
// while, or once it brings a line of the daemon's written around the start
// or later: a busy log is never silent.
void note_pipe_caught_up(Follower& follower, const Reader& reader, bool silent) {
    if (follower.caught_up || silent) {
        follower.caught_up = true;
        return;
    }
    for (const Daemon& daemon : reader.tally.daemons)
        if (daemon.counts.has_time && daemon.counts.last_ms >= follower.started_ms - LIVE_MS)
            follower.caught_up = true;
}

// Waits on the pipe for data, but no longer than the next metrics are due.
ReadResult wait_on_pipe(Follower& follower, const Options& options, Reader& reader) {
    int timeout = POLL_MS * 4;
    if (!follower.caught_up) {
        timeout = QUIET_MS;
    } else if (options.prometheus != nullptr) {
        const std::int64_t until_write = follower.next_write - follower.clocks.monotonic_ms();
        if (until_write < timeout) timeout = static_cast<int>(until_write < 0 ? 0 : until_write);
    }
    pollfd entry{follower.input.fd, POLLIN, 0};
    const int ready = poll(&entry, 1, timeout);
    const ReadResult result =
        ready > 0 ? read_input(follower.input, sink_of(reader)) : ReadResult::idle;
    note_pipe_caught_up(follower, reader, ready == 0);
    return result;
}

// A file is read to its present end; then it has caught up.
ReadResult drain_file(Follower& follower, Reader& reader) {
    ReadResult result;
    while ((result = read_input(follower.input, sink_of(reader))) == ReadResult::data &&
           !stop_requested) {
    }
    follower.caught_up = true;
    return result;
}

// An all-zero metrics file rewritten for ever looks fresh to an alert on
// its age: said once, when nothing of the daemon's has come for long.
void say_if_silent(Follower& follower, const Reader& reader) {
    if (follower.said_silent ||
        follower.clocks.monotonic_ms() - follower.started_mono < SILENT_MS)
        return;
    if (!heard_from_daemon(reader.tally)) print_problem(texts::SILENT, SILENT_MS / 60000);
    follower.said_silent = true;
}

}  // namespace

std::int64_t monotonic_clock_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool start_following(Follower& follower, const Options& options) {
    follower.path = options.files.empty() || options.files[0] == "-" ? "" : options.files[0];
    if (!open_input(follower.input, follower.path)) {
        if (follower.path.empty()) {
            print_read_problem(follower.path);
            return false;
        }
        // Like tail -F: the file may come later, with the daemon.
        print_problem(texts::WAITING_FOR_FILE, follower.path.c_str(), std::strerror(errno));
    }
    follower.started_ms = follower.clocks.wall_ms();
    follower.started_mono = follower.clocks.monotonic_ms();
    follower.next_write = follower.started_mono;
    follower.next_check = follower.started_mono + ROTATION_MS;
    return true;
}

RoundResult follow_round(Follower& follower, const Options& options, Reader& reader) {
    reader.context.now_ms = follower.clocks.wall_ms();
    Input& input = follower.input;
    ReadResult result = ReadResult::idle;
    if (input.fd != -1 && !input.regular) result = wait_on_pipe(follower, options, reader);
    else if (input.fd != -1) result = drain_file(follower, reader);
    // A file not there yet has nothing to catch up with: the metrics start
    // at zero, and an alert on their age works from the start.
    else follower.caught_up = true;
    if (result == ReadResult::end) return RoundResult::ended;
    if (result == ReadResult::error) {
        print_read_problem(follower.path);
        return RoundResult::failed;
    }
    const std::int64_t now = follower.clocks.monotonic_ms();
    if (!follower.path.empty() && now >= follower.next_check) {
        check_rotation(input, sink_of(reader));
        follower.next_check = now + ROTATION_MS;
    }
    if (options.prometheus != nullptr && follower.caught_up && now >= follower.next_write) {
        follower.written = write_metrics(reader.tally, options.prometheus, follower.written);
        follower.next_write = now + options.interval_s * 1000;
    }
    say_if_silent(follower, reader);
    return RoundResult::go_on;
}

void finish_following(Follower& follower, Reader& reader) {
    Input& input = follower.input;
    for (pollfd entry{input.fd, POLLIN, 0};
         input.fd != -1 && (input.regular || poll(&entry, 1, 0) > 0);) {
        if (read_input(input, sink_of(reader)) != ReadResult::data) break;
    }
    flush_input(input, sink_of(reader));
    close_input(input);
}

bool follow(const Options& options, Reader& reader) {
    install_stop_handlers();
    Follower follower;
    if (!start_following(follower, options)) return false;
    RoundResult result = RoundResult::go_on;
    while (!stop_requested &&
           (result = follow_round(follower, options, reader)) == RoundResult::go_on) {
        // A pipe was waited on in the round; a file is looked at again soon.
        if (follower.input.fd == -1 || follower.input.regular) poll(nullptr, 0, POLL_MS);
    }
    finish_following(follower, reader);
    return result != RoundResult::failed;
}

}  // namespace mirebox::stats
