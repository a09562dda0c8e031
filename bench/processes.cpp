#include "processes.h"

#include "cpu_pin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace kestrel::bench {

std::uint16_t free_udp_port() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

EchoServer::EchoServer(int cpu) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a benchmark that aborted
        pin_this_process(cpu);
        close(pipe_fds[0]);
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        const std::uint16_t port = ntohs(sa.sin_port);
        if (write(pipe_fds[1], &port, sizeof port) != sizeof port) _exit(1);
        close(pipe_fds[1]);
        std::uint8_t buf[64];
        for (;;) {
            sockaddr_in from{};
            socklen_t from_len = sizeof from;
            const ssize_t got =
                recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
            if (got < 0) continue;
            sendto(fd, buf, static_cast<std::size_t>(got), 0, reinterpret_cast<sockaddr*>(&from),
                   from_len);
        }
    }
    close(pipe_fds[1]);
    if (read(pipe_fds[0], &port_, sizeof port_) != sizeof port_) std::abort();
    close(pipe_fds[0]);
}

EchoServer::~EchoServer() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

DevsimProcess::DevsimProcess(const std::string& extra_args, int cpu) {
    port_ = free_udp_port();
    int out[2];
    if (pipe(out) != 0) std::abort();
    const std::string cmd = std::string("exec ") + KESTREL_DEVSIM_PATH +
                            " --listen 127.0.0.1:" + std::to_string(port_) + " " + extra_args;
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        pin_this_process(cpu);
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), nullptr);
        _exit(127);
    }
    close(out[1]);
    out_fd_ = out[0];
    // Wait for the "listening" line so the first exchange finds the simulator ready.
    std::string line;
    char c;
    while (read(out_fd_, &c, 1) == 1 && c != '\n')
        line += c;
    listening_ = line.find("listening") != std::string::npos;
}

DevsimProcess::Service DevsimProcess::stop() {
    if (pid_ <= 0) return {};
    kill(pid_, SIGINT);
    std::string text;
    char buf[256];
    ssize_t got;
    while ((got = read(out_fd_, buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<std::size_t>(got));
    }
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    close(out_fd_);
    Service s;
    const auto service = text.find("mean service ");
    if (service != std::string::npos) s.handling_us = std::atof(text.c_str() + service + 13);
    const auto send = text.find("mean send ");
    if (send != std::string::npos) s.send_us = std::atof(text.c_str() + send + 10);
    const auto faults = text.find(" total ", text.find("faults "));
    if (faults != std::string::npos)
        s.faults = std::strtoull(text.c_str() + faults + 7, nullptr, 10);
    return s;
}

DevsimProcess::~DevsimProcess() {
    stop();
}

}  // namespace kestrel::bench
