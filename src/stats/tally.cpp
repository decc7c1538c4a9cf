// Everything counted over the lines read, in memory that grows with the
// number of distinct sources and of hosts, and nothing else.
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "stats/tally.h"

namespace mirebox::stats {

namespace {

constexpr std::size_t FIRST_TABLE_SIZE = 1024;
constexpr std::int64_t MS_PER_HOUR = 3600000;

// Each value is bounded where it is parsed, but a hostile log can repeat one
// millions of times: a sum stops at the largest value instead of wrapping.
void add_to(std::int64_t& sum, std::int64_t value) {
    if (__builtin_add_overflow(sum, value, &sum)) sum = std::numeric_limits<std::int64_t>::max();
}

std::size_t fine_index(std::int64_t ms) {
    if (ms < 32) return static_cast<std::size_t>(ms);
    const int exponent = 63 - __builtin_clzll(static_cast<unsigned long long>(ms));
    const auto mantissa = static_cast<std::size_t>((ms >> (exponent - 4)) & 15);
    return 32 + static_cast<std::size_t>(exponent - 5) * 16 + mantissa;
}

// The first and the last millisecond a fine bucket holds.
std::pair<std::int64_t, std::int64_t> fine_bounds(std::size_t index) {
    if (index < 32) return {static_cast<std::int64_t>(index), static_cast<std::int64_t>(index)};
    const std::size_t exponent = (index - 32) / 16 + 5;
    const auto mantissa = static_cast<std::int64_t>((index - 32) % 16);
    const std::int64_t width = std::int64_t{1} << (exponent - 4);
    const std::int64_t low = (16 + mantissa) * width;
    return {low, low + width - 1};
}

std::size_t home_slot(const SourceTable& table, const Address& address) {
    return static_cast<std::size_t>(keyed_hash_16(table.key, address.bytes)) &
           (table.slots.size() - 1);
}

// REQUIRES: a free slot in table.slots.
Source& place(SourceTable& table, const Address& address, bool& fresh) {
    const std::size_t mask = table.slots.size() - 1;
    for (std::size_t i = home_slot(table, address);; i = (i + 1) & mask) {
        Source& slot = table.slots[i];
        if (is_unknown(slot.address)) {
            slot.address = address;
            fresh = true;
            return slot;
        }
        if (same_address(slot.address, address)) {
            fresh = false;
            return slot;
        }
    }
}

void grow(SourceTable& table) {
    std::vector<Source> old(table.slots.empty() ? FIRST_TABLE_SIZE : table.slots.size() * 2,
                            Source{});
    table.slots.swap(old);
    for (const Source& source : old) {
        if (is_unknown(source.address)) continue;
        bool fresh = false;
        place(table, source.address, fresh) = source;
    }
}

void settings_block_begins(Daemon& daemon, const LogLine& line, bool new_process) {
    // A daemon's first line is its settings block, so with pids a block is a
    // start exactly when its pid is new. Without them, only an orderly stop
    // (the CLOSE lines, then TOTALS with nobody left) marks the end of a run;
    // and so it does for pid 1, which a daemon that is the first process of
    // a container has again at every start.
    const bool stop_before = !daemon.restart.seen_event || daemon.restart.stopped;
    const bool start = line.pid < 0 ? stop_before : new_process || (line.pid == 1 && stop_before);
    if (start) {
        ++daemon.counts.starts;
        daemon.counts.held_now = 0;
    } else {
        ++daemon.counts.reloads;
    }
}

void tally_setting(Daemon& daemon, const LogLine& line, bool new_process) {
    const auto index = static_cast<int>(line.setting);
    if (line.setting == Setting::port) settings_block_begins(daemon, line, new_process);
    // Inside a block MaxClients follows MaxLineLength; alone, it is the
    // daemon lowering its limit after running out of descriptors.
    if (line.setting == Setting::max_clients &&
        daemon.restart.previous_setting != static_cast<int>(Setting::max_line_length)) {
        ++daemon.counts.exhaustions;
        daemon.restart.previous_setting = -1;
        return;
    }
    daemon.counts.settings[index] = line.value;
    daemon.restart.previous_setting = index;
}

std::size_t hold_bucket(std::int64_t ms) {
    std::size_t bucket = 0;
    while (bucket < std::size(HOLD_BUCKET_SECONDS) && ms > HOLD_BUCKET_SECONDS[bucket] * 1000)
        ++bucket;
    return bucket;
}

void observe_hold_in(HoldHistogram& histogram, std::int64_t ms, std::size_t bucket) {
    ++histogram.fine[fine_index(ms)];
    ++histogram.coarse[bucket];
    ++histogram.count;
    add_to(histogram.sum_ms, ms);
    if (ms > histogram.max_ms) histogram.max_ms = ms;
}

void tally_accept(Tally& tally, DaemonCounts& daemon, const LogLine& line) {
    ++daemon.connections;
    // n is the daemon's own count: it also mends ours after a daemon that was
    // killed without logging its clients' CLOSE lines.
    daemon.held_now = line.held;
    if (line.has_time) {
        const std::int64_t hours = line.time_ms / MS_PER_HOUR - (line.time_ms % MS_PER_HOUR < 0);
        ++tally.per_hour[((hours % 24) + 24) % 24];
    }
    if (!line.has_address) {
        ++daemon.unknown_connections;
        return;
    }
    if (!tally.track_sources) return;
    Source& source = find_source(tally.sources, line.address);
    if (source.connections < std::numeric_limits<std::uint32_t>::max()) ++source.connections;
}

void tally_close(Tally& tally, DaemonCounts& daemon, const LogLine& line) {
    ++daemon.releases;
    std::int64_t ms = line.duration_ms;
    if (ms < 0) {  // the clock was set back while the client was held
        ++daemon.negative_times;
        ms = 0;
    }
    const std::size_t bucket = hold_bucket(ms);
    observe_hold_in(tally.hold, ms, bucket);
    HoldBuckets& hold = daemon.hold;
    ++hold.coarse[bucket];
    ++hold.count;
    add_to(hold.sum_ms, ms);
    add_to(daemon.bytes, line.bytes);
    if (daemon.held_now > 0) --daemon.held_now;
    if (line.has_address && tally.track_sources)
        add_to(find_source(tally.sources, line.address).held_ms, ms);
}

// A line of a host past MAX_HOSTS: counted in `others` alone, and not read.
constexpr std::size_t PAST_HOST_LIMIT = OTHERS - 1;

// The daemon a line belongs to: an index into tally.daemons, OTHERS or
// PAST_HOST_LIMIT. One that names its host is that host's, and a host's
// first line of the daemon's makes it one. The daemon's own words with no
// host are its standard output's, whatever came before: they never touch a
// named host. A line whose host is no host name is a stranger's, in
// `others`. Any other line that names none (one not understood, a journal's
// note) goes with the line before it; in a log that names no host, that is
// the one daemon. A line of the daemon's own is never placed in `others`.
std::size_t daemon_of(Tally& tally, const LogLine& line) {
    const bool ours = line.kind != LineKind::foreign && line.kind != LineKind::unparsed;
    if (line.host.empty() && !line.bad_host) {
        // Standard output's every line, and most of a syslog file's.
        if (ours) tally.current = 0;
        return tally.current;
    }
    if (line.bad_host) {
        // No host of ours has such a name, and no line of a host's is
        // counted with it.
        tally.current = OTHERS;
    } else if (tally.current == OTHERS || tally.daemons[tally.current].host != line.host) {
        const auto found = tally.host_index.find(std::string(line.host));
        if (found != tally.host_index.end()) {
            tally.current = found->second;
        } else if (!ours) {
            tally.current = OTHERS;
        } else if (tally.daemons.size() > MAX_HOSTS) {
            tally.current = OTHERS;
            return PAST_HOST_LIMIT;
        } else {
            tally.current = tally.daemons.size();
            tally.host_index.emplace(line.host, tally.current);
            tally.daemons.emplace_back().host = line.host;
        }
    }
    return tally.current;
}

}  // namespace

void observe_hold(HoldHistogram& histogram, std::int64_t ms) {
    observe_hold_in(histogram, ms, hold_bucket(ms));
}

std::int64_t hold_percentile(const HoldHistogram& histogram, double fraction) {
    auto rank = static_cast<std::uint64_t>(fraction * static_cast<double>(histogram.count));
    if (static_cast<double>(rank) < fraction * static_cast<double>(histogram.count)) ++rank;
    if (rank == 0) rank = 1;
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < FINE_BUCKETS; ++i) {
        seen += histogram.fine[i];
        if (seen >= rank) {
            const auto [low, high] = fine_bounds(i);
            const std::int64_t middle = low + (high - low) / 2;
            return middle < histogram.max_ms ? middle : histogram.max_ms;
        }
    }
    return histogram.max_ms;
}

