// The report: plain text for a terminal, or JSON for scripts. Both are made
// from the tally alone, after the input is read.
#include <time.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "diagnostics/messages.h"
#include "stats/format.h"
#include "stats/report.h"

namespace mirebox::stats {

namespace {

constexpr std::size_t BAR_WIDTH = 40;

// A row holds a host name of up to 255 bytes: whatever the length, it is
// formatted whole, in place.
[[gnu::format(printf, 2, 3)]] void append(std::string& out, const char* format, ...) {
    std::va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    char buffer[256];
    const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length > 0 && static_cast<std::size_t>(length) < sizeof buffer) {
        out.append(buffer, static_cast<std::size_t>(length));
    } else if (length > 0) {
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(length) + 1);
        std::vsnprintf(out.data() + at, static_cast<std::size_t>(length) + 1, format, again);
        out.resize(at + static_cast<std::size_t>(length));
    }
    va_end(again);
}

// "2026-12-10 03:00:47" in UTC; with `iso`, "2026-12-10T03:00:47.123Z".
std::string format_time(std::int64_t ms, bool iso) {
    const std::int64_t floor_seconds = ms / 1000 - (ms % 1000 < 0);
    const auto seconds = static_cast<time_t>(floor_seconds);
    struct tm utc {};
    char text[64] = "";
    if (gmtime_r(&seconds, &utc) != nullptr)
        std::strftime(text, sizeof text, iso ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &utc);
    std::string out = text;
    if (iso) append(out, ".%03" PRId64 "Z", ms - floor_seconds * 1000);
    return out;
}

std::string format_bytes(std::int64_t bytes) {
    static constexpr const char* UNITS[] = {"kB", "MB", "GB", "TB", "PB"};
    if (bytes < 1000) return std::to_string(bytes) + " bytes";
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    for (value /= 1000; value >= 1000 && unit + 1 < std::size(UNITS); value /= 1000) ++unit;
    std::string out;
    append(out, "%" PRId64 " bytes (%.1f %s)", bytes, value, UNITS[unit]);
    return out;
}

std::string bar(std::uint64_t count, std::uint64_t largest) {
    if (count == 0 || largest == 0) return "";
    std::size_t width = static_cast<std::size_t>(count * BAR_WIDTH / largest);
    return std::string(width == 0 ? 1 : width, '#');
}

