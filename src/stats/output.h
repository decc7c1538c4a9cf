// What the tally is turned into: the report, as text for people or JSON for
// scripts, and metrics for Prometheus's node_exporter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "stats/tally.h"

namespace mirebox::stats {

// ---- report.cpp

struct ReportOptions {
    std::size_t top = 10;
};

std::string text_report(const Tally& tally, const ReportOptions& options);
std::string json_report(const Tally& tally, const ReportOptions& options);
// "3 h 12 min", "850 ms": the two largest units.
std::string format_duration(std::int64_t ms);
// Seconds from milliseconds, exactly, as the report, JSON and metrics show
// them: 4356.286, -9.700.
std::string seconds_text(std::int64_t ms);

// A host's name as the report, JSON and metrics show it: a syslog daemon
// writes what its sender claims, so every byte but printable ASCII, and "%"
// itself, is written "%XX", and no two names are shown alike.
std::string printable_host(std::string_view host);

// ---- metrics.cpp

// A log that names its hosts gives every series a host label, one host's as
// many's, so that no series changes its labels when a host is added; one
// that names none (standard output) gives the series without labels.
std::string prometheus_text(const Tally& tally);
// Writes to a temporary file beside path, then renames it over path, so a
// reader sees the old file or the new one, whole. Returns false when any step
// fails, saying why on stderr if `say_why`.
bool write_metrics(const Tally& tally, const char* path, bool say_why);

}  // namespace mirebox::stats
