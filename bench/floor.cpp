// The floor of the job, for the benchmark: a tarpit that does only the work
// no tarpit can avoid. It accepts, shrinks the receive buffer, and writes one
// fixed line to each due client from a FIFO, waiting on the listener alone
// until the head is due. No settings, no log, no random lines.
//
//   floor PORT DELAY_MS
#include <sys/resource.h>
#include <sys/socket.h>

#include <netinet/in.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

struct Client {
    std::int64_t due_ms;
    Client* next;
    int fd;
};

// As long as the daemon's average line with its default length.
constexpr char LINE[] = "floor-line-16b\r\n";

std::int64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: floor PORT DELAY_MS\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::int64_t delay = std::atoi(argv[2]);
    std::signal(SIGPIPE, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    const int listener = socket(AF_INET6, SOCK_STREAM, 0);
    const int yes = 1, no = 0, one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<std::uint16_t>(port));
    address.sin6_addr = in6addr_any;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1 ||
        listen(listener, 4096) == -1) {
        std::perror("floor: listen");
        return 1;
    }
    fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);

    Client* head = nullptr;
    Client* tail = nullptr;
    for (;;) {
        const std::int64_t now = now_ms();
        int timeout = -1;
        while (head != nullptr) {
            if (head->due_ms > now) {
                timeout = static_cast<int>(head->due_ms - now);
                break;
            }
            Client* client = head;
            head = client->next;
            if (head == nullptr) tail = nullptr;
            client->next = nullptr;
            if (write(client->fd, LINE, sizeof LINE - 1) == -1 && errno != EAGAIN) {
                close(client->fd);
                delete client;
                continue;
            }
            client->due_ms = now + delay;
            (tail != nullptr ? tail->next : head) = client;
            tail = client;
        }
        pollfd entry{listener, POLLIN, 0};
        if (poll(&entry, 1, timeout) <= 0 || (entry.revents & POLLIN) == 0) continue;
        const int fd = accept(listener, nullptr, nullptr);
        if (fd == -1) continue;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &one, sizeof one);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        auto* client = new Client{now_ms() + delay, nullptr, fd};
        (tail != nullptr ? tail->next : head) = client;
        tail = client;
    }
}
