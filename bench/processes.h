// Helper processes for the benchmark: a bare UDP echo server, and kestrel-devsim.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace kestrel::bench {

// A forked process that echoes every datagram back to its sender and does nothing else.
class EchoServer {
  public:
    // Call before any thread exists. cpu >= 0 pins the server to that CPU.
    explicit EchoServer(int cpu = -1);
    ~EchoServer();
    std::uint16_t port() const { return port_; }

  private:
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

// kestrel-devsim on an ephemeral loopback port, stopped with SIGINT.
class DevsimProcess {
  public:
    // cpu >= 0 pins the simulator (all its threads) to that CPU.
    explicit DevsimProcess(const std::string& extra_args = "", int cpu = -1);
    ~DevsimProcess();
    std::uint16_t port() const { return port_; }
    // False when the simulator never said it was listening (a bad option, a port taken).
    bool listening() const { return listening_; }
    struct Service {
        double handling_us = 0;    // per request, from receipt to reply ready
        double send_us = 0;        // per request, in sendto
        std::uint64_t faults = 0;  // link faults it injected, all kinds
    };
    // Stops the simulator and returns its own mean time per request.
    Service stop();

  private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::uint16_t port_ = 0;
    bool listening_ = false;
};

std::uint16_t free_udp_port();

}  // namespace kestrel::bench
