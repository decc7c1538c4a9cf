#include <cstring>

#include "tarpit/tarpit.h"

namespace mirebox {

std::uint32_t draw_random(std::uint64_t& state) {
    state = state * 1103515245u + 12345u;
    return static_cast<std::uint32_t>(state) >> 16;
}

std::size_t make_banner_line(char (&buffer)[BANNER_BUFFER_SIZE], std::int32_t max_line_length,
                             std::uint64_t& state) {
    const std::size_t last = draw_random(state) % static_cast<std::uint32_t>(max_line_length - 2);
    for (std::size_t i = 0; i <= last; ++i)
        buffer[i] = static_cast<char>(32 + draw_random(state) % 95);
    buffer[last + 1] = '\r';
    buffer[last + 2] = '\n';
    // A line starting "SSH-" would be taken for the version line and end the
    // client's wait.
    if (last >= 3 && std::memcmp(buffer, "SSH-", 4) == 0) buffer[0] = 'X';
    return last + 3;
}

}  // namespace mirebox