Source& find_source(SourceTable& table, const Address& address) {
    if ((table.used + 1) * 4 > table.slots.size() * 3) grow(table);
    bool fresh = false;
    Source& source = place(table, address, fresh);
    if (fresh) ++table.used;
    return source;
}

std::size_t longest_probe(const SourceTable& table) {
    std::size_t longest = 0;
    const std::size_t mask = table.slots.size() - 1;
    for (std::size_t i = 0; i < table.slots.size(); ++i) {
        const Address& address = table.slots[i].address;
        if (is_unknown(address)) continue;
        const std::size_t distance = (i - home_slot(table, address)) & mask;
        longest = distance > longest ? distance : longest;
    }
    return longest;
}

void tally_line(Tally& tally, const LogLine& line) {
    const std::size_t at = daemon_of(tally, line);
    if (at == PAST_HOST_LIMIT) {
        ++tally.lines_past_max_hosts;
        ++tally.others.lines;
        ++tally.others.unparsed;
        return;
    }
    DaemonCounts& counted = at == OTHERS ? tally.others : tally.daemons[at].counts;
    ++counted.lines;
    if (line.kind == LineKind::unparsed) {
        ++counted.unparsed;
        return;
    }
    if (line.kind == LineKind::foreign) {
        ++counted.foreign;
        return;
    }
    // The daemon's own line: always a daemon's, never in `others`.
    Daemon& daemon = tally.daemons[at];
    DaemonCounts& counts = daemon.counts;
    RestartState& restart = daemon.restart;
    if (line.has_time) {
        if (!counts.has_time || line.time_ms < counts.first_ms) counts.first_ms = line.time_ms;
        if (!counts.has_time || line.time_ms > counts.last_ms) counts.last_ms = line.time_ms;
        counts.latest_ms = line.time_ms;
        counts.has_time = true;
    }
    // Another pid is another process: what the last one held is gone. Only
    // the daemon's events tell: its standard error can reach the log under
    // another pid, its supervisor's (daemon(8) passes it on so).
    const bool event = line.kind == LineKind::setting || line.kind == LineKind::accept ||
                       line.kind == LineKind::close || line.kind == LineKind::totals;
    const bool new_process =
        event && line.pid >= 0 && (!restart.seen_event || line.pid != restart.pid);
    if (new_process) counts.held_now = 0;
    if (line.kind == LineKind::accept || line.kind == LineKind::setting)
        restart.short_of_descriptors = false;

    switch (line.kind) {
        case LineKind::setting: tally_setting(daemon, line, new_process); break;
        case LineKind::accept: tally_accept(tally, counts, line); break;
        case LineKind::close: tally_close(tally, counts, line); break;
        case LineKind::exhausted:
            // With nobody held the daemon warns at every try, ten a second
            // while it lasts: one shortage, until a client is accepted.
            if (!restart.short_of_descriptors) ++counts.exhaustions;
            restart.short_of_descriptors = true;
            break;
        case LineKind::totals:
            counts.has_totals = true;
            counts.last_totals = {line.connects, line.duration_ms, line.bytes};
            break;
        default: ++counts.daemon_other; break;
    }
    if (line.kind != LineKind::setting) restart.previous_setting = -1;
    // What the daemon itself wrote after a TOTALS line shows it went on; its
    // problems may be a new process's, before its settings.
    if (event || line.kind == LineKind::trace)
        restart.stopped = line.kind == LineKind::totals && counts.held_now == 0;
    if (event) {
        restart.seen_event = true;
        restart.pid = line.pid;
    }
}

