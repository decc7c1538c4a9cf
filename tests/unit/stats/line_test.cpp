#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "stats/address.h"
#include "stats/line.h"
#include "stats/scan.h"

namespace mirebox::stats {
namespace {

constexpr std::int64_t AT_47_123 = 1796871647123;  // 2026-12-10T03:00:47.123Z
constexpr std::int64_t AT_47 = 1796871647000;      // 2026-12-10T03:00:47Z

// Syslog times are local: the tests read them in UTC.
class LineTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
        context_.now_ms = AT_47 + 3600000;
    }
    LogLine parse(const std::string& text) { return parse_line(text, context_); }

    ParseContext context_;
};

struct Expected {
    const char* text;
    LineKind kind;
    std::int64_t time_ms;  // -1: none
    std::int64_t pid;
};

TEST_F(LineTest, EveryFormOfTheSameEvent) {
    const std::string accept = "ACCEPT host=::ffff:192.0.2.7 port=51122 fd=4 n=1/4096";
    const Expected cases[] = {
        // The daemon's standard output.
        {"2026-12-10T03:00:47.123Z ", LineKind::accept, AT_47_123, -1},
        // A syslog file: local time, no year.
        {"Dec 10 03:00:47 gate mirebox[1234]: ", LineKind::accept, AT_47, 1234},
        // rsyslog's high-precision timestamps.
        {"2026-12-10T04:00:47.123456+01:00 gate mirebox[1234]: ", LineKind::accept, AT_47_123,
         1234},
        {"2026-12-10T03:00:47.123Z gate mirebox[1234]: ", LineKind::accept, AT_47_123, 1234},
        // journalctl -o short-iso, bare message (-s) and whole stdout line (-v).
        {"2026-12-10T03:00:47+0000 gate mirebox[1234]: ", LineKind::accept, AT_47, 1234},
        {"2026-12-10T05:30:47+0230 gate mirebox[1234]: ", LineKind::accept, AT_47, 1234},
        {"2026-12-10T03:00:48+0000 gate mirebox[77]: 2026-12-10T03:00:47.123Z ", LineKind::accept,
         AT_47_123, 77},
        // A syslog daemon that writes no pid, and RFC 5424's nil pid as rsyslog writes it.
        {"Dec 10 03:00:47 gate mirebox: ", LineKind::accept, AT_47, -1},
        {"2026-12-10T03:00:47.123456+00:00 gate mirebox[-]: ", LineKind::accept, AT_47_123, -1},
    };
    for (const Expected& expected : cases) {
        const std::string text = expected.text + accept;
        SCOPED_TRACE(text);
        const LogLine line = parse(text);
        EXPECT_EQ(line.kind, expected.kind);
        EXPECT_TRUE(line.has_time);
        EXPECT_EQ(line.time_ms, expected.time_ms);
        EXPECT_EQ(line.pid, expected.pid);
        EXPECT_EQ(format_address(line.address), "192.0.2.7");
        EXPECT_EQ(line.port, 51122);
        EXPECT_EQ(line.held, 1);
    }
}

