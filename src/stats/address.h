// Client addresses as the daemon writes them (inet_ntop's text), held as
// sixteen bytes so that a source costs the same whatever its family.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace mirebox::stats {

// A client's address as IPv6; IPv4 is held IPv4-mapped (::ffff:a.b.c.d), so
// an address seen both ways is one source. All zeros means unknown.
struct Address {
    std::uint8_t bytes[16];
};

// Takes the text inet_ntop wrote; false for anything else.
bool parse_address(std::string_view text, Address& address);
// IPv4-mapped addresses come out as plain IPv4.
std::string format_address(const Address& address);

// Both are on the path of every line: two word compares, no library call.
inline bool same_address(const Address& a, const Address& b) {
    std::uint64_t words_a[2], words_b[2];
    std::memcpy(words_a, a.bytes, 16);
    std::memcpy(words_b, b.bytes, 16);
    return words_a[0] == words_b[0] && words_a[1] == words_b[1];
}
inline bool is_unknown(const Address& address) {
    std::uint64_t words[2];
    std::memcpy(words, address.bytes, 16);
    return (words[0] | words[1]) == 0;
}

}  // namespace mirebox::stats
