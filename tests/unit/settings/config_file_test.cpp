#include <sys/resource.h>
#include <sys/socket.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fixtures/capture.h"
#include "fixtures/scratch.h"
#include "diagnostics/diagnostics.h"
#include "settings/settings.h"
#include "tarpit/tarpit.h"

// This test program's own open fails for one path with a chosen errno, as
// a system short of memory or of descriptors would fail it.
namespace {
const char* refused_path = nullptr;
int refused_errno = 0;
}  // namespace

extern "C" int open(const char* path, int flags, ...) {
    using OpenCall = int (*)(const char*, int, ...);
    static const auto real = reinterpret_cast<OpenCall>(dlsym(RTLD_NEXT, "open"));
    if (refused_path != nullptr && std::strcmp(path, refused_path) == 0) {
        errno = refused_errno;
        return -1;
    }
    std::va_list args;
    va_start(args, flags);
    const auto mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
    return real(path, flags, mode);
}

namespace mirebox {
namespace {

// A configuration file in a private directory, removed with the fixture.
class ConfigFileTest : public testing::Test {
protected:
    void SetUp() override {
        saved_verbosity_ = verbosity;
        verbosity = 0;
        ASSERT_FALSE(scratch_.path().empty());
        path_ = scratch_.file("mirebox.config");
    }
    void TearDown() override { verbosity = saved_verbosity_; }

