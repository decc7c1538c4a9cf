// Feeds arbitrary bytes to the log reader as lines, through the parser and
// the tally, and the report and metrics made from them: no input may crash
// it or break an invariant of the counts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "stats/line.h"
#include "stats/metrics.h"
#include "stats/report.h"
#include "stats/tally.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mirebox::stats;
    static Tally tally;
    tally = Tally{};
    ParseContext context;
    context.now_ms = 1796871647123;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        tally_line(tally, parse_line(text.substr(0, end), context));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    const DaemonCounts all = whole_log(tally);
    if (all.unparsed + all.foreign > all.lines || all.held_now < 0 ||
        tally.hold.count != all.releases || all.hold.count != all.releases ||
        tally.sources.used * 4 > tally.sources.slots.size() * 3)
        std::abort();
    // Each host's own counts hold together as the whole log's do, its name is
    // one a host can have, and no time it shows lies more than a day ahead.
    if (tally.daemons.size() > MAX_HOSTS + 1) std::abort();
    for (const Daemon& daemon : tally.daemons) {
        const DaemonCounts& counts = daemon.counts;
        if (counts.held_now < 0 || counts.hold.count != counts.releases ||
            counts.hold.sum_ms > tally.hold.sum_ms || counts.bytes > all.bytes ||
            daemon.host.size() > MAX_HOST_NAME)
            std::abort();
        for (const char c : daemon.host)
            if (c <= ' ' || c > '~') std::abort();
        if (counts.has_time && (counts.last_ms > context.now_ms + 86400000 ||
                                counts.latest_ms > counts.last_ms))
            std::abort();
    }
    // Sums of what was read: never below zero, and never below a part of them.
    if (tally.hold.sum_ms < 0 || all.bytes < 0 || tally.hold.max_ms > tally.hold.sum_ms)
        std::abort();
    for (const Source& source : tally.sources.slots)
        if (source.held_ms < 0 || source.held_ms > tally.hold.sum_ms) std::abort();
    text_report(tally, ReportOptions{});
    json_report(tally, ReportOptions{});
    prometheus_text(tally);
    return 0;
}
