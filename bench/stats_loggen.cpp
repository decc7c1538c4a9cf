// Writes a synthetic log of the daemon's standard output for the stats
// benchmark: a month of a busy tarpit, with every line the daemon writes at -v.
//
//     stats_loggen LINES SOURCES [SEED] > synthetic.log
//
// Clients come from SOURCES addresses, half IPv4 (logged IPv4-mapped) and
// half IPv6, up to 4096 held at once, each held for a time drawn
// log-uniformly from 0.1 s to a day; a TOTALS line every 100,000 lines and a
// reload every million.
#include <time.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

constexpr std::int64_t MONTH_MS = 30LL * 86400 * 1000;
constexpr std::size_t MOST_HELD = 4096;

struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }
};

struct Held {
    std::uint64_t source;
    std::int64_t since_ms;
    std::int32_t port;
    std::int32_t fd;
};

char stamp[32];
std::int64_t stamp_second = -1;

const char* timestamp(std::int64_t ms) {
    const std::int64_t second = ms / 1000;
    if (second != stamp_second) {
        const auto seconds = static_cast<time_t>(second);
        struct tm utc {};
        gmtime_r(&seconds, &utc);
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
        stamp_second = second;
    }
    static char full[40];
    std::snprintf(full, sizeof full, "%s.%03" PRId64 "Z", stamp, ms % 1000);
    return full;
}

const char* host(std::uint64_t source) {
    static char text[48];
    if (source % 2 == 0) {
        const std::uint64_t n = source / 2 + 0x0A000000;  // from 10.0.0.0 up
        std::snprintf(text, sizeof text, "::ffff:%u.%u.%u.%u", static_cast<unsigned>(n >> 24 & 255),
                      static_cast<unsigned>(n >> 16 & 255), static_cast<unsigned>(n >> 8 & 255),
                      static_cast<unsigned>(n & 255));
    } else {
        const std::uint64_t n = source / 2;
        std::snprintf(text, sizeof text, "2001:db8:%x:%x::%x", static_cast<unsigned>(n >> 32),
                      static_cast<unsigned>(n >> 16 & 0xffff), static_cast<unsigned>(n & 0xffff));
    }
    return text;
}

void settings(std::int64_t ms) {
    const char* at = timestamp(ms);
    std::printf("%s Port 2222\n%s Delay 10000\n%s MaxLineLength 32\n%s MaxClients 4096\n"
                "%s BindFamily IPv4 Mapped IPv6\n",
                at, at, at, at, at);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: stats_loggen LINES SOURCES [SEED]\n", stderr);
        return 1;
    }
    const std::int64_t lines = std::strtoll(argv[1], nullptr, 10);
    const auto sources = static_cast<std::uint64_t>(std::strtoll(argv[2], nullptr, 10));
    Random random{argc > 3 ? std::strtoull(argv[3], nullptr, 10) | 1 : 88172645463325252ULL};
    if (lines < 5 || sources < 1) return 1;

    const std::int64_t start_ms = 1796083200000;  // 2026-12-01T00:00:00Z
    const double step_ms = static_cast<double>(MONTH_MS) / static_cast<double>(lines);
    std::vector<Held> held;
    std::int64_t connects = 0, held_ms = 0, bytes = 0;
    settings(start_ms);
    for (std::int64_t line = 5; line < lines; ++line) {
        const auto now = start_ms + static_cast<std::int64_t>(static_cast<double>(line) * step_ms);
        if (line % 1000000 == 0) {
            settings(now);
            line += 4;
        } else if (line % 100000 == 0) {
            std::printf("%s TOTALS connects=%" PRId64 " seconds=%" PRId64 ".%03" PRId64
                        " bytes=%" PRId64 "\n",
                        timestamp(now), connects, held_ms / 1000, held_ms % 1000, bytes);
        } else if (held.empty() || (held.size() < MOST_HELD && random.below(2) == 0)) {
            const Held client{random.below(sources), now,
                              static_cast<std::int32_t>(1024 + random.below(64000)),
                              static_cast<std::int32_t>(4 + held.size())};
            held.push_back(client);
            ++connects;
            std::printf("%s ACCEPT host=%s port=%d fd=%d n=%zu/4096\n", timestamp(now),
                        host(client.source), client.port, client.fd, held.size());
        } else {
            const std::size_t at = random.below(held.size());
            const Held client = held[at];
            held[at] = held.back();
            held.pop_back();
            // Log-uniform from 100 ms to a day: 100 * 2^(0..19.7).
            const auto time_ms = static_cast<std::int64_t>(
                100.0 * static_cast<double>(1ULL << random.below(20)) *
                (1.0 + static_cast<double>(random.below(1000)) / 1000.0));
            const std::int64_t sent = time_ms / 10000 * 17;
            held_ms += time_ms;
            bytes += sent;
            std::printf("%s CLOSE host=%s port=%d fd=%d time=%" PRId64 ".%03" PRId64
                        " bytes=%" PRId64 "\n",
                        timestamp(now), host(client.source), client.port, client.fd,
                        time_ms / 1000, time_ms % 1000, sent);
        }
    }
    return 0;
}
