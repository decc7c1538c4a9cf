#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tarpit/tarpit.h"

namespace mirebox {
namespace {

std::string next_line(std::uint64_t& state, std::int32_t max_line_length) {
    char buffer[BANNER_BUFFER_SIZE];
    const std::size_t length = make_banner_line(buffer, max_line_length, state);
    return std::string(buffer, length);
}

TEST(DrawRandom, StartsFromZeroAndStaysWithinSixteenBits) {
    std::uint64_t state = 0;
    EXPECT_EQ(draw_random(state), 0u);
    EXPECT_EQ(state, 12345u);
    // Only the low 32 bits may influence the output.
    std::uint64_t high = 0xFFFFFFFF00000000u;
    std::uint64_t low = 0;
    for (int i = 0; i < 1000; ++i) {
        const std::uint32_t value = draw_random(high);
        ASSERT_EQ(value, draw_random(low));
        ASSERT_LE(value, 65535u);
    }
}

TEST(BannerLine, KnownLinesFromStateZero) {
    std::uint64_t state = 0;
    EXPECT_EQ(next_line(state, 32), "v\r\n");
    EXPECT_EQ(next_line(state, 32), "fn*ueRR\r\n");
}

TEST(BannerLine, StaysWithinBoundsAtEveryLength) {
    for (const std::int32_t max : {3, 4, 32, 254, 255}) {
        SCOPED_TRACE(max);
        std::uint64_t state = 7;
        std::size_t longest = 0;
        for (int i = 0; i < 20000; ++i) {
            const std::string line = next_line(state, max);
            ASSERT_GE(line.size(), 3u);
            ASSERT_LE(line.size(), static_cast<std::size_t>(max));
            ASSERT_EQ(line.substr(line.size() - 2), "\r\n");
            for (std::size_t j = 0; j + 2 < line.size(); ++j) {
                ASSERT_GE(line[j], ' ');
                ASSERT_LE(line[j], '~');
            }
            ASSERT_NE(line.rfind("SSH-", 0), 0u);
            if (line.size() > longest) longest = line.size();
        }
        EXPECT_EQ(longest, static_cast<std::size_t>(max)) << "the longest line is never drawn";
    }
}

// States found by a search of the 32-bit state space, each of whose first
// line starts with the text drawn; one draws exactly the four random
// characters SSH-, the shortest line that can match.
TEST(BannerLine, OnlyTheVersionPrefixIsDefused) {
    const struct {
        std::uint64_t state;
        const char* drawn;
        const char* sent;
    } cases[] = {
        {51768401, "SSH-", "XSH-"},
        {166048563, "SSH-\r\n", "XSH-\r\n"},
        {576329, "SSHg", "SSHg"},
        {177087578, "ssh-", "ssh-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.drawn);
        std::uint64_t state = c.state;
        const std::string line = next_line(state, 32);
        EXPECT_EQ(line.substr(0, std::strlen(c.sent)), c.sent);
    }
}

}  // namespace
}  // namespace mirebox
