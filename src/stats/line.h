// One line of the daemon's log, in any of the forms it reaches a disk: its
// own standard output, a syslog file, and the journal's short-iso output
// (with either of the other two inside).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "diagnostics/messages.h"
#include "stats/address.h"

namespace mirebox::stats {

enum class LineKind : std::uint8_t {
    setting,       // one of the five lines of a settings block
    accept,
    close,
    totals,
    exhausted,     // out of descriptors with nobody held: a warning, no MaxClients
    trace,         // the socket-call trace of LogLevel 2
    daemon_other,  // the daemon's, but nothing to count: a warning, the help
    foreign,       // another program's syslog line, a journal note
    unparsed,      // neither: counted, then skipped
};

// In the order the daemon logs them.
enum class Setting : std::uint8_t { port, delay, max_line_length, max_clients, bind_family };

// The settings lines' formats, by Setting: each starts with its key.
inline constexpr const char* SETTING_FORMATS[] = {messages::PORT, messages::DELAY,
                                                  messages::MAX_LINE_LENGTH,
                                                  messages::MAX_CLIENTS, messages::BIND_FAMILY};
// BindFamily's labels, and the value the reader holds for each.
inline constexpr struct {
    const char* label;
    std::int64_t value;
} FAMILY_LABELS[] = {{messages::FAMILY_IPV4_ONLY, 4},
                     {messages::FAMILY_IPV6_ONLY, 6},
                     {messages::FAMILY_MAPPED, 0}};

struct LogLine {
    LineKind kind = LineKind::unparsed;
    Setting setting = Setting::port;
    bool has_time = false;
    bool has_address = false;   // false for an empty host=
    std::int64_t time_ms = 0;   // milliseconds since the epoch, UTC
    std::int64_t pid = -1;      // -1 where the form shows none (standard output)
    std::string_view host;      // the host the line names, in the text parsed; empty if none
    bool bad_host = false;      // where a host stands, a word no host name can be
    Address address{};
    std::int64_t value = 0;     // setting: its number (BindFamily: 0, 4 or 6)
    std::int64_t held = 0;      // ACCEPT: n, the clients the daemon holds
    std::int64_t port = 0;      // ACCEPT, CLOSE: the peer's port
    std::int64_t duration_ms = 0;  // CLOSE: time held; TOTALS: seconds held
    std::int64_t bytes = 0;     // CLOSE, TOTALS
    std::int64_t connects = 0;  // TOTALS
};

// Local times to the millisecond. localtime and mktime are slow, and a
// syslog file stays within one hour for many lines: the year and the start
// of the hour last asked for are kept.
class LocalTime {
public:
    // The local year at ms.
    std::int64_t year_at(std::int64_t ms);
    // A local date and hour as milliseconds since the epoch.
    std::int64_t hour_start(std::int64_t year, std::int64_t month, std::int64_t day,
                            std::int64_t hour);

private:
    std::int64_t year_ms_ = -1;
    std::int64_t year_ = 0;
    std::int64_t hour_key_ = -1;
    std::int64_t hour_ms_ = 0;
};

// The wall clock, in milliseconds since the epoch.
std::int64_t wall_clock_ms();

// The longest host name a line may give: RFC 5424's HOSTNAME, 255 bytes.
inline constexpr std::size_t MAX_HOST_NAME = 255;

struct ParseContext {
    // The syslog tag of the daemon's lines; other tags are other programs.
    std::string_view ident = "mirebox";
    // The reader's clock. A syslog timestamp carries no year: it is taken as
    // the latest one that does not put the line more than a day after this
    // moment. A time with a year more than a day after it is not believed:
    // the line counts, without a time.
    std::int64_t now_ms = wall_clock_ms();
    LocalTime local_time;
};

LogLine parse_line(std::string_view text, ParseContext& context);
// The message alone, as the daemon formats it (no timestamp, no syslog prefix).
LogLine parse_message(std::string_view message);

}  // namespace mirebox::stats
