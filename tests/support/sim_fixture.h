// A simulated device on an ephemeral loopback port with the link opened to it, plus helpers
// that pick the register traffic out of the server's log.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "link/transport.h"
#include "sim/device.h"
#include "sim/server.h"
#include "support/capture.h"
#include "support/raw_peer.h"

namespace kestrel::test {

class SimFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = std::make_unique<sim::Server>(device_, options());
        ASSERT_TRUE(server_->start());
        warm_up(server_->address().c_str(), server_->port());
        server_->clear_exchanges();
        ASSERT_TRUE(open_link(server_->address(), server_->port()));
        traces_.clear();
    }
    void TearDown() override {
        close_link();
        server_->stop();
    }
    virtual sim::ServerOptions options() { return sim::ServerOptions{}; }

    // Register exchanges only (handshakes and junk left out).
    std::vector<sim::Exchange> registers() {
        std::vector<sim::Exchange> out;
        for (const auto& ex : server_->exchanges()) {
            if (ex.kind == sim::Exchange::Kind::Read || ex.kind == sim::Exchange::Kind::Write) {
                out.push_back(ex);
            }
        }
        return out;
    }
    std::vector<sim::Exchange> writes_to(std::uint16_t address) {
        std::vector<sim::Exchange> out;
        for (const auto& ex : registers()) {
            if (ex.kind == sim::Exchange::Kind::Write && ex.address == address) out.push_back(ex);
        }
        return out;
    }
    int reads_of(std::uint16_t address) {
        int n = 0;
        for (const auto& ex : registers()) {
            n += ex.kind == sim::Exchange::Kind::Read && ex.address == address ? 1 : 0;
        }
        return n;
    }

    sim::Device device_;
    std::unique_ptr<sim::Server> server_;
    TraceCapture traces_;
    SleepCounter sleeps_;
};

}  // namespace kestrel::test
