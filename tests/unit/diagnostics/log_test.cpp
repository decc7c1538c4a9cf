#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "fixtures/capture.h"
#include "diagnostics/diagnostics.h"

// The system log is replaced for this test program, so what the sink hands
// to syslog can be read back.
namespace {
int last_priority = -1;
std::string last_message;
}  // namespace

extern "C" void syslog(int priority, const char* format, ...) {
    last_priority = priority;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    last_message = text;
    errno = ENOTSOCK;  // the real one may clobber errno too
}

namespace mirebox {
namespace {

class LogTest : public testing::Test {
protected:
    void SetUp() override {
        saved_sink_ = log_sink;
        saved_verbosity_ = verbosity;
    }
    void TearDown() override {
        log_sink = saved_sink_;
        verbosity = saved_verbosity_;
    }

private:
    LogSink saved_sink_ = nullptr;
    std::uint32_t saved_verbosity_ = 0;
};

TEST(Timestamp, IsUtcToTheMillisecondWithTrailingZ) {
    // Under a zone of its own, five and a half hours east, that no tz
    // database is needed for: a local time would show.
    const char* saved = std::getenv("TZ");
    const std::string saved_zone = saved != nullptr ? saved : "";
    setenv("TZ", "MBX-5:30", 1);
    tzset();
    const struct {
        std::int64_t ms;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00.000Z "},
        {5, "1970-01-01T00:00:00.005Z "},
        {1765324799999, "2025-12-09T23:59:59.999Z "},
        {951782400050, "2000-02-29T00:00:00.050Z "},
    };
    for (const auto& c : cases) {
        char buffer[TIMESTAMP_SIZE];
        format_timestamp(c.ms, buffer);
        EXPECT_STREQ(buffer, c.text);
    }
    if (saved != nullptr) setenv("TZ", saved_zone.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

TEST_F(LogTest, StdoutLineIsTimestampThenMessage) {
    verbosity = 1;
    log_sink = log_to_stdout;
    test_support::Capture out(1);
    emit_log(LOG_LEVEL_INFO, "Port %d", 2222);
    emit_log(LOG_LEVEL_DEBUG, "dropped at verbosity 1");
    const std::string text = out.finish();
    EXPECT_TRUE(std::regex_match(
        text, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z Port 2222\n)")))
        << text;
}

TEST_F(LogTest, NothingAtAllAtVerbosityZero) {
    verbosity = 0;
    log_sink = log_to_stdout;
    test_support::Capture out(1);
    emit_log(LOG_LEVEL_INFO, "Port %d", 2222);
    EXPECT_EQ(out.finish(), "");
}

TEST_F(LogTest, BothSinksKeepErrnoForTheCaller) {
    verbosity = 2;
    for (const LogSink sink : {log_to_stdout, log_to_syslog}) {
        log_sink = sink;
        test_support::Capture out(1);
        errno = EPIPE;
        emit_log(LOG_LEVEL_DEBUG, "write(%d) = %d", 4, -1);
        EXPECT_EQ(errno, EPIPE);
    }
}

TEST_F(LogTest, StdoutSinkKeepsErrnoWhenItsOwnWriteFails) {
    verbosity = 1;
    log_sink = log_to_stdout;
    const int saved = dup(1);
    // A stream opened afresh can be made line-buffered, as the daemon has
    // it, so the line is written, and refused, inside the sink.
    ASSERT_NE(std::freopen("/dev/full", "w", stdout), nullptr);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    errno = EPIPE;
    emit_log(LOG_LEVEL_INFO, "CLOSE %s", "x");
    const int after = errno;
    std::clearerr(stdout);
    dup2(saved, 1);
    close(saved);
    EXPECT_EQ(after, EPIPE);
}

TEST_F(LogTest, SyslogTakesTheLevelsPriorityAndCutsLongMessages) {
    verbosity = 2;
    log_sink = log_to_syslog;
    emit_log(LOG_LEVEL_INFO, "CLOSE %s", "x");
    EXPECT_EQ(last_priority, LOG_INFO);
    EXPECT_EQ(last_message, "CLOSE x");

    const std::string longer(300, 'a');
    emit_log(LOG_LEVEL_DEBUG, "%s", longer.c_str());
    EXPECT_EQ(last_priority, LOG_DEBUG);
    EXPECT_EQ(last_message, longer.substr(0, 255));
}

}  // namespace
}  // namespace mirebox
