#include <signal.h>

#include <dlfcn.h>

#include <csignal>
#include <ctime>

#include <gtest/gtest.h>

#include "diagnostics/diagnostics.h"
#include "tarpit/tarpit.h"

// The absorbing of pending SIGUSR1s is a sigtimedwait; this test program's
// own one notes whether the request still stood when it ran.
namespace {
int absorbed_while_requested = -1;
}  // namespace

extern "C" int sigtimedwait(const sigset_t* set, siginfo_t* info, const timespec* timeout) {
    using Call = int (*)(const sigset_t*, siginfo_t*, const timespec*);
    static const auto real = reinterpret_cast<Call>(dlsym(RTLD_NEXT, "sigtimedwait"));
    absorbed_while_requested = mirebox::totals_requested;
    return real(set, info, timeout);
}

namespace mirebox {
namespace {

// A SIGUSR1 that lands after the request is cleared must stay pending for
// the next wait: cleared first and absorbed after, it would be swallowed
// without its line. No test can aim a real signal at a window of two
// instructions, so the order itself is checked.
TEST(TotalsRequest, PendingRequestsAreAbsorbedBeforeTheRequestIsCleared) {
    const std::uint32_t saved_verbosity = verbosity;
    verbosity = 0;
    totals_requested = 1;
    serve_totals_request(ClientQueue{});
    verbosity = saved_verbosity;
    EXPECT_EQ(absorbed_while_requested, 1);
    EXPECT_EQ(totals_requested, 0);
}

}  // namespace
}  // namespace mirebox
