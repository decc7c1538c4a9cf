#include <sys/stat.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stats/stats.h"

namespace mirebox::stats {
namespace {

const std::vector<std::string> FIXTURE = {
    "2026-12-10T03:00:00.000Z Port 2222",
    "2026-12-10T03:00:00.000Z Delay 10000",
    "2026-12-10T03:00:00.000Z MaxLineLength 32",
    "2026-12-10T03:00:00.000Z MaxClients 4096",
    "2026-12-10T03:00:00.000Z BindFamily IPv4 Mapped IPv6",
    "2026-12-10T03:00:01.000Z ACCEPT host=::ffff:192.0.2.7 port=1 fd=4 n=1/4096",
    "2026-12-10T03:00:02.000Z ACCEPT host=2001:db8::7 port=2 fd=5 n=2/4096",
    "2026-12-10T04:00:03.000Z ACCEPT host=192.0.2.7 port=3 fd=6 n=3/4096",
    "2026-12-10T04:00:04.000Z CLOSE host=::ffff:192.0.2.7 port=1 fd=4 time=3603.000 bytes=7000",
    "2026-12-10T04:00:05.000Z CLOSE host=2001:db8::7 port=2 fd=5 time=0.500 bytes=0",
    "2026-12-10T04:00:06.000Z MaxClients 1",
    "2026-12-10T04:00:07.000Z TOTALS connects=3 seconds=3608.500 bytes=7000",
    "not a line",
};

// The fixture's lines as a host's rsyslogd writes them, or as they stand.
Tally fixture(const char* host = nullptr) {
    Tally tally;
    ParseContext context;
    for (std::string line : FIXTURE) {
        if (host != nullptr && line[0] == '2')
            line = line.substr(0, 23) + "+00:00 " + host + " mirebox[42]: " + line.substr(25);
        tally_line(tally, parse_line(line, context));
    }
    return tally;
}

// Two hosts' lines, interleaved in one file.
Tally fleet() {
    Tally tally;
    ParseContext context;
    for (const char* line : {
             "Dec 10 03:00:00 hostA mirebox[7]: Port 22",
             "Dec 10 03:00:00 hostB mirebox[7]: Port 2222",
             "Dec 10 03:00:01 hostA mirebox[7]: ACCEPT host=::ffff:192.0.2.7 port=1 fd=4 n=1/4096",
             "Dec 10 03:00:02 hostB mirebox[7]: ACCEPT host=::ffff:192.0.2.7 port=2 fd=4 n=1/4096",
             "Dec 10 03:00:03 hostA mirebox[7]: ACCEPT host=2001:db8::7 port=3 fd=5 n=2/4096",
             "Dec 10 03:00:12 hostB mirebox[7]: CLOSE host=::ffff:192.0.2.7 port=2 fd=4 "
             "time=10.000 bytes=120",
             "Dec 10 03:00:13 hostB mirebox[7]: TOTALS connects=1 seconds=10.000 bytes=120",
         })
        tally_line(tally, parse_line(line, context));
    return tally;
}

TEST(Duration, TwoLargestUnits) {
    const struct {
        std::int64_t ms;
        const char* text;
    } cases[] = {{0, "0 ms"},          {850, "850 ms"},        {1000, "1 s"},
                 {59999, "59 s"},      {60000, "1 min"},       {61000, "1 min 1 s"},
                 {3600000, "1 h"},     {3660000, "1 h 1 min"}, {90000000, "1 d 1 h"},
                 {31536000000, "1 y"}, {34214400000, "1 y 31 d"}, {-9700, "-9 s"}};
    for (const auto& expected : cases) EXPECT_EQ(format_duration(expected.ms), expected.text);
}

TEST(Report, TextShowsWhatTheLogSays) {
    const std::string report = text_report(fixture(), ReportOptions{});
    for (const char* expected : {
             "Period        2026-12-10 03:00:00 to 2026-12-10 04:00:07 UTC (1 h)\n",
             "Lines         13 read, 1 not understood, 0 from other programs\n",
             "Connections   3 from 2 sources (1 came back), 2 released\n",
             "Held now      1 client\n",
             "Time held     1 h in all (3603.500 s)\n",
             "Sent          7000 bytes (7.0 kB)\n",
             "Daemon        1 start, 0 reloads, 1 time out of descriptors\n",
             "Last TOTALS   connects=3 seconds=3608.500 bytes=7000\n",
             ", longest 1 h\n  up to 1 s                   1  ####",
         })
        EXPECT_NE(report.find(expected), std::string::npos) << expected << "\n" << report;
    // IPv4-mapped shown as IPv4, first by time held and by connections.
    const std::size_t by_time = report.find("Top sources by time held\n  192.0.2.7 ");
    const std::size_t by_count = report.find("Top sources by connections\n  192.0.2.7 ");
    EXPECT_NE(by_time, std::string::npos) << report;
    EXPECT_NE(by_count, std::string::npos) << report;
    EXPECT_EQ(report.find("::ffff:"), std::string::npos);
    EXPECT_NE(report.find("  03           2  ####"), std::string::npos) << report;
    EXPECT_NE(report.find("  04           1  ####"), std::string::npos) << report;
}

TEST(Report, TopListsHoldAtMostTheCountAsked) {
    ReportOptions options;
    options.top = 1;
    const std::string report = text_report(fixture(), options);
    EXPECT_EQ(report.find("2001:db8::7"), std::string::npos) << report;
    options.top = 0;
    EXPECT_EQ(text_report(fixture(), options).find("Top sources"), std::string::npos);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

TEST(Metrics, PrometheusTextForTheFixture) {
    const std::vector<std::string> lines = lines_of(prometheus_text(fixture()));
    for (const char* expected : {
             "# TYPE mirebox_connections_total counter",
             "mirebox_connections_total 3",
             "# TYPE mirebox_clients_held gauge",
             "mirebox_clients_held 1",
             "# TYPE mirebox_hold_duration_seconds histogram",
             "mirebox_hold_duration_seconds_bucket{le=\"1\"} 1",
             "mirebox_hold_duration_seconds_bucket{le=\"3600\"} 1",
             "mirebox_hold_duration_seconds_bucket{le=\"10800\"} 2",
             "mirebox_hold_duration_seconds_bucket{le=\"+Inf\"} 2",
             "mirebox_hold_duration_seconds_sum 3603.500",
             "mirebox_hold_duration_seconds_count 2",
             "mirebox_sent_bytes_total 7000",
             "mirebox_descriptor_exhaustions_total 1",
             "mirebox_starts_total 1",
             "mirebox_unparsed_lines_total 1",
             "mirebox_log_lines_total 13",
             "mirebox_last_event_timestamp_seconds 1796875207.000",
         })
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
    // Every sample belongs to a family announced just before it, with a help text.
    std::string family;
    for (const std::string& line : lines) {
        if (line.starts_with("# HELP ")) {
            family = line.substr(7, line.find(' ', 7) - 7);
            continue;
        }
        if (line.starts_with("# TYPE ")) {
            EXPECT_TRUE(line.starts_with("# TYPE " + family + " ")) << line;
            continue;
        }
        EXPECT_TRUE(line.starts_with(family)) << line;
        const std::string suffix = line.substr(family.size(), line.find_first_of(" {") - family.size());
        EXPECT_TRUE(suffix.empty() || suffix == "_bucket" || suffix == "_sum" || suffix == "_count")
            << line;
    }
}

TEST(Hosts, ALogOfOneHostReadsAsItsDaemonsStandardOutput) {
    const Tally one_host = fixture("gate");
    ASSERT_TRUE(names_hosts(one_host));
    EXPECT_EQ(text_report(one_host, ReportOptions{}), text_report(fixture(), ReportOptions{}));
    std::string json = json_report(fixture(), ReportOptions{});
    const std::string unnamed = "{\"host\": null, ";
    ASSERT_NE(json.find(unnamed), std::string::npos) << json;
    json.replace(json.find(unnamed), unnamed.size(), "{\"host\": \"gate\", ");
    EXPECT_EQ(json_report(one_host, ReportOptions{}), json);
}

TEST(Hosts, TheReportShowsTheFleetThenARowForEachHost) {
    const std::string report = text_report(fleet(), ReportOptions{});
    for (const char* expected : {
             "Connections   3 from 2 sources (1 came back), 1 released\n",
             "Held now      2 clients\n",
             "Daemon        2 starts, 0 reloads, 0 times out of descriptors on 2 hosts\n",
             "Settings      hostA  Port 22\n              hostB  Port 2222\n",
             "  hostA      2           2        0             0 ms              0      1       0"
             "          0  -\n",
             "  hostB      0           1        1             10 s            120      1       0"
             "          0  connects=1 seconds=10.000 bytes=120\n",
         })
        EXPECT_NE(report.find(expected), std::string::npos) << expected << "\n" << report;
    EXPECT_EQ(report.find("Last TOTALS"), std::string::npos) << report;

    const std::string json = json_report(fleet(), ReportOptions{});
    for (const char* expected : {
             "\"clients_held\": 2,\n",
             "\"daemon\": {\"starts\": 2, \"reloads\": 0, \"descriptor_exhaustions\": 0, "
             "\"settings\": {}, \"last_totals\": null},\n",
             "{\"host\": \"hostA\", \"lines\": {\"read\": 3, ",
             "\"connections\": 2, \"releases\": 0, \"unknown_source_connections\": 0, "
             "\"clients_held\": 2, ",
             "\"held_seconds\": 0.000, ",
             "{\"host\": \"hostB\", ",
             "\"clients_held\": 0, \"held_seconds\": 10.000, ",
             "\"settings\": {\"Port\": 2222}, \"last_totals\": {\"connects\": 1, "
             "\"seconds\": 10.000, \"bytes\": 120}}}\n  ]\n}\n",
         })
        EXPECT_NE(json.find(expected), std::string::npos) << expected << "\n" << json;
}

TEST(Report, ClientsHeldAreTheDaemonsNotConnectionsLessReleases) {
    // The first process is killed holding two: the second holds one.
    Tally tally;
    ParseContext context;
    for (const char* line : {
             "Dec 10 03:00:00 gate mirebox[7]: Port 22",
             "Dec 10 03:00:01 gate mirebox[7]: ACCEPT host=192.0.2.7 port=1 fd=4 n=1/4096",
             "Dec 10 03:00:02 gate mirebox[7]: ACCEPT host=192.0.2.8 port=2 fd=5 n=2/4096",
             "Dec 10 03:01:00 gate mirebox[8]: Port 22",
             "Dec 10 03:01:01 gate mirebox[8]: ACCEPT host=192.0.2.7 port=3 fd=4 n=1/4096",
         })
        tally_line(tally, parse_line(line, context));
    EXPECT_NE(json_report(tally, ReportOptions{}).find("\n  \"clients_held\": 1,\n"),
              std::string::npos);
    EXPECT_NE(text_report(tally, ReportOptions{}).find("Held now      1 client\n"),
              std::string::npos);
}

TEST(Report, TheLongestHostNameAndTheMostNegativeTotalsAreShownWhole) {
    const std::string longest(MAX_HOST_NAME, 'h');
    const std::string totals = "TOTALS connects=1 seconds=-9223372036854775.-808 bytes=0";
    Tally tally;
    ParseContext context;
    for (const std::string& host : {longest, std::string("gate")})
        tally_line(tally, parse_line("2026-12-10T03:00:00.000+00:00 " + host + " mirebox[1]: " +
                                         totals, context));
    const std::string text = text_report(tally, ReportOptions{});
    const std::size_t row = text.find("\n  " + longest + " ");
    ASSERT_NE(row, std::string::npos) << text;
    EXPECT_EQ(text.substr(text.find('\n', row + 1) - 49, 50), totals.substr(7) + "\n");
    EXPECT_NE(json_report(tally, ReportOptions{}).find("\"seconds\": -9223372036854775.808, "),
              std::string::npos);
}

TEST(Hosts, EverySeriesCarriesTheHostWithOneHostAsWithMany) {
    for (const Tally& tally : {fixture("gate"), fleet()}) {
        const std::vector<std::string> lines = lines_of(prometheus_text(tally));
        const std::size_t hosts = shown_daemons(tally).size();
        std::size_t samples = 0, bucket_series = 0;
        for (const std::string& line : lines) {
            // The reader's own counter is no host's.
            if (line.starts_with("#") || line.starts_with("mirebox_log_lines_past_host_limit"))
                continue;
            ++samples;
            EXPECT_NE(line.find("{host=\""), std::string::npos) << line;
            if (line.starts_with("mirebox_hold_duration_seconds_bucket{") &&
                line.find(",le=\"+Inf\"}") != std::string::npos)
                ++bucket_series;
        }
        EXPECT_EQ(bucket_series, hosts);
        // Nine series, and the histogram's buckets, sum and count, for each host.
        EXPECT_EQ(samples, hosts * (9 + HOLD_BUCKETS + 2));
    }
    const std::vector<std::string> lines = lines_of(prometheus_text(fleet()));
    for (const char* expected : {
             "mirebox_clients_held{host=\"hostA\"} 2",
             "mirebox_clients_held{host=\"hostB\"} 0",
             "mirebox_hold_duration_seconds_bucket{host=\"hostB\",le=\"10\"} 1",
             "mirebox_hold_duration_seconds_sum{host=\"hostB\"} 10.000",
             "mirebox_log_lines_total{host=\"hostA\"} 3",
         })
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
    // Names a sender made up can neither break the formats nor be shown alike.
    Tally odd;
    ParseContext context;
    for (const char* name : {"a\"b\\c", "caf%C3%A8", "caf\xc3\xa8"})
        tally_line(odd, parse_line(std::string("Dec 10 03:00:00 ") + name + " mirebox[7]: Port 22",
                                   context));
    const std::string text = prometheus_text(odd);
    for (const char* expected : {"mirebox_starts_total{host=\"a\\\"b\\\\c\"} 1\n",
                                 "mirebox_starts_total{host=\"caf%25C3%25A8\"} 1\n",
                                 "mirebox_log_lines_past_host_limit_total 0\n"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    EXPECT_EQ(shown_daemons(odd).size(), 2u);  // no byte beyond ASCII makes a host
    const std::string json = json_report(odd, ReportOptions{});
    EXPECT_NE(json.find("{\"host\": \"a\\\"b\\\\c\", "), std::string::npos) << json;
}

class MetricsFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "stats-metrics-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
    }
    void TearDown() override {
        for (const std::string& name : names()) unlink((directory_ + "/" + name).c_str());
        rmdir(directory_.c_str());
    }
    std::vector<std::string> names() {
        std::vector<std::string> found;
        if (DIR* dir = opendir(directory_.c_str())) {
            while (const dirent* entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") found.push_back(name);
            }
            closedir(dir);
        }
        return found;
    }
    std::string directory_;
};

TEST_F(MetricsFile, ReplacedWholeAndReadableByAll) {
    const std::string path = directory_ + "/mirebox.prom";
    {
        std::ofstream old(path);
        old << "stale\n";
    }
    struct stat old_status {};
    ASSERT_EQ(stat(path.c_str(), &old_status), 0);
    // A reader that opened the old file: it must go on reading the old
    // metrics whole, never a file being rewritten under it.
    std::ifstream reader(path);
    const Tally tally = fixture();
    ASSERT_TRUE(write_metrics(tally, path.c_str(), true));
    std::stringstream old_text;
    old_text << reader.rdbuf();
    EXPECT_EQ(old_text.str(), "stale\n");
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(), prometheus_text(tally));
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_NE(status.st_ino, old_status.st_ino);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
    EXPECT_EQ(names(), std::vector<std::string>{"mirebox.prom"});  // no temporary left
}

TEST_F(MetricsFile, FailureLeavesNothingBehind) {
    const std::string missing = directory_ + "/no/such/dir/mirebox.prom";
    EXPECT_FALSE(write_metrics(fixture(), missing.c_str(), true));
    // A directory in the way of the name: the rename fails after the write.
    const std::string blocked = directory_ + "/blocked.prom";
    ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
    EXPECT_FALSE(write_metrics(fixture(), blocked.c_str(), true));
    rmdir(blocked.c_str());
    EXPECT_TRUE(names().empty());
}

}  // namespace
}  // namespace mirebox::stats
