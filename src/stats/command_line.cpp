#include <getopt.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "stats/problems.h"
#include "stats/stats.h"
#include "stats/texts.h"

#ifndef MIREBOX_VERSION
#define MIREBOX_VERSION "0"
#endif

namespace mirebox::stats {
namespace {

// A whole base-10 number of an option, within [low, high].
bool option_number(const char* text, std::int64_t low, std::int64_t high, std::int64_t& value) {
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < low || number > high) return false;
    value = number;
    return true;
}

}  // namespace

int parse_command_line(int argc, char** argv, Options& options) {
    static const option LONG[] = {
        {"follow", no_argument, nullptr, 'F'},       {"interval", required_argument, nullptr, 'i'},
        {"json", no_argument, nullptr, 'j'},         {"top", required_argument, nullptr, 'n'},
        {"prometheus", required_argument, nullptr, 'p'}, {"quiet", no_argument, nullptr, 'q'},
        {"tag", required_argument, nullptr, 't'},    {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},      {nullptr, 0, nullptr, 0}};
    std::int64_t top = 0;
    for (int option; (option = getopt_long(argc, argv, "Fi:jn:p:qt:hV", LONG, nullptr)) != -1;) {
        switch (option) {
            case 'F': options.follow = true; break;
            case 'i':
                if (!option_number(optarg, 1, 86400, options.interval_s)) {
                    print_problem(texts::INVALID_INTERVAL, optarg);
                    return 1;
                }
                break;
            case 'j': options.json = true; break;
            case 'n':
                if (!option_number(optarg, 0, 10000, top)) {
                    print_problem(texts::INVALID_COUNT, optarg);
                    return 1;
                }
                options.report.top = static_cast<std::size_t>(top);
                break;
            case 'p': options.prometheus = optarg; break;
            case 'q': options.quiet = true; break;
            case 't': options.ident = optarg; break;
            case 'h': std::fputs(texts::USAGE, stdout); return 0;
            case 'V': std::printf(texts::VERSION, MIREBOX_VERSION); return 0;
            default: std::fputs(texts::USAGE, stderr); return 1;
        }
    }
    for (int i = optind; i < argc; ++i) options.files.emplace_back(argv[i]);
    if (options.follow && options.files.size() > 1) {
        print_problem(texts::FOLLOW_ONE_FILE);
        return 1;
    }
    return -1;
}

}  // namespace mirebox::stats
