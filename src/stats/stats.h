// mirebox-stats: reads the log the daemon writes and tells what the tarpit
// caught, as a report for people or as metrics for Prometheus. A program of
// its own: nothing here is linked into the daemon, and the daemon's sources
// know nothing of it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace mirebox::stats {

// ---- line.cpp: one line of the log, in any of the forms it reaches a disk

enum class LineKind : std::uint8_t {
    setting,       // one of the five lines of a settings block
    accept,
    close,
    totals,
    exhausted,     // out of descriptors with nobody held: a warning, no MaxClients
    daemon_other,  // the daemon's, but nothing to count: a trace, a warning
    foreign,       // another program's syslog line, a journal note
    unparsed,      // neither: counted, then skipped
};

// In the order the daemon logs them.
enum class Setting : std::uint8_t { port, delay, max_line_length, max_clients, bind_family };

// A client's address as IPv6; IPv4 is held IPv4-mapped (::ffff:a.b.c.d), so
// an address seen both ways is one source. All zeros means unknown.
struct Address {
    std::uint8_t bytes[16];
};

struct LogLine {
    LineKind kind = LineKind::unparsed;
    Setting setting = Setting::port;
    bool has_time = false;
    bool has_address = false;   // false for an empty host=
    std::int64_t time_ms = 0;   // milliseconds since the epoch, UTC
    std::int64_t pid = -1;      // -1 where the form shows none (standard output)
    Address address{};
    std::int64_t value = 0;     // setting: its number (BindFamily: 0, 4 or 6)
    std::int64_t held = 0;      // ACCEPT: n, the clients the daemon holds
    std::int64_t limit = 0;     // ACCEPT: MaxClients
    std::int64_t port = 0;      // ACCEPT, CLOSE: the peer's port
    std::int64_t duration_ms = 0;  // CLOSE: time held; TOTALS: seconds held
    std::int64_t bytes = 0;     // CLOSE, TOTALS
    std::int64_t connects = 0;  // TOTALS
};

struct ParseContext {
    // The syslog tag of the daemon's lines; other tags are other programs.
    std::string_view ident = "mirebox";
    // A syslog timestamp carries no year: it is taken as the latest one that
    // does not put the line more than a day after this moment.
    std::int64_t now_ms = 0;
    // localtime and mktime are slow: the year of now_ms, and the local hour
    // last converted with its start.
    std::int64_t year_of_ms = -1;
    std::int64_t year = 0;
    std::int64_t cached_hour_key = -1;
    std::int64_t cached_hour_ms = 0;
};

LogLine parse_line(std::string_view text, ParseContext& context);
// The message alone, as the daemon formats it (no timestamp, no syslog prefix).
LogLine parse_message(std::string_view message);

// ---- address.cpp

// Takes the text inet_ntop wrote; false for anything else.
bool parse_address(std::string_view text, Address& address);
// IPv4-mapped addresses come out as plain IPv4.
std::string format_address(const Address& address);

// Both are on the path of every line: two word compares, no library call.
inline bool same_address(const Address& a, const Address& b) {
    std::uint64_t words_a[2], words_b[2];
    std::memcpy(words_a, a.bytes, 16);
    std::memcpy(words_b, b.bytes, 16);
    return words_a[0] == words_b[0] && words_a[1] == words_b[1];
}
inline bool is_unknown(const Address& address) {
    std::uint64_t words[2];
    std::memcpy(words, address.bytes, 16);
    return (words[0] | words[1]) == 0;
}

// ---- tally.cpp: everything counted over the lines read

// Prometheus's buckets for hold times, and the rows of the report's histogram.
inline constexpr std::int64_t HOLD_BUCKET_SECONDS[] = {1,    10,   30,    60,    300,  600,
                                                       1800, 3600, 10800, 21600, 86400};
inline constexpr std::size_t HOLD_BUCKETS = std::size(HOLD_BUCKET_SECONDS) + 1;  // + "+Inf"

// Log-scale buckets of milliseconds for percentiles: exact below 32 ms, then
// 16 to each doubling, so an estimate (a bucket's middle) is within half a
// bucket, 1/32 or about 3%, of the true value.
inline constexpr std::size_t FINE_BUCKETS = 32 + 58 * 16;

struct HoldHistogram {
    std::uint64_t fine[FINE_BUCKETS] = {};
    std::uint64_t coarse[HOLD_BUCKETS] = {};  // not cumulative
    std::uint64_t count = 0;
    std::int64_t sum_ms = 0;
    std::int64_t max_ms = 0;
};

void observe_hold(HoldHistogram& histogram, std::int64_t ms);
// REQUIRES: 0 < fraction <= 1, histogram.count > 0. An estimate in ms.
std::int64_t hold_percentile(const HoldHistogram& histogram, double fraction);