TEST_F(LineTest, CloseAndTotalsTimesIncludingNegativeOnes) {
    const struct {
        const char* message;
        LineKind kind;
        std::int64_t duration_ms;
        std::int64_t bytes;
        bool has_address;
    } cases[] = {
        {"CLOSE host=::ffff:192.0.2.7 port=51122 fd=4 time=4356.286 bytes=7812", LineKind::close,
         4356286, 7812, true},
        {"CLOSE host=::ffff:192.0.2.7 port=51122 fd=4 time=0.000 bytes=0", LineKind::close, 0, 0,
         true},
        // The clock set back: the minus on both parts of %lld.%03lld.
        {"CLOSE host=::ffff:192.0.2.7 port=51122 fd=4 time=-9.-700 bytes=27", LineKind::close,
         -9700, 27, true},
        {"CLOSE host=::1 port=2 fd=4 time=0.-500 bytes=0", LineKind::close, -500, 0, true},
        {"CLOSE host=::1 port=2 fd=4 time=0.-05 bytes=0", LineKind::close, -5, 0, true},
        {"CLOSE host=::1 port=2 fd=4 time=-3.000 bytes=0", LineKind::close, -3000, 0, true},
        // The peer's address could not be read.
        {"CLOSE host= port=0 fd=5 time=12.001 bytes=54", LineKind::close, 12001, 54, false},
        {"CLOSE host=2001:db8::7 port=40000 fd=9 time=1.999 bytes=1", LineKind::close, 1999, 1,
         true},
        // As far as any client could go: a hundred years, 2^48 bytes.
        {"CLOSE host=::1 port=2 fd=4 time=3155760000.000 bytes=281474976710656", LineKind::close,
         3155760000000, 281474976710656, true},
        {"CLOSE host=::1 port=2 fd=4 time=-3155760000.000 bytes=0", LineKind::close,
         -3155760000000, 0, true},
        {"TOTALS connects=12 seconds=4356.286 bytes=7812", LineKind::totals, 4356286, 7812, false},
        {"TOTALS connects=0 seconds=-1.-250 bytes=0", LineKind::totals, -1250, 0, false},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.message);
        const LogLine line = parse(std::string("2026-12-10T03:00:47.123Z ") + expected.message);
        EXPECT_EQ(line.kind, expected.kind);
        EXPECT_EQ(line.duration_ms, expected.duration_ms);
        EXPECT_EQ(line.bytes, expected.bytes);
        EXPECT_EQ(line.has_address, expected.has_address);
    }
    EXPECT_EQ(parse_message("TOTALS connects=12 seconds=1.000 bytes=3").connects, 12);
    EXPECT_EQ(format_address(parse_message("CLOSE host=2001:db8::7 port=1 fd=9 time=1.999 bytes=1")
                                 .address),
              "2001:db8::7");
}

TEST_F(LineTest, SettingsLines) {
    const struct {
        const char* message;
        Setting setting;
        std::int64_t value;
    } cases[] = {
        {"Port 2222", Setting::port, 2222},
        {"Delay 10000", Setting::delay, 10000},
        {"MaxLineLength 32", Setting::max_line_length, 32},
        {"MaxClients 4096", Setting::max_clients, 4096},
        {"BindFamily IPv4 Only", Setting::bind_family, 4},
        {"BindFamily IPv6 Only", Setting::bind_family, 6},
        {"BindFamily IPv4 Mapped IPv6", Setting::bind_family, 0},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.message);
        const LogLine line = parse(std::string("Dec 10 03:00:47 gate mirebox[9]: ") +
                                   expected.message);
        EXPECT_EQ(line.kind, LineKind::setting);
        EXPECT_EQ(line.setting, expected.setting);
        EXPECT_EQ(line.value, expected.value);
    }
}

