#include <cinttypes>
#include <cstdio>
#include <limits>
#include <string>

#include "stats/format.h"

namespace mirebox::stats {

std::string seconds_text(std::int64_t ms) {
    // Through an unsigned magnitude: -INT64_MIN is past what int64_t holds.
    const std::uint64_t magnitude = ms < 0 ? 0 - static_cast<std::uint64_t>(ms)
                                           : static_cast<std::uint64_t>(ms);
    char text[32];
    std::snprintf(text, sizeof text, "%s%" PRIu64 ".%03" PRIu64, ms < 0 ? "-" : "",
                  magnitude / 1000, magnitude % 1000);
    return text;
}

std::string format_duration(std::int64_t ms) {
    if (ms == std::numeric_limits<std::int64_t>::min()) ++ms;  // a millisecond off, not undefined
    if (ms < 0) return "-" + format_duration(-ms);
    static constexpr struct {
        std::int64_t ms;
        const char* name;
    } UNITS[] = {{365LL * 86400000, "y"}, {86400000, "d"}, {3600000, "h"},
                 {60000, "min"},          {1000, "s"},      {1, "ms"}};
    char text[64] = "";
    for (std::size_t i = 0; i < std::size(UNITS); ++i) {
        if (ms < UNITS[i].ms && i + 1 < std::size(UNITS)) continue;
        const std::int64_t rest = ms % UNITS[i].ms;
        // Seconds and above show the next unit down too; milliseconds only alone.
        if (i + 2 < std::size(UNITS) && rest / UNITS[i + 1].ms > 0)
            std::snprintf(text, sizeof text, "%" PRId64 " %s %" PRId64 " %s", ms / UNITS[i].ms,
                          UNITS[i].name, rest / UNITS[i + 1].ms, UNITS[i + 1].name);
        else
            std::snprintf(text, sizeof text, "%" PRId64 " %s", ms / UNITS[i].ms, UNITS[i].name);
        break;
    }
    return text;
}

std::string printable_host(std::string_view host) {
    std::string out;
    for (const char c : host) {
        if (c > ' ' && c <= '~' && c != '%') {
            out += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X",
                          static_cast<unsigned>(static_cast<unsigned char>(c)));
            out += escaped;
        }
    }
    return out;
}

}  // namespace mirebox::stats