std::vector<const Daemon*> shown_daemons(const Tally& tally) {
    std::vector<const Daemon*> shown;
    const Daemon& unnamed = tally.daemons[0];
    if (!names_hosts(tally) || heard_from(unnamed.counts)) shown.push_back(&unnamed);
    for (std::size_t i = 1; i < tally.daemons.size(); ++i) shown.push_back(&tally.daemons[i]);
    return shown;
}

bool heard_from_daemon(const Tally& tally) {
    // A host is kept once it logs a line of the daemon's; standard output's
    // daemon may have logged none.
    return names_hosts(tally) || heard_from(tally.daemons[0].counts);
}

DaemonCounts whole_log(const Tally& tally) {
    DaemonCounts all;
    const auto add = [&all](const DaemonCounts& one) {
        all.lines += one.lines;
        all.unparsed += one.unparsed;
        all.foreign += one.foreign;
        all.daemon_other += one.daemon_other;
        if (one.has_time) {
            if (!all.has_time || one.first_ms < all.first_ms) all.first_ms = one.first_ms;
            if (!all.has_time || one.last_ms > all.last_ms) all.last_ms = one.last_ms;
            if (!all.has_time || one.latest_ms > all.latest_ms) all.latest_ms = one.latest_ms;
            all.has_time = true;
        }
        all.connections += one.connections;
        all.releases += one.releases;
        all.unknown_connections += one.unknown_connections;
        all.negative_times += one.negative_times;
        add_to(all.bytes, one.bytes);
        add_to(all.held_now, one.held_now);
        for (std::size_t i = 0; i < HOLD_BUCKETS; ++i) all.hold.coarse[i] += one.hold.coarse[i];
        all.hold.count += one.hold.count;
        add_to(all.hold.sum_ms, one.hold.sum_ms);
        all.starts += one.starts;
        all.reloads += one.reloads;
        all.exhaustions += one.exhaustions;
    };
    for (const Daemon& one : tally.daemons) add(one.counts);
    add(tally.others);
    const std::vector<const Daemon*> shown = shown_daemons(tally);
    for (std::size_t i = 0; i < std::size(all.settings); ++i) {
        all.settings[i] = shown.empty() ? -1 : shown[0]->counts.settings[i];
        for (const Daemon* one : shown)
            if (one->counts.settings[i] != all.settings[i]) all.settings[i] = -1;
    }
    if (shown.size() == 1) {
        all.has_totals = shown[0]->counts.has_totals;
        all.last_totals = shown[0]->counts.last_totals;
    }
    return all;
}

}  // namespace mirebox::stats
