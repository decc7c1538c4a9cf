// The daemon's log lines in the three forms they reach a disk: its own
// standard output, a syslog file, and the journal's short-iso output (with
// either of the other two inside).
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "stats/stats.h"

namespace mirebox::stats {

namespace {

constexpr std::int64_t MS_PER_DAY = 86400000;
// Seconds and counts beyond this are not the daemon's; it also keeps the
// arithmetic below far from overflow.
constexpr std::size_t MAX_DIGITS = 15;
// No client is held for a hundred years (36525 days), and none is sent 2^48
// bytes, which takes 35 years at the shortest Delay and the longest
// MaxLineLength. A CLOSE line past either is not the daemon's; the bounds
// also keep each value a small part of what the sums can hold.
constexpr std::int64_t MAX_HOLD_MS = 36525 * MS_PER_DAY;
constexpr std::int64_t MAX_CLIENT_BYTES = std::int64_t{1} << 48;

bool take(std::string_view& text, std::string_view prefix) {
    if (!text.starts_with(prefix)) return false;
    text.remove_prefix(prefix.size());
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::size_t count_digits(std::string_view text) {
    std::size_t n = 0;
    while (n < text.size() && is_digit(text[n])) ++n;
    return n;
}

// Exactly `count` digits.
bool take_fixed(std::string_view& text, std::size_t count, std::int64_t& value) {
    if (text.size() < count) return false;
    std::int64_t result = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (!is_digit(text[i])) return false;
        result = result * 10 + (text[i] - '0');
    }
    text.remove_prefix(count);
    value = result;
    return true;
}

// An optional minus and 1 to MAX_DIGITS digits, as %d and %lld write them.
bool take_number(std::string_view& text, std::int64_t& value) {
    std::string_view rest = text;
    const bool negative = take(rest, "-");
    const std::size_t digits = count_digits(rest);
    if (digits == 0 || digits > MAX_DIGITS) return false;
    std::int64_t magnitude = 0;
    take_fixed(rest, digits, magnitude);
    value = negative ? -magnitude : magnitude;
    text = rest;
    return true;
}

bool take_unsigned(std::string_view& text, std::int64_t& value) {
    return !text.starts_with('-') && take_number(text, value);
}

// "%lld.%03lld" of a millisecond count and its signed remainder: 4356.286,
// and for a negative count the minus on both parts, -9.-700 or 0.-05.
bool take_millis(std::string_view& text, std::int64_t& ms) {
    std::string_view rest = text;
    const bool negative_seconds = rest.starts_with('-');
    std::int64_t seconds = 0;
    std::int64_t part = 0;
    if (!take_number(rest, seconds) || !take(rest, ".")) return false;
    if (take(rest, "-")) {
        const std::size_t digits = count_digits(rest);
        if (seconds > 0 || digits < 2 || digits > 3) return false;
        take_fixed(rest, digits, part);
        part = -part;
    } else {
        if (!take_fixed(rest, 3, part) || (negative_seconds && part != 0)) return false;
    }
    ms = seconds * 1000 + part;
    text = rest;
    return true;
}

// Up to the next space (or the end).
std::string_view take_word(std::string_view& text) {
    const std::size_t end = text.find(' ');
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
    return word;
}

// ---- timestamps

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t year_of_era = year - era * 400;
    const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

bool valid_clock(std::int64_t hour, std::int64_t minute, std::int64_t second) {
    return hour < 24 && minute < 60 && second <= 60;  // 60: a leap second
}

// 2026-12-10T03:00:47, then an optional fraction, then Z, +01:00 or +0100.
// `daemon_form`: exactly the daemon's own, .123Z.
bool take_iso_time(std::string_view& text, std::int64_t& ms, bool& daemon_form) {
    std::string_view rest = text;
    std::int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!take_fixed(rest, 4, year) || !take(rest, "-") || !take_fixed(rest, 2, month) ||
        !take(rest, "-") || !take_fixed(rest, 2, day) || !take(rest, "T") ||
        !take_fixed(rest, 2, hour) || !take(rest, ":") || !take_fixed(rest, 2, minute) ||
        !take(rest, ":") || !take_fixed(rest, 2, second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || !valid_clock(hour, minute, second))
        return false;
    std::int64_t fraction_ms = 0;
    std::size_t fraction_digits = 0;
    if (take(rest, ".")) {
        fraction_digits = count_digits(rest);
        if (fraction_digits == 0 || fraction_digits > 9) return false;
        for (std::size_t i = 0; i < 3; ++i)
            fraction_ms = fraction_ms * 10 + (i < fraction_digits ? rest[i] - '0' : 0);
        rest.remove_prefix(fraction_digits);
    }
    std::int64_t offset_minutes = 0;
    const bool utc = take(rest, "Z");
    if (!utc) {
        const bool east = rest.starts_with('+');
        if (!east && !rest.starts_with('-')) return false;
        rest.remove_prefix(1);
        std::int64_t offset_hours = 0, offset_rest = 0;
        if (!take_fixed(rest, 2, offset_hours)) return false;
        take(rest, ":");
        if (!take_fixed(rest, 2, offset_rest) || offset_hours > 23 || offset_rest > 59)
            return false;
        offset_minutes = (offset_hours * 60 + offset_rest) * (east ? 1 : -1);
    }
    ms = days_from_civil(year, month, day) * MS_PER_DAY +
         ((hour * 60 + minute - offset_minutes) * 60 + second) * 1000 + fraction_ms;
    daemon_form = utc && fraction_digits == 3;
    text = rest;
    return true;
}

std::int64_t year_of(ParseContext& context) {
    if (context.year_of_ms != context.now_ms) {
        const time_t seconds = static_cast<time_t>(context.now_ms / 1000);
        struct tm local {};
        context.year = localtime_r(&seconds, &local) != nullptr ? local.tm_year + 1900 : 1970;
        context.year_of_ms = context.now_ms;
    }
    return context.year;
}

// A local time to the millisecond since the epoch, through mktime once an hour.
std::int64_t local_ms(ParseContext& context, std::int64_t year, std::int64_t month,
                      std::int64_t day, std::int64_t hour, std::int64_t minute_second_ms) {
    const std::int64_t key = ((year * 12 + month) * 32 + day) * 24 + hour;
    if (key != context.cached_hour_key) {
        struct tm local {};
        local.tm_year = static_cast<int>(year - 1900);
        local.tm_mon = static_cast<int>(month - 1);
        local.tm_mday = static_cast<int>(day);
        local.tm_hour = static_cast<int>(hour);
        local.tm_isdst = -1;
        context.cached_hour_ms = static_cast<std::int64_t>(mktime(&local)) * 1000;
        context.cached_hour_key = key;
    }
    return context.cached_hour_ms + minute_second_ms;
}

// Dec 10 03:00:47 (the day padded with a space), in local time, with no year.
bool take_bsd_time(std::string_view& text, ParseContext& context, std::int64_t& ms) {
    static constexpr std::string_view MONTHS = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (text.size() < 16) return false;
    const std::size_t at = MONTHS.find(text.substr(0, 3));
    if (at == std::string_view::npos || at % 3 != 0 || text[3] != ' ') return false;
    std::string_view rest = text.substr(4);
    if (rest.starts_with(' ')) rest.remove_prefix(1);
    std::int64_t day = 0, hour = 0, minute = 0, second = 0;
    const std::size_t day_digits = count_digits(rest);
    if (day_digits < 1 || day_digits > 2 || !take_fixed(rest, day_digits, day) ||
        !take(rest, " ") || !take_fixed(rest, 2, hour) || !take(rest, ":") ||
        !take_fixed(rest, 2, minute) || !take(rest, ":") || !take_fixed(rest, 2, second))
        return false;
    if (day < 1 || day > 31 || !valid_clock(hour, minute, second)) return false;
    const std::int64_t month = static_cast<std::int64_t>(at / 3) + 1;
    const std::int64_t within_hour = (minute * 60 + second) * 1000;
    const std::int64_t year = year_of(context);
    ms = local_ms(context, year, month, day, hour, within_hour);
    if (ms > context.now_ms + MS_PER_DAY) ms = local_ms(context, year - 1, month, day, hour, within_hour);
    text = rest;
    return true;
}

// "host tag[pid]: " or "host tag: ", as syslog daemons and journalctl write it.
bool take_syslog_prefix(std::string_view& text, std::string_view& tag, std::int64_t& pid) {
    std::string_view rest = text;
    if (take_word(rest).empty() || !take(rest, " ")) return false;
    std::string_view word = take_word(rest);
    if (!word.ends_with(':')) return false;
    word.remove_suffix(1);
    pid = -1;
    if (word.ends_with(']')) {
        const std::size_t open = word.rfind('[');
        if (open == std::string_view::npos) return false;
        std::string_view digits = word.substr(open + 1, word.size() - open - 2);
        std::int64_t value = 0;
        if (!take_unsigned(digits, value) || !digits.empty()) return false;
        pid = value;
        word = word.substr(0, open);
    }
    if (word.empty()) return false;
    take(rest, " ");
    tag = word;
    text = rest;
    return true;
}

// A line of the daemon's help text: "  -d INT    Message millisecond delay".
bool is_help_line(std::string_view message) {
    std::string_view rest = message;
    if (!take(rest, "  -") || rest.empty()) return false;
    const char option = rest[0];
    const bool alphanumeric = is_digit(option) || (option >= 'a' && option <= 'z') ||
                              (option >= 'A' && option <= 'Z');
    rest.remove_prefix(1);
    return alphanumeric && rest.starts_with(' ') && rest.find("  ") != std::string_view::npos;
}

// A configuration file's complaint: "path:3: Missing value".
bool is_file_complaint(std::string_view message) {
    for (std::size_t colon = message.find(':'); colon != std::string_view::npos;
         colon = message.find(':', colon + 1)) {
        std::string_view rest = message.substr(colon + 1);
        std::int64_t line = 0;
        if (!take_unsigned(rest, line) || !take(rest, ": ")) continue;
        if (rest == "Missing value" || rest == "Too many values") return true;
        if ((take(rest, "Unknown option '") || take(rest, "Invalid log level '")) &&
            rest.ends_with('\''))
            return true;
    }
    return false;
}

// What the daemon writes to standard error, which the journal keeps beside
// its log and a redirection can mix into its output file: its warnings and
// errors ("mirebox: warning: ..."), a configuration file's complaints, the
// help text.
bool is_daemon_complaint(std::string_view message) {
    return message.starts_with("mirebox: ") || message.starts_with("Usage: mirebox ") ||
           is_help_line(message) || is_file_complaint(message);
}

// The warning of a daemon out of descriptors with nobody held, which it
// gives instead of lowering MaxClients to 0: "mirebox: warning: Too many
// open files", in this system's words.
bool is_exhaustion_warning(std::string_view message) {
    static const std::string process = std::string("mirebox: warning: ") + std::strerror(EMFILE);
    static const std::string system = std::string("mirebox: warning: ") + std::strerror(ENFILE);
    return message == process || message == system;
}

LineKind complaint_kind(std::string_view message) {
    if (is_exhaustion_warning(message)) return LineKind::exhausted;
    return is_daemon_complaint(message) ? LineKind::daemon_other : LineKind::unparsed;
}

// The socket-call trace: "socket() = 3", "poll(1, -1)", "= 0", "EINTR",
// "errno = 22, Invalid argument".
bool is_trace(std::string_view message) {
    if (message == "EINTR" || message.starts_with("errno = ")) return true;
    std::string_view rest = message;
    std::int64_t result = 0;
    if (take(rest, "= ")) return take_number(rest, result) && rest.empty();
    std::size_t name = 0;
    while (name < message.size() && message[name] >= 'a' && message[name] <= 'z') ++name;
    return name > 0 && name < message.size() && message[name] == '(' &&
           (message.ends_with(')') || message.find(") = ") != std::string_view::npos);
}

bool take_setting(std::string_view& text, LogLine& line) {
    static constexpr struct {
        std::string_view name;
        Setting setting;
    } NUMBERS[] = {{"Port ", Setting::port},
                   {"Delay ", Setting::delay},
                   {"MaxLineLength ", Setting::max_line_length},
                   {"MaxClients ", Setting::max_clients}};
    for (const auto& entry : NUMBERS) {
        if (take(text, entry.name)) {
            line.setting = entry.setting;
            return take_number(text, line.value);
        }
    }
    static constexpr struct {
        std::string_view text;
        std::int64_t value;
    } FAMILIES[] = {{"BindFamily IPv4 Only", 4},
                    {"BindFamily IPv6 Only", 6},
                    {"BindFamily IPv4 Mapped IPv6", 0}};
    for (const auto& entry : FAMILIES) {
        if (text == entry.text) {
            text.remove_prefix(text.size());
            line.setting = Setting::bind_family;
            line.value = entry.value;
            return true;
        }
    }
    return false;
}

// "host=H port=P fd=F": an empty host is the daemon's word for unknown.
bool take_peer(std::string_view& text, LogLine& line) {
    std::int64_t fd = 0;
    if (!take(text, "host=")) return false;
    const std::string_view host = take_word(text);
    if (!host.empty()) {
        if (!parse_address(host, line.address)) return false;
        line.has_address = !is_unknown(line.address);
    }
    return take(text, " port=") && take_unsigned(text, line.port) && take(text, " fd=") &&
           take_unsigned(text, fd);
}

bool take_event(std::string_view& text, LogLine& line) {
    if (take(text, "ACCEPT ")) {
        line.kind = LineKind::accept;
        return take_peer(text, line) && take(text, " n=") && take_unsigned(text, line.held) &&
               take(text, "/") && take_unsigned(text, line.limit);
    }
    if (take(text, "CLOSE ")) {
        line.kind = LineKind::close;
        return take_peer(text, line) && take(text, " time=") &&
               take_millis(text, line.duration_ms) && line.duration_ms <= MAX_HOLD_MS &&
               line.duration_ms >= -MAX_HOLD_MS && take(text, " bytes=") &&
               take_unsigned(text, line.bytes) && line.bytes <= MAX_CLIENT_BYTES;
    }
    if (take(text, "TOTALS connects=")) {
        line.kind = LineKind::totals;
        return take_unsigned(text, line.connects) && take(text, " seconds=") &&
               take_millis(text, line.duration_ms) && take(text, " bytes=") &&
               take_unsigned(text, line.bytes);
    }
    line.kind = LineKind::setting;
    return take_setting(text, line);
}

// The daemon's message after the daemon's own timestamp, inside a journal line.
LogLine parse_inner(std::string_view message, bool has_time, std::int64_t time_ms) {
    std::string_view rest = message;
    std::int64_t inner_ms = 0;
    bool daemon_form = false;
    if (take_iso_time(rest, inner_ms, daemon_form) && daemon_form && take(rest, " ")) {
        message = rest;
        has_time = true;
        time_ms = inner_ms;
    }
    LogLine line = parse_message(message);
    if (line.kind == LineKind::unparsed) line.kind = complaint_kind(message);
    line.has_time = has_time;
    line.time_ms = time_ms;
    return line;
}

LogLine of_kind(LineKind kind) {
    LogLine line;
    line.kind = kind;
    return line;
}

}  // namespace

LogLine parse_message(std::string_view message) {
    LogLine line;
    std::string_view rest = message;
    if (take_event(rest, line) && rest.empty()) return line;
    line = LogLine{};
    if (is_trace(message)) line.kind = LineKind::daemon_other;
    return line;
}

LogLine parse_line(std::string_view text, ParseContext& context) {
    if (text.ends_with('\r')) text.remove_suffix(1);
    // journalctl's own notes: "-- Boot 1f2e... --", "-- No entries --".
    if (text.starts_with("-- ")) return of_kind(LineKind::foreign);

    std::string_view rest = text;
    std::int64_t time_ms = 0;
    bool daemon_form = false;
    bool syslog_only = false;
    if (take_iso_time(rest, time_ms, daemon_form)) {
        if (!take(rest, " ")) return of_kind(LineKind::unparsed);
        if (daemon_form) {
            LogLine line = parse_message(rest);
            if (line.kind != LineKind::unparsed) {
                line.has_time = true;
                line.time_ms = time_ms;
                return line;
            }
        }
    } else if (take_bsd_time(rest, context, time_ms)) {
        if (!take(rest, " ")) return of_kind(LineKind::unparsed);
        syslog_only = true;
    } else {
        // The daemon's standard error mixed into its output file.
        return of_kind(complaint_kind(text));
    }

    std::string_view tag;
    std::int64_t pid = -1;
    if (!take_syslog_prefix(rest, tag, pid)) {
        // In a syslog file, "last message repeated 3 times" and the like.
        return of_kind(syslog_only ? LineKind::foreign : LineKind::unparsed);
    }
    if (tag != context.ident) return of_kind(LineKind::foreign);
    LogLine line = parse_inner(rest, true, time_ms);
    line.pid = pid;
    return line;
}

}  // namespace mirebox::stats
