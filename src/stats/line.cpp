// The daemon's log lines in the three forms they reach a disk. The daemon's
// own words are read with its own formats, from the header both programs
// share; the timestamps and syslog prefixes are other programs' forms.
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "diagnostics/messages.h"
#include "stats/line.h"
#include "stats/scan.h"

namespace mirebox::stats {

namespace {

constexpr std::int64_t MS_PER_DAY = 86400000;
// No client is held for a hundred years (36525 days), and none is sent 2^48
// bytes, which takes 35 years at the shortest Delay and the longest
// MaxLineLength. A CLOSE line past either is not the daemon's; the bounds
// also keep each value a small part of what the sums can hold.
constexpr std::int64_t MAX_HOLD_MS = 36525 * MS_PER_DAY;
constexpr std::int64_t MAX_CLIENT_BYTES = std::int64_t{1} << 48;

// One character: a timestamp's separators, on the path of every line.
bool take(std::string_view& text, char c) {
    if (text.empty() || text[0] != c) return false;
    text.remove_prefix(1);
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
    if (!take_fixed(rest, 4, year) || !take(rest, '-') || !take_fixed(rest, 2, month) ||
        !take(rest, '-') || !take_fixed(rest, 2, day) || !take(rest, 'T') ||
        !take_fixed(rest, 2, hour) || !take(rest, ':') || !take_fixed(rest, 2, minute) ||
        !take(rest, ':') || !take_fixed(rest, 2, second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || !valid_clock(hour, minute, second))
        return false;
    std::int64_t fraction_ms = 0;
    std::size_t fraction_digits = 0;
    if (take(rest, '.')) {
        fraction_digits = count_digits(rest);
        if (fraction_digits == 0 || fraction_digits > 9) return false;
        for (std::size_t i = 0; i < 3; ++i)
            fraction_ms = fraction_ms * 10 + (i < fraction_digits ? rest[i] - '0' : 0);
        rest.remove_prefix(fraction_digits);
    }
    std::int64_t offset_minutes = 0;
    const bool utc = take(rest, 'Z');
    if (!utc) {
        const bool east = rest.starts_with('+');
        if (!east && !rest.starts_with('-')) return false;
        rest.remove_prefix(1);
        std::int64_t offset_hours = 0, offset_rest = 0;
        if (!take_fixed(rest, 2, offset_hours)) return false;
        take(rest, ':');
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
        !take(rest, ' ') || !take_fixed(rest, 2, hour) || !take(rest, ':') ||
        !take_fixed(rest, 2, minute) || !take(rest, ':') || !take_fixed(rest, 2, second))
        return false;
    if (day < 1 || day > 31 || !valid_clock(hour, minute, second)) return false;
    const std::int64_t month = static_cast<std::int64_t>(at / 3) + 1;
    const std::int64_t within_hour = (minute * 60 + second) * 1000;
    LocalTime& local = context.local_time;
    const std::int64_t year = local.year_at(context.now_ms);
    ms = local.hour_start(year, month, day, hour) + within_hour;
    if (ms > context.now_ms + MS_PER_DAY)
        ms = local.hour_start(year - 1, month, day, hour) + within_hour;
    text = rest;
    return true;
}

// "tag[pid]: " or "tag: ", after the host, as syslog daemons and journalctl
// write it.
bool take_syslog_tag(std::string_view& text, std::string_view& tag, std::int64_t& pid) {
    std::string_view rest = text;
    std::string_view word = take_word(rest);
    if (!word.ends_with(':')) return false;
    word.remove_suffix(1);
    pid = -1;
    if (word.ends_with(']')) {
        const std::size_t open = word.rfind('[');
        if (open == std::string_view::npos) return false;
        const std::string_view number = word.substr(open + 1, word.size() - open - 2);
        // RFC 5424's nil value, as rsyslog writes a message that gave no pid.
        std::int64_t value = -1;
        if (number != "-" && !to_count(number, value)) return false;
        pid = value;
        word = word.substr(0, open);
    }
    if (word.empty()) return false;
    take(rest, ' ');
    tag = word;
    text = rest;
    return true;
}

// What RFC 5424 allows a HOSTNAME: printable ASCII, no space, 255 bytes at
// most. A syslog daemon passes on whatever its sender claims; anything else
// is not a host, and a name can cost no more than this in the report and the
// metrics.
bool is_host_name(std::string_view word) {
    if (word.empty() || word.size() > MAX_HOST_NAME) return false;
    for (const char c : word)
        if (c <= ' ' || c > '~') return false;
    return true;
}

// "host tag[pid]: " after a syslog or journal timestamp.
bool take_host_and_tag(std::string_view& text, std::string_view& host, std::string_view& tag,
                       std::int64_t& pid) {
    std::string_view rest = text;
    host = take_word(rest);
    if (!is_host_name(host) || !take(rest, ' ') || !take_syslog_tag(rest, tag, pid)) return false;
    text = rest;
    return true;
}

// Whether text starts with a host and the daemon's tag.
bool names_host_and_tag(std::string_view text, const ParseContext& context) {
    std::string_view host, tag;
    std::int64_t pid = -1;
    return take_host_and_tag(text, host, tag, pid) && tag == context.ident;
}

// A line of the daemon's help text, whatever configuration file it names.
bool is_help_line(std::string_view message) {
    Fields fields;
    for (std::string_view help = messages::HELP; !help.empty();) {
        const std::size_t end = help.find('\n');
        if (scan(message, help.substr(0, end), fields)) return true;
        help.remove_prefix(end == std::string_view::npos ? help.size() : end + 1);
    }
    return false;
}

// A configuration file's complaint: "path:3: Missing value".
bool is_file_complaint(std::string_view message) {
    Fields line, quoted;
    std::int64_t number = 0;
    if (!scan(message, messages::FILE_LINE, line) || !to_count(line.text[1], number)) return false;
    const std::string_view problem = line.text[2];
    if (problem == messages::MISSING_VALUE || problem == messages::TOO_MANY_VALUES) return true;
    return scan(problem, messages::QUOTED, quoted) &&
           (quoted.text[0] == messages::UNKNOWN_OPTION ||
            quoted.text[0] == messages::INVALID_LOG_LEVEL);
}

// What the daemon writes to standard error, which the journal keeps beside
// its log and a redirection can mix into its output file: its warnings and
// errors ("mirebox: warning: ..."), a configuration file's complaints, the
// help text.
bool is_daemon_complaint(std::string_view message) {
    return message.starts_with(messages::PROBLEM_PREFIX) || is_help_line(message) ||
           is_file_complaint(message);
}

// The warning of a daemon out of descriptors with nobody held, which it
// gives instead of lowering MaxClients to 0: "mirebox: warning: Too many
// open files", in this system's words.
bool is_exhaustion_warning(std::string_view message) {
    Fields fields;
    if (!scan(message, messages::WARNING, fields)) return false;
    const std::string_view reason = fields.text[0];
    return reason == std::strerror(EMFILE) || reason == std::strerror(ENFILE);
}

LineKind complaint_kind(std::string_view message) {
    if (is_exhaustion_warning(message)) return LineKind::exhausted;
    return is_daemon_complaint(message) ? LineKind::daemon_other : LineKind::unparsed;
}

// The socket-call trace, "socket() = 3", "poll(1, -1)", "EINTR": exactly
// the daemon's formats, so that no made-up line passes for one.
bool is_trace(std::string_view message) {
    Fields fields;
    for (const char* format : messages::TRACES)
        if (scan(message, format, fields)) return true;
    return false;
}

bool read_setting(std::string_view message, LogLine& line) {
    Fields fields;
    line.kind = LineKind::setting;
    for (std::size_t i = 0; i < std::size(SETTING_FORMATS); ++i) {
        if (!scan(message, SETTING_FORMATS[i], fields)) continue;
        line.setting = static_cast<Setting>(i);
        if (line.setting != Setting::bind_family) return to_number(fields.text[0], line.value);
        for (const auto& family : FAMILY_LABELS) {
            if (fields.text[0] == family.label) {
                line.value = family.value;
                return true;
            }
        }
        return false;
    }
    return false;
}

// host, port and fd, the first three fields of ACCEPT and CLOSE: an empty
// host is the daemon's word for unknown.
bool read_peer(const Fields& fields, LogLine& line) {
    std::int64_t fd = 0;
    const std::string_view host = fields.text[0];
    if (!host.empty()) {
        if (!parse_address(host, line.address)) return false;
        line.has_address = !is_unknown(line.address);
    }
    return to_count(fields.text[1], line.port) && to_count(fields.text[2], fd);
}

bool read_event(std::string_view message, LogLine& line) {
    Fields fields;
    std::int64_t limit = 0;
    if (scan(message, messages::ACCEPT, fields)) {
        line.kind = LineKind::accept;
        return read_peer(fields, line) && to_count(fields.text[3], line.held) &&
               to_count(fields.text[4], limit);
    }
    if (scan(message, messages::CLOSE, fields)) {
        line.kind = LineKind::close;
        return read_peer(fields, line) &&
               to_millis(fields.text[3], fields.text[4], line.duration_ms) &&
               line.duration_ms <= MAX_HOLD_MS && line.duration_ms >= -MAX_HOLD_MS &&
               to_count(fields.text[5], line.bytes) && line.bytes <= MAX_CLIENT_BYTES;
    }
    if (scan(message, messages::TOTALS, fields)) {
        line.kind = LineKind::totals;
        return to_count(fields.text[0], line.connects) &&
               to_millis(fields.text[1], fields.text[2], line.duration_ms) &&
               to_count(fields.text[3], line.bytes);
    }
    return read_setting(message, line);
}

// The daemon's message after a syslog prefix, with the daemon's own
// timestamp in front of it where it wrote one (-v under the journal).
LogLine parse_inner(std::string_view message, bool has_time, std::int64_t time_ms,
                    const ParseContext& context) {
    std::string_view rest = message;
    std::int64_t inner_ms = 0;
    bool daemon_form = false;
    if (take_iso_time(rest, inner_ms, daemon_form) && daemon_form && take(rest, ' ')) {
        message = rest;
        has_time = inner_ms <= context.now_ms + MS_PER_DAY;
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

std::int64_t wall_clock_ms() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::int64_t LocalTime::year_at(std::int64_t ms) {
    if (year_ms_ != ms) {
        const time_t seconds = static_cast<time_t>(ms / 1000);
        struct tm local {};
        year_ = localtime_r(&seconds, &local) != nullptr ? local.tm_year + 1900 : 1970;
        year_ms_ = ms;
    }
    return year_;
}

std::int64_t LocalTime::hour_start(std::int64_t year, std::int64_t month, std::int64_t day,
                                   std::int64_t hour) {
    const std::int64_t key = ((year * 12 + month) * 32 + day) * 24 + hour;
    if (key != hour_key_) {
        struct tm local {};
        local.tm_year = static_cast<int>(year - 1900);
        local.tm_mon = static_cast<int>(month - 1);
        local.tm_mday = static_cast<int>(day);
        local.tm_hour = static_cast<int>(hour);
        local.tm_isdst = -1;
        hour_ms_ = static_cast<std::int64_t>(mktime(&local)) * 1000;
        hour_key_ = key;
    }
    return hour_ms_;
}

LogLine parse_message(std::string_view message) {
    LogLine line;
    if (read_event(message, line)) return line;
    line = LogLine{};
    if (is_trace(message)) line.kind = LineKind::trace;
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
    // A year-less stamp is never more than a day ahead: see take_bsd_time.
    bool believed = true;
    if (take_iso_time(rest, time_ms, daemon_form)) {
        if (!take(rest, ' ')) return of_kind(LineKind::unparsed);
        // A time with a year that lies ahead is a sender's clock, or its
        // claim, not a moment that has come: the line counts without it.
        believed = time_ms <= context.now_ms + MS_PER_DAY;
        if (daemon_form) {
            // A host and the daemon's tag make a line a host's before any
            // other reading: a host name can be shaped like the daemon's own
            // words. Only a trace line can be both: each event's first word is
            // followed by a fixed word, a number or "host=", never a tag.
            LogLine line = parse_message(rest);
            if (line.kind != LineKind::unparsed &&
                (line.kind != LineKind::trace || !names_host_and_tag(rest, context))) {
                line.has_time = believed;
                line.time_ms = time_ms;
                return line;
            }
        }
    } else if (take_bsd_time(rest, context, time_ms)) {
        if (!take(rest, ' ')) return of_kind(LineKind::unparsed);
        syslog_only = true;
    } else {
        // The daemon's standard error mixed into its output file.
        return of_kind(complaint_kind(text));
    }

    // Then the host: a log server's file holds many.
    std::string_view host, tag;
    std::int64_t pid = -1;
    if (take_host_and_tag(rest, host, tag, pid)) {
        LogLine line = tag == context.ident ? parse_inner(rest, believed, time_ms, context)
                                            : of_kind(LineKind::foreign);
        line.pid = pid;
        line.host = host;
        return line;
    }
    // No host and tag this reader takes. Where a host stands before what is
    // shaped like a tag (one with a pid that is not a number), or in a
    // syslog file before anything ("last message repeated 3 times"), the
    // line is that host's: never the host's before it.
    const std::string_view word = take_word(rest);
    LogLine line = of_kind(LineKind::unparsed);
    line.bad_host = !word.empty() && !is_host_name(word);
    if (line.bad_host || word.empty()) return line;
    if (syslog_only) {
        line.kind = LineKind::foreign;
        line.host = word;
    } else if (take(rest, ' ') && take_word(rest).ends_with(':')) {
        line.host = word;
    }
    return line;
}

}  // namespace mirebox::stats
