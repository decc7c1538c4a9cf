#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diagnostics/diagnostics.h"
#include "diagnostics/messages.h"

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

void exit_with_errno() { complain_and_exit(messages::FATAL, std::strerror(errno)); }

void warn(const char* reason) { complain(messages::WARNING, reason); }

}  // namespace mirebox
