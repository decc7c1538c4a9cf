#include <gtest/gtest.h>

#include "tarpit/tarpit.h"

namespace mirebox {
namespace {

void expect_empty(const ClientQueue& queue) {
    EXPECT_EQ(queue.head, nullptr);
    EXPECT_EQ(queue.tail, nullptr);
    EXPECT_EQ(queue.count, 0);
}

TEST(ClientQueue, PopsInAppendOrder) {
    Client clients[3]{};
    ClientQueue queue;
    for (Client& client : clients) queue_append(queue, &client);
    EXPECT_EQ(queue.count, 3);
    EXPECT_EQ(queue.head, &clients[0]);
    EXPECT_EQ(queue.tail, &clients[2]);
    EXPECT_EQ(queue.tail->next, nullptr);
    for (Client& client : clients) {
        Client* popped = queue_pop(queue);
        EXPECT_EQ(popped, &client);
        EXPECT_EQ(popped->next, nullptr);
    }
    expect_empty(queue);
}

TEST(ClientQueue, PoppingTheOnlyClientEmptiesItAndReappendingRefillsIt) {
    Client only{};
    ClientQueue queue;
    queue_append(queue, &only);
    EXPECT_EQ(queue_pop(queue), &only);
    expect_empty(queue);
    queue_append(queue, &only);
    EXPECT_EQ(queue.head, &only);
    EXPECT_EQ(queue.tail, &only);
    EXPECT_EQ(queue.count, 1);
}

TEST(ClientQueue, RequeuedHeadGoesBehindTheOthers) {
    Client a{}, b{};
    ClientQueue queue;
    queue_append(queue, &a);
    queue_append(queue, &b);
    queue_append(queue, queue_pop(queue));
    EXPECT_EQ(queue.head, &b);
    EXPECT_EQ(b.next, &a);
    EXPECT_EQ(queue.tail, &a);
    EXPECT_EQ(a.next, nullptr);
    EXPECT_EQ(queue.count, 2);
}

}  // namespace
}  // namespace mirebox
