// Reading back what a printf format of the daemon's wrote, with the format
// itself, and the numbers in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mirebox::stats {

inline constexpr std::size_t MAX_FIELDS = 8;

// The text of each conversion, in order.
struct Fields {
    std::string_view text[MAX_FIELDS];
    std::size_t count = 0;
};

// Whether text is what `format` writes for some values, whole: its literal
// characters as they stand, %d and its kin an optional minus and digits, %s
// any text. A newline that ends the format is not looked for.
bool scan(std::string_view text, std::string_view format, Fields& fields);
// A %d's or %lld's text as a number; false past what 64 bits hold.
bool to_number(std::string_view text, std::int64_t& value);
// The same, not below zero.
bool to_count(std::string_view text, std::int64_t& value);
// A millisecond count from the seconds and the %03 remainder it was printed
// as: 4356.286, or -9.-700 and 0.-05, the minus on both parts.
bool to_millis(std::string_view seconds, std::string_view part, std::int64_t& ms);

}  // namespace mirebox::stats
