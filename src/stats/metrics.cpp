// Prometheus's text format, for node_exporter's textfile collector: counters
// over the whole log read, and the gauges of the daemon running now.
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "stats/output.h"
#include "stats/stats.h"

namespace mirebox::stats {

namespace {

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(std::string& out, const char* name, const char* value) {
    out += name;
    out += ' ';
    out += value;
    out += '\n';
}

void sample(std::string& out, const char* name, std::uint64_t value) {
    sample(out, name, std::to_string(value).c_str());
}

bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written == -1) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

std::string prometheus_text(const Tally& tally) {
    std::string out;
    family(out, "mirebox_connections_total", "counter", "Clients the tarpit accepted.");
    sample(out, "mirebox_connections_total", tally.connections);
    family(out, "mirebox_clients_held", "gauge", "Clients the running tarpit holds now.");
    sample(out, "mirebox_clients_held", static_cast<std::uint64_t>(tally.held_now));

    family(out, "mirebox_hold_duration_seconds", "histogram",
           "How long released clients were held (a time below zero, from a clock set back, "
           "counts as zero).");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < HOLD_BUCKETS; ++i) {
        cumulative += tally.hold.coarse[i];
        const std::string le = i < std::size(HOLD_BUCKET_SECONDS)
                                   ? std::to_string(HOLD_BUCKET_SECONDS[i])
                                   : std::string("+Inf");
        out += "mirebox_hold_duration_seconds_bucket{le=\"" + le + "\"} " +
               std::to_string(cumulative) + "\n";
    }
    sample(out, "mirebox_hold_duration_seconds_sum", seconds_text(tally.hold.sum_ms).c_str());
    sample(out, "mirebox_hold_duration_seconds_count", tally.hold.count);

    family(out, "mirebox_sent_bytes_total", "counter", "Bytes sent to released clients.");
    sample(out, "mirebox_sent_bytes_total", static_cast<std::uint64_t>(tally.bytes));
    family(out, "mirebox_descriptor_exhaustions_total", "counter",
           "Times the tarpit ran out of descriptors.");
    sample(out, "mirebox_descriptor_exhaustions_total", tally.exhaustions);
    family(out, "mirebox_starts_total", "counter", "Times the tarpit started.");
    sample(out, "mirebox_starts_total", tally.starts);
    family(out, "mirebox_reloads_total", "counter", "Times the tarpit reloaded its settings.");
    sample(out, "mirebox_reloads_total", tally.reloads);
    family(out, "mirebox_log_lines_total", "counter", "Log lines read.");
    sample(out, "mirebox_log_lines_total", tally.lines);
    family(out, "mirebox_unparsed_lines_total", "counter",
           "Log lines read that were neither the tarpit's nor another program's.");
    sample(out, "mirebox_unparsed_lines_total", tally.unparsed);
    if (tally.has_time) {
        family(out, "mirebox_last_event_timestamp_seconds", "gauge",
               "When the tarpit's latest log line read was written, in seconds since the epoch.");
        sample(out, "mirebox_last_event_timestamp_seconds", seconds_text(tally.last_ms).c_str());
    }
    return out;
}

bool write_metrics(const Tally& tally, const char* path, bool say_why) {
    const std::string target = path;
    const std::size_t slash = target.rfind('/');
    // A name the textfile collector skips (it reads *.prom only), in the same
    // directory, so the rename never crosses file systems.
    std::string temporary = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    temporary += ".";
    temporary += slash == std::string::npos ? target : target.substr(slash + 1);
    temporary += ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd == -1) {
        if (say_why) complain("cannot create a file beside %s: %s", path, std::strerror(errno));
        return false;
    }
    // The first step that fails is the one said.
    const char* failed = nullptr;
    const char* named = temporary.c_str();
    int error = 0;
    // mkstemp makes it private; the collector usually runs as another user.
    if (fchmod(fd, 0644) == -1 || !write_all(fd, prometheus_text(tally))) {
        failed = "cannot write";
        error = errno;
    }
    if (close(fd) == -1 && failed == nullptr) {
        failed = "cannot write";
        error = errno;
    }
    if (failed == nullptr && rename(temporary.c_str(), path) == -1) {
        failed = "cannot rename to";
        named = path;
        error = errno;
    }
    if (failed == nullptr) return true;
    if (say_why) complain("%s %s: %s", failed, named, std::strerror(error));
    unlink(temporary.c_str());
    return false;
}

}  // namespace mirebox::stats
