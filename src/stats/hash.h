// A keyed hash for the tables whose keys a stranger chooses: client
// addresses (whoever holds an IPv6 /64 picks the low 64 bits of every
// address it connects from) and the host names a log server writes. Without a
// secret key, such keys can be picked to share one slot, and every lookup
// then walks all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace mirebox::stats {

struct HashKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

// Sixteen bytes from the system's random source, fresh for each call.
HashKey random_hash_key();

namespace sip {

inline std::uint64_t rotate(std::uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

struct State {
    std::uint64_t v0, v1, v2, v3;
};

inline void round(State& s) {
    s.v0 += s.v1;
    s.v1 = rotate(s.v1, 13);
    s.v1 ^= s.v0;
    s.v0 = rotate(s.v0, 32);
    s.v2 += s.v3;
    s.v3 = rotate(s.v3, 16);
    s.v3 ^= s.v2;
    s.v0 += s.v3;
    s.v3 = rotate(s.v3, 21);
    s.v3 ^= s.v0;
    s.v2 += s.v1;
    s.v1 = rotate(s.v1, 17);
    s.v1 ^= s.v2;
    s.v2 = rotate(s.v2, 32);
}

// A little-endian word, whatever the machine's order.
inline std::uint64_t word(const unsigned char* bytes) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::uint64_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return value;
#else
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
#endif
}

}  // namespace sip

// SipHash with `C` rounds for each word and `D` to finish.
template <int C, int D>
inline std::uint64_t siphash(const HashKey& key, const void* data, std::size_t size) {
    sip::State s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
                 key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
    const auto* bytes = static_cast<const unsigned char*>(data);
    const std::size_t whole = size - size % 8;
    const auto compress = [&s](std::uint64_t m) {
        s.v3 ^= m;
        for (int i = 0; i < C; ++i) sip::round(s);
        s.v0 ^= m;
    };
    for (std::size_t at = 0; at < whole; at += 8) compress(sip::word(bytes + at));
    std::uint64_t last = static_cast<std::uint64_t>(size) << 56;
    for (std::size_t i = 0; i < size % 8; ++i)
        last |= static_cast<std::uint64_t>(bytes[whole + i]) << (8 * i);
    compress(last);
    s.v2 ^= 0xff;
    for (int i = 0; i < D; ++i) sip::round(s);
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// SipHash-1-3: the rounds made for hash tables, where the key is secret and
// the output never leaves the process.
inline std::uint64_t keyed_hash(const HashKey& key, const void* data, std::size_t size) {
    return siphash<1, 3>(key, data, size);
}

// The same for sixteen bytes, an address, written out: it is on the path of
// every ACCEPT and CLOSE line.
inline std::uint64_t keyed_hash_16(const HashKey& key, const unsigned char (&bytes)[16]) {
    sip::State s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
                 key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
    const std::uint64_t words[] = {sip::word(bytes), sip::word(bytes + 8), std::uint64_t{16} << 56};
    for (const std::uint64_t m : words) {
        s.v3 ^= m;
        sip::round(s);
        s.v0 ^= m;
    }
    s.v2 ^= 0xff;
    sip::round(s);
    sip::round(s);
    sip::round(s);
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace mirebox::stats
