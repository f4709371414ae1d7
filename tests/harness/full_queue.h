// A loopback port whose listener never accepts and whose accept queue is
// already full of connections of its own: the system drops a further SYN, so
// a connect to it waits until the connector gives up. It stands in for a
// falloff server too busy to take a connection.
#pragma once

#include <cstdint>
#include <vector>

class full_queue_port {
  public:
    full_queue_port();
    ~full_queue_port();
    full_queue_port(const full_queue_port &) = delete;
    full_queue_port &operator=(const full_queue_port &) = delete;

    // True once a connect of its own was seen to stall: the queue is full.
    bool ok() const { return full_; }
    uint16_t port() const { return port_; }

  private:
    intptr_t listener_ = -1;
    std::vector<intptr_t> fillers_;
    uint16_t port_ = 0;
    bool full_ = false;
    bool network_started_ = false;
};
