// Preloaded into the daemon to fail chosen allocations of client records.
// MIREBOX_FAIL_MALLOC lists the daemon's own calls of malloc, counted from 1,
// that return null ("2,3" fails the second and third). Calls the C library
// makes for itself (stdio buffers, say) are neither counted nor failed, so
// the count is the daemon's: client records are all it allocates. Built
// with glibc only, whose own malloc it calls by name.
#include <dlfcn.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

extern "C" void* __libc_malloc(std::size_t size);

namespace {

bool should_fail(long call) {
    const char* list = std::getenv("MIREBOX_FAIL_MALLOC");
    while (list != nullptr && *list != '\0') {
        char* end = nullptr;
        if (std::strtol(list, &end, 10) == call) return true;
        if (end == list) break;
        list = *end == ',' ? end + 1 : end;
    }
    return false;
}

// Whether the call comes from the C library itself, found by the address it
// returns to. dladdr allocates nothing, so it is safe inside malloc.
bool from_the_c_library(const void* caller) {
    static const void* c_library = nullptr;
    Dl_info info{};
    if (c_library == nullptr && dladdr(reinterpret_cast<void*>(&std::getenv), &info) != 0)
        c_library = info.dli_fbase;
    return dladdr(caller, &info) != 0 && info.dli_fbase == c_library;
}

long calls = 0;

}  // namespace

extern "C" void* malloc(std::size_t size) {
    if (!from_the_c_library(__builtin_return_address(0)) && should_fail(++calls)) return nullptr;
    return __libc_malloc(size);
}
