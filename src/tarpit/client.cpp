#include <sys/socket.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "diagnostics/diagnostics.h"
#include "diagnostics/messages.h"
#include "tarpit/tarpit.h"

namespace mirebox {

Totals totals;

Client* admit_client(int fd, std::int32_t delay_ms) {
    // Two readings of the clock: the first line falls due Delay after the
    // accept, however long the allocation took, while the time held counts
    // from the moment the record exists.
    const std::int64_t accepted_ms = wall_clock_ms();
    // malloc, not new: the daemon needs nothing but the C library.
    auto* client = static_cast<Client*>(std::malloc(sizeof(Client)));
    if (client == nullptr) return nullptr;
    *client = Client{};
    client->connected_ms = wall_clock_ms();
    client->next_send_ms = accepted_ms + delay_ms;
    client->fd = fd;

    // The daemon never reads, so the smallest receive buffer the kernel
    // allows keeps a flooding client from costing memory.
    const int one = 1;
    const int shrunk = setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &one, sizeof one);
    emit_log(LOG_LEVEL_DEBUG, messages::TRACE_RECEIVE_BUFFER, fd, one, shrunk);
    if (shrunk == -1)
        emit_log(LOG_LEVEL_DEBUG, messages::ERROR_NUMBER, errno, std::strerror(errno));

    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0) {
        if (peer.ss_family == AF_INET) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer);
            client->port = ntohs(v4->sin_port);
            inet_ntop(AF_INET, &v4->sin_addr, client->host, sizeof client->host);
        } else {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&peer);
            client->port = ntohs(v6->sin6_port);
            inet_ntop(AF_INET6, &v6->sin6_addr, client->host, sizeof client->host);
        }
    }
    return client;
}

SendResult send_banner_line(Client* client, std::int32_t max_line_length, std::uint64_t& state) {
    char line[BANNER_BUFFER_SIZE];
    const std::size_t length = make_banner_line(line, max_line_length, state);
    for (;;) {
        const ssize_t written = write(client->fd, line, length);
        emit_log(LOG_LEVEL_DEBUG, messages::TRACE_WRITE, client->fd, static_cast<int>(written));
        if (written != -1) {
            // A short write is not completed: the client gets a fresh line next time.
            client->bytes += written;
            totals.bytes += written;
            return SendResult::kept;
        }
        if (errno == EINTR) continue;
        // A client whose buffer is full is still held; this line is dropped.
        if (errno == EAGAIN || errno == EWOULDBLOCK) return SendResult::kept;
        release_client(client);
        return SendResult::released;
    }
}

void log_accept(const Client* client, std::int32_t held, std::int32_t limit) {
    emit_log(LOG_LEVEL_INFO, messages::ACCEPT, client->host, client->port, client->fd, held, limit);
}

void release_client(Client* client) {
    emit_log(LOG_LEVEL_DEBUG, messages::TRACE_CLOSE, client->fd);
    const std::int64_t held_ms = wall_clock_ms() - client->connected_ms;
    emit_log(LOG_LEVEL_INFO, messages::CLOSE, client->host, client->port, client->fd,
             held_ms / 1000, held_ms % 1000, client->bytes);
    totals.held_ms += held_ms;
    close(client->fd);
    std::free(client);
}

void log_totals(const Client* first) {
    std::int64_t held_ms = totals.held_ms;
    const std::int64_t now = wall_clock_ms();
    for (const Client* client = first; client != nullptr; client = client->next)
        held_ms += now - client->connected_ms;
    emit_log(LOG_LEVEL_INFO, messages::TOTALS, totals.connects, held_ms / 1000, held_ms % 1000,
             totals.bytes);
}

}  // namespace mirebox
