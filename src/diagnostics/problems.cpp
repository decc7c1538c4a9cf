#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diagnostics/diagnostics.h"

namespace mirebox {

void complain(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

void complain_and_exit(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::exit(1);
}

void exit_with_errno() { complain_and_exit("mirebox: fatal: %s\n", std::strerror(errno)); }

void warn(const char* reason) { complain("mirebox: warning: %s\n", reason); }

}  // namespace mirebox
