// Writes a synthetic log of the daemon's standard output for the stats
// benchmark: a month of a busy tarpit, with every line the daemon writes at -v.
//
//     stats_loggen LINES SOURCES [SEED [HOSTS]] > synthetic.log
//
// With HOSTS, the log is a log server's instead: the lines of that many
// hosts' daemons, taken in turn, as rsyslogd writes what they forward
// ("2026-12-01T00:00:00.000000+00:00 host1 mirebox[4242]: ACCEPT ...").
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

const char* host_text(std::uint64_t source) {
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

// What each line starts with: the daemon's timestamp, or the log server's
// and the host's name and the daemon's tag; host is -1 for the former.
const char* prefix(std::int64_t ms, int host) {
    if (host < 0) return timestamp(ms);
    static char text[96];
    const char* at = timestamp(ms);  // 2026-12-01T00:00:00.123Z
    std::snprintf(text, sizeof text, "%.23s000+00:00 host%d mirebox[%d]:", at, host,
                  4242 + host);
    return text;
}

void settings(std::int64_t ms, int host) {
    for (const char* line : {"Port 2222", "Delay 10000", "MaxLineLength 32", "MaxClients 4096",
                             "BindFamily IPv4 Mapped IPv6"})
        std::printf("%s %s\n", prefix(ms, host), line);
}

// One daemon's clients and totals.
struct Daemon {
    std::vector<Held> held;
    std::int64_t connects = 0, held_ms = 0, bytes = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: stats_loggen LINES SOURCES [SEED [HOSTS]]\n", stderr);
        return 1;
    }
    const std::int64_t lines = std::strtoll(argv[1], nullptr, 10);
    const auto sources = static_cast<std::uint64_t>(std::strtoll(argv[2], nullptr, 10));
    Random random{argc > 3 ? std::strtoull(argv[3], nullptr, 10) | 1 : 88172645463325252ULL};
    const int hosts = argc > 4 ? static_cast<int>(std::strtol(argv[4], nullptr, 10)) : 0;
    if (lines < 5 || sources < 1 || hosts < 0 || hosts > 1000) return 1;

    const std::int64_t start_ms = 1796083200000;  // 2026-12-01T00:00:00Z
    const double step_ms = static_cast<double>(MONTH_MS) / static_cast<double>(lines);
    std::vector<Daemon> daemons(hosts > 0 ? static_cast<std::size_t>(hosts) : 1);
    for (std::size_t i = 0; i < daemons.size(); ++i)
        settings(start_ms, hosts > 0 ? static_cast<int>(i) : -1);
    for (std::int64_t line = 5 * static_cast<std::int64_t>(daemons.size()); line < lines; ++line) {
        const auto now = start_ms + static_cast<std::int64_t>(static_cast<double>(line) * step_ms);
        const int host = hosts > 0 ? static_cast<int>(line % hosts) : -1;
        Daemon& daemon = daemons[host < 0 ? 0 : static_cast<std::size_t>(host)];
        std::vector<Held>& held = daemon.held;
        if (line % 1000000 == 0) {
            settings(now, host);
            line += 4;
        } else if (line % 100000 == 0) {
            std::printf("%s TOTALS connects=%" PRId64 " seconds=%" PRId64 ".%03" PRId64
                        " bytes=%" PRId64 "\n",
                        prefix(now, host), daemon.connects, daemon.held_ms / 1000,
                        daemon.held_ms % 1000, daemon.bytes);
        } else if (held.empty() || (held.size() < MOST_HELD && random.below(2) == 0)) {
            const Held client{random.below(sources), now,
                              static_cast<std::int32_t>(1024 + random.below(64000)),
                              static_cast<std::int32_t>(4 + held.size())};
            held.push_back(client);
            ++daemon.connects;
            std::printf("%s ACCEPT host=%s port=%d fd=%d n=%zu/4096\n", prefix(now, host),
                        host_text(client.source), client.port, client.fd, held.size());
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
            daemon.held_ms += time_ms;
            daemon.bytes += sent;
            std::printf("%s CLOSE host=%s port=%d fd=%d time=%" PRId64 ".%03" PRId64
                        " bytes=%" PRId64 "\n",
                        prefix(now, host), host_text(client.source), client.port, client.fd,
                        time_ms / 1000, time_ms % 1000, sent);
        }
    }
    return 0;
}
