#include <cstdarg>
#include <cstdio>

#include "stats/stats.h"

namespace mirebox::stats {

void complain(const char* format, ...) {
    std::fputs("mirebox-stats: ", stderr);
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

}  // namespace mirebox::stats