std::string plural(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

bool held_longer(const Source& a, const Source& b) {
    if (a.held_ms != b.held_ms) return a.held_ms > b.held_ms;
    if (a.connections != b.connections) return a.connections > b.connections;
    return std::memcmp(a.address.bytes, b.address.bytes, sizeof a.address.bytes) < 0;
}

bool came_more(const Source& a, const Source& b) {
    if (a.connections != b.connections) return a.connections > b.connections;
    return held_longer(a, b);
}

// The `count` best sources by `better`, best first, in one pass over the table.
std::vector<const Source*> top_sources(const SourceTable& table, std::size_t count,
                                       bool (*better)(const Source&, const Source&)) {
    std::vector<const Source*> top;
    if (count == 0) return top;
    for (const Source& source : table.slots) {
        if (is_unknown(source.address)) continue;
        if (top.size() == count && !better(source, *top.back())) continue;
        if (top.size() == count) top.pop_back();
        std::size_t at = top.size();
        while (at > 0 && better(source, *top[at - 1])) --at;
        top.insert(top.begin() + static_cast<std::ptrdiff_t>(at), &source);
    }
    return top;
}

std::uint64_t returning_sources(const SourceTable& table) {
    std::uint64_t count = 0;
    for (const Source& source : table.slots)
        if (!is_unknown(source.address) && source.connections > 1) ++count;
    return count;
}

std::string bucket_label(std::size_t bucket) {
    if (bucket == 0) return "up to " + format_duration(HOLD_BUCKET_SECONDS[0] * 1000);
    const std::string low = format_duration(HOLD_BUCKET_SECONDS[bucket - 1] * 1000);
    if (bucket == std::size(HOLD_BUCKET_SECONDS)) return "over " + low;
    return low + " to " + format_duration(HOLD_BUCKET_SECONDS[bucket] * 1000);
}

void text_sources(std::string& out, const Tally& tally, const ReportOptions& options) {
    const auto by_time = top_sources(tally.sources, options.top, held_longer);
    if (by_time.empty()) return;
    append(out, "\nTop sources by time held\n");
    for (const Source* source : by_time)
        append(out, "  %-39s %16s  %s\n", format_address(source->address).c_str(),
               format_duration(source->held_ms).c_str(),
               plural(source->connections, "connection", "connections").c_str());
    append(out, "\nTop sources by connections\n");
    for (const Source* source : top_sources(tally.sources, options.top, came_more))
        append(out, "  %-39s %16s  %s held\n", format_address(source->address).c_str(),
               plural(source->connections, "connection", "connections").c_str(),
               format_duration(source->held_ms).c_str());
}

void text_holds(std::string& out, const HoldHistogram& hold) {
    if (hold.count == 0) return;
    append(out, "\nHold times    median %s, 90%% %s, 99%% %s, longest %s\n",
           format_duration(hold_percentile(hold, 0.5)).c_str(),
           format_duration(hold_percentile(hold, 0.9)).c_str(),
           format_duration(hold_percentile(hold, 0.99)).c_str(),
           format_duration(hold.max_ms).c_str());
    std::uint64_t largest = 0;
    for (std::uint64_t count : hold.coarse) largest = count > largest ? count : largest;
    for (std::size_t i = 0; i < HOLD_BUCKETS; ++i)
        append(out, "  %-18s %10" PRIu64 "  %s\n", bucket_label(i).c_str(), hold.coarse[i],
               bar(hold.coarse[i], largest).c_str());
}

void text_hours(std::string& out, const Tally& tally, const DaemonCounts& all) {
    if (all.connections == 0) return;
    std::uint64_t largest = 0;
    for (std::uint64_t count : tally.per_hour) largest = count > largest ? count : largest;
    append(out, "\nConnections by hour of day (UTC)\n");
    for (std::size_t hour = 0; hour < 24; ++hour)
        append(out, "  %02zu  %10" PRIu64 "  %s\n", hour, tally.per_hour[hour],
               bar(tally.per_hour[hour], largest).c_str());
}

// A setting's key, as its line starts: "MaxClients".
std::string_view setting_name(std::size_t index) {
    const std::string_view format = SETTING_FORMATS[index];
    return format.substr(0, format.find(' '));
}

// The line the daemon logged for a setting, in its words: "BindFamily IPv4 Only".
std::string setting_line(Setting setting, std::int64_t value) {
    std::string out;
    switch (setting) {
        case Setting::port: append(out, messages::PORT, static_cast<int>(value)); break;
        case Setting::delay: append(out, messages::DELAY, value); break;
        case Setting::max_line_length:
            append(out, messages::MAX_LINE_LENGTH, static_cast<int>(value));
            break;
        case Setting::max_clients:
            append(out, messages::MAX_CLIENTS, static_cast<int>(value));
            break;
        case Setting::bind_family:
            for (const auto& family : FAMILY_LABELS)
                if (family.value == value) append(out, messages::BIND_FAMILY, family.label);
            break;
    }
    return out;
}

std::string settings_text(const std::int64_t (&settings)[std::size(SETTING_FORMATS)]) {
    std::string text;
    for (std::size_t i = 0; i < std::size(SETTING_FORMATS); ++i) {
        if (settings[i] < 0) continue;
        if (!text.empty()) text += ", ";
        text += setting_line(static_cast<Setting>(i), settings[i]);
    }
    return text;
}

// "connects=3 seconds=3608.500 bytes=7000", as the daemon logged it after "TOTALS ".
std::string totals_words(const TotalsLine& last) {
    std::string line;
    append(line, messages::TOTALS, last.connects, last.held_ms / 1000, last.held_ms % 1000,
           last.bytes);
    return line.substr(line.find(' ') + 1);
}

// "1 start, 0 reloads, 2 times out of descriptors".
std::string lifetime_text(const DaemonCounts& daemon) {
    return plural(daemon.starts, "start", "starts") + ", " +
           plural(daemon.reloads, "reload", "reloads") + ", " +
           plural(daemon.exhaustions, "time out of descriptors", "times out of descriptors");
}

// One daemon, as a log of one host shows it.
void text_daemon(std::string& out, const DaemonCounts& daemon) {
    append(out, "Daemon        %s\n", lifetime_text(daemon).c_str());
    const std::string settings = settings_text(daemon.settings);
    if (!settings.empty()) append(out, "Settings      %s\n", settings.c_str());
    if (daemon.has_totals)
        append(out, "Last %.*s   %s\n", static_cast<int>(std::strcspn(messages::TOTALS, " ")),
               messages::TOTALS, totals_words(daemon.last_totals).c_str());
}

// A host's row: the unnamed daemon's among named hosts, too.
std::string row_name(const Daemon& daemon) {
    return daemon.host.empty() ? "(no host)" : printable_host(daemon.host);
}

// Several hosts: their sums, then a row for each.
void text_hosts(std::string& out, const DaemonCounts& all,
                const std::vector<const Daemon*>& shown) {
    append(out, "Daemon        %s on %zu hosts\n", lifetime_text(all).c_str(), shown.size());
    const std::string common = settings_text(all.settings);
    bool differ = false;
    for (const Daemon* daemon : shown)
        differ = differ || settings_text(daemon->counts.settings) != common;
    int width = 4;
    for (const Daemon* daemon : shown) {
        const int length = static_cast<int>(row_name(*daemon).size());
        width = length > width ? length : width;
    }
    if (!differ && !common.empty()) append(out, "Settings      %s\n", common.c_str());
    for (std::size_t i = 0; differ && i < shown.size(); ++i)
        append(out, "%-14s%-*s  %s\n", i == 0 ? "Settings" : "", width,
               row_name(*shown[i]).c_str(), settings_text(shown[i]->counts.settings).c_str());
    append(out, "\nHosts\n  %-*s %6s %11s %8s %16s %14s %6s %7s %10s  %s\n", width, "host",
           "held", "connections", "released", "time held", "sent bytes", "starts", "reloads",
           "out of fds", "last TOTALS");
    for (const Daemon* daemon : shown) {
        const DaemonCounts& row = daemon->counts;
        append(out, "  %-*s %6" PRId64 " %11" PRIu64 " %8" PRIu64 " %16s %14" PRId64
                    " %6" PRIu64 " %7" PRIu64 " %10" PRIu64 "  %s\n",
               width, row_name(*daemon).c_str(), row.held_now, row.connections, row.releases,
               format_duration(row.hold.sum_ms).c_str(), row.bytes, row.starts, row.reloads,
               row.exhaustions, row.has_totals ? totals_words(row.last_totals).c_str() : "-");
    }
}

void json_source_list(std::string& out, const std::vector<const Source*>& sources) {
    out += "[";
    for (std::size_t i = 0; i < sources.size(); ++i)
        append(out, "%s{\"source\": \"%s\", \"connections\": %" PRIu32 ", \"held_seconds\": %s}",
               i == 0 ? "" : ", ", format_address(sources[i]->address).c_str(),
               sources[i]->connections, seconds_text(sources[i]->held_ms).c_str());
    out += "]";
}

void json_period(std::string& out, const DaemonCounts& daemon) {
    if (daemon.has_time)
        append(out, "{\"first\": \"%s\", \"last\": \"%s\", \"seconds\": %s}",
               format_time(daemon.first_ms, true).c_str(), format_time(daemon.last_ms, true).c_str(),
               seconds_text(daemon.last_ms - daemon.first_ms).c_str());
    else
        out += "null";
}

// Printable ASCII as a JSON string.
void json_string(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
}

void json_daemon(std::string& out, const DaemonCounts& daemon) {
    append(out, "{\"starts\": %" PRIu64 ", \"reloads\": %" PRIu64
                ", \"descriptor_exhaustions\": %" PRIu64 ", \"settings\": {",
           daemon.starts, daemon.reloads, daemon.exhaustions);
    bool first = true;
    for (std::size_t i = 0; i < std::size(SETTING_FORMATS); ++i) {
        if (daemon.settings[i] < 0) continue;
        const std::string name(setting_name(i));
        append(out, "%s\"%s\": %" PRId64, first ? "" : ", ", name.c_str(), daemon.settings[i]);
        first = false;
    }
    out += "}, \"last_totals\": ";
    if (daemon.has_totals)
        append(out, "{\"connects\": %" PRId64 ", \"seconds\": %s, \"bytes\": %" PRId64 "}",
               daemon.last_totals.connects, seconds_text(daemon.last_totals.held_ms).c_str(),
               daemon.last_totals.bytes);
    else
        out += "null";
    out += "}";
}

// Where a daemon's counts are written: the whole log's at the top, a field a
// line, with what only the whole log has among them; a host's on one line.
struct JsonPlace {
    const char* between;                    // what comes between two fields
    const Tally* whole = nullptr;           // the whole log's, with its sources and hours
    const ReportOptions* options = nullptr;  // with `whole`
};

void json_hold_seconds(std::string& out, const HoldHistogram& hold) {
    out += "\"hold_seconds\": {";
    if (hold.count > 0)
        append(out, "\"p50\": %s, \"p90\": %s, \"p99\": %s, \"max\": %s, ",
               seconds_text(hold_percentile(hold, 0.5)).c_str(),
               seconds_text(hold_percentile(hold, 0.9)).c_str(),
               seconds_text(hold_percentile(hold, 0.99)).c_str(),
               seconds_text(hold.max_ms).c_str());
    out += "\"buckets\": [";
    for (std::size_t i = 0; i < HOLD_BUCKETS; ++i) {
        if (i < std::size(HOLD_BUCKET_SECONDS))
            append(out, "%s{\"le\": %" PRId64 ", \"count\": %" PRIu64 "}", i == 0 ? "" : ", ",
                   HOLD_BUCKET_SECONDS[i], hold.coarse[i]);
        else
            append(out, ", {\"le\": null, \"count\": %" PRIu64 "}", hold.coarse[i]);
    }
    out += "]}";
}

// One daemon's counts, or the whole log's, in the same fields and order.
void json_counts(std::string& out, const DaemonCounts& counts, const JsonPlace& place) {
    const std::string between = place.between;
    const Tally* whole = place.whole;
    append(out, "\"lines\": {\"read\": %" PRIu64 ", \"unparsed\": %" PRIu64
                ", \"other_programs\": %" PRIu64 ", \"daemon_other\": %" PRIu64,
           counts.lines, counts.unparsed, counts.foreign, counts.daemon_other);
    if (whole != nullptr)
        append(out, ", \"past_max_hosts\": %" PRIu64, whole->lines_past_max_hosts);
    out += "}" + between + "\"period\": ";
    json_period(out, counts);
    append(out, "%s\"connections\": %" PRIu64 "%s\"releases\": %" PRIu64, between.c_str(),
           counts.connections, between.c_str(), counts.releases);
    if (whole != nullptr)
        append(out, "%s\"distinct_sources\": %zu%s\"returning_sources\": %" PRIu64,
               between.c_str(), whole->sources.used, between.c_str(),
               returning_sources(whole->sources));
    append(out, "%s\"unknown_source_connections\": %" PRIu64 "%s\"clients_held\": %" PRId64
                "%s\"held_seconds\": %s%s\"negative_times\": %" PRIu64
                "%s\"sent_bytes\": %" PRId64,
           between.c_str(), counts.unknown_connections, between.c_str(), counts.held_now,
           between.c_str(), seconds_text(counts.hold.sum_ms).c_str(), between.c_str(),
           counts.negative_times, between.c_str(), counts.bytes);
    if (whole != nullptr) {
        out += between;
        json_hold_seconds(out, whole->hold);
        out += between + "\"top_by_time_held\": ";
        json_source_list(out, top_sources(whole->sources, place.options->top, held_longer));
        out += between + "\"top_by_connections\": ";
        json_source_list(out, top_sources(whole->sources, place.options->top, came_more));
        out += between + "\"connections_by_hour_utc\": [";
        for (std::size_t hour = 0; hour < 24; ++hour)
            append(out, "%s%" PRIu64, hour == 0 ? "" : ", ", whole->per_hour[hour]);
        out += "]";
    }
    out += between + "\"daemon\": ";
    json_daemon(out, counts);
}

}  // namespace

