#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stats/line.h"
#include "stats/metrics.h"
#include "stats/report.h"
#include "stats/tally.h"

namespace mirebox::stats {
namespace {

const std::vector<std::string> SETTINGS = {"Port 2222", "Delay 10000", "MaxLineLength 32",
                                           "MaxClients 4096", "BindFamily IPv4 Mapped IPv6"};

// Feeds messages as lines of one form: standard output, or syslog with a pid.
struct Feed {
    Tally tally;
    ParseContext context;

    void stdout_lines(const std::vector<std::string>& messages) {
        for (const std::string& message : messages)
            tally_line(tally, parse_line("2026-12-10T03:00:47.123Z " + message, context));
    }
    void syslog_lines(int pid, const std::vector<std::string>& messages) {
        for (const std::string& message : messages)
            tally_line(tally, parse_line("2026-12-10T03:00:47+0000 gate mirebox[" +
                                             std::to_string(pid) + "]: " + message,
                                         context));
    }
    // As a log server's rsyslogd writes what its hosts forward.
    void host_lines(const std::string& host, int pid, const std::vector<std::string>& messages) {
        for (const std::string& message : messages)
            tally_line(tally, parse_line("2026-12-10T03:00:47.123456+00:00 " + host +
                                             " mirebox[" + std::to_string(pid) + "]: " + message,
                                         context));
    }
    void line(const std::string& text) { tally_line(tally, parse_line(text, context)); }
    const DaemonCounts& host(const std::string& name) const {
        for (const Daemon& daemon : tally.daemons)
            if (daemon.host == name) return daemon.counts;
        ADD_FAILURE() << "no host " << name;
        return tally.others;
    }
    void settings() { stdout_lines(SETTINGS); }
    DaemonCounts all() const { return whole_log(tally); }
    void settings(int pid) { syslog_lines(pid, SETTINGS); }
};

std::string accept(int n, const char* host = "::ffff:192.0.2.7") {
    return std::string("ACCEPT host=") + host + " port=4000 fd=4 n=" + std::to_string(n) + "/4096";
}
std::string close(const char* time = "1.000", const char* host = "::ffff:192.0.2.7") {
    return std::string("CLOSE host=") + host + " port=4000 fd=4 time=" + time + " bytes=10";
}
const std::string TOTALS = "TOTALS connects=1 seconds=1.000 bytes=10";

TEST(Restarts, WithoutPidsAnOrderlyStopEndsARun) {
    Feed feed;
    feed.settings();                                  // start
    feed.stdout_lines({accept(1), TOTALS});           // SIGUSR1 with a client held
    feed.settings();                                  // so this is a reload
    EXPECT_EQ(feed.all().held_now, 1);
    feed.stdout_lines({close(), TOTALS});             // orderly stop
    feed.settings();                                  // start
    feed.stdout_lines({"poll(1, -1)", "= -1", "EINTR", TOTALS, "poll(1, -1)"});
    feed.settings();  // a trace after TOTALS: that daemon went on, so a reload
    EXPECT_EQ(feed.all().starts, 2u);
    EXPECT_EQ(feed.all().reloads, 2u);
}

TEST(Restarts, WithoutPidsAKilledDaemonIsMendedByTheNextAccept) {
    Feed feed;
    feed.settings();
    feed.stdout_lines({accept(1), accept(2), accept(3)});
    feed.settings();  // killed, no CLOSE, no TOTALS: reads as a reload
    EXPECT_EQ(feed.all().held_now, 3);
    feed.stdout_lines({accept(1)});  // the daemon's own count
    EXPECT_EQ(feed.all().held_now, 1);
    feed.stdout_lines({close()});
    EXPECT_EQ(feed.all().held_now, 0);
    feed.stdout_lines({close()});  // never below zero
    EXPECT_EQ(feed.all().held_now, 0);
}

TEST(Restarts, WithPidsANewPidIsAStartAndTheSamePidAReload) {
    Feed feed;
    feed.settings(100);
    feed.syslog_lines(100, {accept(1), close(), TOTALS});
    feed.settings(100);  // nobody held after TOTALS, but the same process
    feed.syslog_lines(100, {accept(1), accept(2)});
    EXPECT_EQ(feed.all().held_now, 2);
    feed.settings(200);  // killed and started again
    EXPECT_EQ(feed.all().held_now, 0);
    EXPECT_EQ(feed.all().starts, 2u);
    EXPECT_EQ(feed.all().reloads, 1u);
    // A new pid clears what the last process held even without its settings
    // block, and a log that begins inside a run has seen no start.
    feed.syslog_lines(200, {accept(1), accept(2)});
    feed.syslog_lines(300, {close()});
    EXPECT_EQ(feed.all().held_now, 0);
    Feed midway;
    midway.syslog_lines(400, {accept(5), close()});
    midway.settings(400);
    EXPECT_EQ(midway.all().starts, 0u);
    EXPECT_EQ(midway.all().reloads, 1u);
}

TEST(Restarts, WithPidOneAnOrderlyStopEndsARunAsWithoutPids) {
    // The first process of a container has pid 1 at every start.
    Feed feed;
    feed.settings(1);
    feed.syslog_lines(1, {accept(1), TOTALS});
    feed.settings(1);  // a client held: a reload
    EXPECT_EQ(feed.all().held_now, 1);
    feed.syslog_lines(1, {close(), TOTALS});
    feed.settings(1);  // after an orderly stop: a start
    EXPECT_EQ(feed.all().starts, 2u);
    EXPECT_EQ(feed.all().reloads, 1u);
    feed.syslog_lines(1, {accept(1)});
    feed.settings(1);
    EXPECT_EQ(feed.all().reloads, 2u);
}

TEST(Exhaustion, MaxClientsAloneIsRunningOutOfDescriptors) {
    Feed feed;
    feed.settings();
    feed.stdout_lines({accept(1), accept(2), "accept() = -1", "MaxClients 2"});
    feed.stdout_lines({close(), "MaxClients 1"});
    EXPECT_EQ(feed.all().exhaustions, 2u);
    // The limit in the settings is the configured one, not the lowered one.
    EXPECT_EQ(feed.all().settings[static_cast<int>(Setting::max_clients)], 4096);
    feed.settings();
    EXPECT_EQ(feed.all().exhaustions, 2u);
}

TEST(Exhaustion, TheWarningWithNobodyHeldIsRunningOutOfDescriptorsToo) {
    // It has no MaxClients line: with nobody held the daemon warns and tries
    // again ten times a second, in the journal beside the log or mixed into
    // its output file. A run of them, until a client is accepted, is one.
    Feed journal, output;
    journal.settings(100);
    output.settings();
    for (int error : {EMFILE, ENFILE}) {
        const std::string warning = std::string("mirebox: warning: ") + std::strerror(error);
        journal.syslog_lines(100, {warning, warning});
        journal.syslog_lines(100, {"poll(0, 100)", accept(1), close()});
        output.line(warning);
        output.line(warning);
        output.stdout_lines({"poll(0, 100)", accept(1), close()});
    }
    // Other warnings are not a shortage of descriptors.
    const std::string other = std::string("mirebox: warning: ") + std::strerror(ENOBUFS);
    const std::string file =
        "mirebox: warning: /etc/mirebox.config: " + std::string(std::strerror(EMFILE));
    journal.syslog_lines(100, {other, file});
    output.line(other);
    output.line(file);
    for (const Feed* feed : {&journal, &output}) {
        EXPECT_EQ(feed->all().exhaustions, 2u);
        EXPECT_EQ(feed->all().unparsed, 0u);
    }
}

TEST(Restarts, ProblemsUnderTheSupervisorsPidAreNoNewProcess) {
    // daemon(8) passes the daemon's standard error on to syslog under its own
    // pid: a reload short of descriptors warns there, then logs its settings.
    Feed feed;
    feed.settings(100);
    feed.syslog_lines(100, {accept(1)});
    feed.syslog_lines(99, {"mirebox: warning: /usr/local/etc/mirebox.config: " +
                           std::string(std::strerror(EMFILE))});
    feed.settings(100);
    EXPECT_EQ(feed.all().starts, 1u);
    EXPECT_EQ(feed.all().reloads, 1u);
    EXPECT_EQ(feed.all().held_now, 1);
    // Nor do a new process's own complaints, before its settings, hide the
    // orderly stop before them.
    Feed restarted;
    restarted.stdout_lines(SETTINGS);
    restarted.stdout_lines({TOTALS});
    tally_line(restarted.tally, parse_line("mirebox.config:3: Unknown option 'Bogus'",
                                           restarted.context));
    restarted.stdout_lines(SETTINGS);
    EXPECT_EQ(restarted.all().starts, 2u);
}

TEST(Sources, MappedAndPlainIpv4CountAsOneAndUnknownAsNone) {
    Feed feed;
    feed.stdout_lines({accept(1, "::ffff:192.0.2.7"), accept(2, "192.0.2.7"),
                       accept(3, "2001:db8::7"), accept(4, ""),
                       close("5.000", "::ffff:192.0.2.7"), close("2.500", "192.0.2.7"),
                       close("1.000", "")});
    const Tally& tally = feed.tally;
    EXPECT_EQ(whole_log(tally).connections, 4u);
    EXPECT_EQ(whole_log(tally).unknown_connections, 1u);
    EXPECT_EQ(tally.sources.used, 2u);
    Address v4{};
    ASSERT_TRUE(parse_address("192.0.2.7", v4));
    const Source& source = find_source(feed.tally.sources, v4);
    EXPECT_EQ(source.connections, 2u);
    EXPECT_EQ(source.held_ms, 7500);
    EXPECT_EQ(tally.hold.sum_ms, 8500);  // the unknown one counts in the totals
}

TEST(Sources, TableKeepsEveryOneThroughGrowth) {
    SourceTable table;
    constexpr std::uint32_t COUNT = 200000;
    for (std::uint32_t round = 0; round < 2; ++round) {
        for (std::uint32_t i = 0; i < COUNT; ++i) {
            Address address{};
            std::memcpy(address.bytes + 12, &i, 4);
            address.bytes[0] = 0x20;
            ++find_source(table, address).connections;
        }
    }
    EXPECT_EQ(table.used, COUNT);
    EXPECT_LE(table.used * 4, table.slots.size() * 3);
    std::uint64_t connections = 0;
    for (const Source& source : table.slots) {
        if (is_unknown(source.address)) continue;
        EXPECT_EQ(source.connections, 2u);
        connections += source.connections;
    }
    EXPECT_EQ(connections, 2u * COUNT);
}

TEST(Holds, NegativeTimesCountAsZero) {
    Feed feed;
    feed.stdout_lines({close("-9.-700"), close("0.-05"), close("3.250")});
    EXPECT_EQ(feed.all().negative_times, 2u);
    EXPECT_EQ(feed.tally.hold.count, 3u);
    EXPECT_EQ(feed.tally.hold.sum_ms, 3250);
    EXPECT_EQ(feed.tally.hold.coarse[0], 2u);
    // And for their source too.
    Address source{};
    ASSERT_TRUE(parse_address("192.0.2.7", source));
    EXPECT_EQ(find_source(feed.tally.sources, source).held_ms, 3250);
}

TEST(Holds, SumsStopAtTheLargestValueInsteadOfWrapping) {
    // Each line is bounded by the parser, but not how often it repeats: these
    // stand for millions of lines at the bounds.
    constexpr std::int64_t LARGEST = std::numeric_limits<std::int64_t>::max();
    Tally tally;
    LogLine close;
    close.kind = LineKind::close;
    close.has_address = true;
    ASSERT_TRUE(parse_address("2001:db8::7", close.address));
    close.duration_ms = LARGEST / 2 + 1;
    close.bytes = LARGEST / 2 + 1;
    for (int i = 0; i < 3; ++i) tally_line(tally, close);
    EXPECT_EQ(tally.hold.sum_ms, LARGEST);
    EXPECT_EQ(whole_log(tally).bytes, LARGEST);
    EXPECT_EQ(find_source(tally.sources, close.address).held_ms, LARGEST);
    EXPECT_EQ(tally.hold.count, 3u);

    LogLine accept;
    accept.kind = LineKind::accept;
    accept.has_address = true;
    accept.address = close.address;
    find_source(tally.sources, close.address).connections =
        std::numeric_limits<std::uint32_t>::max();
    tally_line(tally, accept);
    EXPECT_EQ(find_source(tally.sources, close.address).connections,
              std::numeric_limits<std::uint32_t>::max());
}

TEST(Holds, BucketsIncludeTheirUpperBound) {
    HoldHistogram histogram;
    for (std::int64_t ms : {0, 1000, 1001, 10000, 86400000, 86400001})
        observe_hold(histogram, ms);
    EXPECT_EQ(histogram.coarse[0], 2u);                 // le 1
    EXPECT_EQ(histogram.coarse[1], 2u);                 // le 10
    EXPECT_EQ(histogram.coarse[HOLD_BUCKETS - 2], 1u);  // le 86400
    EXPECT_EQ(histogram.coarse[HOLD_BUCKETS - 1], 1u);  // +Inf
}

TEST(Holds, PercentilesAreWithinThreePercent) {
    HoldHistogram histogram;
    // 1 ms to 1,000,000 s, one value each: the true p-th percentile is p * max.
    std::vector<std::int64_t> values;
    for (std::int64_t ms = 1; ms <= 1000000000; ms = ms * 1001 / 1000 + 1) values.push_back(ms);
    for (std::int64_t ms : values) observe_hold(histogram, ms);
    for (double fraction : {0.01, 0.25, 0.5, 0.9, 0.99, 1.0}) {
        const auto rank =
            static_cast<std::size_t>(fraction * static_cast<double>(values.size()) + 0.999999);
        const std::int64_t truth = values[rank - 1];
        const std::int64_t estimate = hold_percentile(histogram, fraction);
        EXPECT_NEAR(static_cast<double>(estimate), static_cast<double>(truth),
                    static_cast<double>(truth) * 0.03 + 1)
            << fraction;
    }
    HoldHistogram small;
    for (std::int64_t ms : {7, 7, 7, 30}) observe_hold(small, ms);
    EXPECT_EQ(hold_percentile(small, 0.5), 7);
    EXPECT_EQ(hold_percentile(small, 0.75), 7);
    EXPECT_EQ(hold_percentile(small, 0.76), 30);
}

TEST(Hours, AcceptsAreCountedByUtcHour) {
    Feed feed;
    for (const char* stamp : {"2026-12-10T23:59:59.999Z", "2026-12-11T00:00:00.000Z",
                              "1969-12-31T23:30:00.000Z"})
        tally_line(feed.tally, parse_line(std::string(stamp) + " " + accept(1), feed.context));
    EXPECT_EQ(feed.tally.per_hour[23], 2u);
    EXPECT_EQ(feed.tally.per_hour[0], 1u);
}

TEST(Hosts, EachHostsDaemonIsKeptApartThoughTheirLinesInterleave) {
    // Both run as pid 100: the pid alone would make one daemon of them.
    Feed feed;
    for (const std::string& setting : SETTINGS) {
        feed.host_lines("hostA", 100, {setting});
        feed.host_lines("hostB", 100, {setting});
    }
    feed.host_lines("hostA", 100, {accept(1)});
    feed.host_lines("hostB", 100, {accept(1)});
    feed.host_lines("hostA", 100, {accept(2)});
    feed.host_lines("hostB", 100, {close(), "TOTALS connects=1 seconds=1.000 bytes=10"});
    // hostB is started again under another pid: hostA holds on.
    feed.host_lines("hostB", 200, {SETTINGS[0]});
    const DaemonCounts& a = feed.host("hostA");
    const DaemonCounts& b = feed.host("hostB");
    EXPECT_EQ(a.held_now, 2);
    EXPECT_EQ(a.starts, 1u);
    EXPECT_EQ(a.reloads, 0u);
    EXPECT_FALSE(a.has_totals);
    EXPECT_EQ(b.held_now, 0);
    EXPECT_EQ(b.starts, 2u);
    EXPECT_TRUE(b.has_totals);
    EXPECT_EQ(b.last_totals.connects, 1);
    EXPECT_EQ(b.releases, 1u);
    EXPECT_EQ(b.hold.count, 1u);
    const DaemonCounts all = feed.all();
    EXPECT_EQ(all.held_now, 2);
    EXPECT_EQ(all.starts, 3u);
    EXPECT_EQ(all.connections, 3u);
    EXPECT_EQ(all.lines, 16u);
    // The settings both agree on; the last TOTALS is one host's, not the log's.
    EXPECT_EQ(all.settings[static_cast<int>(Setting::port)], 2222);
    EXPECT_FALSE(all.has_totals);
    EXPECT_EQ(shown_daemons(feed.tally).size(), 2u);
}

TEST(Hosts, LinesThatNameNoHostOrNoDaemonAreCountedWhereTheyBelong) {
    Feed feed;
    // Another program's host is no row of the report, however many lines it logs.
    feed.line("Dec 10 03:00:00 mail postfix[7]: connect from somewhere");
    feed.line("Dec 10 03:00:01 mail last message repeated 3 times");
    feed.host_lines("gate", 100, {SETTINGS[0], accept(1)});
    // Then a line not understood and a journal's note go with the line before,
    feed.line("garbage");
    feed.line("-- Boot 1f2e3d --");
    // another program on a host of the daemon's counts for that host,
    feed.line("2026-12-10T03:00:48+00:00 gate sshd[9]: Accepted publickey");
    // a line of the daemon's own not understood makes no host a row,
    feed.line("2026-12-10T03:00:48+00:00 stray mirebox[5]: something new");
    // and nor does a line from a "host" no host can be, nor what follows it,
    // nor one whose tag this reader does not take: it names its host.
    feed.host_lines("gate", 100, {accept(2)});
    feed.line("2026-12-10T03:00:48+00:00 caf\xc3\xa9 mirebox[5]: Port 22");
    feed.line("garbage");
    feed.host_lines("gate", 100, {accept(2)});
    feed.line("2026-12-10T03:00:48+00:00 stray mirebox[abc]: Port 22");
    const DaemonCounts& gate = feed.host("gate");
    EXPECT_EQ(gate.lines, 7u);
    EXPECT_EQ(gate.unparsed, 1u);
    EXPECT_EQ(gate.foreign, 2u);
    EXPECT_EQ(feed.tally.others.lines, 6u);
    ASSERT_EQ(shown_daemons(feed.tally).size(), 1u);
    EXPECT_EQ(&shown_daemons(feed.tally)[0]->counts, &gate);
    EXPECT_EQ(feed.all().lines, 13u);
    // The daemon's words without a host after another program's host are a
    // standard output's, shown beside the hosts.
    feed.line("2026-12-10T03:00:49.000Z " + accept(1));
    EXPECT_EQ(feed.tally.daemons[0].counts.connections, 1u);
    EXPECT_EQ(shown_daemons(feed.tally).size(), 2u);
}

TEST(Hosts, PastTheLimitAHostsLinesAreCountedButNotRead) {
    Feed feed;
    for (std::size_t i = 0; i <= MAX_HOSTS; ++i)
        feed.host_lines("host" + std::to_string(i), 100, {accept(1)});
    EXPECT_EQ(feed.tally.daemons.size(), MAX_HOSTS + 1);
    EXPECT_EQ(feed.tally.lines_past_max_hosts, 1u);
    EXPECT_NE(prometheus_text(feed.tally).find("\nmirebox_log_lines_past_host_limit_total 1\n"),
              std::string::npos);
    EXPECT_EQ(feed.all().connections, MAX_HOSTS);
    EXPECT_EQ(feed.all().lines, MAX_HOSTS + 1);
    EXPECT_EQ(feed.all().unparsed, 1u);
    // Hosts already known are still read.
    feed.host_lines("host0", 100, {accept(2)});
    EXPECT_EQ(feed.host("host0").held_now, 2);
}

TEST(Hosts, ALineReadAsStandardOutputsNeverTouchesANamedHost) {
    // gate logs no pids (RFC 5424's nil value), so an orderly stop is what
    // makes its next settings block a start.
    const auto gate = [](const std::string& message) {
        return "2026-12-10T03:00:47.123456+00:00 gate mirebox[-]: " + message;
    };
    Feed feed;
    for (const std::string& setting : SETTINGS) feed.line(gate(setting));
    feed.line(gate(TOTALS));
    // A host name shaped like the daemon's trace, after the daemon's stamp, is
    // a host's line; a daemon's real standard output mixed in is its own.
    feed.line("2026-12-10T03:00:48.000Z a(b mirebox[1]: x)");
    EXPECT_FALSE(heard_from(feed.tally.daemons[0].counts));
    feed.line(gate(TOTALS));
    feed.line("2026-12-10T03:00:48.000Z poll(1, -1)");
    EXPECT_TRUE(heard_from(feed.tally.daemons[0].counts));
    for (const std::string& setting : SETTINGS) feed.line(gate(setting));
    EXPECT_EQ(feed.host("gate").starts, 2u);
    EXPECT_EQ(feed.host("gate").reloads, 0u);
    EXPECT_EQ(feed.tally.daemons.size(), 2u);
    EXPECT_EQ(feed.tally.others.unparsed, 1u);
}

TEST(Hosts, TheLastEventIsTheLatestLinesAndALineFromTheFutureMovesNoTime) {
    Feed feed;
    feed.host_lines("gate", 100, {SETTINGS[0]});  // 2026-12-10T03:00:47.123Z
    // A day ahead of the reader's clock: counted, and a host of its own
    // registered, but its time is not believed.
    feed.line("2099-12-31T23:59:59.999+00:00 gate mirebox[100]: " + accept(1));
    feed.line("2099-12-31T23:59:59.999+00:00 newcomer mirebox[5]: " + accept(1));
    EXPECT_EQ(feed.host("gate").connections, 1u);
    EXPECT_EQ(feed.host("gate").last_ms, 1796871647123);
    EXPECT_FALSE(feed.host("newcomer").has_time);
    // A clock set back: the period keeps its end, the last event follows.
    feed.line("2026-12-10T02:00:00.000+00:00 gate mirebox[100]: " + close());
    EXPECT_EQ(feed.host("gate").latest_ms, 1796868000000);
    EXPECT_EQ(feed.host("gate").last_ms, 1796871647123);
    EXPECT_EQ(feed.host("gate").first_ms, 1796868000000);
    EXPECT_EQ(feed.all().last_ms, 1796871647123);
    EXPECT_NE(prometheus_text(feed.tally)
                  .find("\nmirebox_last_event_timestamp_seconds{host=\"gate\"} 1796868000.000\n"),
              std::string::npos);
}

// Addresses of one /64 whose low 64 bits are chosen so that the multiply
// and shift mixer this table once used, unkeyed, sends every one of them to
// the first slot of any table up to 2^32 slots.
std::vector<Address> colliding_addresses(std::size_t count) {
    constexpr std::uint64_t C1 = 0x9E3779B97F4A7C15ULL, C2 = 0xD6E8FEB86659FD93ULL;
    std::uint64_t inverse = C2;  // of C2, modulo 2^64, by Newton's steps
    for (int i = 0; i < 5; ++i) inverse *= 2 - C2 * inverse;
    Address prefix{};
    EXPECT_TRUE(parse_address("2001:db8::", prefix));
    std::uint64_t low = 0;
    std::memcpy(&low, prefix.bytes, 8);
    std::vector<Address> addresses;
    for (std::uint64_t k = 1; k <= count; ++k) {
        std::uint64_t mixed = k << 32;  // the old hash, its low 32 bits zero
        mixed ^= mixed >> 32;
        mixed *= inverse;
        mixed ^= mixed >> 32;
        const std::uint64_t high = mixed ^ (low * C1);
        Address address = prefix;
        std::memcpy(address.bytes + 8, &high, 8);
        addresses.push_back(address);
    }
    return addresses;
}

TEST(Sources, AddressesChosenToCollideWalkNoLongChain) {
    SourceTable table;
    for (const Address& address : colliding_addresses(3000)) find_source(table, address);
    EXPECT_EQ(table.used, 3000u);
    EXPECT_EQ(table.slots.size(), 4096u);
    // All 3000 share a slot under the old hash: the longest walk is 2999.
    EXPECT_LT(longest_probe(table), 600u);
}

TEST(Sources, TheKeyChangesNoOutputAndEachTableHasItsOwn) {
    const auto report = [](HashKey key) {
        Feed feed;
        feed.tally.sources.key = key;
        feed.settings();
        for (const Address& address : colliding_addresses(200)) {
            const std::string host = format_address(address);
            feed.stdout_lines({accept(1, host.c_str()), close("2.000", host.c_str())});
        }
        return text_report(feed.tally, ReportOptions{}) + json_report(feed.tally, ReportOptions{});
    };
    EXPECT_EQ(report({1, 2}), report({0xdeadbeef, 0xfeedface}));
    const Tally a, b;
    EXPECT_NE(a.sources.key.k0 ^ a.sources.key.k1, b.sources.key.k0 ^ b.sources.key.k1);
    EXPECT_NE(a.host_index.hash_function()("gate"), b.host_index.hash_function()("gate"));
}

TEST(Lines, EachKindIsCountedAndThePeriodSpansTheDaemonsLines) {
    Feed feed;
    for (const char* text : {"2026-12-10T03:00:47.123Z Port 2222", "garbage",
                             "Dec 10 23:00:00 gate sshd[1]: later, but not ours",
                             "2026-12-10T02:00:00.000Z poll(1, -1)",
                             "2026-12-10T04:00:00.000Z TOTALS connects=0 seconds=0.000 bytes=0"})
        tally_line(feed.tally, parse_line(text, feed.context));
    EXPECT_EQ(feed.all().lines, 5u);
    EXPECT_EQ(feed.all().unparsed, 1u);
    EXPECT_EQ(feed.all().foreign, 1u);
    EXPECT_EQ(feed.all().daemon_other, 1u);
    EXPECT_EQ(feed.all().first_ms, 1796868000000);  // 02:00
    EXPECT_EQ(feed.all().last_ms, 1796875200000);   // 04:00
}

}  // namespace
}  // namespace mirebox::stats
