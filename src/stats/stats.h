// mirebox-stats: reads the log the daemon writes and tells what the tarpit
// caught, as a report for people or as metrics for Prometheus. A program of
// its own: nothing here is linked into the daemon.
//
// input.h reads a file or a pipe into lines; line.h parses each line, in any
// of the forms the daemon's log reaches a disk, with the daemon's own formats
// (diagnostics/messages.h) through scan.h; tally.h counts them, host by host;
// report.h and metrics.h write the result out, in the words of format.h.
// follow.h keeps reading as the log grows. Its own texts are in texts.h, and
// its problems go out through problems.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stats/line.h"
#include "stats/report.h"
#include "stats/tally.h"

namespace mirebox::stats {

// What the command line asks for.
struct Options {
    bool follow = false;
    bool json = false;
    bool quiet = false;
    const char* prometheus = nullptr;  // the metrics file, if one is written
    std::int64_t interval_s = 5;       // between two metrics files while following
    ReportOptions report;
    std::string ident = "mirebox";     // the daemon's syslog tag
    std::vector<std::string> files;    // none: standard input
};

// What is read, and what it adds up to.
struct Reader {
    ParseContext context;
    Tally tally;
};

// A line of the log, parsed and counted. A LineSink's `deliver`, with the
// Reader as its context.
void read_line(void* reader, std::string_view text);

// Returns -1 when the reader is to run, else the exit status (-h, -V, or a
// bad option, said on standard error).
int parse_command_line(int argc, char** argv, Options& options);

// Reads the files to their ends, or follows one; then writes the metrics
// and the report. Returns the exit status.
int run_stats(const Options& options);

}  // namespace mirebox::stats
