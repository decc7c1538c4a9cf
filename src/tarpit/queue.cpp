#include "tarpit/tarpit.h"

namespace mirebox {

void queue_append(ClientQueue& queue, Client* client) {
    if (queue.tail == nullptr) queue.head = client;
    else queue.tail->next = client;
    queue.tail = client;
    ++queue.count;
}

Client* queue_pop(ClientQueue& queue) {
    Client* client = queue.head;
    queue.head = client->next;
    client->next = nullptr;
    if (--queue.count == 0) queue.tail = nullptr;
    return client;
}

}  // namespace mirebox
