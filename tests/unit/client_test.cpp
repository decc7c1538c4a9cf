#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "diagnostics/diagnostics.h"
#include "tarpit/tarpit.h"

namespace mirebox {
namespace {

// Clients over a pipe: no peer address to read, and a write end whose
// failures can be chosen (a full pipe, a reader gone).
class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(pipe(ends_), 0);
        fcntl(ends_[1], F_SETFL, fcntl(ends_[1], F_GETFL) | O_NONBLOCK);
        saved_ = totals;
        totals = Totals{};
    }
    void TearDown() override {
        if (ends_[0] != -1) close(ends_[0]);
        totals = saved_;
    }

    int ends_[2] = {-1, -1};
    Totals saved_;
    std::uint64_t state_ = 0;
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

}  // namespace
}  // namespace mirebox