struct Source {
    Address address;           // all zeros: an empty slot
    std::int64_t held_ms;      // CLOSE times, negative ones as zero
    std::uint32_t connections; // ACCEPT lines
};
// What the manual and the README say a source costs.
static_assert(sizeof(Source) == 32);

// Open addressing with linear probing: 32 bytes a slot, between 3/8 and 3/4
// of the slots in use.
struct SourceTable {
    std::vector<Source> slots;
    std::size_t used = 0;
};

// REQUIRES: !is_unknown(address).
Source& find_source(SourceTable& table, const Address& address);

struct Totals {
    std::int64_t connects = 0;
    std::int64_t held_ms = 0;
    std::int64_t bytes = 0;
};

struct Tally {
    // Lines
    std::uint64_t lines = 0;
    std::uint64_t unparsed = 0;
    std::uint64_t foreign = 0;
    std::uint64_t daemon_other = 0;
    bool has_time = false;
    std::int64_t first_ms = 0;
    std::int64_t last_ms = 0;
    // Clients
    std::uint64_t connections = 0;
    std::uint64_t releases = 0;
    std::uint64_t unknown_connections = 0;  // ACCEPT with an empty host
    std::uint64_t negative_times = 0;       // CLOSE with time below zero
    std::int64_t bytes = 0;
    std::int64_t held_now = 0;
    HoldHistogram hold;
    std::uint64_t per_hour[24] = {};  // ACCEPT lines by hour of day, UTC
    // Only the report shows sources: without one, a follower meeting ever new
    // addresses (a scanner rotating through a /64) must not grow for ever.
    bool track_sources = true;
    SourceTable sources;
    // The daemon
    std::uint64_t starts = 0;
    std::uint64_t reloads = 0;
    std::uint64_t exhaustions = 0;
    std::int64_t settings[5] = {-1, -1, -1, -1, -1};  // by Setting, -1 unseen
    bool has_totals = false;
    Totals last_totals;
    // What the restart rule and the settings blocks need to remember.
    bool seen_daemon = false;    // any line of the daemon's so far
    std::int64_t pid = -1;       // of the daemon's last line
    bool stopped = false;        // its last line: TOTALS with nobody held
    int previous_setting = -1;   // the setting of its last event, if one
};

void tally_line(Tally& tally, const LogLine& line);

// ---- report.cpp

struct ReportOptions {
    std::size_t top = 10;
};

std::string text_report(const Tally& tally, const ReportOptions& options);
std::string json_report(const Tally& tally, const ReportOptions& options);
// "3 h 12 min", "850 ms": the two largest units.
std::string format_duration(std::int64_t ms);
// Seconds from milliseconds, exactly, as the report, JSON and metrics show
// them: 4356.286, -9.700.
std::string seconds_text(std::int64_t ms);

// ---- metrics.cpp

std::string prometheus_text(const Tally& tally);
// Writes to a temporary file beside path, then renames it over path, so a
// reader sees the old file or the new one, whole. Returns false when any step
// fails, saying why on stderr if `complain`.
bool write_metrics(const Tally& tally, const char* path, bool complain);

// ---- follow.cpp: reading input, to the end or on as it grows

inline constexpr std::size_t MAX_LINE = 4096;  // longer lines are cut, and unparsed

struct LineSink {
    void (*take)(void* context, std::string_view line);
    void* context;
};

struct Input {
    std::string path;        // empty for standard input
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    off_t offset = 0;
    bool regular = false;    // a file that can grow; otherwise a pipe or terminal
    bool skipping = false;   // dropping the rest of an overlong line
    std::string pending;     // the start of a line whose end has not come yet
    // The file's first bytes, to its first newline: a file truncated and
    // written again past the offset read starts with other ones.
    std::string head;
};

// Opens path (or takes standard input for an empty path). False when it
// cannot be opened; errno tells why.
bool open_input(Input& input, const std::string& path);
void close_input(Input& input);

enum class ReadResult { data, idle, end, error };
// Reads what is there now and hands on each whole line, without the NUL
// bytes of a hole (a file truncated under a writer at its old offset). A
// regular file found truncated is read again from its start. `idle`: nothing
// new in a file that may grow; `end`: a pipe's writer has gone.
ReadResult read_input(Input& input, LineSink sink);
// Hands on a last line that had no newline.
void flush_input(Input& input, LineSink sink);
// For a followed path: when the name now leads to another file (rotated), the
// old one is read to its end and the new one opened. False while the path
// names no file.
bool check_rotation(Input& input, LineSink sink);

}  // namespace mirebox::stats
