#include <cstdint>

#include <gtest/gtest.h>

#include "stats/hash.h"

namespace mirebox::stats {
namespace {

TEST(KeyedHash, IsSipHash) {
    // The reference vectors of SipHash-2-4 (key 00..0f, message 00..0e),
    // which shares all but its round counts with the SipHash-1-3 in use.
    const HashKey key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
    unsigned char message[15];
    for (unsigned char i = 0; i < sizeof message; ++i) message[i] = i;
    EXPECT_EQ((siphash<2, 4>(key, message, 0)), 0x726fdb47dd0e0e31ULL);
    EXPECT_EQ((siphash<2, 4>(key, message, 1)), 0x74f839c593dc67fdULL);
    EXPECT_EQ((siphash<2, 4>(key, message, 15)), 0xa129ca6149be45e5ULL);
    // The sixteen-byte form agrees with the general one.
    unsigned char address[16];
    for (unsigned char i = 0; i < sizeof address; ++i)
        address[i] = static_cast<unsigned char>(i * 7);
    EXPECT_EQ(keyed_hash_16(key, address), keyed_hash(key, address, sizeof address));
}

}  // namespace
}  // namespace mirebox::stats
