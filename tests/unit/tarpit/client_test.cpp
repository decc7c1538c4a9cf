#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "fixtures/capture.h"
#include "diagnostics/diagnostics.h"
#include "tarpit/tarpit.h"

// Linux never takes part of a write this short on a socket or a pipe, even
// with the smallest send buffer, so this test program has a write of its own:
// the descriptor a test names takes at most `room` bytes of a write, as a
// socket with almost no room left may. Every other write goes on as usual.
namespace {
int cramped_fd = -1;
std::size_t room = 0;
}  // namespace

extern "C" ssize_t write(int fd, const void* data, std::size_t size) {
    using WriteCall = ssize_t (*)(int, const void*, std::size_t);
    static const auto real = reinterpret_cast<WriteCall>(dlsym(RTLD_NEXT, "write"));
    return real(fd, data, fd == cramped_fd && size > room ? room : size);
}

namespace mirebox {
namespace {

// Clients over a pipe: no peer address to read, no socket options, and a
// write end whose failures can be chosen (a full pipe, a reader gone).
class ClientTest : public testing::Test {
protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(pipe(ends_), 0);
        fcntl(ends_[1], F_SETFL, fcntl(ends_[1], F_GETFL) | O_NONBLOCK);
        saved_totals_ = totals;
        totals = Totals{};
        saved_verbosity_ = verbosity;
        saved_sink_ = log_sink;
        verbosity = 0;
        log_sink = log_to_stdout;
    }
    void TearDown() override {
        if (ends_[0] != -1) close(ends_[0]);
        cramped_fd = -1;
        totals = saved_totals_;
        verbosity = saved_verbosity_;
        log_sink = saved_sink_;
    }

    int ends_[2] = {-1, -1};
    std::uint64_t state_ = 0;

private:
    Totals saved_totals_;
    std::uint32_t saved_verbosity_ = 0;
    LogSink saved_sink_ = nullptr;
};

TEST_F(ClientTest, AdmittedWithoutPeerAddressIsHeldAnonymously) {
    const std::int64_t before = wall_clock_ms();
    Client* client = admit_client(ends_[1], 2500);
    ASSERT_NE(client, nullptr);
    EXPECT_STREQ(client->host, "");
    EXPECT_EQ(client->port, 0);
    EXPECT_EQ(client->fd, ends_[1]);
    EXPECT_EQ(client->bytes, 0);
    EXPECT_EQ(client->next, nullptr);
    EXPECT_GE(client->next_send_ms, before + 2500);
    EXPECT_LE(client->next_send_ms, client->connected_ms + 2500);
    release_client(client);
}

TEST_F(ClientTest, WrittenLineCountsForClientAndTotals) {
    Client* client = admit_client(ends_[1], 1);
    ASSERT_EQ(send_banner_line(client, 32, state_), SendResult::kept);
    char line[BANNER_BUFFER_SIZE];
    const ssize_t got = read(ends_[0], line, sizeof line);
    EXPECT_EQ(std::string(line, static_cast<std::size_t>(got)), "v\r\n");  // from state 0
    EXPECT_EQ(client->bytes, 3);
    EXPECT_EQ(totals.bytes, 3);
    release_client(client);
}

TEST_F(ClientTest, ShortWriteCountsWhatWasWritten) {
    Client* client = admit_client(ends_[1], 1);
    cramped_fd = ends_[1];
    room = 2;
    ASSERT_EQ(send_banner_line(client, 32, state_), SendResult::kept);  // "v\r\n"
    EXPECT_EQ(client->bytes, 2);
    EXPECT_EQ(totals.bytes, 2);
    char line[BANNER_BUFFER_SIZE];
    EXPECT_EQ(read(ends_[0], line, sizeof line), 2) << "the rest of the line is not sent";
    release_client(client);
}

TEST_F(ClientTest, FullBufferDropsTheLineButKeepsTheClient) {
    const char fill[4096] = {};
    while (write(ends_[1], fill, sizeof fill) > 0) {
    }
    while (write(ends_[1], fill, 1) > 0) {  // to the last byte
    }
    Client* client = admit_client(ends_[1], 1);
    EXPECT_EQ(send_banner_line(client, 32, state_), SendResult::kept);
    EXPECT_EQ(client->bytes, 0);
    EXPECT_EQ(totals.bytes, 0);
    release_client(client);
}

TEST_F(ClientTest, RefusedReceiveBufferIsTracedWithItsErrno) {
    verbosity = 2;
    test_support::Capture out(1);
    Client* client = admit_client(ends_[1], 1);
    const std::string text = out.finish();
    verbosity = 0;
    release_client(client);
    // Each line is a timestamp and a space, then the message.
    const std::regex stamp(R"((^|\n)\S+ )");
    EXPECT_EQ(std::regex_replace(text, stamp, "$1"),
              "setsockopt(" + std::to_string(ends_[1]) + ", SO_RCVBUF, 1) = -1\n" +
                  "errno = " + std::to_string(ENOTSOCK) + ", " + std::strerror(ENOTSOCK) + "\n");
}

TEST_F(ClientTest, FailedWriteReleasesAndCountsTheTimeHeld) {
    close(ends_[0]);
    ends_[0] = -1;
    Client* client = admit_client(ends_[1], 1);
    client->connected_ms -= 1500;
    EXPECT_EQ(send_banner_line(client, 32, state_), SendResult::released);
    EXPECT_GE(totals.held_ms, 1500);
    EXPECT_EQ(totals.bytes, 0);
    EXPECT_EQ(fcntl(ends_[1], F_GETFD), -1) << "the descriptor is closed with the client";
}

TEST_F(ClientTest, TotalsCountHeldClientsTimeSoFar) {
    verbosity = 1;
    totals = Totals{7, 1000, 99};
    const std::int64_t now = wall_clock_ms();
    Client second{};
    second.connected_ms = now - 2500;
    Client first{};
    first.connected_ms = now - 1500;
    first.next = &second;

    test_support::Capture out(1);
    log_totals(&first);
    log_totals(nullptr);
    const std::string text = out.finish();

    std::smatch held;
    ASSERT_TRUE(std::regex_search(
        text, held, std::regex(R"(TOTALS connects=7 seconds=(\d+)\.(\d{3}) bytes=99\n)")))
        << text;
    const long long held_ms = std::stoll(held[1]) * 1000 + std::stoll(held[2]);
    EXPECT_GE(held_ms, 5000);
    EXPECT_LT(held_ms, 6000);  // a generous bound: only a stalled test gets near it
    EXPECT_NE(text.find("TOTALS connects=7 seconds=1.000 bytes=99\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace mirebox
