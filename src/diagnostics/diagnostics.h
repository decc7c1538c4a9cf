// The diagnostic log, the wall clock and the fatal exit: everything the daemon
// says about itself goes through here, and problems go straight to stderr.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace mirebox {

// A sink writes one message when its level is within `verbosity`.
// Sinks leave errno as they found it, so a caller may log a failed call's
// result before it looks at errno.
using LogSink = void (*)(std::uint32_t level, const char* format, std::va_list args);

inline constexpr std::uint32_t LOG_LEVEL_INFO = 1;
inline constexpr std::uint32_t LOG_LEVEL_DEBUG = 2;
inline constexpr std::size_t TIMESTAMP_SIZE = 64;

extern std::uint32_t verbosity;
extern LogSink log_sink;

[[gnu::format(printf, 2, 3)]] void emit_log(std::uint32_t level, const char* format, ...);

[[gnu::format(printf, 2, 0)]] void log_to_stdout(std::uint32_t level, const char* format, std::va_list args);
[[gnu::format(printf, 2, 0)]] void log_to_syslog(std::uint32_t level, const char* format, std::va_list args);

// REQUIRES: called once, before the first message is logged.
void open_log_sink(const char* program_path);
void close_log_sink();

// Writes "2026-12-09T23:59:20.005Z " (UTC, with the trailing space) into buffer.
void format_timestamp(std::int64_t ms, char (&buffer)[TIMESTAMP_SIZE]);

// Milliseconds since the epoch from CLOCK_REALTIME: the daemon's only clock.
std::int64_t wall_clock_ms();

// Every problem goes to standard error through this pair, never through the
// log: a complaint, and a complaint that ends the process with status 1. The
// format carries the whole text, its newline included.
[[gnu::format(printf, 1, 2)]] void complain(const char* format, ...);
[[noreturn, gnu::format(printf, 1, 2)]] void complain_and_exit(const char* format, ...);

// "mirebox: fatal: <strerror(errno)>", then exit status 1.
[[noreturn]] void exit_with_errno();
// "mirebox: warning: <reason>"; the caller carries on.
void warn(const char* reason);

}  // namespace mirebox