    void write(const std::string& content) {
        std::FILE* file = std::fopen(path_.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(content.data(), 1, content.size(), file);
        std::fclose(file);
    }

    // Reads the file leniently and returns what it said on stderr.
    std::string load(const std::string& content) {
        write(content);
        test_support::Capture err(2);
        load_settings_file(settings_, path_.c_str(), false);
        return err.finish();
    }

    std::string at(int line) const { return path_ + ":" + std::to_string(line) + ": "; }

    Settings settings_;
    test_support::ScratchDirectory scratch_;
    std::string path_;
    std::uint32_t saved_verbosity_ = 0;
};

TEST_F(ConfigFileTest, EveryKeyAtItsDefaultChangesNothing) {
    EXPECT_EQ(load("Port 2222\nDelay 10000\nMaxLineLength 32\nMaxClients 4096\n"
                   "LogLevel 0\nBindFamily 0\n"),
              "");
    const Settings defaults;
    EXPECT_EQ(settings_.Port, defaults.Port);
    EXPECT_EQ(settings_.Delay, defaults.Delay);
    EXPECT_EQ(settings_.MaxLineLength, defaults.MaxLineLength);
    EXPECT_EQ(settings_.MaxClients, defaults.MaxClients);
    EXPECT_EQ(settings_.BindFamily, defaults.BindFamily);
    EXPECT_EQ(verbosity, 0u);
}

TEST_F(ConfigFileTest, SetsEveryKey) {
    EXPECT_EQ(load("Port 22\nDelay 500\nMaxLineLength 3\nMaxClients 9\nLogLevel 2\nBindFamily 4\n"),
              "");
    EXPECT_EQ(settings_.Port, 22);
    EXPECT_EQ(settings_.Delay, 500);
    EXPECT_EQ(settings_.MaxLineLength, 3);
    EXPECT_EQ(settings_.MaxClients, 9);
    EXPECT_EQ(settings_.BindFamily, AF_INET);
    EXPECT_EQ(verbosity, 2u);
}

TEST_F(ConfigFileTest, CommentsSpacesAndLineEndings) {
    using namespace std::string_literals;
    const struct {
        std::string content;
        std::int32_t port;
    } cases[] = {
        {"Port 2200 # the usual one\n", 2200},
        {"# Port 2201\n", 2222},
        {"Port 2202 #third token\n", 2202},
        {"   Port    2203   \n", 2203},
        {"Port 2204\r\n", 2204},
        {"\n\n  \n#\nPort 2205", 2205},  // no final line feed
        {"Port 2206\nPort 2207\n", 2207},
        {"Port \t22\n", 22},  // a tab before a number is white space to strtol
        {"Port 2208\0 2209\n\0Port 1 2\n"s, 2208},  // a NUL ends what is read of its piece
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        settings_ = Settings{};
        EXPECT_EQ(load(c.content), "");
        EXPECT_EQ(settings_.Port, c.port);
    }
}

TEST_F(ConfigFileTest, ReportsBadLinesWithTheirNumbers) {
    const std::string long_line = "Port 22" + std::string(293, ' ') + "\n";  // 300 characters
    const std::string line_255 = "Port 2300" + std::string(246, ' ') + "\n";
    const std::string long_comment = "#" + std::string(254, 'c') + "tail\n";
    const struct {
        std::string content;
        std::string message;  // with %s for the position of the line it names
        int line;
    } cases[] = {
        {"Port\n", "Missing value\n", 1},
        {"\t\n", "Missing value\n", 1},
        {"Port\t2222\n", "Missing value\n", 1},
        {"Port 1 2\n", "Too many values\n", 1},
        {"port 2222\n", "Unknown option 'port'\n", 1},
        {"\tPort 2222\n", "Unknown option '\tPort'\n", 1},
        {"Bogus\n", "Missing value\n", 1},
        {"Bogus 1 2\n", "Too many values\n", 1},
        {"LogLevel 3\n", "Invalid log level '3'\n", 1},
        {"LogLevel -1\n", "Invalid log level '-1'\n", 1},
        {"LogLevel 1x\n", "Invalid log level '1x'\n", 1},
        {"\n# fine\nPort 2222 extra\n", "Too many values\n", 3},
        {long_line + "Port\n", "Missing value\n", 3},
        {line_255 + "Port\n", "Missing value\n", 3},
        {long_comment, "Missing value\n", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        verbosity = 0;
        EXPECT_EQ(load(c.content), at(c.line) + c.message);
    }
}

TEST_F(ConfigFileTest, ValueMessagesCarryNoPosition) {
    const struct {
        const char* content;
        const char* message;
    } cases[] = {
        {"Port 0\n", "mirebox: Invalid port: 0\n"},
        {"Port 2222\t\n", "mirebox: Invalid port: 2222\t\n"},
        {"Delay 2147483648\n", "mirebox: Invalid delay: 2147483648\n"},
        {"MaxLineLength 256\n", "mirebox: Invalid line length: 256\n"},
        {"MaxClients 0\n", "mirebox: Invalid max clients: 0\n"},
        {"BindFamily \t4\n", "mirebox: Invalid address family: \t4\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        settings_ = Settings{};
        EXPECT_EQ(load(c.content), c.message);
        EXPECT_EQ(settings_.Port, 2222);
    }
}

TEST_F(ConfigFileTest, LenientReadGoesOnPastBadLines) {
    EXPECT_EQ(load("Port 2300\nPort 0\nDelay\nDelay 700\n"),
              "mirebox: Invalid port: 0\n" + at(3) + "Missing value\n");
    EXPECT_EQ(settings_.Port, 2300);
    EXPECT_EQ(settings_.Delay, 700);
}

// A file that is not there, or is no file, is no configuration and says
// nothing; one that could not be opened for want of a descriptor may hold an
// edit, and a reload, the one lenient read, says so.
TEST_F(ConfigFileTest, AFileThatCannotBeOpenedIsSkippedAndOnlyAShortageSpeaks) {
    write("Port 1234\n");
    const struct {
        std::string path;
        bool strict;
        bool short_of_descriptors;
        std::string said;
    } cases[] = {
        {scratch_.file("absent"), true, false, ""},
        {scratch_.file("absent"), false, false, ""},
        {scratch_.path(), false, false, ""},
        {path_, true, true, ""},
        {path_, false, true, "mirebox: warning: " + path_ + ": " + std::strerror(EMFILE) + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + (c.strict ? " strict" : " lenient") +
                     (c.short_of_descriptors ? " without a descriptor" : ""));
        test_support::Capture err(2);
        rlimit saved{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
        if (c.short_of_descriptors) {
            // The lowest free number becomes the limit: the next open fails.
            const int lowest_free = dup(0);
            close(lowest_free);
            rlimit low = saved;
            low.rlim_cur = static_cast<rlim_t>(lowest_free);
            ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        }
        load_settings_file(settings_, c.path.c_str(), c.strict);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        EXPECT_EQ(err.finish(), c.said);
        EXPECT_EQ(settings_.Port, 2222);
    }
}

TEST_F(ConfigFileTest, EachErrorOfOpenIsSilentButAShortageAtAReload) {
    write("Port 1234\n");
    for (const int error : {EMFILE, ENFILE, ENOMEM, ENOENT, EACCES, ENOTDIR}) {
        for (const bool strict : {true, false}) {
            SCOPED_TRACE(std::string(std::strerror(error)) + (strict ? " strict" : " lenient"));
            const bool shortage = error == EMFILE || error == ENFILE || error == ENOMEM;
            test_support::Capture err(2);
            refused_path = path_.c_str();
            refused_errno = error;
            load_settings_file(settings_, path_.c_str(), strict);
            refused_path = nullptr;
            EXPECT_EQ(err.finish(), !strict && shortage ? "mirebox: warning: " + path_ + ": " +
                                                              std::strerror(error) + "\n"
                                                        : "");
            EXPECT_EQ(settings_.Port, 2222);
        }
    }
}

// The warning comes before the settings the reload logs, unchanged: read in
// that order, they say the edit was not applied.
TEST_F(ConfigFileTest, AReloadShortOfDescriptorsWarnsBeforeItsSettings) {
    write("Port 1234\n");
    std::FILE* both = std::tmpfile();
    ASSERT_NE(both, nullptr);
    std::fflush(nullptr);
    const int saved_out = dup(1), saved_err = dup(2);
    dup2(fileno(both), 1);
    dup2(fileno(both), 2);
    verbosity = 1;
    int listener = -1;
    refused_path = path_.c_str();
    refused_errno = EMFILE;
    reload_settings(settings_, path_.c_str(), listener);
    refused_path = nullptr;
    std::fflush(nullptr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
    std::string text;
    std::rewind(both);
    for (int c; (c = std::fgetc(both)) != EOF;) text += static_cast<char>(c);
    std::fclose(both);
    const std::size_t warning = text.find("mirebox: warning: " + path_ + ": ");
    ASSERT_NE(warning, std::string::npos) << text;
    EXPECT_LT(warning, text.find(" Port 2222\n")) << text;
    EXPECT_EQ(listener, -1);
}

TEST_F(ConfigFileTest, ArbitraryBytesAreSafe) {
    std::string noise;
    std::uint32_t state = 1;
    for (int i = 0; i < 20000; ++i) {
        state = state * 1664525u + 1013904223u;
        noise += static_cast<char>(state >> 24);
    }
    load(noise);  // reports what it reports; it must neither crash nor overrun
    EXPECT_GE(settings_.MaxLineLength, 3);
    EXPECT_LE(settings_.MaxLineLength, 255);
}

using ConfigFileDeathTest = ConfigFileTest;

TEST_F(ConfigFileDeathTest, StrictReadEndsAtTheFirstFatalLine) {
    const struct {
        const char* content;
        const char* message;
        const char* later;  // the next bad line's message, never reached
    } cases[] = {
        {"Port\nPort 1 2\n", "Missing value", "Too many values"},
        {"Port 1 2\nPort\n", "Too many values", "Missing value"},
        {"LogLevel 3\nPort 0\n", "Invalid log level '3'", "Invalid port"},
        {"Port 0\nDelay 0\n", "mirebox: Invalid port: 0", "Invalid delay"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        write(c.content);
        EXPECT_EXIT(load_settings_file(settings_, path_.c_str(), true),
                    testing::ExitedWithCode(1),
                    testing::AllOf(testing::HasSubstr(c.message),
                                   testing::Not(testing::HasSubstr(c.later))));
    }
}

TEST_F(ConfigFileTest, UnknownKeyIsNotFatalEvenWhenStrict) {
    write("Colour blue\nPort 2400\n");
    test_support::Capture err(2);
    load_settings_file(settings_, path_.c_str(), true);
    EXPECT_EQ(err.finish(), at(1) + "Unknown option 'Colour'\n");
    EXPECT_EQ(settings_.Port, 2400);
}

}  // namespace
}  // namespace mirebox
