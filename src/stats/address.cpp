// Client addresses as the daemon writes them (inet_ntop's text), held as
// sixteen bytes so that a source costs the same whatever its family.
#include <sys/socket.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <string>
#include <string_view>

#include "stats/address.h"

namespace mirebox::stats {

namespace {

constexpr std::uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool is_mapped(const Address& address) {
    return std::memcmp(address.bytes, MAPPED_PREFIX, sizeof MAPPED_PREFIX) == 0;
}

}  // namespace

bool parse_address(std::string_view text, Address& address) {
    char buffer[INET6_ADDRSTRLEN];
    // inet_pton would stop at a NUL and take "::1\0junk" for ::1.
    if (text.empty() || text.size() >= sizeof buffer ||
        text.find('\0') != std::string_view::npos)
        return false;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    in_addr v4{};
    if (inet_pton(AF_INET, buffer, &v4) == 1) {
        std::memcpy(address.bytes, MAPPED_PREFIX, sizeof MAPPED_PREFIX);
        std::memcpy(address.bytes + 12, &v4, 4);
        return true;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, buffer, &v6) != 1) return false;
    std::memcpy(address.bytes, &v6, 16);
    return true;
}

std::string format_address(const Address& address) {
    char buffer[INET6_ADDRSTRLEN] = "";
    if (is_mapped(address)) {
        in_addr v4{};
        std::memcpy(&v4, address.bytes + 12, 4);
        inet_ntop(AF_INET, &v4, buffer, sizeof buffer);
    } else {
        in6_addr v6{};
        std::memcpy(&v6, address.bytes, 16);
        inet_ntop(AF_INET6, &v6, buffer, sizeof buffer);
    }
    return buffer;
}

}  // namespace mirebox::stats
