// Every text of mirebox-stats' own: its usage, its version and its
// problems. What it reads of the daemon's is worded in
// diagnostics/messages.h, which the daemon writes with.
#pragma once

namespace mirebox::stats::texts {

inline constexpr char USAGE[] =
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
    "Reads standard input when no file is named, or for \"-\".\n";
inline constexpr char VERSION[] = "mirebox-stats %s\n";

// Problems, each a line on standard error after "mirebox-stats: ".
inline constexpr char PROBLEM_PREFIX[] = "mirebox-stats: ";
inline constexpr char INVALID_INTERVAL[] = "Invalid interval: %s";
inline constexpr char INVALID_COUNT[] = "Invalid count: %s";
inline constexpr char FOLLOW_ONE_FILE[] = "--follow reads one file";
// A file, or STANDARD_INPUT, and the reason it could not be read.
inline constexpr char CANNOT_READ[] = "%s: %s";
inline constexpr char STANDARD_INPUT[] = "standard input";
inline constexpr char WAITING_FOR_FILE[] = "%s: %s; waiting for it";
inline constexpr char SILENT[] =
    "no line of the daemon's in %d minutes: is this its log, written with LogLevel 1 or 2?";
inline constexpr char CANNOT_CREATE_BESIDE[] = "cannot create a file beside %s: %s";
inline constexpr char CANNOT_WRITE_FILE[] = "cannot write %s: %s";
inline constexpr char CANNOT_RENAME[] = "cannot rename to %s: %s";
inline constexpr char CANNOT_WRITE_REPORT[] = "cannot write the report: %s";

}  // namespace mirebox::stats::texts
