// Load generator for the tarpit benchmark: opens many loopback connections,
// reads every line they are sent, checks it and records when it came.
//
//   loadgen -p PORT -n CLIENTS [-r RATE] [-t HOLD_S] [-d DELAY_MS] [-l MAX_LINE]
//           [-a ADDRESSES] [-b BURST]
//
// Phases: ramp (open CLIENTS at RATE per second, spread over source addresses
// 127.0.0.1 .. 127.0.0.ADDRESSES), hold (HOLD_S seconds of reading), then an
// optional burst of BURST simultaneous connections, timed until the server's
// accept queue is empty again (Linux only). Markers "ramped" and "held" go to
// stdout as they happen; results follow as key=value lines.
#include <sys/resource.h>
#include <sys/socket.h>
#ifdef __linux__
#include <sys/epoll.h>
#endif

#include <arpa/inet.h>
#include <netinet/in.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int port = 2222;
    int clients = 1000;
    int rate = 2000;
    double hold_s = 20;
    int delay_ms = 1000;
    int max_line = 32;
    int addresses = 60;
    int burst = 0;
};

struct Connection {
    std::int64_t connected_us = 0;  // when connect() was called
    std::int64_t last_line_us = 0;  // arrival of the previous line, 0 before the first
    char partial[256];
    std::size_t partial_length = 0;
    bool open = false;
};

struct Results {
    std::int64_t lines = 0;
    std::int64_t hold_lines = 0;
    std::int64_t bytes = 0;
    std::int64_t invalid = 0;
    std::int64_t closed_by_server = 0;
    std::vector<std::int32_t> lateness_us;  // during the hold only
};

std::int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               Clock::now().time_since_epoch())
        .count();
}

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "loadgen: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

bool valid_line(const char* line, std::size_t length, int max_line) {
    if (length < 3 || length > static_cast<std::size_t>(max_line)) return false;
    if (line[length - 2] != '\r' || line[length - 1] != '\n') return false;
    for (std::size_t i = 0; i + 2 < length; ++i)
        if (line[i] < 0x20 || line[i] > 0x7E) return false;
    return !(length >= 4 && std::memcmp(line, "SSH-", 4) == 0);
}

// A readiness wait over every client socket: epoll where there is one,
// poll over the whole set elsewhere.
struct Waiter {
#ifdef __linux__
    int epoll = epoll_create1(0);
    void add(int fd) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == -1) die("epoll_ctl");
    }
    void remove(int fd) { epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr); }
    template <typename F>
    void wait(int timeout_ms, F&& ready) {
        epoll_event events[512];
        const int count = epoll_wait(epoll, events, 512, timeout_ms);
        for (int i = 0; i < count; ++i) ready(events[i].data.fd);
    }
#else
    std::vector<pollfd> fds;
    void add(int fd) { fds.push_back(pollfd{fd, POLLIN, 0}); }
    void remove(int fd) {
        for (auto& entry : fds)
            if (entry.fd == fd) entry.fd = -1;
    }
    template <typename F>
    void wait(int timeout_ms, F&& ready) {
        if (poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout_ms) <= 0) return;
        for (const auto& entry : fds)
            if (entry.fd >= 0 && entry.revents != 0) ready(entry.fd);
    }
#endif
};

int open_connection(const Options& options, int index) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd == -1) die("socket");
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(0x7F000001u + static_cast<std::uint32_t>(index % options.addresses));
    if (bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == -1) die("bind");
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(options.port));
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == -1 &&
        errno != EINPROGRESS)
        die("connect");
    return fd;
}

void read_lines(int fd, Connection& connection, const Options& options, Results& results,
                bool holding, Waiter& waiter) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0 || (got == -1 && errno != EAGAIN && errno != EINTR)) {
            ++results.closed_by_server;
            connection.open = false;
            waiter.remove(fd);
            close(fd);
            return;
        }
        if (got == -1) return;
        const std::int64_t arrived = now_us();
        results.bytes += got;
        for (ssize_t i = 0; i < got; ++i) {
            if (connection.partial_length < sizeof connection.partial)
                connection.partial[connection.partial_length] = buffer[i];
            ++connection.partial_length;
            if (buffer[i] != '\n') continue;
            const bool fits = connection.partial_length <= sizeof connection.partial;
            if (!fits || !valid_line(connection.partial, connection.partial_length, options.max_line))
                ++results.invalid;
            ++results.lines;
            const std::int64_t since =
                connection.last_line_us != 0 ? connection.last_line_us : connection.connected_us;
            if (holding) {
                ++results.hold_lines;
                results.lateness_us.push_back(
                    static_cast<std::int32_t>(arrived - since - options.delay_ms * 1000LL));
            }
            connection.last_line_us = arrived;
            connection.partial_length = 0;
        }
    }
}

