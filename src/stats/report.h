// The report: plain text for people, or JSON for scripts, made from the
// tally once the input is read.
#pragma once

#include <cstddef>
#include <string>

#include "stats/tally.h"

namespace mirebox::stats {

struct ReportOptions {
    std::size_t top = 10;  // sources in each top list
};

std::string text_report(const Tally& tally, const ReportOptions& options);
std::string json_report(const Tally& tally, const ReportOptions& options);

}  // namespace mirebox::stats
