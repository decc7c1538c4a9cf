// Lines made by the daemon's own code, read back by mirebox-stats' parser,
// field for field: a change to either side alone fails here.
#include <sys/socket.h>

#include <sys/wait.h>

#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fixtures/capture.h"
#include "diagnostics/diagnostics.h"
#include "settings/settings.h"
#include "stats/address.h"
#include "stats/line.h"
#include "tarpit/tarpit.h"

// The wall clock of this test program stands still where a test puts it, so
// that the times the daemon's code computes are known.
namespace {
std::int64_t standing_ms = -1;
}  // namespace

extern "C" int clock_gettime(clockid_t clock, timespec* now) {
    using Call = int (*)(clockid_t, timespec*);
    static const auto real = reinterpret_cast<Call>(dlsym(RTLD_NEXT, "clock_gettime"));
    if (clock != CLOCK_REALTIME || standing_ms < 0) return real(clock, now);
    now->tv_sec = static_cast<time_t>(standing_ms / 1000);
    now->tv_nsec = static_cast<long>(standing_ms % 1000) * 1000000L;
    return 0;
}

namespace mirebox {
namespace {

constexpr std::int64_t NOW_MS = 1796871647123;  // 2026-12-10T03:00:47.123Z
constexpr std::int64_t LARGEST = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t SMALLEST = std::numeric_limits<std::int64_t>::min();
constexpr std::int32_t LARGEST_32 = std::numeric_limits<std::int32_t>::max();
// Descriptors no test process has open: the daemon's code closes them.
constexpr std::int32_t UNUSED_FD = 1 << 20;

class RoundTrip : public testing::Test {
protected:
    void SetUp() override {
        saved_verbosity_ = verbosity;
        saved_totals_ = totals;
        verbosity = 1;
        log_sink = log_to_stdout;
        standing_ms = NOW_MS;
        context_.now_ms = NOW_MS;
    }
    void TearDown() override {
        standing_ms = -1;
        verbosity = saved_verbosity_;
        totals = saved_totals_;
    }

    // The lines the daemon's code writes to fd 1 or 2 while `write` runs,
    // each parsed as the reader parses a line of its log.
    template <typename Write>
    std::vector<stats::LogLine> read_back(int fd, Write write) {
        test_support::Capture out(fd);
        write();
        const std::string text = out.finish();
        std::vector<stats::LogLine> lines;
        for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1)
            lines.push_back(stats::parse_line(text.substr(start, end - start), context_));
        return lines;
    }

    static Client* client(const char* host, std::int32_t port, std::int32_t fd) {
        auto* record = static_cast<Client*>(std::malloc(sizeof(Client)));
        *record = Client{};
        std::snprintf(record->host, sizeof record->host, "%s", host);
        record->port = port;
        record->fd = fd;
        record->connected_ms = NOW_MS;
        return record;
    }

    static void expect_peer(const stats::LogLine& line, const char* host, std::int32_t port) {
        EXPECT_EQ(line.has_address, host[0] != '\0');
        if (host[0] != '\0') {
            stats::Address expected{};
            ASSERT_TRUE(stats::parse_address(host, expected));
            EXPECT_TRUE(stats::same_address(line.address, expected));
        }
        EXPECT_EQ(line.port, port);
        EXPECT_TRUE(line.has_time);
        EXPECT_EQ(line.time_ms, NOW_MS);
    }

    stats::ParseContext context_;

private:
    std::uint32_t saved_verbosity_ = 0;
    Totals saved_totals_;
};

const struct {
    const char* host;
    std::int32_t port;
} PEERS[] = {
    {"192.0.2.7", 1},              // an IPv4 listener's client
    {"2001:db8::7", 65535},        // IPv6
    {"::ffff:198.51.100.9", 40000},  // IPv4 on the dual-stack socket
    {"", 0},                       // gone before its address could be read
};

TEST_F(RoundTrip, AcceptLines) {
    for (const auto& peer : PEERS) {
        for (const std::int32_t held : {1, LARGEST_32}) {
            SCOPED_TRACE(std::string(peer.host) + " n=" + std::to_string(held));
            Client* record = client(peer.host, peer.port, LARGEST_32);
            const auto lines = read_back(1, [&] { log_accept(record, held, LARGEST_32); });
            std::free(record);
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].kind, stats::LineKind::accept);
            expect_peer(lines[0], peer.host, peer.port);
            EXPECT_EQ(lines[0].held, held);
        }
    }
}

TEST_F(RoundTrip, CloseLines) {
    // Times held, the negative ones from a clock set back; a hundred years
    // and 2^48 bytes are as far as the reader takes a client.
    const struct {
        std::int64_t held_ms;
        std::int64_t bytes;
    } cases[] = {
        {0, 0},          {4356286, 7812},  {-9700, 27}, {-5, 0},
        {-3000, 0},      {999, 1},         {3155760000000, std::int64_t{1} << 48},
        {-3155760000000, 0},
    };
    for (const auto& peer : PEERS) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(peer.host) + " " + std::to_string(c.held_ms) + " ms");
            Client* record = client(peer.host, peer.port, UNUSED_FD);
            record->connected_ms = NOW_MS - c.held_ms;
            record->bytes = c.bytes;
            const auto lines = read_back(1, [&] { release_client(record); });
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].kind, stats::LineKind::close);
            expect_peer(lines[0], peer.host, peer.port);
            EXPECT_EQ(lines[0].duration_ms, c.held_ms);
            EXPECT_EQ(lines[0].bytes, c.bytes);
        }
    }
}

