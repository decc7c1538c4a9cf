// Following a log as it grows and is rotated or truncated, like tail -F,
// with the metrics file written again at every interval: until a signal, or
// until a pipe's writer goes away.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

#include "stats/input.h"
#include "stats/stats.h"

namespace mirebox::stats {

// Set by SIGINT and SIGTERM while follow() runs.
extern volatile std::sig_atomic_t stop_requested;

// A monotonic clock, in milliseconds: the follower's own intervals.
std::int64_t monotonic_clock_ms();

// The clocks a follower reads: the wall clock, to compare with the times in
// the log, and a monotonic one for its intervals. Tests stand in for them.
struct Clocks {
    std::int64_t (*wall_ms)() = wall_clock_ms;
    std::int64_t (*monotonic_ms)() = monotonic_clock_ms;
};

// What a follower keeps from one round to the next.
struct Follower {
    Clocks clocks;
    Input input;
    std::string path;  // empty for standard input
    // No metrics until what was written before the start is read: a
    // restarted follower would otherwise show its counters low, then jumping
    // back, which Prometheus takes for a reset.
    bool caught_up = false;
    bool written = true;       // a failing write is said once, not every interval
    bool said_silent = false;  // the silence of the daemon is said once
    std::int64_t started_ms = 0;    // wall clock
    std::int64_t started_mono = 0;  // monotonic, as the two below
    std::int64_t next_write = 0;
    std::int64_t next_check = 0;
};

enum class RoundResult { go_on, ended, failed };

// Opens the log, or, for a file not there yet, says so and waits for it
// like tail -F. False when standard input cannot be read.
bool start_following(Follower& follower, const Options& options);
// One round: what the log holds now is read (a pipe is waited on, no longer
// than the next metrics are due), its name checked for a rotation and the
// metrics written when they are due, and a daemon silent for ten minutes
// said so. `failed` after saying why the log cannot be read.
RoundResult follow_round(Follower& follower, const Options& options, Reader& reader);
// What is already written counts, up to the moment of the stop: a file to
// its end, a pipe as far as it holds data, since its writer may live on.
void finish_following(Follower& follower, Reader& reader);

// The rounds, a quarter of a second apart on a file, until a signal or a
// pipe's end. False when the log could not be read.
bool follow(const Options& options, Reader& reader);

}  // namespace mirebox::stats
