// Everything counted over the lines read, in memory that grows with the
// number of distinct sources and of hosts, and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <unordered_map>
#include <vector>

#include "stats/address.h"
#include "stats/hash.h"
#include "stats/line.h"

namespace mirebox::stats {

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
// of the slots in use. The slot an address starts from is a keyed hash of it.
struct SourceTable {
    std::vector<Source> slots;
    std::size_t used = 0;
    HashKey key = random_hash_key();
};

// REQUIRES: !is_unknown(address).
Source& find_source(SourceTable& table, const Address& address);
// The most slots any source lies past the one its hash names: what the
// slowest lookup walks.
std::size_t longest_probe(const SourceTable& table);

// The three figures of a TOTALS line.
struct TotalsLine {
    std::int64_t connects = 0;
    std::int64_t held_ms = 0;
    std::int64_t bytes = 0;
};

// A host's hold times, for its metrics: the coarse buckets alone.
struct HoldBuckets {
    std::uint64_t coarse[HOLD_BUCKETS] = {};  // not cumulative
    std::uint64_t count = 0;
    std::int64_t sum_ms = 0;
};

// What one daemon's lines add up to: everything the report and the metrics
// show of it.
struct DaemonCounts {
    // Lines
    std::uint64_t lines = 0;
    std::uint64_t unparsed = 0;
    std::uint64_t foreign = 0;
    std::uint64_t daemon_other = 0;
    bool has_time = false;
    std::int64_t first_ms = 0;   // the earliest time of a line
    std::int64_t last_ms = 0;    // the latest time of a line
    std::int64_t latest_ms = 0;  // the time of the last line read, whatever came before
    // Clients
    std::uint64_t connections = 0;
    std::uint64_t releases = 0;
    std::uint64_t unknown_connections = 0;  // ACCEPT with an empty host
    std::uint64_t negative_times = 0;       // CLOSE with time below zero
    std::int64_t bytes = 0;
    std::int64_t held_now = 0;
    HoldBuckets hold;
    // The daemon
    std::uint64_t starts = 0;
    std::uint64_t reloads = 0;
    std::uint64_t exhaustions = 0;
    std::int64_t settings[5] = {-1, -1, -1, -1, -1};  // by Setting, -1 unseen
    bool has_totals = false;
    TotalsLine last_totals;
};

// Whether any line counted was the daemon's own.
inline bool heard_from(const DaemonCounts& counts) {
    return counts.lines > counts.unparsed + counts.foreign;
}

// What telling a start from a reload, and one shortage of descriptors from
// the next, needs to remember of the lines before.
struct RestartState {
    bool seen_event = false;     // any event line so far
    std::int64_t pid = -1;       // of the daemon's last event line
    bool short_of_descriptors = false;  // warned, and no client accepted since
    bool stopped = false;        // its last line: TOTALS with nobody held
    int previous_setting = -1;   // the setting of its last event, if one
};

// One daemon: the lines of one host, or of a log that names none (the
// daemon's standard output).
struct Daemon {
    std::string host;  // empty where the log names none
    DaemonCounts counts;
    RestartState restart;
};

// A log server's file names its hosts by the hundred at most; a sender that
// makes up a name for every line must not grow the reader for ever.
inline constexpr std::size_t MAX_HOSTS = 4096;
inline constexpr std::size_t OTHERS = static_cast<std::size_t>(-1);

// Host names are chosen by whoever sends to a log server: keyed as sources are.
struct HostHash {
    HashKey key = random_hash_key();
    std::size_t operator()(const std::string& host) const {
        return static_cast<std::size_t>(keyed_hash(key, host.data(), host.size()));
    }
};

struct Tally {
    // daemons[0] is the log's that names no host; one more for each host
    // that logged a line of the daemon's, in the order they came.
    std::vector<Daemon> daemons = std::vector<Daemon>(1);
    // Lines of hosts that have logged nothing of the daemon's (yet): other
    // programs of a log server's file, and strangers'. In the report's counts
    // of lines only.
    DaemonCounts others;
    // Lines of hosts past MAX_HOSTS, counted in `others` as not understood.
    std::uint64_t lines_past_max_hosts = 0;
    // Where a line that names no host, and is not the daemon's, is counted:
    // with the line before it. An index into daemons, or OTHERS.
    std::size_t current = 0;
    std::unordered_map<std::string, std::size_t, HostHash> host_index;
    // The whole log's: the fine buckets for percentiles, the hours, sources.
    HoldHistogram hold;
    std::uint64_t per_hour[24] = {};  // ACCEPT lines by hour of day, UTC
    // Only the report shows sources: without one, a follower meeting ever new
    // addresses (a scanner rotating through a /64) must not grow for ever.
    bool track_sources = true;
    SourceTable sources;
};

void tally_line(Tally& tally, const LogLine& line);

// Whether the log names its hosts (a system log, the journal): any host has
// logged a line of the daemon's.
inline bool names_hosts(const Tally& tally) { return tally.daemons.size() > 1; }
// The daemons the report and the metrics show one by one: those of the named
// hosts, and the unnamed one's where it logged something of the daemon's too
// (standard output and a system log read together). Without names, the one.
std::vector<const Daemon*> shown_daemons(const Tally& tally);
// The whole log's figures as one daemon's: sums, the earliest and latest
// times, the settings every shown daemon agrees on, and the last TOTALS only
// where one daemon is shown.
DaemonCounts whole_log(const Tally& tally);
// Whether any line of the daemon's has been read, from any host.
bool heard_from_daemon(const Tally& tally);

}  // namespace mirebox::stats
