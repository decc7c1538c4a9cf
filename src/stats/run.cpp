// The reader's one run: the log read to its end, or followed; then the
// metrics and the report.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "stats/follow.h"
#include "stats/input.h"
#include "stats/metrics.h"
#include "stats/problems.h"
#include "stats/report.h"
#include "stats/stats.h"
#include "stats/texts.h"

namespace mirebox::stats {
namespace {

// Each file to its end, in order. False when one could not be read.
bool read_files(const Options& options, Reader& reader) {
    const LineSink sink{read_line, &reader};
    std::vector<std::string> paths = options.files;
    if (paths.empty()) paths.emplace_back("-");
    bool ok = true;
    for (const std::string& name : paths) {
        // A file that names no host is a daemon's standard output, whatever
        // the file before it named.
        reader.tally.current = 0;
        Input input;
        const std::string path = name == "-" ? "" : name;
        if (!open_input(input, path)) {
            print_read_problem(path);
            ok = false;
            continue;
        }
        ReadResult result;
        while ((result = read_input(input, sink)) == ReadResult::data) {
        }
        if (result == ReadResult::error) {
            print_read_problem(path);
            ok = false;
        }
        flush_input(input, sink);
        close_input(input);
    }
    return ok;
}

}  // namespace

void read_line(void* reader, std::string_view text) {
    auto* into = static_cast<Reader*>(reader);
    tally_line(into->tally, parse_line(text, into->context));
}

int run_stats(const Options& options) {
    Reader reader;
    reader.context.ident = options.ident;
    reader.tally.track_sources = !options.quiet;
    bool ok = options.follow ? follow(options, reader) : read_files(options, reader);
    if (options.prometheus != nullptr && !write_metrics(reader.tally, options.prometheus, true))
        ok = false;
    if (!options.quiet) {
        const std::string report = options.json ? json_report(reader.tally, options.report)
                                                : text_report(reader.tally, options.report);
        // A report cut short by a full disk must not end in success.
        if (std::fwrite(report.data(), 1, report.size(), stdout) != report.size() ||
            std::fflush(stdout) != 0 || std::ferror(stdout)) {
            print_problem(texts::CANNOT_WRITE_REPORT, std::strerror(errno));
            ok = false;
        }
    }
    return ok ? 0 : 1;
}

}  // namespace mirebox::stats