TEST_F(RoundTrip, TotalsLines) {
    const Totals cases[] = {
        {0, 0, 0},       {12, 4356286, 7812}, {1, -1250, 0}, {LARGEST, LARGEST, LARGEST},
        {0, SMALLEST, 0},
    };
    for (const Totals& c : cases) {
        SCOPED_TRACE(c.held_ms);
        totals = c;
        const auto lines = read_back(1, [] { log_totals(nullptr); });
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].kind, stats::LineKind::totals);
        EXPECT_EQ(lines[0].connects, c.connects);
        EXPECT_EQ(lines[0].duration_ms, c.held_ms);
        EXPECT_EQ(lines[0].bytes, c.bytes);
        EXPECT_EQ(lines[0].time_ms, NOW_MS);
    }
    // Held clients count their time so far.
    totals = Totals{3, 500, 9};
    Client held{};
    held.connected_ms = NOW_MS - 1500;
    const auto lines = read_back(1, [&] { log_totals(&held); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].duration_ms, 2000);
}

TEST_F(RoundTrip, TraceLines) {
    // Every socket call of a listener's life and of one client's, at level 2.
    verbosity = 2;
    std::vector<stats::LogLine> lines = read_back(1, [] {
        const int listener = open_listener(0, 0);
        sigset_t none;
        sigemptyset(&none);
        wait_for_work(listener, true, 0, none);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        Client* record = admit_client(pair[0], 1000);
        ASSERT_NE(record, nullptr);
        std::uint64_t state = 1;
        send_banner_line(record, 32, state);
        release_client(record);
        close(pair[1]);
        close(listener);
    });
    std::vector<std::string> kinds;
    for (const stats::LogLine& line : lines)
        if (line.kind != stats::LineKind::trace) kinds.push_back(std::to_string(int(line.kind)));
    // socket, two options, bind, listen, poll and its result, the client's
    // buffer, its write, its close, and its CLOSE line.
    EXPECT_GE(lines.size(), 11u);
    EXPECT_EQ(kinds, std::vector<std::string>{std::to_string(int(stats::LineKind::close))});
}

TEST_F(RoundTrip, SettingsLines) {
    const struct {
        Settings settings;
        std::int64_t family;  // as the reader holds it
    } cases[] = {
        {Settings{}, 0},
        {Settings{1, 1, 3, 1, AF_INET}, 4},
        {Settings{65535, LARGEST_32, 255, LARGEST_32, AF_INET6}, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings.Port);
        const auto lines = read_back(1, [&] { log_settings(c.settings); });
        ASSERT_EQ(lines.size(), 5u);
        const std::int64_t values[] = {c.settings.Port, c.settings.Delay, c.settings.MaxLineLength,
                                       c.settings.MaxClients, c.family};
        for (std::size_t i = 0; i < 5; ++i) {
            EXPECT_EQ(lines[i].kind, stats::LineKind::setting);
            EXPECT_EQ(static_cast<std::size_t>(lines[i].setting), i);
            EXPECT_EQ(lines[i].value, values[i]);
        }
    }
}

// What the daemon writes to standard error is its own, and one warning of it
// is a time out of descriptors.
TEST_F(RoundTrip, ProblemLines) {
    char path[] = "/tmp/mirebox-round-trip-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_NE(fd, -1);
    const std::string bad = "Port\nPort 1 2\nport 22\nLogLevel 9\nPort 0\nBindFamily x\n";
    ASSERT_EQ(write(fd, bad.data(), bad.size()), static_cast<ssize_t>(bad.size()));
    close(fd);
    Settings settings;
    const auto complaints =
        read_back(2, [&] { load_settings_file(settings, path, false); });
    std::remove(path);
    ASSERT_EQ(complaints.size(), 6u);
    for (const stats::LogLine& line : complaints)
        EXPECT_EQ(line.kind, stats::LineKind::daemon_other);

    const auto warnings = read_back(2, [] {
        warn(std::strerror(EMFILE));
        warn(std::strerror(ENFILE));
        warn(std::strerror(ENOBUFS));
        warn("out of memory");
    });
    ASSERT_EQ(warnings.size(), 4u);
    EXPECT_EQ(warnings[0].kind, stats::LineKind::exhausted);
    EXPECT_EQ(warnings[1].kind, stats::LineKind::exhausted);
    EXPECT_EQ(warnings[2].kind, stats::LineKind::daemon_other);
    EXPECT_EQ(warnings[3].kind, stats::LineKind::daemon_other);
}

// The help, to standard output for -h and after getopt's complaint to
// standard error for a bad option, from a child that the command line ends.
TEST_F(RoundTrip, HelpLines) {
    for (const auto& [option, fd] : {std::pair{"-h", 1}, std::pair{"-x", 2}}) {
        SCOPED_TRACE(option);
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        std::fflush(nullptr);
        const pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            dup2(ends[1], fd);
            char program[] = "mirebox";
            char argument[3] = {option[0], option[1], '\0'};
            char* argv[] = {program, argument, nullptr};
            Settings settings;
            const char* config_path = "/etc/opt/mirebox/mirebox.config";
            optind = 1;
            apply_command_line(2, argv, settings, config_path);
            std::_Exit(99);  // never reached
        }
        close(ends[1]);
        std::string text;
        char buffer[4096];
        for (ssize_t got; (got = read(ends[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(got));
        close(ends[0]);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), fd == 1 ? 0 : 1);
        std::size_t lines = 0;
        for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1, ++lines) {
            const std::string line = text.substr(start, end - start);
            EXPECT_EQ(stats::parse_line(line, context_).kind, stats::LineKind::daemon_other)
                << line;
        }
        EXPECT_GE(lines, 11u);
    }
}

}  // namespace
}  // namespace mirebox
