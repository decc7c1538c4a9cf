// The one way mirebox-stats reports a problem, as the daemon has its own.
#pragma once

#include <string>

namespace mirebox::stats {

// "mirebox-stats: ", then the message, then a newline, on standard error.
// The formats are in texts.h.
[[gnu::format(printf, 1, 2)]] void print_problem(const char* format, ...);
// "mirebox-stats: mirebox.log: No such file or directory", with errno's
// reason; an empty path is standard input.
void print_read_problem(const std::string& path);

}  // namespace mirebox::stats
