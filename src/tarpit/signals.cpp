// The three served signals and the one wait of the loop, where they are let
// in. They stay blocked everywhere else, so a signal that arrives after a pass
// has looked at the flags still cuts the next wait short.
#include <poll.h>

#include <cerrno>
#include <csignal>
#include <ctime>

#include "diagnostics/diagnostics.h"
#include "diagnostics/messages.h"
#include "tarpit/tarpit.h"

namespace mirebox {

volatile std::sig_atomic_t service_running = 1;
volatile std::sig_atomic_t reload_requested = 0;
volatile std::sig_atomic_t totals_requested = 0;

namespace {

void on_terminate(int) { service_running = 0; }
void on_hang_up(int) { reload_requested = 1; }
void on_user1(int) { totals_requested = 1; }

// Linux's ppoll reports ready descriptors ahead of a pending signal and
// blocks it again undelivered, so while connections keep coming a request
// would wait for ever. After such a wait the pending signals are let in here.
// A wait that found nothing ready has delivered them, or, for one that landed
// just as it timed out, leaves it pending for the next wait, which then ends
// at once.
void let_in_pending_signals(const sigset_t& wait_mask) {
    sigset_t pending;
    sigpending(&pending);
    if (!sigismember(&pending, SIGTERM) && !sigismember(&pending, SIGHUP) &&
        !sigismember(&pending, SIGUSR1))
        return;
    sigset_t blocked;
    sigprocmask(SIG_SETMASK, &wait_mask, &blocked);
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
}

}  // namespace

sigset_t install_signal_handlers() {
    const struct {
        int number;
        void (*handler)(int);
    } handlers[] = {{SIGTERM, on_terminate}, {SIGHUP, on_hang_up}, {SIGUSR1, on_user1}};
    sigset_t served;
    sigemptyset(&served);
    for (const auto& entry : handlers) {
        struct sigaction action {};
        action.sa_handler = entry.handler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: a signal must end the wait
        if (sigaction(entry.number, &action, nullptr) == -1) exit_with_errno();
        sigaddset(&served, entry.number);
    }
    sigset_t wait_mask;
    if (sigprocmask(SIG_BLOCK, &served, &wait_mask) == -1) exit_with_errno();
    for (const auto& entry : handlers) sigdelset(&wait_mask, entry.number);
    return wait_mask;
}

bool wait_for_work(int listener, bool watch_listener, int timeout_ms, const sigset_t& wait_mask) {
    pollfd entry{listener, POLLIN, 0};
    const nfds_t watched = watch_listener ? 1 : 0;
    emit_log(LOG_LEVEL_DEBUG, messages::TRACE_WAIT, static_cast<int>(watched), timeout_ms);
#ifdef MIREBOX_HAVE_PPOLL
    const timespec timeout{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
    const int ready = ppoll(&entry, watched, timeout_ms < 0 ? nullptr : &timeout, &wait_mask);
#else
    // Without ppoll the signals are let in just before poll: those pending
    // are delivered by the unblocking itself, and a request they made ends
    // the wait before it starts. One window stays: a signal that lands after
    // that test and before poll sleeps is served only when poll returns (the
    // next due client, connection or signal), as if it had come then.
    sigset_t blocked;
    sigprocmask(SIG_SETMASK, &wait_mask, &blocked);
    int ready = -1;
    errno = EINTR;
    if (service_running && !reload_requested && !totals_requested)
        ready = poll(&entry, watched, timeout_ms);
    const int saved_errno = errno;
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
    errno = saved_errno;
#endif
    emit_log(LOG_LEVEL_DEBUG, messages::WAIT_RESULT, ready);
    if (ready == -1) {
        if (errno != EINTR) exit_with_errno();
        emit_log(LOG_LEVEL_DEBUG, messages::INTERRUPTED);
        return false;
    }
    if (ready == 0) return false;
    let_in_pending_signals(wait_mask);
    return (entry.revents & POLLIN) != 0;
}

}  // namespace mirebox