TEST_F(LineTest, WhatIsSkippedAndWhatIsNotUnderstood) {
    const struct {
        const char* text;
        LineKind kind;
    } cases[] = {
        // The socket-call trace of -v -v.
        {"2026-12-10T03:00:47.123Z socket() = 3", LineKind::trace},
        {"2026-12-10T03:00:47.123Z setsockopt(3, SO_REUSEADDR, true) = 0", LineKind::trace},
        {"2026-12-10T03:00:47.123Z bind(3, port=2222) = 0", LineKind::trace},
        {"2026-12-10T03:00:47.123Z poll(1, -1)", LineKind::trace},
        {"2026-12-10T03:00:47.123Z = 0", LineKind::trace},
        {"2026-12-10T03:00:47.123Z = -1", LineKind::trace},
        {"2026-12-10T03:00:47.123Z EINTR", LineKind::trace},
        {"2026-12-10T03:00:47.123Z accept() = 4", LineKind::trace},
        {"2026-12-10T03:00:47.123Z write(4) = 27", LineKind::trace},
        {"2026-12-10T03:00:47.123Z close(4)", LineKind::trace},
        {"2026-12-10T03:00:47.123Z errno = 22, Invalid argument", LineKind::trace},
        {"Dec 10 03:00:47 gate mirebox[9]: setrlimit(RLIMIT_NOFILE, 20000) = 0",
         LineKind::trace},
        // Its standard error, in the journal or mixed into a file.
        {"2026-12-10T03:00:47+0000 gate mirebox[9]: mirebox: warning: out of memory",
         LineKind::daemon_other},
        {"2026-12-10T03:00:47+0000 gate mirebox[9]: mirebox: fatal: Address already in use",
         LineKind::daemon_other},
        {"2026-12-10T03:00:47+0000 gate mirebox[9]: /usr/local/etc/mirebox.config:3: Missing value",
         LineKind::daemon_other},
        {"mirebox: warning: Software caused connection abort", LineKind::daemon_other},
        {"mirebox.config:7: Unknown option 'Bogus'", LineKind::daemon_other},
        {"2026-12-10T03:00:47+0000 gate mirebox[9]: etc/mirebox.config:2: Too many values",
         LineKind::daemon_other},
        {"2026-12-10T03:00:47+0000 gate mirebox[9]: a:b.config:12: Invalid log level '9'",
         LineKind::daemon_other},
        {"2026-12-10T03:00:47+0000 gate mirebox[9]: Usage: mirebox [-vh] [-46] [-d MS] "
         "[-f CONFIG] [-l LEN] [-m LIMIT] [-p PORT]",
         LineKind::daemon_other},
        {"2026-12-10T03:00:47+0000 gate mirebox[9]:   -d INT    Message millisecond delay [10000]",
         LineKind::daemon_other},
        {"  -4        Bind to IPv4 only", LineKind::daemon_other},
        // The help of a build with another configuration file.
        {"  -f        Set and load config file [/etc/opt/mirebox/mirebox.config]",
         LineKind::daemon_other},
        // Only those: other texts of the same shape are not the daemon's.
        {"  --verbose     be chatty", LineKind::unparsed},
        {"  - a list item", LineKind::unparsed},
        {"main.c:12: error: expected ';'", LineKind::unparsed},
        {"2026-12-10T03:00:47+0000 gate mirebox[9]: a.config:3: Missing value, and more",
         LineKind::unparsed},
        {"a.config:3: Unknown option 'x", LineKind::unparsed},
        {"Usage: other [-x]", LineKind::unparsed},
        {"Usage: mirebox [-vh]", LineKind::unparsed},
        {"  -d INT    Message millisecond delay", LineKind::unparsed},
        // Other programs, and the journal's notes.
        {"Dec 10 03:00:47 gate sshd[812]: Accepted publickey for root from 192.0.2.1",
         LineKind::foreign},
        {"Dec 10 03:00:47 gate last message repeated 3 times", LineKind::foreign},
        {"2026-12-10T03:00:47+0000 gate systemd[1]: Started mirebox.service - tarpit.",
         LineKind::foreign},
        {"Dec 10 03:00:47 gate mirebox-stats[9]: ACCEPT host=::1 port=1 fd=4 n=1/1",
         LineKind::foreign},
        {"-- Boot 0f3c9a1e8d7b4c2a --", LineKind::foreign},
        {"-- No entries --", LineKind::foreign},
        // Cut short, bent or foreign to any form.
        {"2026-12-10T03:00:47.123Z CLOSE host=::ffff:192.0.2.7 port=51122 fd=4 time=43",
         LineKind::unparsed},
        {"2026-12-10T03:00:47.123Z CLOSE host=::ffff:192.0.2.7 port=51122 fd=4 time=43.5 bytes=1",
         LineKind::unparsed},
        {"2026-12-10T03:00:47.123Z CLOSE host=::1 port=1 fd=4 time=4.-500 bytes=1",
         LineKind::unparsed},
        {"2026-12-10T03:00:47.123Z CLOSE host=::1 port=1 fd=4 time=-4.500 bytes=1",
         LineKind::unparsed},
        {"2026-12-10T03:00:47.123Z CLOSE host=::1 port=1 fd=4 time=1.000 bytes=99999999999999999999",
         LineKind::unparsed},
        // Past what any client could be held or sent.
        {"2026-12-10T03:00:47.123Z CLOSE host=::1 port=1 fd=4 time=3155760000.001 bytes=0",
         LineKind::unparsed},
        {"2026-12-10T03:00:47.123Z CLOSE host=::1 port=1 fd=4 time=-3155760001.000 bytes=0",
         LineKind::unparsed},
        {"2026-12-10T03:00:47.123Z CLOSE host=::1 port=1 fd=4 time=1.000 bytes=281474976710657",
         LineKind::unparsed},
        {"2026-12-10T03:00:47.123Z CLOSE host=::1 port=1 fd=4 time=999999999999999.999 "
         "bytes=999999999999999",
         LineKind::unparsed},
        {"2026-12-10T03:00:47.123Z ACCEPT host=::ffff:192.0.2.7 port=51122 fd=4 n=1/4096 and more",
         LineKind::unparsed},
        {"2026-12-10T03:00:47.123Z ACCEPT host=192.0.2.300 port=1 fd=4 n=1/4096",
         LineKind::unparsed},
        {"2026-12-10T03:00:47.123Z ACCEPT host=::ffff:192.0.2.7 port=-1 fd=4 n=1/4096",
         LineKind::unparsed},
        {"2026-12-10T03:00:47.123Z BindFamily IPv5", LineKind::unparsed},
        {"2026-12-10T03:00:47.123Z Port", LineKind::unparsed},
        {"2026-12-10T03:00:47.123Z", LineKind::unparsed},
        {"2026-12-10T03:00:4", LineKind::unparsed},
        {"2026-13-10T03:00:47.123Z Port 22", LineKind::unparsed},
        {"Dec 10 03:00:47 gate mirebox[1234]: ACCEPT host=::1 port=1", LineKind::unparsed},
        {"Dec 10 03:00:47 gate mirebox[12x]: Port 22", LineKind::foreign},
        {"ACCEPT host=::1 port=1 fd=4 n=1/4096", LineKind::unparsed},
        {"\x01\x7f\xff garbage", LineKind::unparsed},
        {"", LineKind::unparsed},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.text);
        EXPECT_EQ(parse(expected.text).kind, expected.kind);
    }
    // A path of more pieces than a scan tries: the cost of a line is bounded,
    // not its reading exact.
    std::string pieces;
    for (int i = 0; i < 40; ++i) pieces += ":a";
    EXPECT_EQ(parse("2026-12-10T03:00:47+0000 gate mirebox[9]: x" + pieces + ":3: Missing value")
                  .kind,
              LineKind::unparsed);
    EXPECT_EQ(parse("2026-12-10T03:00:47+0000 gate mirebox[9]: x" + pieces.substr(0, 40) +
                    ":3: Missing value")
                  .kind,
              LineKind::daemon_other);
}

