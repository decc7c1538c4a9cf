// Preloaded into the daemon to fail chosen allocations of client records.
// MIREBOX_FAIL_MALLOC lists the daemon's own calls of malloc, counted from 1,
// that return null ("2,3" fails the second and third). Calls that libraries
// make for themselves (stdio buffers, say) are neither counted nor failed, so
// the count is the daemon's: client records are all it allocates. calloc
// counts as malloc, since a compiler may turn malloc and a zeroing into it.
// Built with glibc only, whose own allocator it calls by name.
#include <sys/auxv.h>

#include <dlfcn.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);

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

// Whether the call comes from the program itself, found by the address it
// returns to: the C library, the loader and any other library allocate for
// themselves, and calls of theirs would shift the count. dladdr and
// getauxval allocate nothing, so they are safe inside malloc.
bool from_the_program(const void* caller) {
    static const void* program = nullptr;
    Dl_info info{};
    if (program == nullptr &&
        dladdr(reinterpret_cast<const void*>(getauxval(AT_PHDR)), &info) != 0)
        program = info.dli_fbase;
    return dladdr(caller, &info) != 0 && info.dli_fbase == program;
}

long calls = 0;

}  // namespace

extern "C" void* malloc(std::size_t size) {
    if (from_the_program(__builtin_return_address(0)) && should_fail(++calls)) return nullptr;
    return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size) {
    if (from_the_program(__builtin_return_address(0)) && should_fail(++calls)) return nullptr;
    return __libc_calloc(count, size);
}
