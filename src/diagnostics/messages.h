// Every text of the daemon's that another program reads back: the log's
// event, settings and trace lines, its problem lines, its help and its
// version.
// mirebox-stats includes this header too and parses with the same formats,
// so the writer and the reader cannot drift apart.
#pragma once

#include <cinttypes>

namespace mirebox::messages {

// Events, at level 1. A time is a millisecond count printed as its signed
// quotient and remainder by 1000, the minus sign on both parts when it is
// below zero (time=-9.-700).
inline constexpr char ACCEPT[] = "ACCEPT host=%s port=%d fd=%d n=%d/%d";
inline constexpr char CLOSE[] =
    "CLOSE host=%s port=%d fd=%d time=%" PRId64 ".%03" PRId64 " bytes=%" PRId64;
inline constexpr char TOTALS[] =
    "TOTALS connects=%" PRId64 " seconds=%" PRId64 ".%03" PRId64 " bytes=%" PRId64;

// The settings block, in the order logged at start-up and at each reload.
// MAX_CLIENTS alone, outside a block, is the limit lowered for want of
// descriptors.
inline constexpr char PORT[] = "Port %d";
inline constexpr char DELAY[] = "Delay %" PRId64;
inline constexpr char MAX_LINE_LENGTH[] = "MaxLineLength %d";
inline constexpr char MAX_CLIENTS[] = "MaxClients %d";
inline constexpr char BIND_FAMILY[] = "BindFamily %s";
inline constexpr char FAMILY_IPV4_ONLY[] = "IPv4 Only";
inline constexpr char FAMILY_IPV6_ONLY[] = "IPv6 Only";
inline constexpr char FAMILY_MAPPED[] = "IPv4 Mapped IPv6";

// The trace of level 2: each socket call with its main arguments and its
// result, the wait's result apart from its call, a wait cut short by a
// signal, and the errno of a refused option.
inline constexpr char TRACE_SOCKET[] = "socket() = %d";
inline constexpr char TRACE_OPTION[] = "setsockopt(%d, %s, true) = %d";
inline constexpr char TRACE_RECEIVE_BUFFER[] = "setsockopt(%d, SO_RCVBUF, %d) = %d";
inline constexpr char TRACE_BIND[] = "bind(%d, port=%d) = %d";
inline constexpr char TRACE_LISTEN[] = "listen(%d) = %d";
inline constexpr char TRACE_DESCRIPTOR_LIMIT[] = "setrlimit(RLIMIT_NOFILE, %ju) = %d";
inline constexpr char TRACE_WAIT[] = "poll(%d, %d)";
inline constexpr char WAIT_RESULT[] = "= %d";
inline constexpr char INTERRUPTED[] = "EINTR";
inline constexpr char TRACE_ACCEPT[] = "accept() = %d";
inline constexpr char TRACE_WRITE[] = "write(%d) = %d";
inline constexpr char TRACE_CLOSE[] = "close(%d)";
inline constexpr char ERROR_NUMBER[] = "errno = %d, %s";
// All of them, for the reader, which knows a trace line by its format.
inline constexpr const char* TRACES[] = {
    TRACE_SOCKET, TRACE_OPTION,  TRACE_RECEIVE_BUFFER, TRACE_BIND,  TRACE_LISTEN,
    TRACE_DESCRIPTOR_LIMIT, TRACE_WAIT, WAIT_RESULT, INTERRUPTED, TRACE_ACCEPT,
    TRACE_WRITE, TRACE_CLOSE, ERROR_NUMBER};

// Problems, on standard error: the daemon's own start with its name.
inline constexpr char PROBLEM_PREFIX[] = "mirebox: ";
inline constexpr char FATAL[] = "mirebox: fatal: %s\n";
inline constexpr char WARNING[] = "mirebox: warning: %s\n";
inline constexpr char FILE_WARNING[] = "mirebox: warning: %s: %s\n";
inline constexpr char OUT_OF_MEMORY[] = "out of memory";
inline constexpr char INVALID_VALUE[] = "mirebox: Invalid %s: %s\n";
inline constexpr char TOO_MANY_ARGUMENTS[] = "mirebox: too many arguments\n";
// A configuration file's line: its path and number, then the problem, which
// may quote a token of the line ("Unknown option 'port'").
inline constexpr char FILE_LINE[] = "%s:%" PRId64 ": %s\n";
inline constexpr char QUOTED[] = "%s '%s'";
inline constexpr char MISSING_VALUE[] = "Missing value";
inline constexpr char TOO_MANY_VALUES[] = "Too many values";
inline constexpr char UNKNOWN_OPTION[] = "Unknown option";
inline constexpr char INVALID_LOG_LEVEL[] = "Invalid log level";

// The help, with the start-up configuration file of the build in place of
// the %s, on standard output for -h and on standard error after a bad
// option. The bracketed values are the built-in defaults written out; -s
// works but is not listed.
inline constexpr char HELP[] =
    "Usage: mirebox [-vh] [-46] [-d MS] [-f CONFIG] [-l LEN] [-m LIMIT] [-p PORT]\n"
    "  -4        Bind to IPv4 only\n"
    "  -6        Bind to IPv6 only\n"
    "  -d INT    Message millisecond delay [10000]\n"
    "  -f        Set and load config file [%s]\n"
    "  -h        Print this help message and exit\n"
    "  -l INT    Maximum banner line length (3-255) [32]\n"
    "  -m INT    Maximum number of clients [4096]\n"
    "  -p INT    Listening port [2222]\n"
    "  -v        Print diagnostics to standard output (repeatable)\n"
    "  -V        Print version information and exit\n";
inline constexpr char VERSION[] = "Mirebox %s\n";

}  // namespace mirebox::messages