TEST_F(LineTest, CarriageReturnAtTheEndIsIgnored) {
    EXPECT_EQ(parse("2026-12-10T03:00:47.123Z Port 22\r").kind, LineKind::setting);
}

TEST_F(LineTest, SyslogYearIsTheLatestNotMoreThanADayAhead) {
    const struct {
        std::int64_t now_ms;
        const char* stamp;
        std::int64_t expected_ms;
    } cases[] = {
        // Read on New Year's Day: December is last year's, January this year's.
        {1798761601000 + 43200000, "Dec 31 23:59:59", 1798761599000},
        {1798761601000 + 43200000, "Jan  1 00:00:01", 1798761601000},
        // Less than a day ahead is this year (a clock a little behind)...
        {AT_47, "Dec 11 03:00:00", 1796958000000},
        // ...more is last year.
        {AT_47, "Dec 12 03:00:00", 1765508400000},
        {AT_47, "Dec  1 03:00:47", 1796094047000},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.stamp);
        context_.now_ms = expected.now_ms;
        const LogLine line = parse(std::string(expected.stamp) + " gate mirebox[1]: Port 22");
        EXPECT_EQ(line.kind, LineKind::setting);
        EXPECT_EQ(line.time_ms, expected.expected_ms);
    }
}

TEST_F(LineTest, SystemLogTimesAreTheLocalTimeOfTheReader) {
    // A zone east of UTC, as a log server's: its 08:30:47 is 03:00:47 UTC.
    setenv("TZ", "MBX-5:30", 1);
    tzset();
    const LogLine line = parse("Dec 10 08:30:47 gate mirebox[1]: Port 22");
    setenv("TZ", "UTC0", 1);
    tzset();
    EXPECT_EQ(line.time_ms, AT_47);
}

