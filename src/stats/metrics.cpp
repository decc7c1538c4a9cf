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
#include <vector>

#include "stats/format.h"
#include "stats/metrics.h"
#include "stats/problems.h"
#include "stats/texts.h"

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

// One series of a family: a daemon's counts, and its labels ("" or
// `host="gate"`).
struct Series {
    const DaemonCounts* daemon;
    std::string labels;
};

// "name{host="gate",le="1"} value", or "name value" without labels.
void sample(std::string& out, const char* name, const std::string& labels,
            const std::string& value) {
    out += name;
    if (!labels.empty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    out += value;
    out += '\n';
}

// Labels joined: `host="gate"` and `le="1"`.
std::string joined_labels(const std::string& labels, const std::string& more) {
    return labels.empty() ? more : labels + "," + more;
}

// A family with one sample of a daemon's field for each series.
template <typename Field>
void field_family(std::string& out, const std::vector<Series>& series, const char* name,
                  const char* type, const char* help, Field DaemonCounts::*field) {
    family(out, name, type, help);
    for (const Series& one : series)
        sample(out, name, one.labels, std::to_string(one.daemon->*field));
}

void counter(std::string& out, const std::vector<Series>& series, const char* name,
             const char* help, std::uint64_t DaemonCounts::*field) {
    field_family(out, series, name, "counter", help, field);
}

void hold_histogram(std::string& out, const std::vector<Series>& series) {
    const char* name = "mirebox_hold_duration_seconds";
    family(out, name, "histogram",
           "How long released clients were held (a time below zero, from a clock set back, "
           "counts as zero).");
    for (const Series& one : series) {
        const HoldBuckets& hold = one.daemon->hold;
        std::uint64_t cumulative = 0;
        for (std::size_t i = 0; i < HOLD_BUCKETS; ++i) {
            cumulative += hold.coarse[i];
            const std::string le = i < std::size(HOLD_BUCKET_SECONDS)
                                       ? std::to_string(HOLD_BUCKET_SECONDS[i])
                                       : std::string("+Inf");
            sample(out, "mirebox_hold_duration_seconds_bucket",
                   joined_labels(one.labels, "le=\"" + le + "\""), std::to_string(cumulative));
        }
        sample(out, "mirebox_hold_duration_seconds_sum", one.labels, seconds_text(hold.sum_ms));
        sample(out, "mirebox_hold_duration_seconds_count", one.labels,
               std::to_string(hold.count));
    }
}

// `host="gate"`, escaped as the text format asks.
std::string host_label(const std::string& host) {
    std::string label = "host=\"";
    for (const char c : printable_host(host)) {
        if (c == '"' || c == '\\') label += '\\';
        label += c;
    }
    return label + "\"";
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
    // Without host names the whole log is one daemon's; with them, only the
    // hosts of the daemon have series.
    const DaemonCounts all = whole_log(tally);
    std::vector<Series> series;
    if (names_hosts(tally)) {
        for (const Daemon* daemon : shown_daemons(tally))
            series.push_back({&daemon->counts, host_label(daemon->host)});
    } else {
        series.push_back({&all, ""});
    }
    std::string out;
    counter(out, series, "mirebox_connections_total", "Clients the tarpit accepted.",
            &DaemonCounts::connections);
    field_family(out, series, "mirebox_clients_held", "gauge",
                 "Clients the running tarpit holds now.", &DaemonCounts::held_now);
    hold_histogram(out, series);
    field_family(out, series, "mirebox_sent_bytes_total", "counter",
                 "Bytes sent to released clients.", &DaemonCounts::bytes);
    counter(out, series, "mirebox_descriptor_exhaustions_total",
            "Times the tarpit ran out of descriptors.", &DaemonCounts::exhaustions);
    counter(out, series, "mirebox_starts_total", "Times the tarpit started.",
            &DaemonCounts::starts);
    counter(out, series, "mirebox_reloads_total",
            "Times the tarpit reloaded its settings.", &DaemonCounts::reloads);
    counter(out, series, "mirebox_log_lines_total", "Log lines read.", &DaemonCounts::lines);
    counter(out, series, "mirebox_unparsed_lines_total",
            "Log lines read that were neither the tarpit's nor another program's.",
            &DaemonCounts::unparsed);
    bool timed = false;
    for (const Series& one : series) timed = timed || one.daemon->has_time;
    if (timed) {
        family(out, "mirebox_last_event_timestamp_seconds", "gauge",
               "When the tarpit's latest log line read was written, in seconds since the epoch.");
        for (const Series& one : series)
            if (one.daemon->has_time)
                sample(out, "mirebox_last_event_timestamp_seconds", one.labels,
                       seconds_text(one.daemon->latest_ms));
    }
    // The reader's own, not a host's: there from the first host on, so that
    // an alert sees it rise from zero.
    if (names_hosts(tally)) {
        const std::string help =
            "Lines of the tarpit's from hosts past the first " + std::to_string(MAX_HOSTS) +
            ", not read.";
        family(out, "mirebox_log_lines_past_host_limit_total", "counter", help.c_str());
        sample(out, "mirebox_log_lines_past_host_limit_total", "",
               std::to_string(tally.lines_past_max_hosts));
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
        if (say_why) print_problem(texts::CANNOT_CREATE_BESIDE, path, std::strerror(errno));
        return false;
    }
    // The first step that fails is the one said.
    int write_error = 0, rename_error = 0;
    // mkstemp makes it private; the collector usually runs as another user.
    if (fchmod(fd, 0644) == -1 || !write_all(fd, prometheus_text(tally))) write_error = errno;
    if (close(fd) == -1 && write_error == 0) write_error = errno;
    if (write_error == 0 && rename(temporary.c_str(), path) == -1) rename_error = errno;
    if (write_error == 0 && rename_error == 0) return true;
    if (say_why && write_error != 0)
        print_problem(texts::CANNOT_WRITE_FILE, temporary.c_str(), std::strerror(write_error));
    if (say_why && rename_error != 0)
        print_problem(texts::CANNOT_RENAME, path, std::strerror(rename_error));
    unlink(temporary.c_str());
    return false;
}

}  // namespace mirebox::stats
