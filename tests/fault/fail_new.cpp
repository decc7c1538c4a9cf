// Preloaded into the daemon to fail chosen allocations of client records.
// MIREBOX_FAIL_NEW lists the calls of the non-throwing operator new, counted
// from 1, that return null ("2,3" fails the second and third); the daemon
// allocates nothing else that way.
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

bool should_fail(long call) {
    const char* list = std::getenv("MIREBOX_FAIL_NEW");
    while (list != nullptr && *list != '\0') {
        char* end = nullptr;
        if (std::strtol(list, &end, 10) == call) return true;
        if (end == list) break;
        list = *end == ',' ? end + 1 : end;
    }
    return false;
}

long calls = 0;

}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (should_fail(++calls)) return nullptr;
    // Released by the ordinary operator delete, which frees with free().
    return std::malloc(size);
}
