// The key of the tables' hash, from the system's random source.
#include <stdlib.h>
#include <unistd.h>

#include "stats/hash.h"

namespace mirebox::stats {

HashKey random_hash_key() {
    std::uint64_t words[2] = {0, 0};
#if defined(MIREBOX_HAVE_ARC4RANDOM_BUF)
    // Never fails, and needs no descriptor.
    arc4random_buf(words, sizeof words);
#else
    // POSIX; fails only for more than 256 bytes. Were it to fail anyway, the
    // key would be the fixed zero one: slower against a chosen flood, never
    // wrong.
    if (getentropy(words, sizeof words) != 0) words[0] = words[1] = 0;
#endif
    return {words[0], words[1]};
}

}  // namespace mirebox::stats
