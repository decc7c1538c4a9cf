// How a number or a name is written, the same in the report, the JSON and
// the metrics.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mirebox::stats {

// Seconds from milliseconds, exactly: 4356.286, -9.700.
std::string seconds_text(std::int64_t ms);
// "3 h 12 min", "850 ms": the two largest units.
std::string format_duration(std::int64_t ms);
// A host's name as it is shown: as written, but for "%", written "%25", so
// that no shown name can be taken for another. (A name is printable ASCII
// with no space: line.h takes no other.)
std::string printable_host(std::string_view host);

}  // namespace mirebox::stats
