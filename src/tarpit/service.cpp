#include <sys/resource.h>
#include <sys/socket.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include "diagnostics/diagnostics.h"
#include "diagnostics/messages.h"
#include "tarpit/tarpit.h"

namespace mirebox {
namespace {

// After an accept failure that leaves its connection queued (no buffers, a
// packet filter), the listener rests this long: a lasting failure then costs
// ten warnings a second instead of a loop spinning on it, and a passing one
// delays newcomers, who wait Delay for their first line anyway, by a tenth
// of a second at most.
constexpr std::int64_t LISTENER_REST_MS = 100;

// Each held client costs a descriptor, and many systems start daemons with a
// soft limit of 1024, below the default MaxClients. The daemon never uses
// select(), so it can take all the hard limit allows; a low hard limit still
// ends in the EMFILE lowering of MaxClients.
void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == -1 || limit.rlim_cur == limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    const int raised = setrlimit(RLIMIT_NOFILE, &limit);
    emit_log(LOG_LEVEL_DEBUG, messages::TRACE_DESCRIPTOR_LIMIT,
             static_cast<std::uintmax_t>(limit.rlim_max), raised);
    if (raised == -1)
        emit_log(LOG_LEVEL_DEBUG, messages::ERROR_NUMBER, errno, std::strerror(errno));
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

// What one accept came to: a client held, a connection gone (closed, or used
// up by its failure), or a failure that left its connection queued, which
// tried again at once would fail again at once, so the listener rests.
enum class AcceptResult { admitted, dropped, left_queued };

// Failures of accept that concern one connection, not the daemon: each is
// warned of, and the loop goes on.
bool is_transient_accept_error(int error) {
    switch (error) {
        case EINTR:
        case ENOMEM:
        case ECONNABORTED:
        case ENOBUFS:
        case EPROTO:
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

// No buffers or memory for it yet, or a packet filter refusing it (Linux).
// Every other failure has used up its connection, so resting after it would
// only slow the next, good one.
bool leaves_connection_queued(int error) {
    return error == ENOBUFS || error == ENOMEM || error == EPERM;
}

AcceptResult accept_failed(int error, const ClientQueue& queue, Settings& settings) {
    // The listener does not block, and a ready wait followed by EAGAIN only
    // means the connection went away meanwhile (FreeBSD drops one reset in
    // the queue): a scanner's habit, not a problem, so only traced.
    if (error == EAGAIN || error == EWOULDBLOCK) {
        emit_log(LOG_LEVEL_DEBUG, messages::ERROR_NUMBER, error, std::strerror(error));
        return AcceptResult::dropped;
    }
    if (error == EMFILE || error == ENFILE) {
        // Stop watching the listener until a held client leaves; pending
        // connections wait in the backlog instead of being refused. With
        // nobody held no client will ever leave, and a limit of 0 would make
        // the daemon deaf for good: it rests and tries again instead, as
        // after a shortage of buffers.
        if (queue.count == 0) {
            warn(std::strerror(error));
            return AcceptResult::left_queued;
        }
        settings.MaxClients = queue.count;
        emit_log(LOG_LEVEL_INFO, messages::MAX_CLIENTS, queue.count);
        return AcceptResult::dropped;
    }
    if (!is_transient_accept_error(error)) {
        errno = error;
        exit_with_errno();
    }
    warn(std::strerror(error));
    return leaves_connection_queued(error) ? AcceptResult::left_queued : AcceptResult::dropped;
}

AcceptResult accept_client(int listener, ClientQueue& queue, Settings& settings) {
    const int fd = accept(listener, nullptr, nullptr);
    emit_log(LOG_LEVEL_DEBUG, messages::TRACE_ACCEPT, fd);
    ++totals.connects;
    if (fd == -1) return accept_failed(errno, queue, settings);
    Client* client = admit_client(fd, settings.Delay);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (client == nullptr) {
        warn(messages::OUT_OF_MEMORY);
        close(fd);
        return AcceptResult::dropped;
    }
    queue_append(queue, client);
    log_accept(client, queue.count, settings.MaxClients);
    return AcceptResult::admitted;
}

// What is left of the listener's rest after a failed accept, or 0 once it is
// over. A clock set back makes the rest look longer than it can be: it is
// over then too.
std::int64_t rest_left_ms(std::int64_t rest_until_ms) {
    if (rest_until_ms == 0) return 0;
    const std::int64_t left = rest_until_ms - wall_clock_ms();
    return left > 0 && left <= LISTENER_REST_MS ? left : 0;
}

}  // namespace

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
    std::int64_t rest_until_ms = 0;  // while the listener rests after a failed accept
    while (service_running) {
        if (reload_requested) reload_settings(settings, config_path, listener);
        if (totals_requested) serve_totals_request(queue);
        int timeout_ms = serve_due_clients(queue, settings, random_state);
        // A resting listener is left out of the wait, which then ends no
        // later than the rest, even with nobody held to bound it.
        const std::int64_t rest_ms = rest_left_ms(rest_until_ms);
        if (rest_ms == 0) rest_until_ms = 0;
        else if (timeout_ms < 0 || timeout_ms > rest_ms) timeout_ms = static_cast<int>(rest_ms);
        const bool watch_listener = rest_ms == 0 && queue.count < settings.MaxClients;
        if (wait_for_work(listener, watch_listener, timeout_ms, wait_mask) &&
            accept_client(listener, queue, settings) == AcceptResult::left_queued)
            rest_until_ms = wall_clock_ms() + LISTENER_REST_MS;
    }

    while (queue.head != nullptr) release_client(queue_pop(queue));
    log_totals(nullptr);
    close_log_sink();
    return 0;
}

}  // namespace mirebox
