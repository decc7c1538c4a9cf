// Reading back what a printf format of the daemon's wrote, with the format
// itself: the reader keeps no copy of the log's wording to drift from it.
#include <cstdint>
#include <string_view>

#include "stats/scan.h"

namespace mirebox::stats {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The end of the conversion that starts at format[at] (a '%'): flags, width
// and length modifiers, then its letter.
std::size_t conversion_end(std::string_view format, std::size_t at) {
    std::size_t end = at + 1;
    while (end < format.size() && std::string_view("-+ #0123456789hljzt").find(format[end]) !=
                                      std::string_view::npos)
        ++end;
    return end;  // at the letter, or past the end of a malformed format
}

// A %s may take any of several lengths, and a hostile line can offer
// thousands; past this many tries in one scan, the line is not the format's.
// The daemon's own lines need one try for each %s.
constexpr int MAX_TRIES = 32;

// The literal text after a %s, up to the next conversion: what the %s must
// stop before.
std::string_view literal_run(std::string_view format) {
    std::size_t end = 0;
    while (end < format.size() && format[end] != '%') ++end;
    std::string_view run = format.substr(0, end);
    if (end == format.size() && run.ends_with('\n')) run.remove_suffix(1);
    return run;
}

bool scan_from(std::string_view text, std::string_view format, Fields& fields, int& tries) {
    while (!format.empty()) {
        if (format[0] != '%' || (format.size() > 1 && format[1] == '%')) {
            if (format.size() == 1 && format[0] == '\n') return text.empty();
            const std::size_t width = format[0] == '%' ? 2 : 1;
            if (text.empty() || text[0] != format[0]) return false;
            text.remove_prefix(1);
            format.remove_prefix(width);
            continue;
        }
        const std::size_t letter = conversion_end(format, 0);
        if (letter >= format.size() || fields.count == MAX_FIELDS) return false;
        const char conversion = format[letter];
        format.remove_prefix(letter + 1);
        if (conversion == 'd' || conversion == 'i' || conversion == 'u') {
            std::size_t length = text.starts_with('-') ? 1 : 0;
            const std::size_t digits_from = length;
            while (length < text.size() && is_digit(text[length])) ++length;
            if (length == digits_from) return false;
            fields.text[fields.count++] = text.substr(0, length);
            text.remove_prefix(length);
            continue;
        }
        if (conversion != 's') return false;
        // Any text, even empty, the shortest first: what follows decides.
        // Only a length that leaves text starting with the literal run after
        // the %s can do, which makes the daemon's lines a single try.
        const std::size_t slot = fields.count++;
        const std::string_view run = literal_run(format);
        // Nothing but text after it: the %s is what comes before that text
        // at the end.
        if (format.find('%') == std::string_view::npos) {
            if (!text.ends_with(run)) return false;
            fields.text[slot] = text.substr(0, text.size() - run.size());
            return true;
        }
        for (std::size_t length = 0; length <= text.size(); ++length) {
            if (!run.empty()) {
                length = text.find(run, length);
                if (length == std::string_view::npos) return false;
            }
            if (++tries > MAX_TRIES) return false;
            fields.text[slot] = text.substr(0, length);
            fields.count = slot + 1;
            if (scan_from(text.substr(length), format, fields, tries)) return true;
        }
        return false;
    }
    return text.empty();
}

}  // namespace

bool scan(std::string_view text, std::string_view format, Fields& fields) {
    fields.count = 0;
    int tries = 0;
    return scan_from(text, format, fields, tries);
}

bool to_number(std::string_view text, std::int64_t& value) {
    const bool negative = text.starts_with('-');
    if (negative) text.remove_prefix(1);
    if (text.empty()) return false;
    std::int64_t result = 0;
    for (const char c : text) {
        // Built downwards, so that the most negative value fits too.
        if (!is_digit(c) || __builtin_mul_overflow(result, 10, &result) ||
            __builtin_sub_overflow(result, c - '0', &result))
            return false;
    }
    if (!negative && __builtin_mul_overflow(result, -1, &result)) return false;
    value = result;
    return true;
}

bool to_count(std::string_view text, std::int64_t& value) {
    return !text.starts_with('-') && to_number(text, value);
}

bool to_millis(std::string_view seconds, std::string_view part, std::int64_t& ms) {
    std::int64_t whole = 0, fraction = 0;
    if (!to_number(seconds, whole) || !to_number(part, fraction)) return false;
    // %03 of a negative remainder keeps its minus within the width: -05, -700.
    const std::size_t digits = part.size() - (part.starts_with('-') ? 1 : 0);
    if (part.starts_with('-') ? whole > 0 || digits < 2 || digits > 3
                              : digits != 3 || (seconds.starts_with('-') && fraction != 0))
        return false;
    return !__builtin_mul_overflow(whole, 1000, &ms) && !__builtin_add_overflow(ms, fraction, &ms);
}

}  // namespace mirebox::stats
