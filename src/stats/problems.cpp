#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "stats/problems.h"
#include "stats/texts.h"

namespace mirebox::stats {

void print_problem(const char* format, ...) {
    std::fputs(texts::PROBLEM_PREFIX, stderr);
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

void print_read_problem(const std::string& path) {
    print_problem(texts::CANNOT_READ, path.empty() ? texts::STANDARD_INPUT : path.c_str(),
                  std::strerror(errno));
}

}  // namespace mirebox::stats
