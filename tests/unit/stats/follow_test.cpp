// The follower driven round by round on a file and on a pipe, its clocks
// stood in for so that intervals pass when the test says.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "fixtures/capture.h"
#include "fixtures/scratch.h"
#include "stats/follow.h"
#include "stats/stats.h"

namespace mirebox::stats {
namespace {

constexpr std::int64_t WALL_MS = 1796871647123;  // 2026-12-10T03:00:47.123Z
std::int64_t monotonic_now = 0;

std::int64_t fixed_wall_ms() { return WALL_MS; }
std::int64_t test_monotonic_ms() { return monotonic_now; }

class FollowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.path().empty());
        log_ = scratch_.file("mirebox.log");
        metrics_ = scratch_.file("mirebox.prom");
        options_.follow = true;
        options_.quiet = true;
        options_.prometheus = metrics_.c_str();
        follower_.clocks = {fixed_wall_ms, test_monotonic_ms};
        monotonic_now = 1000000;
    }
    void append(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::app) << text;
    }
    RoundResult round(std::int64_t after_ms = 0) {
        monotonic_now += after_ms;
        return follow_round(follower_, options_, reader_);
    }
    // The value of a sample in the metrics file, or -1 without the file or
    // the sample.
    double metric(const std::string& name) {
        std::ifstream in(metrics_);
        for (std::string line; std::getline(in, line);)
            if (line.starts_with(name + " ")) return std::stod(line.substr(name.size() + 1));
        return -1;
    }

    test_support::ScratchDirectory scratch_;
    std::string log_, metrics_;
    Options options_;
    Reader reader_;
    Follower follower_;
};

const std::string ACCEPT = "2026-12-10T03:00:47.000Z ACCEPT host=192.0.2.7 port=1 fd=4 n=1/4096\n";

TEST_F(FollowTest, AFileIsReadRoundByRoundWithItsMetricsAtEachIntervalAndAcrossRotation) {
    append(log_, ACCEPT);
    options_.files = {log_};
    ASSERT_TRUE(start_following(follower_, options_));
    EXPECT_EQ(round(), RoundResult::go_on);
    EXPECT_EQ(metric("mirebox_connections_total"), 1);
    // Read at once, but written only when the interval is over.
    append(log_, ACCEPT);
    round(1000);
    EXPECT_EQ(whole_log(reader_.tally).connections, 2u);
    EXPECT_EQ(metric("mirebox_connections_total"), 1);
    round(4000);
    EXPECT_EQ(metric("mirebox_connections_total"), 2);
    // Rotated by rename: the old file's last line still counts, then the new one's.
    append(log_, ACCEPT);
    std::filesystem::rename(log_, log_ + ".0");
    append(log_, ACCEPT);
    round(5000);
    EXPECT_EQ(metric("mirebox_connections_total"), 3);
    round(5000);
    EXPECT_EQ(metric("mirebox_connections_total"), 4);
    finish_following(follower_, reader_);
}

TEST_F(FollowTest, AFileThatComesLaterIsWaitedForWithMetricsAtZero) {
    options_.files = {log_};
    test_support::Capture errors(2);
    ASSERT_TRUE(start_following(follower_, options_));
    round();
    EXPECT_EQ(metric("mirebox_connections_total"), 0);
    append(log_, ACCEPT);
    round(5000);  // found, and opened
    round(5000);
    EXPECT_EQ(metric("mirebox_connections_total"), 1);
    finish_following(follower_, reader_);
    EXPECT_EQ(errors.finish(),
              "mirebox-stats: " + log_ + ": No such file or directory; waiting for it\n");
}

TEST_F(FollowTest, APipesBacklogIsReadBeforeTheFirstMetricsAndItsEndEndsTheFollower) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const int saved_input = dup(STDIN_FILENO);
    dup2(ends[0], STDIN_FILENO);
    close(ends[0]);
    ASSERT_TRUE(start_following(follower_, options_));  // standard input
    // An hour old: the backlog, whose counters are not yet the whole story.
    const std::string old = "2026-12-10T02:00:00.000Z ACCEPT host=192.0.2.7 port=1 fd=4 n=1/4096\n";
    ASSERT_EQ(write(ends[1], old.data(), old.size()), static_cast<ssize_t>(old.size()));
    EXPECT_EQ(round(), RoundResult::go_on);
    EXPECT_EQ(metric("mirebox_connections_total"), -1);
    // A line written around the start: caught up.
    ASSERT_EQ(write(ends[1], ACCEPT.data(), ACCEPT.size()), static_cast<ssize_t>(ACCEPT.size()));
    round();
    EXPECT_EQ(metric("mirebox_connections_total"), 2);
    close(ends[1]);
    EXPECT_EQ(round(), RoundResult::ended);
    finish_following(follower_, reader_);
    dup2(saved_input, STDIN_FILENO);
    close(saved_input);
}

TEST_F(FollowTest, TenMinutesWithoutALineOfTheDaemonsAreSaidOnce) {
    const struct {
        const char* text;
        bool said;
    } cases[] = {
        {"Dec 10 03:00:47 gate sshd[812]: Accepted publickey for root\n", true},
        // Lines that name no host count for standard output's daemon, but
        // are none of its own.
        {"-- No entries --\nmake: Nothing to be done for 'all'.\n", true},
        {"2026-12-10T03:00:47.123Z Port 2222\n", false},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.text);
        std::filesystem::remove(log_);
        append(log_, expected.text);
        Follower follower;
        follower.clocks = follower_.clocks;
        Reader reader;
        options_.files = {log_};
        test_support::Capture errors(2);
        ASSERT_TRUE(start_following(follower, options_));
        for (const std::int64_t after_ms : {0, 9 * 60000, 60000, 60000}) {
            monotonic_now += after_ms;
            follow_round(follower, options_, reader);
        }
        finish_following(follower, reader);
        EXPECT_EQ(errors.finish(),
                  expected.said ? "mirebox-stats: no line of the daemon's in 10 minutes: is this "
                                  "its log, written with LogLevel 1 or 2?\n"
                                : "");
    }
}

}  // namespace
}  // namespace mirebox::stats
