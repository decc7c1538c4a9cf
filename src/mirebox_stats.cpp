// mirebox-stats: what the tarpit caught, from the log it writes.
#include "stats/stats.h"

int main(int argc, char** argv) {
    using namespace mirebox::stats;
    Options options;
    const int status = parse_command_line(argc, argv, options);
    if (status >= 0) return status;
    return run_stats(options);
}