std::string text_report(const Tally& tally, const ReportOptions& options) {
    const DaemonCounts all = whole_log(tally);
    const std::vector<const Daemon*> shown = shown_daemons(tally);
    std::string out;
    if (all.has_time)
        append(out, "Period        %s to %s UTC (%s)\n", format_time(all.first_ms, false).c_str(),
               format_time(all.last_ms, false).c_str(),
               format_duration(all.last_ms - all.first_ms).c_str());
    append(out, "Lines         %" PRIu64 " read, %" PRIu64 " not understood, %" PRIu64
                " from other programs\n",
           all.lines, all.unparsed, all.foreign);
    if (tally.lines_past_max_hosts > 0)
        append(out, "              %" PRIu64 " of the daemon's from hosts past the first %zu, "
                    "not read\n",
               tally.lines_past_max_hosts, MAX_HOSTS);
    append(out, "Connections   %" PRIu64 " from %s (%" PRIu64 " came back), %" PRIu64
                " released\n",
           all.connections, plural(tally.sources.used, "source", "sources").c_str(),
           returning_sources(tally.sources), all.releases);
    if (all.unknown_connections > 0)
        append(out, "              %" PRIu64 " from an address the daemon could not read\n",
               all.unknown_connections);
    append(out, "Held now      %s\n", plural(static_cast<std::uint64_t>(all.held_now), "client",
                                              "clients").c_str());
    append(out, "Time held     %s in all (%s s)\n", format_duration(all.hold.sum_ms).c_str(),
           seconds_text(all.hold.sum_ms).c_str());
    if (all.negative_times > 0)
        append(out, "              %" PRIu64 " below zero (the clock was set back), counted as 0\n",
               all.negative_times);
    append(out, "Sent          %s\n", format_bytes(all.bytes).c_str());
    if (shown.size() > 1)
        text_hosts(out, all, shown);
    else
        text_daemon(out, all);
    text_holds(out, tally.hold);
    text_sources(out, tally, options);
    text_hours(out, tally, all);
    return out;
}

std::string json_report(const Tally& tally, const ReportOptions& options) {
    std::string out = "{\n  ";
    json_counts(out, whole_log(tally), JsonPlace{",\n  ", &tally, &options});
    out += ",\n  \"hosts\": [";
    const std::vector<const Daemon*> shown = shown_daemons(tally);
    for (std::size_t i = 0; i < shown.size(); ++i) {
        out += i == 0 ? "\n    {\"host\": " : ",\n    {\"host\": ";
        if (shown[i]->host.empty())
            out += "null";
        else
            json_string(out, printable_host(shown[i]->host));
        out += ", ";
        json_counts(out, shown[i]->counts, JsonPlace{", "});
        out += "}";
    }
    out += shown.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

}  // namespace mirebox::stats
