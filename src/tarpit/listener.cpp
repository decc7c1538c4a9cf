#include <sys/socket.h>

#include <netinet/in.h>

#include <fcntl.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "diagnostics/diagnostics.h"
#include "diagnostics/messages.h"
#include "tarpit/tarpit.h"

namespace mirebox {
namespace {

// Best effort: the daemon can serve without it, so a refusal is only traced.
// The trace reads "true" whatever the value: it names the option that was
// set, and IPV6_V6ONLY is set to 0 for the dual-stack socket.
void set_option(int fd, int level, int name, const char* label, int value) {
    const int result = setsockopt(fd, level, name, &value, sizeof value);
    emit_log(LOG_LEVEL_DEBUG, messages::TRACE_OPTION, fd, label, result);
    if (result == -1)
        emit_log(LOG_LEVEL_DEBUG, messages::ERROR_NUMBER, errno, std::strerror(errno));
}

}  // namespace

int open_listener(std::int32_t port, std::int32_t family) {
    const int fd = socket(family == AF_INET ? AF_INET : AF_INET6, SOCK_STREAM, 0);
    emit_log(LOG_LEVEL_DEBUG, messages::TRACE_SOCKET, fd);
    if (fd == -1) exit_with_errno();

    set_option(fd, SOL_SOCKET, SO_REUSEADDR, "SO_REUSEADDR", 1);
    if (family != AF_INET) {
        // Family 0 is one socket for both protocols, IPv4 peers arriving as
        // IPv4-mapped addresses; the platform's default differs, so set it.
        // errno is cleared first: should a system refuse the option without
        // setting errno, the trace then shows 0, not a stale reason left by
        // one of the calls above.
        errno = 0;
        set_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, "IPV6_V6ONLY", family == AF_INET6 ? 1 : 0);
    }

    int bound = -1;
    const auto network_port = htons(static_cast<std::uint16_t>(port));
    if (family == AF_INET) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = network_port;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = network_port;
        address.sin6_addr = in6addr_any;
        bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    emit_log(LOG_LEVEL_DEBUG, messages::TRACE_BIND, fd, port, bound);
    if (bound == -1) exit_with_errno();

    // The system lowers the backlog to its own limit.
    const int listening = listen(fd, INT_MAX);
    emit_log(LOG_LEVEL_DEBUG, messages::TRACE_LISTEN, fd, listening);
    if (listening == -1) exit_with_errno();

    // Non-blocking, so a connection that vanishes between poll and accept
    // costs a failed accept instead of stalling every due client.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

}  // namespace mirebox
