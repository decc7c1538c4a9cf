#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "stats/format.h"

namespace mirebox::stats {
namespace {

TEST(Duration, TwoLargestUnits) {
    const struct {
        std::int64_t ms;
        const char* text;
    } cases[] = {{0, "0 ms"},          {850, "850 ms"},        {1000, "1 s"},
                 {59999, "59 s"},      {60000, "1 min"},       {61000, "1 min 1 s"},
                 {3600000, "1 h"},     {3660000, "1 h 1 min"}, {90000000, "1 d 1 h"},
                 {31536000000, "1 y"}, {34214400000, "1 y 31 d"}, {-9700, "-9 s"}};
    for (const auto& expected : cases) EXPECT_EQ(format_duration(expected.ms), expected.text);
}

TEST(Seconds, ExactlyFromMillisecondsWhateverTheSign) {
    const struct {
        std::int64_t ms;
        const char* text;
    } cases[] = {{0, "0.000"},
                 {4356286, "4356.286"},
                 {-9700, "-9.700"},
                 {-5, "-0.005"},
                 {std::numeric_limits<std::int64_t>::max(), "9223372036854775.807"},
                 {std::numeric_limits<std::int64_t>::min(), "-9223372036854775.808"}};
    for (const auto& expected : cases) EXPECT_EQ(seconds_text(expected.ms), expected.text);
}

}  // namespace
}  // namespace mirebox::stats
