#include <sys/resource.h>
#include <sys/socket.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>

#include "diagnostics/diagnostics.h"
#include "tarpit/tarpit.h"

namespace mirebox {

volatile std::sig_atomic_t reload_requested = 0;

namespace {

// Set only by the signal handlers; the loop clears a request once served.
volatile std::sig_atomic_t service_running = 1;
volatile std::sig_atomic_t totals_requested = 0;

// After an accept failure that leaves its connection queued (no buffers, a
// packet filter), the listener rests this long: a lasting failure then costs
// ten warnings a second instead of a loop spinning on it, and a passing one
// delays newcomers, who wait Delay for their first line anyway, by a tenth
// of a second at most.
constexpr std::int64_t LISTENER_REST_MS = 100;

void on_terminate(int) { service_running = 0; }
void on_hang_up(int) { reload_requested = 1; }
void on_user1(int) { totals_requested = 1; }

// The three signals stay blocked everywhere but inside the wait, so one that
// arrives after a pass has looked at the flags still cuts the next wait short.
// Returns the mask to wait with.
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

// Each held client costs a descriptor, and many systems start daemons with a
// soft limit of 1024, below the default MaxClients. The daemon never uses
// select(), so it can take all the hard limit allows; a low hard limit still
// ends in the EMFILE lowering of MaxClients.
void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == -1 || limit.rlim_cur == limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    const int raised = setrlimit(RLIMIT_NOFILE, &limit);
    emit_log(LOG_LEVEL_DEBUG, "setrlimit(RLIMIT_NOFILE, %ju) = %d",
             static_cast<std::uintmax_t>(limit.rlim_max), raised);
    if (raised == -1) emit_log(LOG_LEVEL_DEBUG, "errno = %d, %s", errno, std::strerror(errno));
}

// Linux's ppoll reports ready descriptors ahead of a pending signal and
// blocks it again undelivered, so while connections keep coming a stop
// request would wait for ever. After such a wait the pending signals are let
// in here. A wait that found nothing ready has delivered them, or, for one
// that landed just as it timed out, leaves it pending for the next wait,
// which then ends at once.
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

// A SIGUSR1 that came while the totals were being logged is answered by
// them; left pending it would log a second line at once.
void absorb_pending_totals_request() {
    sigset_t user1;
    sigemptyset(&user1);
    sigaddset(&user1, SIGUSR1);
    const timespec no_wait{0, 0};
    sigtimedwait(&user1, nullptr, &no_wait);
}

// Sends a line to every due client and returns how long the wait may last:
// until the head is due, or -1 for no limit when nobody is held.
int serve_due_clients(ClientQueue& queue, const Settings& settings, std::uint64_t& random_state) {
    const std::int64_t now = wall_clock_ms();
    while (queue.head != nullptr) {
        const std::int64_t ahead = queue.head->next_send_ms - now;
        // A clock set far back can put the head beyond what poll can wait;
        // waking early just means computing the wait again.
        if (ahead > 0) return ahead > INT_MAX ? INT_MAX : static_cast<int>(ahead);
        Client* client = queue_pop(queue);
        if (send_banner_line(client, settings.MaxLineLength, random_state) == SendResult::kept) {
            client->next_send_ms = now + settings.Delay;
            queue_append(queue, client);
        }
    }
    return -1;
}

// Waits for the head's due time, a connection or a signal. Returns true when
// the listener has a connection to accept.
bool wait_for_work(int listener, bool watch_listener, int timeout_ms, const sigset_t& wait_mask) {
    pollfd entry{listener, POLLIN, 0};
    const nfds_t watched = watch_listener ? 1 : 0;
    emit_log(LOG_LEVEL_DEBUG, "poll(%d, %d)", static_cast<int>(watched), timeout_ms);
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
    emit_log(LOG_LEVEL_DEBUG, "= %d", ready);
    if (ready == -1) {
        if (errno != EINTR) exit_with_errno();
        emit_log(LOG_LEVEL_DEBUG, "EINTR");
        return false;
    }
    if (ready == 0) return false;
    let_in_pending_signals(wait_mask);
    return (entry.revents & POLLIN) != 0;
}

// Failures of accept that concern one connection, not the daemon.
bool is_transient_accept_error(int error) {
    switch (error) {
        case EINTR:
        case ENOMEM:
        case ECONNABORTED:
        case ENOBUFS:
        case EPROTO:
        case EAGAIN:  // the peer left between poll and accept
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
#ifdef __linux__
        // Linux hands on the new connection's pending network errors, and
        // EPERM when a firewall rule refuses it.
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case EPERM:
#endif
            return true;
        default:
            return false;
    }
}

// Failures that leave the connection in the queue: no buffers or memory for
// it yet, or a packet filter refusing it (Linux). Tried again at once they
// fail again at once. Every other failure has used up its connection, so
// resting after it would only slow the next, good one.
bool leaves_connection_queued(int error) {
    return error == ENOBUFS || error == ENOMEM || error == EPERM;
}

// Returns false when the listener should rest: a failure left its
// connection queued.
bool accept_client(int listener, ClientQueue& queue, Settings& settings) {
    const int fd = accept(listener, nullptr, nullptr);
    emit_log(LOG_LEVEL_DEBUG, "accept() = %d", fd);
    ++totals.connects;
    if (fd == -1) {
        const int error = errno;
        if (error == EMFILE || error == ENFILE) {
            // Stop watching the listener until a held client leaves; pending
            // connections wait in the backlog instead of being refused. With
            // nobody held this is 0, below any value a setting may have, and
            // only a reload that sets MaxClients brings the listener back: any
            // retry of our own would either spin on EMFILE or need a timer
            // and a guess of when descriptors come free.
            settings.MaxClients = queue.count;
            emit_log(LOG_LEVEL_INFO, "MaxClients %d", queue.count);
            return true;
        }
        // errno is still accept's: the trace above keeps it.
        if (!is_transient_accept_error(error)) exit_with_errno();
        warn(std::strerror(error));
        return !leaves_connection_queued(error);
    }
    Client* client = admit_client(fd, settings.Delay);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (client == nullptr) {
        warn("out of memory");
        close(fd);
        return true;
    }
    queue_append(queue, client);
    emit_log(LOG_LEVEL_INFO, "ACCEPT host=%s port=%d fd=%d n=%d/%d", client->host, client->port,
             client->fd, queue.count, settings.MaxClients);
    return true;
}

// While the listener rests after a failed accept it is left out of the wait,
// and the wait ends no later than the rest does. A clock set back makes the
// rest look longer than it can be: it is over then.
bool listener_rests(std::int64_t& rest_until_ms, int& timeout_ms) {
    if (rest_until_ms == 0) return false;
    const std::int64_t left = rest_until_ms - wall_clock_ms();
    if (left <= 0 || left > LISTENER_REST_MS) {
        rest_until_ms = 0;
        return false;
    }
    if (timeout_ms < 0 || timeout_ms > left) timeout_ms = static_cast<int>(left);
    return true;
}

}  // namespace

