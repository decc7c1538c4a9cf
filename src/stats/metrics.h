// Metrics in Prometheus's text format, for node_exporter's textfile
// collector: counters over the whole input read, and the gauges of the
// daemon running now.
#pragma once

#include <string>

#include "stats/tally.h"

namespace mirebox::stats {

// A log that names its hosts gives every series a host label, one host's as
// many's, so that no series changes its labels when a host is added; one
// that names none (standard output) gives the series without labels.
std::string prometheus_text(const Tally& tally);
// Writes to a temporary file beside path, then renames it over path, so a
// reader sees the old file or the new one, whole. Returns false when any step
// fails, saying why on stderr if `say_why`.
bool write_metrics(const Tally& tally, const char* path, bool say_why);

}  // namespace mirebox::stats
