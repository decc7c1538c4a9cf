#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fixtures/stats_logs.h"
#include "stats/line.h"
#include "stats/report.h"
#include "stats/tally.h"

namespace mirebox::stats {
namespace {

using test_logs::fixture;
using test_logs::fleet;

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

TEST(HostRows, ALogOfOneHostReadsAsItsDaemonsStandardOutput) {
    const Tally one_host = fixture("gate");
    ASSERT_TRUE(names_hosts(one_host));
    EXPECT_EQ(text_report(one_host, ReportOptions{}), text_report(fixture(), ReportOptions{}));
    std::string json = json_report(fixture(), ReportOptions{});
    const std::string unnamed = "{\"host\": null, ";
    ASSERT_NE(json.find(unnamed), std::string::npos) << json;
    json.replace(json.find(unnamed), unnamed.size(), "{\"host\": \"gate\", ");
    EXPECT_EQ(json_report(one_host, ReportOptions{}), json);
}

TEST(HostRows, TheReportShowsTheFleetThenARowForEachHost) {
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

}  // namespace
}  // namespace mirebox::stats
