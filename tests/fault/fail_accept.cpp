// Preloaded into the daemon to make accept fail the way a kernel short of
// buffers or a packet filter does: the call fails and the connection stays
// queued, so the listener is still readable afterwards.
//   MIREBOX_ACCEPT_ERRNO      the errno to fail with, as a number
//   MIREBOX_ACCEPT_FAIL_FROM  the first call to fail, counted from 1 (default 1)
//   MIREBOX_ACCEPT_FAIL_COUNT how many calls fail from there (default: all)
//   MIREBOX_ACCEPT_FAIL_WHILE a path: calls fail only while it exists, so a
//                             test can end the failure by removing it
#include <sys/socket.h>
#include <sys/stat.h>

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>

namespace {

using AcceptCall = int (*)(int, sockaddr*, socklen_t*);

long number_from(const char* name, long otherwise) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::strtol(text, nullptr, 10) : otherwise;
}

bool should_fail(long call) {
    const long first = number_from("MIREBOX_ACCEPT_FAIL_FROM", 1);
    const long count = number_from("MIREBOX_ACCEPT_FAIL_COUNT", -1);
    if (call < first || (count >= 0 && call >= first + count)) return false;
    const char* path = std::getenv("MIREBOX_ACCEPT_FAIL_WHILE");
    struct stat status {};
    return path == nullptr || stat(path, &status) == 0;
}

long calls = 0;

}  // namespace

extern "C" int accept(int fd, sockaddr* address, socklen_t* length) {
    const int error = static_cast<int>(number_from("MIREBOX_ACCEPT_ERRNO", 0));
    if (error != 0 && should_fail(++calls)) {
        errno = error;
        return -1;
    }
    static const auto real = reinterpret_cast<AcceptCall>(dlsym(RTLD_NEXT, "accept"));
    return real(fd, address, length);
}