// The accept queue of the server's listening socket, read from /proc; -1 when
// it cannot be found.
long accept_queue_length(int port) {
#ifdef __linux__
    for (const char* table : {"/proc/net/tcp6", "/proc/net/tcp"}) {
        std::ifstream file(table);
        std::string line;
        std::getline(file, line);
        while (std::getline(file, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues;
            fields >> slot >> local >> remote >> state >> queues;
            if (state != "0A") continue;
            const auto colon = local.rfind(':');
            if (std::stol(local.substr(colon + 1), nullptr, 16) != port) continue;
            return std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
        }
    }
#else
    (void)port;
#endif
    return -1;
}

double percentile(std::vector<std::int32_t>& values, double fraction) {
    if (values.empty()) return 0;
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return values[at] / 1000.0;
}

Options parse(int argc, char** argv) {
    Options options;
    int option = 0;
    while ((option = getopt(argc, argv, "p:n:r:t:d:l:a:b:")) != -1) {
        switch (option) {
            case 'p': options.port = std::atoi(optarg); break;
            case 'n': options.clients = std::atoi(optarg); break;
            case 'r': options.rate = std::atoi(optarg); break;
            case 't': options.hold_s = std::atof(optarg); break;
            case 'd': options.delay_ms = std::atoi(optarg); break;
            case 'l': options.max_line = std::atoi(optarg); break;
            case 'a': options.addresses = std::max(1, std::atoi(optarg)); break;
            case 'b': options.burst = std::atoi(optarg); break;
            default:
                std::fprintf(stderr, "usage: loadgen -p PORT -n CLIENTS [-r RATE] [-t HOLD_S] "
                                     "[-d DELAY_MS] [-l MAX_LINE] [-a ADDRESSES] [-b BURST]\n");
                std::exit(2);
        }
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    raise_descriptor_limit();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    std::vector<Connection> connections;
    Waiter waiter;
    Results results;
    auto track = [&](int fd) {
        if (static_cast<std::size_t>(fd) >= connections.size()) connections.resize(fd + 1024);
        connections[fd] = Connection{};
        connections[fd].connected_us = now_us();
        connections[fd].open = true;
        waiter.add(fd);
    };
    auto serve = [&](int timeout_ms, bool holding) {
        waiter.wait(timeout_ms, [&](int fd) {
            read_lines(fd, connections[fd], options, results, holding, waiter);
        });
    };

    // Ramp: connections at the set rate, reading all the while.
    const std::int64_t ramp_start = now_us();
    for (int opened = 0; opened < options.clients;) {
        const std::int64_t due = ramp_start + opened * 1000000LL / options.rate;
        if (now_us() >= due) {
            track(open_connection(options, opened));
            ++opened;
        } else {
            serve(static_cast<int>(std::max<std::int64_t>(0, (due - now_us()) / 1000)), false);
        }
    }
    // Settle: every client has had its first line before the hold is measured.
    const std::int64_t settle_end = now_us() + options.delay_ms * 1000LL + 200000;
    while (now_us() < settle_end) serve(50, false);

    std::printf("ramped\n");
    const std::int64_t hold_end = now_us() + static_cast<std::int64_t>(options.hold_s * 1e6);
    while (now_us() < hold_end) serve(50, true);
    std::printf("held\n");

    double burst_s = -1;
    if (options.burst > 0 && accept_queue_length(options.port) >= 0) {
        const std::int64_t burst_start = now_us();
        for (int i = 0; i < options.burst; ++i) track(open_connection(options, options.clients + i));
        // Done once every handshake of the burst has reached the queue and the
        // queue has been emptied by the server.
        while (now_us() - burst_start < 30000000) {
            serve(0, false);
            if (accept_queue_length(options.port) == 0) {
                burst_s = static_cast<double>(now_us() - burst_start) / 1e6;
                break;
            }
        }
    }

    std::int64_t held = 0;
    for (const Connection& connection : connections) held += connection.open ? 1 : 0;
    std::printf("opened=%d\n", options.clients + options.burst);
    std::printf("held=%" PRId64 "\n", held);
    std::printf("lines=%" PRId64 "\n", results.lines);
    std::printf("hold_lines=%" PRId64 "\n", results.hold_lines);
    std::printf("bytes=%" PRId64 "\n", results.bytes);
    std::printf("invalid=%" PRId64 "\n", results.invalid);
    std::printf("closed_by_server=%" PRId64 "\n", results.closed_by_server);
    std::printf("late_p50_ms=%.2f\n", percentile(results.lateness_us, 0.50));
    std::printf("late_p99_ms=%.2f\n", percentile(results.lateness_us, 0.99));
    std::printf("late_max_ms=%.2f\n", percentile(results.lateness_us, 1.0));
    std::printf("burst_accept_s=%.3f\n", burst_s);
    return 0;
}