TEST_F(LineTest, AHostIsWhatRfc5424AllowsAHostNameToBe) {
    const std::string longest(MAX_HOST_NAME, 'h');
    const struct {
        std::string host;
        bool taken;
    } cases[] = {
        {"gate", true}, {"gate.example.org", true}, {"2001:db8::7", true}, {"192.0.2.7", true},
        {"a(b", true}, {longest, true}, {longest + "h", false}, {"caf\xc3\xa9", false},
        {"esc\x1b", false}, {"tab\tbed", false}, {std::string("n\0l", 3), false},
    };
    for (const char* stamp : {"Dec 10 03:00:47 ", "2026-12-10T03:00:47.123456+00:00 ",
                              "2026-12-10T03:00:47.123Z "}) {
        for (const auto& expected : cases) {
            const std::string text = stamp + expected.host + " mirebox[7]: Port 22";
            SCOPED_TRACE(text);
            const LogLine line = parse(text);
            EXPECT_EQ(line.kind, expected.taken ? LineKind::setting : LineKind::unparsed);
            EXPECT_EQ(line.host, expected.taken ? expected.host : "");
            EXPECT_EQ(line.bad_host, !expected.taken);
        }
    }
    // Another program's line, or a syslog note, from such a "host" is no host's either.
    EXPECT_EQ(parse("Dec 10 03:00:47 caf\xc3\xa9 sshd[1]: x").kind, LineKind::unparsed);
    EXPECT_EQ(parse("Dec 10 03:00:47 " + longest + "h last message repeated").host, "");
}

TEST_F(LineTest, AHostAndTheDaemonsTagComeBeforeAnyOtherReading) {
    // After the daemon's own stamp, host names shaped like its trace.
    const struct {
        const char* text;
        LineKind kind;
        const char* host;
    } cases[] = {
        {"2026-12-10T03:00:47.123Z a(b mirebox[1]: x)", LineKind::unparsed, "a(b"},
        {"2026-12-10T03:00:47.123Z close(4) mirebox[1]: Port 22", LineKind::setting, "close(4)"},
        {"2026-12-10T03:00:47.123Z a(b sshd[1]: x)", LineKind::foreign, "a(b"},
        // A tag this reader does not take still names the line's host.
        {"2026-12-10T03:00:47.123Z stray mirebox[abc]: Port 22", LineKind::unparsed, "stray"},
        // One that reads as a trace line too, as a whole.
        {"2026-12-10T03:00:47.123Z setsockopt(3, mirebox[1]: x, true) = 0", LineKind::unparsed,
         "setsockopt(3,"},
        // The daemon's own words stay its standard output's.
        {"2026-12-10T03:00:47.123Z close(4)", LineKind::trace, ""},
        {"2026-12-10T03:00:47.123Z ACCEPT host=2001:db8:: port=1 fd=4 n=1/4096", LineKind::accept,
         ""},
        // Only the daemon's trace formats are its trace.
        {"2026-12-10T03:00:47.123Z sync() = 0", LineKind::unparsed, ""},
        {"2026-12-10T03:00:47.123Z close(4) = 0", LineKind::unparsed, ""},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.text);
        const std::string text = expected.text;  // the line's host is a view into it
        const LogLine line = parse(text);
        EXPECT_EQ(line.kind, expected.kind);
        EXPECT_EQ(line.host, expected.host);
    }
}

TEST_F(LineTest, ATimeWithAYearMoreThanADayAheadIsNotBelieved) {
    // The reader's clock is at 04:00:47.000 on the 10th.
    const struct {
        const char* text;
        bool believed;
    } cases[] = {
        {"2026-12-11T04:00:47.000Z Port 22", true},
        {"2026-12-11T04:00:47.001Z Port 22", false},
        {"2099-12-31T23:59:59.999+00:00 gate mirebox[1]: Port 22", false},
        {"2026-12-11T05:00:47.000+01:00 gate mirebox[1]: Port 22", true},
        // The daemon's own stamp inside a journal line is the line's time.
        {"2026-12-10T03:00:48+0000 gate mirebox[77]: 2099-01-01T00:00:00.000Z Port 22", false},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.text);
        const LogLine line = parse(expected.text);
        EXPECT_EQ(line.kind, LineKind::setting);
        EXPECT_EQ(line.has_time, expected.believed);
    }
}

TEST_F(LineTest, AnotherTagIsTheDaemonOnlyWhenSaidSo) {
    const std::string text = "Dec 10 03:00:47 gate tarpit[5]: Port 22";
    EXPECT_EQ(parse(text).kind, LineKind::foreign);
    context_.ident = "tarpit";
    EXPECT_EQ(parse(text).kind, LineKind::setting);
}

}  // namespace
}  // namespace mirebox::stats