void log_settings(const Settings& settings) {
    emit_log(LOG_LEVEL_INFO, "Port %d", settings.Port);
    emit_log(LOG_LEVEL_INFO, "Delay %" PRId64, static_cast<std::int64_t>(settings.Delay));
    emit_log(LOG_LEVEL_INFO, "MaxLineLength %d", settings.MaxLineLength);
    emit_log(LOG_LEVEL_INFO, "MaxClients %d", settings.MaxClients);
    const char* family = settings.BindFamily == AF_INET    ? "IPv4 Only"
                         : settings.BindFamily == AF_INET6 ? "IPv6 Only"
                                                           : "IPv4 Mapped IPv6";
    emit_log(LOG_LEVEL_INFO, "BindFamily %s", family);
}

int run_service(Settings& settings, const char* config_path, const char* program_path) {
    open_log_sink(program_path);
    log_settings(settings);
    // A write to a vanished client must fail with EPIPE, not end the daemon.
    std::signal(SIGPIPE, SIG_IGN);
    const sigset_t wait_mask = install_signal_handlers();
    std::uint64_t random_state = static_cast<std::uint64_t>(wall_clock_ms());
    raise_descriptor_limit();
    int listener = open_listener(settings.Port, settings.BindFamily);

    ClientQueue queue;
    std::int64_t rest_until_ms = 0;  // 0: the listener is not resting
    while (service_running) {
        if (reload_requested) reload_settings(settings, config_path, listener);
        if (totals_requested) {
            log_totals(queue.head);
            totals_requested = 0;
            absorb_pending_totals_request();
        }
        int timeout_ms = serve_due_clients(queue, settings, random_state);
        const bool watch_listener =
            !listener_rests(rest_until_ms, timeout_ms) && queue.count < settings.MaxClients;
        if (wait_for_work(listener, watch_listener, timeout_ms, wait_mask) &&
            !accept_client(listener, queue, settings))
            rest_until_ms = wall_clock_ms() + LISTENER_REST_MS;
    }

    while (queue.head != nullptr) release_client(queue_pop(queue));
    log_totals(nullptr);
    close_log_sink();
    return 0;
}

}  // namespace mirebox
