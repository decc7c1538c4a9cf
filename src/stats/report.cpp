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
#include "stats/output.h"

namespace mirebox::stats {

namespace {

constexpr std::size_t BAR_WIDTH = 40;

[[gnu::format(printf, 2, 3)]] void append(std::string& out, const char* format, ...) {
    char buffer[512];
    std::va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length > 0)
        out.append(buffer, static_cast<std::size_t>(length) < sizeof buffer
                               ? static_cast<std::size_t>(length)
                               : sizeof buffer - 1);
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

void text_hours(std::string& out, const Tally& tally) {
    if (tally.connections == 0) return;
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

void text_daemon(std::string& out, const Tally& tally) {
    append(out, "Daemon        %s, %s, %s\n", plural(tally.starts, "start", "starts").c_str(),
           plural(tally.reloads, "reload", "reloads").c_str(),
           plural(tally.exhaustions, "time out of descriptors", "times out of descriptors")
               .c_str());
    std::string settings;
    for (std::size_t i = 0; i < std::size(SETTING_FORMATS); ++i) {
        if (tally.settings[i] < 0) continue;
        if (!settings.empty()) settings += ", ";
        settings += setting_line(static_cast<Setting>(i), tally.settings[i]);
    }
    if (!settings.empty()) append(out, "Settings      %s\n", settings.c_str());
    if (tally.has_totals) {
        // The line as the daemon logged it: "TOTALS connects=...".
        const Totals& last = tally.last_totals;
        std::string line;
        append(line, messages::TOTALS, last.connects, last.held_ms / 1000, last.held_ms % 1000,
               last.bytes);
        const std::size_t space = line.find(' ');
        append(out, "Last %s   %s\n", line.substr(0, space).c_str(),
               line.substr(space + 1).c_str());
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

}  // namespace

std::string seconds_text(std::int64_t ms) {
    std::string out;
    if (ms < 0) {
        out = "-";
        ms = -ms;
    }
    append(out, "%" PRId64 ".%03" PRId64, ms / 1000, ms % 1000);
    return out;
}

std::string format_duration(std::int64_t ms) {
    if (ms < 0) return "-" + format_duration(-ms);
    static constexpr struct {
        std::int64_t ms;
        const char* name;
    } UNITS[] = {{365LL * 86400000, "y"}, {86400000, "d"}, {3600000, "h"},
                 {60000, "min"},          {1000, "s"},      {1, "ms"}};
    std::string out;
    for (std::size_t i = 0; i < std::size(UNITS); ++i) {
        if (ms < UNITS[i].ms && i + 1 < std::size(UNITS)) continue;
        append(out, "%" PRId64 " %s", ms / UNITS[i].ms, UNITS[i].name);
        const std::int64_t rest = ms % UNITS[i].ms;
        // Seconds and above show the next unit down too; milliseconds only alone.
        if (i + 2 < std::size(UNITS) && rest / UNITS[i + 1].ms > 0)
            append(out, " %" PRId64 " %s", rest / UNITS[i + 1].ms, UNITS[i + 1].name);
        break;
    }
    return out;
}

std::string text_report(const Tally& tally, const ReportOptions& options) {
    std::string out;
    if (tally.has_time)
        append(out, "Period        %s to %s UTC (%s)\n", format_time(tally.first_ms, false).c_str(),
               format_time(tally.last_ms, false).c_str(),
               format_duration(tally.last_ms - tally.first_ms).c_str());
    append(out, "Lines         %" PRIu64 " read, %" PRIu64 " not understood, %" PRIu64
                " from other programs\n",
           tally.lines, tally.unparsed, tally.foreign);
    append(out, "Connections   %" PRIu64 " from %s (%" PRIu64 " came back), %" PRIu64
                " released\n",
           tally.connections, plural(tally.sources.used, "source", "sources").c_str(),
           returning_sources(tally.sources), tally.releases);
    if (tally.unknown_connections > 0)
        append(out, "              %" PRIu64 " from an address the daemon could not read\n",
               tally.unknown_connections);
    append(out, "Held now      %s\n", plural(static_cast<std::uint64_t>(tally.held_now), "client",
                                              "clients").c_str());
    append(out, "Time held     %s in all (%s s)\n", format_duration(tally.hold.sum_ms).c_str(),
           seconds_text(tally.hold.sum_ms).c_str());
    if (tally.negative_times > 0)
        append(out, "              %" PRIu64 " below zero (the clock was set back), counted as 0\n",
               tally.negative_times);
    append(out, "Sent          %s\n", format_bytes(tally.bytes).c_str());
    text_daemon(out, tally);
    text_holds(out, tally.hold);
    text_sources(out, tally, options);
    text_hours(out, tally);
    return out;
}

std::string json_report(const Tally& tally, const ReportOptions& options) {
    std::string out = "{\n";
    append(out, "  \"lines\": {\"read\": %" PRIu64 ", \"unparsed\": %" PRIu64
                ", \"other_programs\": %" PRIu64 ", \"daemon_other\": %" PRIu64 "},\n",
           tally.lines, tally.unparsed, tally.foreign, tally.daemon_other);
    if (tally.has_time)
        append(out, "  \"period\": {\"first\": \"%s\", \"last\": \"%s\", \"seconds\": %s},\n",
               format_time(tally.first_ms, true).c_str(), format_time(tally.last_ms, true).c_str(),
               seconds_text(tally.last_ms - tally.first_ms).c_str());
    else
        out += "  \"period\": null,\n";
    append(out, "  \"connections\": %" PRIu64 ",\n  \"releases\": %" PRIu64
                ",\n  \"distinct_sources\": %zu,\n  \"returning_sources\": %" PRIu64
                ",\n  \"unknown_source_connections\": %" PRIu64 ",\n  \"clients_held\": %" PRId64
                ",\n  \"held_seconds\": %s,\n  \"negative_times\": %" PRIu64
                ",\n  \"sent_bytes\": %" PRId64 ",\n",
           tally.connections, tally.releases, tally.sources.used, returning_sources(tally.sources),
           tally.unknown_connections, tally.held_now, seconds_text(tally.hold.sum_ms).c_str(),
           tally.negative_times, tally.bytes);

    const HoldHistogram& hold = tally.hold;
    out += "  \"hold_seconds\": {";
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
    out += "]},\n  \"top_by_time_held\": ";
    json_source_list(out, top_sources(tally.sources, options.top, held_longer));
    out += ",\n  \"top_by_connections\": ";
    json_source_list(out, top_sources(tally.sources, options.top, came_more));
    out += ",\n  \"connections_by_hour_utc\": [";
    for (std::size_t hour = 0; hour < 24; ++hour)
        append(out, "%s%" PRIu64, hour == 0 ? "" : ", ", tally.per_hour[hour]);
    append(out, "],\n  \"daemon\": {\"starts\": %" PRIu64 ", \"reloads\": %" PRIu64
                ", \"descriptor_exhaustions\": %" PRIu64 ", \"settings\": {",
           tally.starts, tally.reloads, tally.exhaustions);
    bool first = true;
    for (std::size_t i = 0; i < std::size(SETTING_FORMATS); ++i) {
        if (tally.settings[i] < 0) continue;
        const std::string name(setting_name(i));
        append(out, "%s\"%s\": %" PRId64, first ? "" : ", ", name.c_str(), tally.settings[i]);
        first = false;
    }
    out += "}, \"last_totals\": ";
    if (tally.has_totals)
        append(out, "{\"connects\": %" PRId64 ", \"seconds\": %s, \"bytes\": %" PRId64 "}",
               tally.last_totals.connects, seconds_text(tally.last_totals.held_ms).c_str(),
               tally.last_totals.bytes);
    else
        out += "null";
    out += "}\n}\n";
    return out;
}

}  // namespace mirebox::stats
