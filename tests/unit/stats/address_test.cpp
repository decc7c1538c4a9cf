#include <cstring>
#include <string_view>

#include <gtest/gtest.h>

#include "stats/address.h"
#include "stats/line.h"

namespace mirebox::stats {
namespace {

TEST(Address, MappedAndPlainIpv4AreOneAddressShownAsIpv4) {
    Address mapped{}, plain{}, v6{};
    ASSERT_TRUE(parse_address("::ffff:192.0.2.7", mapped));
    ASSERT_TRUE(parse_address("192.0.2.7", plain));
    ASSERT_TRUE(parse_address("2001:db8::ffff:c000:207", v6));
    EXPECT_EQ(std::memcmp(mapped.bytes, plain.bytes, 16), 0);
    EXPECT_EQ(format_address(mapped), "192.0.2.7");
    EXPECT_EQ(format_address(v6), "2001:db8::ffff:c000:207");
    Address bad{};
    using namespace std::string_view_literals;
    for (const std::string_view text :
         {""sv, "192.0.2"sv, "::ffff:192.0.2.256"sv, "host"sv, "1:2:3:4:5:6:7:8:9"sv,
          "0000000000000000000000000000000000000000000000000000"sv, "::1\0junk"sv,
          "192.0.2.7\0"sv})
        EXPECT_FALSE(parse_address(text, bad)) << text;
    EXPECT_EQ(parse_message("ACCEPT host=::1\0junk port=1 fd=4 n=1/1"sv).kind, LineKind::unparsed);
}

}  // namespace
}  // namespace mirebox::stats
