#include <sys/socket.h>

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fixtures/capture.h"
#include "settings/settings.h"

namespace mirebox {
namespace {

using Apply = void (*)(Settings&, const char*, bool);

struct Case {
    Apply apply;
    std::int32_t Settings::*field;
    const char* text;
    bool accepted;
    std::int32_t value;  // the field afterwards when accepted
};

constexpr std::int32_t kept = 0;  // placeholder: a rejected text leaves the field alone

const Case cases[] = {
    {apply_port, &Settings::Port, "1", true, 1},
    {apply_port, &Settings::Port, "65535", true, 65535},
    {apply_port, &Settings::Port, "+80", true, 80},
    {apply_port, &Settings::Port, " 22", true, 22},
    {apply_port, &Settings::Port, "\t22", true, 22},
    {apply_port, &Settings::Port, "0", false, kept},
    {apply_port, &Settings::Port, "65536", false, kept},
    {apply_port, &Settings::Port, "-1", false, kept},
    {apply_port, &Settings::Port, "22 ", false, kept},
    {apply_port, &Settings::Port, "0x16", false, kept},
    {apply_port, &Settings::Port, "", false, kept},
    {apply_port, &Settings::Port, "+", false, kept},
    {apply_port, &Settings::Port, "port", false, kept},
    {apply_delay, &Settings::Delay, "1", true, 1},
    {apply_delay, &Settings::Delay, "2147483647", true, 2147483647},
    {apply_delay, &Settings::Delay, "2147483648", false, kept},
    {apply_delay, &Settings::Delay, "92233720368547758070", false, kept},
    {apply_delay, &Settings::Delay, "-92233720368547758070", false, kept},
    {apply_delay, &Settings::Delay, "0", false, kept},
    {apply_max_line_length, &Settings::MaxLineLength, "3", true, 3},
    {apply_max_line_length, &Settings::MaxLineLength, "255", true, 255},
    {apply_max_line_length, &Settings::MaxLineLength, "2", false, kept},
    {apply_max_line_length, &Settings::MaxLineLength, "256", false, kept},
    {apply_max_clients, &Settings::MaxClients, "1", true, 1},
    {apply_max_clients, &Settings::MaxClients, "2147483647", true, 2147483647},
    {apply_max_clients, &Settings::MaxClients, "0", false, kept},
    {apply_max_clients, &Settings::MaxClients, "4096k", false, kept},
    {apply_bind_family, &Settings::BindFamily, "0", true, 0},
    {apply_bind_family, &Settings::BindFamily, "4", true, AF_INET},
    {apply_bind_family, &Settings::BindFamily, "6", true, AF_INET6},
    {apply_bind_family, &Settings::BindFamily, "4x", true, AF_INET},
    {apply_bind_family, &Settings::BindFamily, "64", true, AF_INET6},
    {apply_bind_family, &Settings::BindFamily, "x4", false, kept},
    {apply_bind_family, &Settings::BindFamily, "\t4", false, kept},
    {apply_bind_family, &Settings::BindFamily, " 4", false, kept},
    {apply_bind_family, &Settings::BindFamily, "", false, kept},
};

std::string message_for(const Case& c) {
    const char* what = c.apply == apply_port              ? "port"
                       : c.apply == apply_delay           ? "delay"
                       : c.apply == apply_max_line_length ? "line length"
                       : c.apply == apply_max_clients     ? "max clients"
                                                          : "address family";
    return std::string("mirebox: Invalid ") + what + ": " + c.text + "\n";
}

TEST(SettingValues, LenientChecksAcceptOrKeepTheOldValue) {
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("text '") + c.text + "'");
        Settings settings;
        // A value no case produces, so a rejected text visibly leaves it alone.
        settings.*c.field = 17;
        test_support::Capture err(2);
        c.apply(settings, c.text, false);
        const std::string said = err.finish();
        if (c.accepted) {
            EXPECT_EQ(settings.*c.field, c.value);
            EXPECT_EQ(said, "");
        } else {
            EXPECT_EQ(settings.*c.field, 17);
            EXPECT_EQ(said, message_for(c));
        }
        // No other field moves.
        Settings defaults;
        defaults.*c.field = settings.*c.field;
        EXPECT_EQ(settings.Port, defaults.Port);
        EXPECT_EQ(settings.Delay, defaults.Delay);
        EXPECT_EQ(settings.MaxLineLength, defaults.MaxLineLength);
        EXPECT_EQ(settings.MaxClients, defaults.MaxClients);
        EXPECT_EQ(settings.BindFamily, defaults.BindFamily);
    }
}

TEST(SettingValuesDeathTest, StrictRejectionExitsWithStatusOne) {
    for (const Case& c : cases) {
        if (c.accepted) continue;
        SCOPED_TRACE(std::string("text '") + c.text + "'");
        Settings settings;
        EXPECT_EXIT(c.apply(settings, c.text, true), testing::ExitedWithCode(1),
                    testing::HasSubstr(message_for(c)));
    }
}

}  // namespace
}  // namespace mirebox
