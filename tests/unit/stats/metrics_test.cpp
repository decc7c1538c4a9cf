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

#include "fixtures/scratch.h"
#include "fixtures/stats_logs.h"
#include "stats/line.h"
#include "stats/metrics.h"
#include "stats/report.h"
#include "stats/tally.h"

namespace mirebox::stats {
namespace {

using test_logs::fixture;
using test_logs::fleet;
using test_logs::lines_of;

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

TEST(HostSeries, EverySeriesCarriesTheHostWithOneHostAsWithMany) {
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
    void SetUp() override { ASSERT_FALSE(scratch_.path().empty()); }
    std::vector<std::string> names() {
        std::vector<std::string> found;
        if (DIR* dir = opendir(scratch_.path().c_str())) {
            while (const dirent* entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") found.push_back(name);
            }
            closedir(dir);
        }
        return found;
    }
    test_support::ScratchDirectory scratch_;
};

TEST_F(MetricsFile, ReplacedWholeAndReadableByAll) {
    const std::string path = scratch_.file("mirebox.prom");
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
    const std::string missing = scratch_.file("no/such/dir/mirebox.prom");
    EXPECT_FALSE(write_metrics(fixture(), missing.c_str(), true));
    // A directory in the way of the name: the rename fails after the write.
    const std::string blocked = scratch_.file("blocked.prom");
    ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
    EXPECT_FALSE(write_metrics(fixture(), blocked.c_str(), true));
    rmdir(blocked.c_str());
    EXPECT_TRUE(names().empty());
}

}  // namespace
}  // namespace mirebox::stats
