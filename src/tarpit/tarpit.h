// The tarpit proper: held clients, the lines they are sent, the listening
// socket and the one loop that ties them together.
#pragma once

#include <netinet/in.h>

#include <signal.h>

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "settings/settings.h"

namespace mirebox {

// One held connection. Allocated by admit_client, freed only by release_client.
struct Client {
    char host[INET6_ADDRSTRLEN];   // peer address, empty when unknown
    std::int64_t connected_ms;
    std::int64_t next_send_ms;
    std::int64_t bytes;            // written to this client so far
    Client* next;                  // the following record in the queue
    std::int32_t port;             // peer port, 0 when unknown
    std::int32_t fd;
};

// Intrusive FIFO of clients in the order they were last appended; with a
// fixed Delay that is also the order of their due times.
struct ClientQueue {
    Client* head = nullptr;
    Client* tail = nullptr;
    std::int32_t count = 0;
};

struct Totals {
    std::int64_t connects = 0;  // accept calls, failed ones included
    std::int64_t held_ms = 0;   // connection time of released clients
    std::int64_t bytes = 0;     // written to all clients
};

extern Totals totals;

// Set only by the signal handlers; the loop clears a request once served.
extern volatile std::sig_atomic_t service_running;
extern volatile std::sig_atomic_t reload_requested;   // the reload clears it
extern volatile std::sig_atomic_t totals_requested;

inline constexpr std::size_t BANNER_BUFFER_SIZE = 256;

enum class SendResult { kept, released };

// REQUIRES: client->next is null.
void queue_append(ClientQueue& queue, Client* client);
// REQUIRES: the queue is not empty.
Client* queue_pop(ClientQueue& queue);

// One step of the line generator: a value from 0 to 65535.
std::uint32_t draw_random(std::uint64_t& state);
// REQUIRES: 3 <= max_line_length <= 255. Returns the line's length, CR LF included.
std::size_t make_banner_line(char (&buffer)[BANNER_BUFFER_SIZE], std::int32_t max_line_length,
                             std::uint64_t& state);

// Returns null when no record could be made; the caller owns fd then.
Client* admit_client(int fd, std::int32_t delay_ms);
// The ACCEPT line of a client just queued, held clients counting it.
void log_accept(const Client* client, std::int32_t held, std::int32_t limit);
SendResult send_banner_line(Client* client, std::int32_t max_line_length, std::uint64_t& state);
// REQUIRES: client is out of the queue (or the whole queue is being discarded).
void release_client(Client* client);
// first: a chain of clients still held, whose time so far is counted too.
void log_totals(const Client* first);

// Installs the handlers of SIGTERM, SIGHUP and SIGUSR1 and blocks the three
// outside the wait. Returns the mask to wait with.
sigset_t install_signal_handlers();
// The two requests the signals make, served at the start of a pass.
// Re-reads config_path leniently and moves the listener if Port or BindFamily
// changed; clears the reload request when done.
void reload_settings(Settings& settings, const char* config_path, int& listener);
// Logs the TOTALS line and clears the request.
void serve_totals_request(const ClientQueue& queue);
// Waits for the head's due time (-1: no limit), a connection or a signal,
// with the signals let in. Returns true when the listener has a connection
// to accept.
bool wait_for_work(int listener, bool watch_listener, int timeout_ms, const sigset_t& wait_mask);

// A listening TCP socket on the wildcard address; never returns on failure.
int open_listener(std::int32_t port, std::int32_t family);

// The daemon proper, from opening the log to the orderly stop. Returns 0.
int run_service(Settings& settings, const char* config_path, const char* program_path);

}  // namespace mirebox
