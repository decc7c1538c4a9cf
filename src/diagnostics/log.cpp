#include <syslog.h>
#include <time.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "diagnostics/diagnostics.h"

namespace mirebox {

std::uint32_t verbosity = 0;
LogSink log_sink = log_to_stdout;

namespace {

constexpr int SYSLOG_PRIORITY[] = {LOG_NOTICE, LOG_INFO, LOG_DEBUG};
// Longer messages are cut, not split: one event is one line in the log.
constexpr std::size_t SYSLOG_MESSAGE_SIZE = 256;

}  // namespace

void emit_log(std::uint32_t level, const char* format, ...) {
    if (verbosity < level) return;  // dropped before any formatting
    std::va_list args;
    va_start(args, format);
    log_sink(level, format, args);
    va_end(args);
}

void format_timestamp(std::int64_t ms, char (&buffer)[TIMESTAMP_SIZE]) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm utc {};
    char date[TIMESTAMP_SIZE] = "";
    if (gmtime_r(&seconds, &utc) != nullptr)
        std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(buffer, sizeof buffer, "%s.%03" PRId64 "Z ", date, ms % 1000);
}

void log_to_stdout(std::uint32_t level, const char* format, std::va_list args) {
    if (verbosity < level) return;
    const int saved_errno = errno;
    char stamp[TIMESTAMP_SIZE];
    format_timestamp(wall_clock_ms(), stamp);
    std::fputs(stamp, stdout);
    std::vprintf(format, args);
    std::fputc('\n', stdout);
    errno = saved_errno;
}

void log_to_syslog(std::uint32_t level, const char* format, std::va_list args) {
    if (verbosity < level) return;
    const int saved_errno = errno;
    char message[SYSLOG_MESSAGE_SIZE];
    std::vsnprintf(message, sizeof message, format, args);
    syslog(SYSLOG_PRIORITY[level < 2 ? level : 2], "%s", message);
    errno = saved_errno;
}

void open_log_sink(const char* program_path) {
    if (log_sink == log_to_syslog) {
        const char* slash = std::strrchr(program_path, '/');
        openlog(slash != nullptr ? slash + 1 : program_path, LOG_PID, LOG_DAEMON);
    } else {
        // Line-buffered even into a pipe, so a reader sees each event as it happens.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
    }
}

void close_log_sink() {
    if (log_sink == log_to_syslog) closelog();
}

std::int64_t wall_clock_ms() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace mirebox
