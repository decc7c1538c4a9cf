// mirebox-stats: reads the log the daemon writes and tells what the tarpit
// caught, as a report for people or as metrics for Prometheus. A program of
// its own: nothing here is linked into the daemon. What it reads is worded
// in diagnostics/messages.h, which both programs include.
//
// Lines come in through input.h, are parsed by line.h, counted by tally.h
// and written out by output.h.
#pragma once

#include "stats/address.h"
#include "stats/input.h"
#include "stats/line.h"
#include "stats/output.h"
#include "stats/tally.h"

namespace mirebox::stats {

// Every problem goes to standard error through here: "mirebox-stats: ",
// then the message, then a newline.
[[gnu::format(printf, 1, 2)]] void complain(const char* format, ...);

}  // namespace mirebox::stats
